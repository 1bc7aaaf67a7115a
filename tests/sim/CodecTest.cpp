// Simulator framing: CRC-8 and COBS vectors, the plain and COBS framers'
// acceptance and rejection of host bytes, and resynchronisation after junk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Cobs.h"
#include "sim/Framer.h"

using namespace modsim;
using Bytes = std::vector<uint8_t>;

namespace {

// "ok A S D..." or "reject REASON B..." per event, joined by "; ".
std::string feedAll(Framer& f, const Bytes& in, size_t step = 0) {
    std::vector<FrameEvent> ev;
    if (step == 0) step = in.size() ? in.size() : 1;
    for (size_t i = 0; i < in.size(); i += step)
        f.feed(in.data() + i, std::min(step, in.size() - i), ev);
    std::string s;
    for (auto& e : ev) {
        if (!s.empty()) s += "; ";
        s += e.ok ? "ok " + e.packet.text()
                  : "reject " + e.reason + (e.bytes.empty() ? "" : " " + bytesText(e.bytes));
    }
    return s;
}

Bytes frameOf(const Packet& p) {
    Bytes out;
    makeCobsFramer()->encode(p, out);
    return out;
}

} // namespace

TEST(Crc8, KnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xA1);
    const Bytes body = {0x02, 0x01, 0x00};
    EXPECT_EQ(crc8(body.data(), body.size()), 0x8B);
}

TEST(Cobs, RoundTripsBodiesWithZerosAndLongRuns) {
    std::vector<Bytes> bodies = {{}, {0}, {0, 0}, {1}, {1, 0, 2}, {0x11, 0x22, 0, 0x33}};
    Bytes run253(253, 0x5A), run254(254, 0x5A), run300(300, 0x5A);
    run300[100] = 0;
    bodies.push_back(run253);
    bodies.push_back(run254);
    bodies.push_back(run300);
    for (auto& b : bodies) {
        auto enc = cobsEncode(b.data(), b.size());
        for (uint8_t c : enc)
            ASSERT_NE(c, 0) << "encoded body contains a zero";
        if (b.size() < 254) {
            EXPECT_EQ(enc.size(), b.size() + 1);
        }
        auto dec = cobsDecode(enc.data(), enc.size());
        ASSERT_TRUE(dec.has_value());
        EXPECT_EQ(*dec, b);
    }
}

TEST(Cobs, StrictDecodingRefusesMalformedBodies) {
    const std::vector<Bytes> bad = {
        {0x03, 0x02},       // code points past the end
        {0x05, 0x01, 0x02}, // same, further
        {0x02, 0x00},       // embedded zero
        {0x00},             // zero code byte
    };
    for (auto& b : bad)
        EXPECT_FALSE(cobsDecode(b.data(), b.size()).has_value()) << bytesText(b);
}

TEST(CobsFramer, EncodesAndDecodesTheReferenceFrame) {
    const Packet p = Packet::make(0x02, {0x00});
    EXPECT_EQ(frameOf(p), (Bytes{0x03, 0x02, 0x01, 0x02, 0x8B, 0x00}));
    auto f = makeCobsFramer();
    // The host sends to even addresses only, so use the same frame shape at address 6.
    const Packet q = Packet::make(0x06, {0x00});
    EXPECT_EQ(feedAll(*f, frameOf(q), 1), "ok 6 1 0");
}

TEST(CobsFramer, FullPacketTravelsInThirtyThreeBytes) {
    Bytes data(28);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37); // includes zeros
    const Packet p = Packet::make(4, data.data(), data.size());
    Bytes frame = frameOf(p);
    EXPECT_EQ(frame.size(), 33u);
    EXPECT_EQ(frame.back(), 0);
    auto f = makeCobsFramer();
    EXPECT_EQ(feedAll(*f, frame), "ok " + p.text());
}

