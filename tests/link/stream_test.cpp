// Streams: the generic stream's push-back ring and record reading over a
// scripted transport, file streams, and the TCP socket stream against a real
// loopback peer (pushed-back bytes, reset in place, refused connects).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "common/aStream.h"
#include "tests/link/LoopbackPeer.h"

namespace {

// A transport that yields scripted results: a byte, or an error code.
struct Script {
    std::deque<int> items; // >= 0: a byte; < 0: -(aErr)
    std::vector<uint8_t> putBytes;
    std::vector<size_t> writeBlocks;
    int deletes = 0;
};

aErr sScriptGet(uint8_t* byte, void* reference)
{
    Script* s = static_cast<Script*>(reference);
    if (s->items.empty())
        return aErrEOF;
    const int item = s->items.front();
    s->items.pop_front();
    if (item < 0)
        return static_cast<aErr>(-item);
    *byte = static_cast<uint8_t>(item);
    return aErrNone;
}
aErr sScriptPut(const uint8_t* byte, void* reference)
{
    static_cast<Script*>(reference)->putBytes.push_back(*byte);
    return aErrNone;
}
aErr sScriptWrite(const uint8_t*, size_t length, void* reference)
{
    static_cast<Script*>(reference)->writeBlocks.push_back(length);
    return aErrNone;
}
aErr sScriptDelete(void* reference)
{
    ++static_cast<Script*>(reference)->deletes;
    return aErrNone;
}

constexpr int kNotReady = -static_cast<int>(aErrNotReady);

struct ScriptStream {
    Script script;
    aStream* stream = aStream_Create(sScriptGet, sScriptPut, sScriptWrite, sScriptDelete, &script);
    ~ScriptStream() { aStream_Destroy(&stream); }
};

TEST(Stream, ShortReadIsKeptForTheNextRead)
{
    ScriptStream s;
    s.script.items = {'a', 'b', kNotReady, 'c', 'd', 'e'};
    uint8_t out[4] = {0, 0, 0, 0};
    EXPECT_EQ(aStream_Read(s.stream, out, 4), aErrNotReady);
    EXPECT_EQ(out[0], 0) << "nothing is written on aErrNotReady";
    ASSERT_EQ(aStream_Read(s.stream, out, 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "abcd");
    ASSERT_EQ(aStream_Read(s.stream, out, 1), aErrNone);
    EXPECT_EQ(out[0], 'e');
}

TEST(Stream, PushBackRingGrowsPastItsFirstBlock)
{
    // 1500 bytes then a gap: all of them go back into the ring (three growth
    // steps) and come out again in order.
    ScriptStream s;
    for (int i = 0; i < 1500; ++i)
        s.script.items.push_back(i % 251);
    s.script.items.push_back(kNotReady);
    s.script.items.push_back(7);
    std::vector<uint8_t> out(1501);
    EXPECT_EQ(aStream_Read(s.stream, out.data(), out.size()), aErrNotReady);
    ASSERT_EQ(aStream_Read(s.stream, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 1500; ++i)
        ASSERT_EQ(out[i], i % 251) << i;
    EXPECT_EQ(out[1500], 7);
}

TEST(Stream, WriteUsesPutForSingleBytesAndWriteForBlocks)
{
    ScriptStream s;
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(s.stream, data, 1), aErrNone);
    EXPECT_EQ(aStream_Write(s.stream, data, 3), aErrNone);
    EXPECT_EQ(s.script.putBytes, (std::vector<uint8_t>{1}));
    EXPECT_EQ(s.script.writeBlocks, (std::vector<size_t>{3}));
    EXPECT_EQ(aStream_Write(s.stream, nullptr, 3), aErrParam);

    aStream* readOnly = aStream_Create(sScriptGet, nullptr, nullptr, nullptr, &s.script);
    EXPECT_EQ(aStream_Write(readOnly, data, 3), aErrMode);
    aStream_Destroy(&readOnly);
}

TEST(Stream, DestroyCallsDeleteOnceAndAlwaysClearsThePointer)
{
    Script script;
    aStream* stream = aStream_Create(sScriptGet, nullptr, nullptr, sScriptDelete, &script);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);

    aStream bogus{};
    aStream* invalid = &bogus;
    EXPECT_EQ(aStream_Destroy(&invalid), aErrParam);
    EXPECT_EQ(invalid, nullptr);
    uint8_t b;
    EXPECT_EQ(aStream_Read(&bogus, &b, 1), aErrParam);
}

struct RecordCase {
    const char* name;
    std::vector<int> input;
    size_t size;
    std::string terminator;
    aErr result;
    std::string record;
    std::string next; // what a following plain read of the rest returns
};

TEST(Stream, ReadRecordCases)
{
    const std::vector<RecordCase> cases = {
        {"terminated", {'a', 'b', '\n', 'c'}, 10, "\n", aErrNone, "ab", "c"},
        {"full destination ends the record", {'a', 'b', 'c', 'd', 'e'}, 3, "\n", aErrNone, "abc", "de"},
        {"last record without terminator", {'a', 'b'}, 10, "\n", aErrNone, "ab", ""},
        {"nothing at all", {}, 10, "\n", aErrEOF, "", ""},
        {"two-byte terminator", {'o', 'k', '\r', '\n', 'x'}, 10, "\r\n", aErrNone, "ok", "x"},
        {"broken-off terminator is data", {'a', '\r', 'b', '\r', '\n'}, 10, "\r\n", aErrNone, "a\rb", ""},
        {"overlapping terminator start", {'x', 'a', 'a', 'a', 'b', 'y'}, 10, "aab", aErrNone, "xa", "y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptStream s;
        s.script.items.assign(c.input.begin(), c.input.end());
        uint8_t out[16] = {};
        size_t length = 99;
        ASSERT_EQ(aStream_ReadRecord(s.stream, out, &length, c.size,
                                     reinterpret_cast<const uint8_t*>(c.terminator.data()), c.terminator.size()),
                  c.result);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.record);
        std::string rest;
        uint8_t b;
        while (aStream_Read(s.stream, &b, 1) == aErrNone)
            rest.push_back(static_cast<char>(b));
        EXPECT_EQ(rest, c.next);
    }
}

TEST(Stream, ReadRecordInterruptedByAGapLosesNothing)
{
    ScriptStream s;
    s.script.items = {'a', 'b', '\r', kNotReady, '\n', 'z'};
    uint8_t out[8];
    size_t length = 0;
    const uint8_t crlf[2] = {'\r', '\n'};
    EXPECT_EQ(aStream_ReadRecord(s.stream, out, &length, sizeof(out), crlf, 2), aErrNotReady);
    ASSERT_EQ(aStream_ReadRecord(s.stream, out, &length, sizeof(out), crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), "ab");
}

TEST(Stream, FlushCopiesUntilTheSourceEnds)
{
    Script src;
    src.items = {'h', 'i'};
    Script dst;
    aStream* a = aStream_Create(sScriptGet, nullptr, nullptr, nullptr, &src);
    aStream* b = aStream_Create(nullptr, sScriptPut, nullptr, nullptr, &dst);
    EXPECT_EQ(aStream_Flush(a, b), aErrNone);
    EXPECT_EQ(dst.putBytes, (std::vector<uint8_t>{'h', 'i'}));
    src.items = {'x', kNotReady};
    EXPECT_EQ(aStream_Flush(a, b), aErrNotReady);
    EXPECT_EQ(aStream_Flush(b, a), aErrMode);
    aStream_Destroy(&a);
    aStream_Destroy(&b);
}

class FileStream : public ::testing::Test {
protected:
    std::string path = std::string(UPDATER_BINARY_DIR) + "/link_stream_test_" + std::to_string(getpid());
    void TearDown() override { std::remove(path.c_str()); }
    void writeFile(const std::string& content)
    {
        aStream* out = nullptr;
        ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
        ASSERT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>(content.data()), content.size()), aErrNone);
        ASSERT_EQ(aStream_Destroy(&out), aErrNone);
    }
    std::pair<aErr, std::string> readCString(size_t size = 16)
    {
        aStream* in = nullptr;
        EXPECT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
        char text[64];
        std::memset(text, 'X', sizeof(text));
        const aErr err = aStream_ReadCString(in, text, size);
        aStream_Destroy(&in);
        return {err, err == aErrNone ? std::string(text) : std::string()};
    }
};

