// Fuzz harness for settings files. Each input is written to a file and read
// through KeyValueStore::Load (the line reader and parser the store uses);
// the store is then saved and read back, and the two must hold the same
// entries. Keys that begin with "#" are the one known exception: they can
// only come from a line indented before the "#", and a saved line starting
// with "#" reads back as a comment.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>

#include "updater/KeyValueStore.h"

namespace {

std::string directory;

void removeDirectory()
{
    std::remove((directory + "/input").c_str());
    std::remove((directory + "/saved").c_str());
    rmdir(directory.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Saves flush to disk; on tmpfs that costs nothing.
    char shm[] = "/dev/shm/settings-fuzz-XXXXXX";
    char tmp[] = "/tmp/settings-fuzz-XXXXXX";
    const char* made = mkdtemp(shm);
    if (!made)
        made = mkdtemp(tmp);
    if (!made)
        std::abort();
    directory = made;
    std::atexit(removeDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = directory + "/input";
    const std::string saved = directory + "/saved";
    FILE* f = std::fopen(input.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    KeyValueStore first(input.c_str());
    if (first.IsDirty())
        std::abort(); // a file that exists loads clean
    std::map<std::string, std::string> expected;
    for (const auto& [key, value] : first.Entries()) {
        if (key.empty() || key[0] == '#')
            continue;
        expected[key] = value;
    }
    first.Save(saved.c_str());
    KeyValueStore second(saved.c_str());
    std::map<std::string, std::string> got(second.Entries().begin(), second.Entries().end());
    if (got != expected)
        std::abort();
    // Typed reads never fail on any stored text.
    for (const auto& [key, value] : expected) {
        second.GetInt(key);
        second.GetHex(key);
        second.GetDouble(key);
        second.GetBOOL(key);
    }
    std::remove(saved.c_str());
    return 0;
}
