// Updater: construction and the settings the command line passes in before a
// flow runs. The flows themselves live in their own files.
#include "updater/Updater.h"

Updater::Updater(const char* url, const char* root, UpdaterDisplayInterface& display)
    : serverUrl(url ? url : ""), storeRoot(root ? root : ""), display(display)
{
}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool use)
{
    ueiBytesLoad = use;
}
