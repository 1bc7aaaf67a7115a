// The generic stream: procedure dispatch, the push-back ring and the record
// helpers shared by every transport.
#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kPushStep = 512;

bool sPushByte(aStream* stream, uint8_t byte)
{
    if (!stream->pushBuffer) {
        stream->pushBuffer = static_cast<uint8_t*>(std::malloc(kPushStep));
        if (!stream->pushBuffer)
            return false;
        stream->pushSize = kPushStep;
        stream->pushHead = stream->pushTail = stream->pushCount = 0;
    }
    if (stream->pushCount >= stream->pushSize - 1) {
        const size_t size = stream->pushSize + kPushStep;
        uint8_t* grown = static_cast<uint8_t*>(std::malloc(size));
        if (!grown)
            return false;
        for (size_t i = 0; i < stream->pushCount; ++i)
            grown[i] = stream->pushBuffer[(stream->pushHead + i) % stream->pushSize];
        std::free(stream->pushBuffer);
        stream->pushBuffer = grown;
        stream->pushSize = size;
        stream->pushHead = 0;
        stream->pushTail = stream->pushCount;
    }
    stream->pushBuffer[stream->pushTail] = byte;
    stream->pushTail = (stream->pushTail + 1) % stream->pushSize;
    ++stream->pushCount;
    return true;
}

bool sPopByte(aStream* stream, uint8_t* byte)
{
    if (stream->pushCount == 0)
        return false;
    *byte = stream->pushBuffer[stream->pushHead];
    stream->pushHead = (stream->pushHead + 1) % stream->pushSize;
    --stream->pushCount;
    return true;
}

