// The process-wide libusb context (see aUSBContext.h).
#include "common/aUSBContext.h"

#include <libusb-1.0/libusb.h>

#include <mutex>

namespace {

std::mutex& sContextMutex()
{
    // Never destroyed: USB use may still happen from static destructors.
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

libusb_context* sContext = nullptr;

} // namespace

libusb_context* Corvantis_libusb_context()
{
    std::lock_guard<std::mutex> lock(sContextMutex());
    if (!sContext) {
        libusb_context* context = nullptr;
        if (libusb_init(&context) == LIBUSB_SUCCESS)
            sContext = context;
    }
    return sContext;
}

libusb_context* Corvantis_libusb_init() { return Corvantis_libusb_context(); }

void Corvantis_libusb_exit()
{
    std::lock_guard<std::mutex> lock(sContextMutex());
    if (sContext) {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}
