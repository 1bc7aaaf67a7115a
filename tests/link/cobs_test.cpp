// CRC-8, COBS, the COBS framing stream over a scripted transport, and the
// serial streams on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "common/COBS.h"
#include "common/CRC8.h"
#include "common/aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Crc8, CheckValueAndIncrementalUpdate)
{
    const char* text = "123456789";
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(text), 9), 0xA1);
    const Bytes body = {0x02, 0x01, 0x00};
    EXPECT_EQ(crc8_create(body.data(), body.size()), 0x8B);
    uint8_t crc = 0;
    for (uint8_t b : body)
        crc = crc8_update(crc, b);
    EXPECT_EQ(crc, 0x8B);
    EXPECT_TRUE(crc8_check(body.data(), body.size(), 0x8B));
    EXPECT_FALSE(crc8_check(body.data(), body.size(), 0x8C));
}

TEST(Cobs, EncodeAndDecodeVectors)
{
    struct Case {
        Bytes plain, encoded;
    };
    Bytes run254(254, 0x11), run254enc = {0xFF};
    run254enc.insert(run254enc.end(), run254.begin(), run254.end());
    run254enc.push_back(0x01);
    const std::vector<Case> cases = {
        {{0x02, 0x01, 0x00, 0x8B}, {0x03, 0x02, 0x01, 0x02, 0x8B}},
        {{0x00}, {0x01, 0x01}},
        {{0x00, 0x00}, {0x01, 0x01, 0x01}},
        {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {{0x11, 0x00}, {0x02, 0x11, 0x01}},
        {run254, run254enc},
    };
    for (const auto& c : cases) {
        Bytes out(c.plain.size() + 4);
        ASSERT_EQ(cobs_encode(c.plain.data(), c.plain.size(), out.data()), c.encoded.size());
        out.resize(c.encoded.size());
        EXPECT_EQ(out, c.encoded);

        Bytes inplace = c.plain;
        inplace.resize(c.encoded.size() + 1);
        EXPECT_EQ(cobs_encode_inplace(inplace.data(), c.plain.size()), c.encoded.size());
        inplace.resize(c.encoded.size());
        EXPECT_EQ(inplace, c.encoded);

        Bytes back = c.encoded;
        ASSERT_EQ(cobs_decode_inplace(back.data(), back.size()), c.plain.size());
        back.resize(c.plain.size());
        EXPECT_EQ(back, c.plain);
    }
}

TEST(Cobs, DecodeRefusesBrokenInput)
{
    Bytes out(16);
    const Bytes pastEnd = {0x05, 0x11, 0x22};
    const Bytes innerZero = {0x03, 0x11, 0x00};
    EXPECT_EQ(cobs_decode(pastEnd.data(), pastEnd.size(), out.data()), 0u);
    EXPECT_EQ(cobs_decode(innerZero.data(), innerZero.size(), out.data()), 0u);
}

// The line below a COBS stream: scripted incoming bytes, recorded writes.
struct Line {
    std::deque<int> incoming; // byte, or -1 for "nothing now"
    std::vector<Bytes> writes;
};
aErr sLineGet(uint8_t* byte, void* reference)
{
    Line* l = static_cast<Line*>(reference);
    if (l->incoming.empty())
        return aErrNotReady;
    const int v = l->incoming.front();
    l->incoming.pop_front();
    if (v < 0)
        return aErrNotReady;
    *byte = static_cast<uint8_t>(v);
    return aErrNone;
}
aErr sLineWrite(const uint8_t* data, size_t length, void* reference)
{
    static_cast<Line*>(reference)->writes.emplace_back(data, data + length);
    return aErrNone;
}
aErr sLinePut(const uint8_t* byte, void* reference) { return sLineWrite(byte, 1, reference); }

struct CobsOverLine {
    Line line;
    aStream* stream = nullptr;
    CobsOverLine() { EXPECT_EQ(aStream_CreateCobsEncoding(sLineGet, sLinePut, sLineWrite, nullptr, &line, &stream), aErrNone); }
    ~CobsOverLine() { aStream_Destroy(&stream); }
    void feed(const Bytes& b) { line.incoming.insert(line.incoming.end(), b.begin(), b.end()); }
    // Gets until the line runs dry; collects delivered bytes and error codes.
    Bytes drain(std::vector<aErr>* errors = nullptr)
    {
        Bytes got;
        for (int i = 0; i < 200; ++i) {
            uint8_t b;
            const aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone)
                got.push_back(b);
            else if (err != aErrNotReady && errors)
                errors->push_back(err);
            if (err == aErrNotReady && line.incoming.empty())
                break;
        }
        return got;
    }
};

Bytes sFrame(const Bytes& packet)
{
    Bytes body = packet;
    body.push_back(crc8_create(packet.data(), packet.size()));
    Bytes out(body.size() + 2);
    out.resize(cobs_encode(body.data(), body.size(), out.data()));
    out.push_back(0);
    return out;
}