// The bytes go back in front of anything still held, so they come out first.
aErr sPushBackFront(aStream* stream, const uint8_t* bytes, size_t count)
{
    std::vector<uint8_t> held;
    uint8_t byte;
    while (sPopByte(stream, &byte))
        held.push_back(byte);
    for (size_t i = 0; i < count; ++i)
        if (!sPushByte(stream, bytes[i]))
            return aErrMemory;
    for (uint8_t b : held)
        if (!sPushByte(stream, b))
            return aErrMemory;
    return aErrNone;
}

} // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference)
{
    aStream* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
    if (!stream)
        return nullptr;
    stream->getProc = get;
    stream->putProc = put;
    stream->writeProc = write;
    stream->deleteProc = del;
    stream->procRef = reference;
    stream->check = aSTREAM_CHECK;
    return stream;
}

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count)
{
    if (!aVALIDSTREAM(stream) || !destination)
        return aErrParam;
    if (!stream->getProc)
        return aErrMode;
    // The link engine reads one byte at a time: keep that path allocation-free.
    uint8_t small[64];
    std::vector<uint8_t> large;
    uint8_t* block = small;
    if (count > sizeof(small)) {
        try {
            large.resize(count);
        } catch (...) {
            return aErrResource;
        }
        block = large.data();
    }
    aErr err = aErrNone;
    size_t got = 0;
    while (got < count && err == aErrNone) {
        if (sPopByte(stream, &block[got])) {
            ++got;
            continue;
        }
        err = stream->getProc(&block[got], stream->procRef);
        if (err == aErrNone)
            ++got;
    }
    if (err == aErrNotReady) {
        if (got > 0) {
            const aErr pushed = sPushBackFront(stream, block, got);
            if (pushed != aErrNone)
                return pushed;
        }
        return aErrNotReady;
    }
    if (err == aErrNone || err == aErrEOF)
        std::memcpy(destination, block, got);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length)
{
    if (!aVALIDSTREAM(stream) || !data)
        return aErrParam;
    if (!stream->putProc && !stream->writeProc)
        return aErrMode;
    if (stream->writeProc && (length > 1 || !stream->putProc))
        return stream->writeProc(data, length, stream->procRef);
    for (size_t i = 0; i < length; ++i) {
        const aErr err = stream->putProc(&data[i], stream->procRef);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength)
{
    if (!aVALIDSTREAM(stream) || !destination || !terminator || terminatorLength == 0)
        return aErrParam;
    std::vector<uint8_t> stored;
    try {
        stored.reserve(size);
    } catch (...) {
        return aErrResource;
    }
    // Bytes that matched the start of the terminator and must be looked at
    // again when the match breaks off (they are data after all).
    std::vector<uint8_t> refeed;
    size_t matched = 0;
    aErr err = aErrNone;
    bool complete = size == 0;
    while (!complete && err == aErrNone) {
        uint8_t byte;
        if (!refeed.empty()) {
            byte = refeed.front();
            refeed.erase(refeed.begin());
        } else {
            err = aStream_Read(stream, &byte, 1);
            if (err == aErrEOF) {
                err = (stored.empty() && matched == 0) ? aErrEOF : aErrNone;
                // A last record without its terminator: any partial match is data.
                for (size_t i = 0; i < matched && stored.size() < size; ++i)
                    stored.push_back(terminator[i]);
                break;
            }
            if (err == aErrNotReady) {
                // Keep everything for the next call, partial terminator included.
                std::vector<uint8_t> back(stored);
                back.insert(back.end(), terminator, terminator + matched);
                const aErr pushed = sPushBackFront(stream, back.data(), back.size());
                return pushed != aErrNone ? pushed : aErrNotReady;
            }
            if (err != aErrNone)
                break;
        }
        if (byte == terminator[matched]) {
            if (++matched == terminatorLength)
                complete = true;
            continue;
        }
        if (matched > 0) {
            // The match broke off: its first byte is data, the rest and this
            // byte are examined again.
            stored.push_back(terminator[0]);
            std::vector<uint8_t> again(terminator + 1, terminator + matched);
            again.push_back(byte);
            again.insert(again.end(), refeed.begin(), refeed.end());
            refeed.swap(again);
            matched = 0;
            if (stored.size() == size)
                complete = true;
            continue;
        }
        stored.push_back(byte);
        if (stored.size() == size)
            complete = true;
    }
    if (!refeed.empty()) {
        const aErr pushed = sPushBackFront(stream, refeed.data(), refeed.size());
        if (pushed != aErrNone)
            return pushed;
    }
    if (err == aErrNone || err == aErrEOF) {
        if (!stored.empty())
            std::memcpy(destination, stored.data(), stored.size());
        if (length)
            *length = stored.size();
    }
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength)
{
    if (!aVALIDSTREAM(stream) || !data || !terminator || terminatorLength == 0)
        return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone)
        err = aStream_Write(stream, terminator, terminatorLength);
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* destination, size_t size)
{
    if (!destination || size == 0)
        return aErrParam;
    const uint8_t zero = 0;
    size_t length = 0;
    const aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length,
                                        size - 1, &zero, 1);
    if (err == aErrNone)
        destination[length] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (!text)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* destination, size_t size, const char* terminator)
{
    if (!destination || size == 0 || !terminator)
        return aErrParam;
    size_t length = 0;
    const aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length, size - 1,
                                        reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator));
    if (err == aErrNone)
        destination[length] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator)
{
    if (!text || !terminator)
        return aErrParam;
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    if (err == aErrNone)
        err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator) + 1);
    return err;
}

aErr aStream_Flush(aStream* source, aStream* destination)
{
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (!source->getProc || !destination->putProc)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        const aErr got = source->getProc(&byte, source->procRef);
        if (got == aErrEOF)
            return aErrNone;
        if (got != aErrNone)
            return got;
        const aErr put = destination->putProc(&byte, destination->procRef);
        if (put != aErrNone)
            return put;
    }
}

aErr aStream_Destroy(aStream** stream)
{
    if (!stream)
        return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->deleteProc)
        err = s->deleteProc(s->procRef);
    std::free(s->pushBuffer);
    s->check = 0;
    std::free(s);
    return err;
}
