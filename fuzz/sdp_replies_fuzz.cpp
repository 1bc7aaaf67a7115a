// Fuzz harness: arbitrary boot-ROM replies into the i.MX serial download
// loader. The input is cut into replies that a scripted transport hands out
// one per read, on the HID or the serial framing; the loader must return
// one of its codes and never read outside a reply. The reply parsers are
// also checked on their own: only a complete reply yields a value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/SDPLoader_Protocol.h"

namespace P = SDPLoader_Protocol;
using Bytes = std::vector<uint8_t>;

namespace {

class Scripted : public SDPLoader_Interface {
  public:
    Scripted(bool hid, std::vector<Bytes> replies) : hid_(hid), replies_(std::move(replies)) {}
    bool init() override { return true; }
    ssize_t writeData(const Bytes& b) override { return static_cast<ssize_t>(hid_ ? b.size() : b.size() - 1); }
    ssize_t readData(Bytes& out, int) override
    {
        if (next_ >= replies_.size())
            return 0;
        const Bytes& r = replies_[next_++];
        if (!hid_) {
            out.insert(out.end(), r.begin(), r.end());
            return static_cast<ssize_t>(r.size());
        }
        // Cut the reply into reports of at most 65 bytes as hidraw would.
        ssize_t total = 0;
        for (size_t at = 0; at < r.size(); at += P::HID_REPORT_BUFFER) {
            const size_t n = r.size() - at < P::HID_REPORT_BUFFER ? r.size() - at : P::HID_REPORT_BUFFER;
            total += static_cast<ssize_t>(P::AppendHIDReport(out, r.data() + at, n));
        }
        return total;
    }
    bool getDataFromBuffer(const Bytes& b, size_t offset, uint32_t& value) override
    {
        // Copy to an exact-size heap buffer so that any over-read is caught.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[b.size() + 1]);
        std::copy(b.begin(), b.end(), exact.get());
        return hid_ ? P::HIDReplyValue(exact.get(), b.size(), offset, value)
                    : P::SerialReplyValue(exact.get(), b.size(), offset, value);
    }

  private:
    bool hid_;
    std::vector<Bytes> replies_;
    size_t next_ = 0;
};

bool sValidCode(int code) { return code >= 0 && code <= 7; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The parsers alone, on an exact-size copy.
    {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
        std::copy(data, data + size, exact.get());
        for (size_t offset = 0; offset <= 16; ++offset) {
            uint32_t v = 0;
            const bool hid = P::HIDReplyValue(exact.get(), size, offset, v);
            if (hid != (size == P::HID_REPLY_SIZE && offset <= P::MAX_OFFSET))
                abort();
            const bool serial = P::SerialReplyValue(exact.get(), size, offset, v);
            if (serial != (offset <= P::MAX_OFFSET && size >= 4 * (offset + 2)))
                abort();
        }
    }

    if (size < 1)
        return 0;
    const bool hid = data[0] & 1;
    // Replies are separated by the byte 0xA5 so that the fuzzer can shape each.
    std::vector<Bytes> replies(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0xA5)
            replies.emplace_back();
        else
            replies.back().push_back(data[i]);
    }

    SDPLoader loader;
    if (!loader.setLoader(std::make_unique<Scripted>(hid, replies)) || loader.init() != SDPLoader::SDP_OK)
        abort();
    uint64_t fingerprint = 0;
    if (!sValidCode(loader.getFingerprint(fingerprint)))
        abort();
    const Bytes image(1500, 0x42);
    if (!sValidCode(loader.writeLoader(image, 0x20000000)))
        abort();
    if (!sValidCode(loader.startLoader(0x20000000)))
        abort();
    return 0;
}
