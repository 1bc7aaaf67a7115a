// PtyRom: a simulated i.MX boot ROM served on a pseudo-terminal by a thread
// of its own. The host opens slavePath() as its serial port; tests inspect
// the ROM (RAM, commands, jumps, rejections) under the server's lock. An
// unfinished command followed by 200 ms of quiet line is dropped, so a probe
// in another protocol does not shift the framing of later commands.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sim/imx/SdpRom.h"
#include "sim/imx/SdpSerialLink.h"

namespace imxsim {

class PtyRom {
  public:
    explicit PtyRom(SdpConfig config = {});
    ~PtyRom();
    PtyRom(const PtyRom&) = delete;
    PtyRom& operator=(const PtyRom&) = delete;

    // Opens the pseudo-terminal and starts serving; false with `error` set
    // when the terminal cannot be made.
    bool start(std::string& error);
    void stop();
    const std::string& slavePath() const { return slavePath_; }

    // Runs f(SdpRom&) under the server's lock.
    template <class F> auto inspect(F f)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(rom_);
    }

  private:
    void serve();

    std::mutex mutex_;
    SdpRom rom_;
    SdpSerialLink link_;
    int master_ = -1;
    int slave_ = -1; // held open so that the master never sees a hang-up
    std::string slavePath_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

} // namespace imxsim