TEST_F(FileStream, ShortFileReadsWhatThereIsWithEOF)
{
    writeFile("xyz");
    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    uint8_t out[4] = {};
    EXPECT_EQ(aStream_Read(in, out, 4), aErrEOF);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "xyz");
    aStream_Destroy(&in);
}

TEST_F(FileStream, CStringsEndAtZeroOrAtTheEnd)
{
    writeFile(std::string("abc\0def", 7));
    EXPECT_EQ(readCString(), std::make_pair(aErrNone, std::string("abc")));
    writeFile("ab");
    EXPECT_EQ(readCString(), std::make_pair(aErrNone, std::string("ab")));
    writeFile("");
    EXPECT_EQ(readCString().first, aErrEOF);
    writeFile("abcdef");
    EXPECT_EQ(readCString(4), std::make_pair(aErrNone, std::string("abc"))) << "room for size - 1 bytes";
}

TEST_F(FileStream, ConstructorErrors)
{
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateFileInput((path + "/missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrParam);
    EXPECT_EQ(aStream_CreateFileOutput(path.c_str(), nullptr), aErrParam);
}

// --- socket stream against a real loopback peer ---

std::vector<uint8_t> sReadAll(aStream* stream, size_t n, int timeoutMs = 3000)
{
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        uint8_t b;
        if (aStream_Read(stream, &b, 1) == aErrNone)
            out.push_back(b);
    }
    return out;
}

TEST(SocketStream, RefusedConnectGivesResourceAndNoStream)
{
    uint16_t port;
    {
        LoopbackPeer peer; // take a free port, then stop listening on it
        port = peer.port();
    }
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}

TEST(SocketStream, BytesFlowBothWaysAndPartialReadsArePushedBack)
{
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());

    const uint8_t hello[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(aStream_Write(s, hello, 5), aErrNone);
    EXPECT_EQ(peer.read(5), std::vector<uint8_t>(hello, hello + 5));

    uint8_t out[4] = {};
    EXPECT_EQ(aStream_Read(s, out, 4), aErrNotReady) << "nothing sent yet";
    peer.write({1, 2});
    aErr err = aErrNotReady;
    for (int i = 0; i < 10 && err == aErrNotReady; ++i)
        err = aStream_Read(s, out, 4); // takes 1, 2 then waits in vain: pushed back
    EXPECT_EQ(err, aErrNotReady);
    peer.write({3, 4});
    err = aErrNotReady;
    for (int i = 0; i < 40 && err == aErrNotReady; ++i)
        err = aStream_Read(s, out, 4);
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, PeerResetIsHandledInPlace)
{
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.write({9});
    EXPECT_EQ(sReadAll(s, 1), (std::vector<uint8_t>{9}));

    // The peer drops the connection hard; the reader notices, connects again
    // to the same address, and the same stream object carries on.
    peer.resetConnection();
    uint8_t b;
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(aStream_Read(s, &b, 1), aErrNone);
    ASSERT_TRUE(peer.accept()) << "the stream did not connect again";
    peer.write({42});
    EXPECT_EQ(sReadAll(s, 1), (std::vector<uint8_t>{42}));
    const uint8_t after[2] = {7, 8};
    ASSERT_EQ(aStream_Write(s, after, 2), aErrNone);
    EXPECT_EQ(peer.read(2), (std::vector<uint8_t>{7, 8}));
    aStream_Destroy(&s);
}

TEST(SocketStream, WriterReconnectsAfterThePeerWentAway)
{
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.resetConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint8_t data[3] = {5, 6, 7};
    std::thread acceptor([&] { EXPECT_TRUE(peer.accept()); });
    EXPECT_EQ(aStream_Write(s, data, 3), aErrNone);
    acceptor.join();
    EXPECT_EQ(peer.read(3), (std::vector<uint8_t>{5, 6, 7}));
    aStream_Destroy(&s);
}

} // namespace
