// usb_roundtrip: request/reply packets to a simulated USB module, first as a
// raw libusb ping-pong (bulk OUT, bulk IN until the reply is complete), then
// through the link engine (aLink_CreateUSB, put, await), with the same device
// in the same run. Prints round trips per second for both, their ratio, and
// the process's CPU use while a link sits idle. Runs itself again under
// umockdev's preload when started without it. The raw side is measured twice:
// strictly one transfer after the other, and with the IN transfer already
// waiting when the request goes out, as the link engine's reader has it.
//
//   usb_roundtrip [round trips per run, default 2000] [runs, default 3]
#include <libusb-1.0/libusb.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aUSBContext.h"
#include "common/aUSBModuleId.h"
#include "sim/usb/UsbTestbed.h"

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint32_t kSerial = 0x00C0FFEE;
// A UEI get of the system serial number; the module's reply is 9 bytes.
const uint8_t kRequest[5] = {kAddress, 3, 3, 0x40 | 9, 0x20};
constexpr int kReplySize = 9;

double sSeconds(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Measure {
    double wall = 0;
    int done = 0;
};

Measure sRaw(libusb_device_handle* handle, int count)
{
    Measure m;
    const double start = sSeconds(CLOCK_MONOTONIC);
    for (int i = 0; i < count; ++i) {
        int sent = 0;
        if (libusb_bulk_transfer(handle, 0x02, const_cast<uint8_t*>(kRequest), sizeof kRequest, &sent,
                                 1000) != 0)
            break;
        int got = 0;
        uint8_t buffer[1024];
        while (got < kReplySize) {
            int n = 0;
            if (libusb_bulk_transfer(handle, 0x81, buffer, sizeof buffer, &n, 1000) != 0)
                break;
            got += n;
        }
        if (got != kReplySize)
            break;
        ++m.done;
    }
    m.wall = sSeconds(CLOCK_MONOTONIC) - start;
    return m;
}

// The same with the IN transfer submitted before the request goes out, as
// the link engine's reader keeps one waiting: the fairer floor.
void LIBUSB_CALL sInDone(libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }

Measure sRawPending(libusb_device_handle* handle, int count)
{
    Measure m;
    uint8_t buffer[1024];
    libusb_transfer* in = libusb_alloc_transfer(0);
    if (!in)
        return m;
    const double start = sSeconds(CLOCK_MONOTONIC);
    for (int i = 0; i < count; ++i) {
        int got = 0;
        bool failed = false;
        while (got < kReplySize && !failed) {
            int done = 0;
            libusb_fill_bulk_transfer(in, handle, 0x81, buffer, sizeof buffer, sInDone, &done, 1000);
            if (libusb_submit_transfer(in) != 0)
                break;
            if (got == 0) {
                int sent = 0;
                failed = libusb_bulk_transfer(handle, 0x02, const_cast<uint8_t*>(kRequest),
                                              sizeof kRequest, &sent, 1000) != 0;
            }
            while (!done)
                libusb_handle_events_completed(Corvantis_libusb_context(), &done);
            if (in->status != LIBUSB_TRANSFER_COMPLETED)
                failed = true;
            got += in->actual_length;
        }
        if (got != kReplySize)
            break;
        ++m.done;
    }
    m.wall = sSeconds(CLOCK_MONOTONIC) - start;
    libusb_free_transfer(in);
    return m;
}

Measure sLink(uint32_t id, int count)
{
    Measure m;
    const double start = sSeconds(CLOCK_MONOTONIC);
    for (int i = 0; i < count; ++i) {
        aPacket* out = aPacket_CreateWithData(kAddress, 3, kRequest + 2);
        aLink_PutPacket(id, out);
        aPacket_Destroy(&out);
        aPacket* in = aLink_AwaitPacket(id, 1000);
        if (!in)
            break;
        aPacket_Destroy(&in);
        ++m.done;
    }
    m.wall = sSeconds(CLOCK_MONOTONIC) - start;
    return m;
}

double sBest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

} // namespace

int main(int argc, char** argv)
{
    if (!modsim::usb::UsbTestbed::preloaded()) {
        const char* old = std::getenv("LD_PRELOAD");
        std::string preload = "libumockdev-preload.so.0";
        if (old && *old)
            preload = std::string(old) + ":" + preload;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("usb_roundtrip: cannot run again under umockdev's preload");
        return 1;
    }
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    modsim::usb::UsbTestbed bus;
    modsim::usb::UsbModuleConfig config;
    config.usb.vendorId = CORVANTIS_USB_VENDOR_ID;
    config.usb.serialText = "00C0FFEE";
    config.module.serial = kSerial;
    config.module.address = kAddress;
    modsim::usb::UsbModule& module = bus.plug(config);
    (void)module;

    std::vector<double> raw, pending, link;
    for (int run = 0; run < runs; ++run) {
        // Raw libusb on the shared context, the interface claimed directly.
        libusb_device_handle* handle = nullptr;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(Corvantis_libusb_context(), &list);
        for (ssize_t i = 0; i < n && !handle; ++i)
            if (is_corvantis_device(list[i]) && libusb_open(list[i], &handle) != 0)
                handle = nullptr;
        libusb_free_device_list(list, 1);
        if (!handle || libusb_claim_interface(handle, 0) != 0) {
            std::fprintf(stderr, "usb_roundtrip: cannot open the simulated module\n");
            return 1;
        }
        const Measure r = sRaw(handle, count);
        const Measure p = sRawPending(handle, count);
        libusb_release_interface(handle, 0);
        libusb_close(handle);

        uint32_t id = aLink_CreateUSB(kSerial);
        if (!id) {
            std::fprintf(stderr, "usb_roundtrip: no link to the simulated module\n");
            return 1;
        }
        const Measure l = sLink(id, count);
        aLink_Destroy(&id);
        if (r.done != count || p.done != count || l.done != count) {
            std::fprintf(stderr, "usb_roundtrip: run %d stopped early (raw %d, raw/IN waiting %d, link %d of %d)\n",
                         run + 1, r.done, p.done, l.done, count);
            return 1;
        }
        raw.push_back(r.wall / count);
        pending.push_back(p.wall / count);
        link.push_back(l.wall / count);
        std::printf("run %d: raw %.0f, raw with IN waiting %.0f, link %.0f round trips/s\n", run + 1,
                    count / r.wall, count / p.wall, count / l.wall);
    }

    const double rawBest = sBest(raw), pendingBest = sBest(pending), linkBest = sBest(link);
    std::printf("best per round trip: raw %.1f us, raw with IN waiting %.1f us, link %.1f us\n", rawBest * 1e6,
                pendingBest * 1e6, linkBest * 1e6);
    std::printf("link/raw %.2f, link/raw with IN waiting %.2f (goal at most 1.30)\n", linkBest / rawBest,
                linkBest / pendingBest);

    // Idle: a link open, nothing sent, for 3 s. The figure includes the
    // simulated device, which lives in this process.
    uint32_t id = aLink_CreateUSB(kSerial);
    if (!id)
        return 1;
    const double cpu0 = sSeconds(CLOCK_PROCESS_CPUTIME_ID), wall0 = sSeconds(CLOCK_MONOTONIC);
    sleep(3);
    const double cpu = sSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, wall = sSeconds(CLOCK_MONOTONIC) - wall0;
    aLink_Destroy(&id);
    std::printf("idle link: %.2f%% of one core (%.1f ms CPU in %.1f s)\n", 100.0 * cpu / wall, cpu * 1e3, wall);
    Corvantis_libusb_exit();
    return 0;
}