TEST(CobsFramer, RefusesDamagedFramesAndRecovers) {
    const Packet good = Packet::make(4, {3, 0x49, 0x20});
    Bytes badCrc = frameOf(good);
    badCrc[badCrc.size() - 2] ^= 0x01; // last encoded byte is the CRC here

    // Length byte says 4 but 3 data bytes follow; CRC is right for the body.
    Bytes body = {4, 4, 3, 0x49, 0x20};
    body.push_back(crc8(body.data(), body.size()));
    Bytes lenMismatch = cobsEncode(body.data(), body.size());
    lenMismatch.push_back(0);

    Bytes tooLong(40, 0x11);
    tooLong.push_back(0);

    Bytes oddBody = {7, 0};
    oddBody.push_back(crc8(oddBody.data(), oddBody.size()));
    Bytes oddFrame = cobsEncode(oddBody.data(), oddBody.size());
    oddFrame.push_back(0);

    struct Case {
        const char* name;
        Bytes in;
        std::string expect;
    } cases[] = {
        {"wrong crc", badCrc, "reject crc"},
        {"length byte disagrees", lenMismatch, "reject length-mismatch"},
        {"more than 32 encoded bytes", tooLong, "reject frame-too-long"},
        {"odd address inside a good frame", oddFrame, "reject odd-address"},
        {"stuffing points past the end", {0x09, 0x06, 0x00}, "reject cobs"},
        {"consecutive delimiters", {0x00, 0x00, 0x00}, ""},
    };
    for (auto& c : cases) {
        auto f = makeCobsFramer();
        Bytes in = c.in;
        Bytes next = frameOf(good);
        in.insert(in.end(), next.begin(), next.end());
        std::string got = feedAll(*f, in);
        std::string want = c.expect.empty() ? "ok " + good.text() : c.expect;
        EXPECT_EQ(got.substr(0, want.size()), want) << c.name << ": " << got;
        EXPECT_NE(got.find("ok " + good.text()), std::string::npos)
            << c.name << ": no recovery: " << got;
    }
}

TEST(RawFramer, AcceptsAndRefusesHostBytes) {
    struct Case {
        Bytes in;
        std::string expect;
    } cases[] = {
        {{173, 0}, "ok 173 0"},
        {{175, 1, 1, 175, 1, 0}, "ok 175 1 1; ok 175 1 0"},
        {{6, 3, 3, 0x49, 0x20}, "ok 6 3 3 73 32"},
        {{6, 0}, "ok 6 0"},
        {{0, 6, 0}, "reject zero-address 0; ok 6 0"},
        {{7, 6, 0}, "reject odd-address 7; ok 6 0"},
        {{6, 29, 6, 0}, "reject oversize-length 6 29; ok 6 0"},
        {{173, 1, 5}, "reject query-with-data 173 1 5"},
        {{175, 1, 2}, "reject route-value 175 1 2"},
        {{175, 0}, "reject route-length 175 0"},
        {{175, 2, 1, 1}, "reject route-length 175 2 1 1"},
    };
    for (auto& c : cases) {
        for (size_t step : {size_t(0), size_t(1)}) {
            auto f = makeRawFramer();
            EXPECT_EQ(feedAll(*f, c.in, step), c.expect) << bytesText(c.in) << " step " << step;
        }
    }
}

TEST(RawFramer, MaximalPacketAndResetForgetsPartialInput) {
    Bytes in = {8, 28};
    for (int i = 0; i < 28; ++i)
        in.push_back(static_cast<uint8_t>(i));
    auto f = makeRawFramer();
    EXPECT_EQ(feedAll(*f, in), "ok " + bytesText(in));

    Bytes partial = {6, 5, 1, 2};
    EXPECT_EQ(feedAll(*f, partial), "");
    f->reset();
    EXPECT_EQ(feedAll(*f, {173, 0}), "ok 173 0");
}

TEST(Framers, RandomBytesNeverYieldAPacketAModuleWouldRefuse) {
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    for (auto make : {makeRawFramer, makeCobsFramer}) {
        auto f = make();
        size_t accepted = 0;
        for (int round = 0; round < 2000; ++round) {
            Bytes in(1 + next() % 40);
            for (auto& b : in)
                b = (next() % 4 == 0) ? 0 : next();
            if (std::string(f->name()) == "cobs" && round % 2) {
                // A well-stuffed frame with a correct CRC over a random body, so that
                // the checks after the CRC (length, addresses, control packets) run.
                Bytes body = {next(), static_cast<uint8_t>(next() % 32)};
                const size_t n = next() % 29;
                for (size_t i = 0; i < n; ++i)
                    body.push_back(next() % 3 ? next() : 0);
                if (round % 4 == 1) { // an even address and a length that fits: mostly accepted
                    body[0] = static_cast<uint8_t>(2 * (1 + next() % 100));
                    body[1] = static_cast<uint8_t>(n);
                }
                body.push_back(crc8(body.data(), body.size()));
                in = cobsEncode(body.data(), body.size());
                in.push_back(0);
            }
            std::vector<FrameEvent> ev;
            f->feed(in.data(), in.size(), ev);
            for (auto& e : ev) {
                if (!e.ok) continue;
                ++accepted;
                ASSERT_LE(e.packet.size, kMaxData);
                ASSERT_EQ(hostPacketFault(e.packet), nullptr)
                    << f->name() << ": " << e.packet.text();
            }
        }
        EXPECT_GT(accepted, 0u) << f->name() << ": the input never formed a packet";
    }
}
