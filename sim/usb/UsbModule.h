// UsbModule: one simulated module on the USB bus of a UsbTestbed. It answers
// libusb's usbfs ioctls on its device node (descriptors, interface claims,
// bulk transfers, halts) and runs the module simulator's ModuleSession behind
// the bulk endpoints: bytes the host sends on bulk OUT go to the session, the
// session's bytes come back on bulk IN. Faults can be armed at run time:
// refuse the claim as busy, stall or fail the next transfers. Like usbfs, it
// refuses a claim while another open node (of any process) holds the interface.
// When the module restarts (loader start, reboot, reset) it tells its restart
// handler, which re-enumerates it: the device goes away and a new UsbModule
// with the same ModuleState comes back. Thread-safe; the ioctl handler runs
// on umockdev's worker thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/EventLog.h"
#include "sim/ModuleConfig.h"
#include "sim/ModuleModel.h"
#include "sim/ModuleSession.h"
#include "sim/usb/UsbDescriptors.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace modsim::usb {

struct UsbModuleConfig {
    UsbIdentity usb;
    ModuleConfig module;
};

enum class Direction { In, Out };

// What outlives a re-enumeration: the module itself (flash, firmware or
// loader, the identity after an update) and its event log.
struct ModuleState {
    explicit ModuleState(const ModuleConfig& config);
    EventLog log;
    std::unique_ptr<ModuleModel> model;
};

class UsbModule;
// Called on the ioctl handler's thread, after the module's last bytes are
// queued for the host; must not block.
using RestartHandler = std::function<void(UsbModule&, const Restart&)>;

class UsbModule {
public:
    // ptySlave: descriptor of the pseudo-terminal the device node points at;
    // its output flow tells libusb's poll when a transfer can be reaped.
    // state: the module behind the device; a fresh one when null.
    UsbModule(UsbModuleConfig config, int ptySlave, std::shared_ptr<ModuleState> state = nullptr,
              unsigned connectionNumber = 1);
    ~UsbModule();
    UsbModule(const UsbModule&) = delete;
    UsbModule& operator=(const UsbModule&) = delete;

    const UsbModuleConfig& config() const { return config_; }
    EventLog& log() { return state_->log; }
    const std::shared_ptr<ModuleState>& state() const { return state_; }
    // Set before the device is plugged.
    void setRestartHandler(RestartHandler handler) { onRestart_ = std::move(handler); }

    // Faults, armed at once.
    void setClaimBusy(bool busy);
    // The next bulk transfer in that direction ends with a stall.
    void stallNext(Direction d);
    // The next `count` bulk transfers in that direction fail (protocol error).
    void failNext(Direction d, unsigned count);
    // The next bulk OUT transfer takes only its first `bytes` bytes and then
    // hangs until the host gives up on it (a time-out with a partial transfer).
    void stallOutAfter(size_t bytes);
    // Raw bytes for the host on bulk IN, ahead of anything the module says later.
    void pushIn(const std::vector<uint8_t>& bytes);
    // Sends a module packet (e.g. a heartbeat) on bulk IN.
    void sendHeartbeat(uint8_t code);
    // When false, bytes from the host are recorded but not given to the module.
    void setModuleAttached(bool on);

    // What the host did.
    std::vector<size_t> outTransferSizes() const;
    std::vector<uint8_t> outBytes() const;
    unsigned claims() const;
    unsigned clearedHalts(Direction d) const;
    // Bulk IN transfers submitted and still waiting for data.
    size_t pendingIn() const;

    // The device is being unplugged: waiting and later transfers fail as a
    // vanished device would make them fail.
    void disconnect();
    // True when no finished transfer waits to be collected by the host.
    bool drained() const;
    // True when the host has collected everything the module said.
    bool saidEverything() const;

    // Entry points of the ioctl handler (internal).
    bool handleIoctl(UMockdevIoctlClient* client);
    // A device node was closed: its transfers are forgotten.
    void clientGone(UMockdevIoctlClient* client);

private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        const void* client = nullptr; // the open device node it came through
        uint64_t address = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int32_t length = 0;
        int32_t status = 0;
        int32_t actual = 0;
    };

    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    void control(Urb& u);
    void fillPendingInLocked();
    void completeLocked(Urb u);
    void updateFlowLocked();
    static void releaseUrb(Urb& u);

    UsbModuleConfig config_;
    int pty_;
    std::shared_ptr<ModuleState> state_;
    std::unique_ptr<ModuleSession> session_;
    RestartHandler onRestart_;

    mutable std::mutex m_;
    std::deque<Urb> reapable_;
    std::deque<Urb> pendingIn_;
    std::deque<Urb> pendingOut_; // partly taken, waiting to be discarded
    long partialOut_ = -1;       // armed partial OUT transfer, -1 when none
    std::deque<uint8_t> inBytes_;
    bool flowOn_ = false;
    bool gone_ = false;
    bool claimBusy_ = false;
    bool moduleAttached_ = true;
    bool restarting_ = false; // the module has gone; host bytes are lost
    unsigned stall_[2] = {0, 0};
    unsigned fail_[2] = {0, 0};
    unsigned claims_ = 0;
    const void* claimedBy_ = nullptr; // the open node holding the interface
    unsigned halts_[2] = {0, 0};
    std::vector<size_t> outSizes_;
    std::vector<uint8_t> outBytes_;
};

} // namespace modsim::usb
