// COBS framing stream: wraps any byte transport so that every packet written
// travels as one frame (packet bytes, CRC-8, COBS stuffing, a 0x00 delimiter)
// and every good frame received is delivered as the plain packet bytes. The
// link engine above sees the same bytes it would see over USB.
#include "common/aStream.h"

#include <cstring>
#include <new>

#include "common/COBS.h"
#include "common/CRC8.h"
#include "common/aPacket.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
constexpr size_t kMaxEncoded = 32;   // COBS of the largest body (31 bytes)
constexpr size_t kMaxFrame = kMaxEncoded + 1;
// A get examines at most this many line bytes before it answers aErrNotReady,
// so a line that streams garbage without delimiters cannot hold the reader.
constexpr int kBytesPerGet = 2 * kMaxFrame;

struct CobsState {
    aStreamGetProc get = nullptr;
    aStreamPutProc put = nullptr;
    aStreamWriteProc write = nullptr;
    aStreamDeleteProc del = nullptr;
    void* reference = nullptr;
    uint16_t check = kCobsCheck;
    // Reading side.
    uint8_t rx[kMaxEncoded];
    size_t rxCount = 0;
    bool pending = false;
    size_t position = 0;
    size_t pendingLength = 0;
    // Writing side.
    aPacket* assembler = nullptr;
    uint8_t frame[kMaxFrame + 1];
    size_t frameLength = 0;
};

CobsState* sState(void* reference)
{
    CobsState* state = static_cast<CobsState*>(reference);
    return (state && state->check == kCobsCheck) ? state : nullptr;
}

aErr sCobsGet(uint8_t* byte, void* reference)
{
    CobsState* state = sState(reference);
    if (!state || !byte)
        return aErrParam;
    if (!state->pending) {
        // Take line bytes while they come, so that a whole frame arriving
        // together is delivered without the reader seeing a gap in it.
        for (int taken = 0;; ++taken) {
            if (taken == kBytesPerGet || !state->get)
                return aErrNotReady;
            uint8_t b;
            if (state->get(&b, state->reference) != aErrNone)
                return aErrNotReady;
            if (b != 0) {
                if (state->rxCount < kMaxEncoded)
                    state->rx[state->rxCount] = b;
                ++state->rxCount; // counts dropped bytes too, so an overlong frame fails
                continue;
            }
            if (state->rxCount == 0)
                continue; // consecutive delimiters
            const bool overlong = state->rxCount > kMaxEncoded;
            const size_t n = overlong ? 0 : cobs_decode_inplace(state->rx, state->rxCount);
            state->rxCount = 0;
            if (n > 2 && n == static_cast<size_t>(state->rx[1]) + 3
                && crc8_check(state->rx, n - 1, state->rx[n - 1])) {
                state->pending = true;
                state->position = 0;
                state->pendingLength = n - 1;
                break;
            }
            return aErrPacket;
        }
    }
    *byte = state->rx[state->position++];
    if (state->position == state->pendingLength)
        state->pending = false;
    return aErrNone;
}

aErr sSendFrame(CobsState* state)
{
    size_t length = 0;
    if (aPacket_GetBytes(state->assembler, state->frame, sizeof(state->frame), &length) != aErrNone) {
        aPacket_Reset(state->assembler);
        return aErrPacket;
    }
    aPacket_Reset(state->assembler);
    state->frame[length] = crc8_create(state->frame, length);
    length = cobs_encode_inplace(state->frame, length + 1);
    state->frame[length++] = 0;
    state->frameLength = length;
    if (state->write)
        return state->write(state->frame, length, state->reference);
    if (!state->put)
        return aErrMode;
    for (size_t i = 0; i < length; ++i) {
        const aErr err = state->put(&state->frame[i], state->reference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr sCobsWrite(const uint8_t* data, size_t length, void* reference)
{
    CobsState* state = sState(reference);
    if (!state || (!data && length))
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(state->assembler, data[i]) != aErrNone) {
            // Not a packet byte: pass it over and start afresh, so that one
            // bad write cannot jam every later one.
            aPacket_Reset(state->assembler);
            continue;
        }
        if (aPacket_IsComplete(state->assembler)) {
            const aErr err = sSendFrame(state);
            if (err != aErrNone)
                result = err;
        }
    }
    return result;
}

aErr sCobsPut(const uint8_t* byte, void* reference)
{
    CobsState* state = sState(reference);
    if (!state || !byte)
        return aErrParam;
    if (!state->put)
        return aErrMode;
    return state->put(byte, state->reference);
}

aErr sCobsDelete(void* reference)
{
    CobsState* state = sState(reference);
    if (!state)
        return aErrParam;
    const aErr err = state->del ? state->del(state->reference) : aErrNone;
    aPacket_Destroy(&state->assembler);
    state->check = 0;
    delete state;
    return err;
}

} // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** out)
{
    if (!out)
        return aErrParam;
    CobsState* state = new (std::nothrow) CobsState;
    if (!state)
        return aErrMemory;
    state->assembler = aPacket_Create();
    if (!state->assembler) {
        delete state;
        return aErrMemory;
    }
    state->get = get;
    state->put = put;
    state->write = write;
    state->del = del;
    state->reference = reference;
    aStream* stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, state);
    if (!stream) {
        aPacket_Destroy(&state->assembler);
        delete state;
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}
