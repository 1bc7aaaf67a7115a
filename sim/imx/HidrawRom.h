// HidrawRom: the simulated i.MX boot ROM as the USB-HID device it enumerates
// as (1FC9:0130), behind a hidraw node that umockdev serves to the real
// hidapi. The process must run under umockdev's preload; create it before
// anything opens a device node, one per process. Reports written by the host
// go to SdpHidLink; its answers are queued and read one report per read.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/imx/SdpHidLink.h"
#include "sim/imx/SdpRom.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace imxsim {

class HidrawRom {
  public:
    // Throws std::runtime_error without the preload or when the testbed
    // cannot be made.
    explicit HidrawRom(SdpConfig config = {}, uint16_t vendorId = 0x1FC9, uint16_t productId = 0x0130);
    ~HidrawRom();
    HidrawRom(const HidrawRom&) = delete;
    HidrawRom& operator=(const HidrawRom&) = delete;

    static bool preloaded();

    // A freshly reset boot ROM with this configuration; queued answers go.
    void reset(SdpConfig config);

    template <class F> auto inspect(F f)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(rom_);
    }

    // Called from umockdev's worker thread.
    bool onIoctl(UMockdevIoctlClient* client);
    bool onRead(UMockdevIoctlClient* client);
    bool onWrite(UMockdevIoctlClient* client);

  private:
    void signalReadable(bool readable);

    std::mutex mutex_;
    SdpRom rom_;
    SdpHidLink link_;
    std::deque<std::vector<uint8_t>> queued_;
    bool flagged_ = false; // one byte sits in the pty while reports wait
    int master_ = -1;
    int slave_ = -1;
    std::string ptyPath_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
};

} // namespace imxsim
