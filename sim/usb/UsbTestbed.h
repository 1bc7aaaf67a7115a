// UsbTestbed: a simulated USB bus for tests, benchmarks and demos. It creates
// the umockdev testbed of this process (the process must run with umockdev's
// preload) and plugs simulated modules into it, so that the real, unmodified
// libusb finds and drives them. A module that restarts (into its loader, into
// new firmware, after a reset) re-enumerates by itself: it goes away, stays
// away for its restart time and comes back as a new device with the same
// state, unless it is set never to return. A module can also be unplugged and
// plugged back with another identity by hand.
// Create it before anything touches libusb or opens a device node; one per
// process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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
    // A module that re-enumerated is unplugged in whatever device it is now,
    // and one that is restarting does not come back.
    void unplug(UsbModule& module);
    // Unplugs the module and plugs in a new one with another identity.
    UsbModule& replug(UsbModule& module, const UsbModuleConfig& config);

    // The testbed's root directory (UMOCKDEV_DIR).
    std::string root() const;

    // Re-enumerations after restarts so far (link drops not counted).
    unsigned restarts() const { return restarts_; }

private:
    struct Slot;
    UsbModule& plugLocked(const UsbModuleConfig& config, std::shared_ptr<ModuleState> state,
                          unsigned connection);
    void onRestart(UsbModule& module, const Restart& restart);
    void reenumerate(UsbModule* module, Restart restart);
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
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    std::set<const ModuleState*> retired_; // unplugged by hand: never come back
    std::atomic<unsigned> restarts_{0};
    std::mutex restartersMutex_;
    std::vector<std::thread> restarters_;
};

} // namespace modsim::usb