TEST(CobsStream, WritesOneFramePerPacket)
{
    CobsOverLine c;
    const Bytes twoPackets = {0x02, 0x01, 0x00, 0x04, 0x00};
    ASSERT_EQ(aStream_Write(c.stream, twoPackets.data(), twoPackets.size()), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 2u);
    EXPECT_EQ(c.line.writes[0], (Bytes{0x03, 0x02, 0x01, 0x02, 0x8B, 0x00}));
    EXPECT_EQ(c.line.writes[1], sFrame({0x04, 0x00}));
}

TEST(CobsStream, BadBytesDoNotJamLaterWrites)
{
    CobsOverLine c;
    const Bytes oversize = {0x02, 0x1D}; // a length above 28 is no packet
    aStream_Write(c.stream, oversize.data(), oversize.size());
    const Bytes good = {0x06, 0x00};
    ASSERT_EQ(aStream_Write(c.stream, good.data(), good.size()), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 1u);
    EXPECT_EQ(c.line.writes[0], sFrame(good));
}

TEST(CobsStream, ReceivesGoodFramesWhole)
{
    CobsOverLine c;
    c.feed({0x03, 0x02, 0x01, 0x02, 0x8B, 0x00});
    EXPECT_EQ(c.drain(), (Bytes{0x02, 0x01, 0x00}));

    Bytes full = {0x08, 28};
    for (uint8_t i = 0; i < 28; ++i)
        full.push_back(i); // includes a zero byte
    const Bytes frame = sFrame(full);
    EXPECT_EQ(frame.size(), 33u) << "32 encoded bytes and the delimiter";
    c.feed(frame);
    EXPECT_EQ(c.drain(), full);
}

TEST(CobsStream, DamagedFramesAndDelimiters)
{
    struct Case {
        const char* name;
        Bytes line;
        Bytes delivered;
        size_t packetErrors;
    };
    Bytes wrongCrc = sFrame({0x04, 0x01, 0x33});
    wrongCrc[wrongCrc.size() - 2] ^= 0x01;
    Bytes lengthMismatch = sFrame({0x04, 0x02, 0x33}); // says 2 data bytes, has 1
    Bytes overlong(40, 0x11);
    overlong.push_back(0);
    const Bytes good = {0x06, 0x00};
    const std::vector<Case> cases = {
        {"wrong CRC", wrongCrc, {}, 1},
        {"length byte disagrees", lengthMismatch, {}, 1},
        {"too short", {0x02, 0x06, 0x00}, {}, 1},
        {"overlong run", overlong, {}, 1},
        {"consecutive delimiters", {0x00, 0x00, 0x00}, {}, 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        CobsOverLine c;
        c.feed(k.line);
        c.feed(sFrame(good)); // the next good frame still comes through
        std::vector<aErr> errors;
        const Bytes got = c.drain(&errors);
        EXPECT_EQ(errors.size(), k.packetErrors);
        for (aErr e : errors)
            EXPECT_EQ(e, aErrPacket);
        EXPECT_EQ(got, good);
    }
}

// --- serial streams on a pseudo-terminal ---

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            termios t;
            tcgetattr(slave, &t);
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    Bytes read(size_t n, int timeoutMs = 2000)
    {
        Bytes out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                break;
            uint8_t buf[256];
            const ssize_t got = ::read(master, buf, std::min(sizeof(buf), n - out.size()));
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    void write(const Bytes& b) { ASSERT_EQ(::write(master, b.data(), b.size()), ssize_t(b.size())); }
};

Bytes sReadStream(aStream* s, size_t n)
{
    Bytes out;
    for (int i = 0; i < 100 && out.size() < n; ++i) {
        uint8_t b;
        if (aStream_Read(s, &b, 1) == aErrNone)
            out.push_back(b);
    }
    return out;
}

TEST(SerialStream, ConstructorErrors)
{
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 2, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 2, 0, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port", 6, 0, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/no-such-port", 6, 0, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, &s), aErrIO) << "not a terminal";
    EXPECT_EQ(s, nullptr);
}

TEST(SerialStream, PlainBytesPassUnchangedAndSettingsAreRestored)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    termios before;
    tcgetattr(pty.slave, &before);
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 1, 1, 1, &s), aErrNone);
    termios applied;
    tcgetattr(pty.slave, &applied);
    // A pseudo-terminal keeps its own line bits; speed and raw mode show.
    EXPECT_EQ(cfgetospeed(&applied), B115200);
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(applied.c_cc[VMIN], 0);

    const Bytes out = {0x00, 0x41, 0xFF, 0x0A};
    ASSERT_EQ(aStream_Write(s, out.data(), out.size()), aErrNone);
    EXPECT_EQ(pty.read(4), out);
    pty.write({0x00, 0x0D, 0x99});
    EXPECT_EQ(sReadStream(s, 3), (Bytes{0x00, 0x0D, 0x99}));
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    termios after;
    tcgetattr(pty.slave, &after);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

TEST(SerialStream, PacketizedStreamFramesBothWays)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &s), aErrNone);
    const Bytes packet = {0x02, 0x01, 0x00};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(pty.read(6), (Bytes{0x03, 0x02, 0x01, 0x02, 0x8B, 0x00}));
    pty.write(sFrame({0x04, 0x02, 0x00, 0x01}));
    EXPECT_EQ(sReadStream(s, 4), (Bytes{0x04, 0x02, 0x00, 0x01}));
    aStream_Destroy(&s);
}

} // namespace
