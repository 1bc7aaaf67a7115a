// UsbTestbed: a simulated USB bus for tests, benchmarks and demos. It creates
// the umockdev testbed of this process (the process must run with umockdev's
// preload) and plugs simulated modules into it, so that the real, unmodified
// libusb finds and drives them. A module can be unplugged and plugged back
// with another identity, as a module restarting into its loader does.
// Create it before anything touches libusb or opens a device node; one per
// process.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/usb/UsbModule.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace modsim::usb {

class UsbTestbed {
public:
    // Throws std::runtime_error when the preload is missing or the testbed
    // cannot be made.
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // True when this process runs under umockdev's preload.
    static bool preloaded();

    // Plugs in a module; the reference stays valid until it is unplugged.
    UsbModule& plug(const UsbModuleConfig& config);
    // Unplugs it: transfers in flight fail, libusb sees the device vanish.
    void unplug(UsbModule& module);
    // Unplugs the module and plugs in a new one with another identity.
    UsbModule& replug(UsbModule& module, const UsbModuleConfig& config);

    // The testbed's root directory (UMOCKDEV_DIR).
    std::string root() const;

private:
    struct Slot;
    struct Pty {
        int master = -1;
        int slave = -1;
        std::string path;
        bool used = false;
    };

    void unplugLocked(Slot& slot);

    UMockdevTestbed* testbed_ = nullptr;
    std::vector<Pty> ptys_;
    std::vector<std::unique_ptr<Slot>> slots_;
    unsigned nextDevice_ = 2;
    std::mutex m_;
};

} // namespace modsim::usb
