// aStream: the transport-neutral byte channel under every link and under the
// boot-ROM clients. A transport supplies up to four procedures and a
// reference; the stream adds a push-back ring, validity checking and record
// helpers. Constructors for the file, socket, serial and COBS transports are
// declared here too; each lives in its own aStream_*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

// get: store one byte and return aErrNone; aErrNotReady when no byte arrived
// within the transport's short read wait; aErrEOF at the end of finite data.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// Releases the transport and the reference itself.
typedef aErr (*aStreamDeleteProc)(void* reference);

constexpr uint16_t aSTREAM_CHECK = 0x4321;

struct aStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* procRef;
    uint8_t* pushBuffer; // push-back ring, null until first used
    size_t pushCount;
    size_t pushSize;
    size_t pushHead;
    size_t pushTail;
    uint16_t check;
};

inline bool aVALIDSTREAM(const aStream* stream) { return stream && stream->check == aSTREAM_CHECK; }

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);
// Reads exactly count bytes; on aErrNotReady nothing is written and the bytes
// already taken are kept for the next read; on aErrEOF the bytes there were
// are written.
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count);
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);
// Reads up to the terminator (not stored), the end of the data, or size bytes.
aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);
aErr aStream_ReadCString(aStream* stream, char* destination, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* destination, size_t size, const char* terminator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
// Copies bytes from source to destination until the source ends.
aErr aStream_Flush(aStream* source, aStream* destination);
// Calls the delete procedure and frees the stream; always nulls *stream.
aErr aStream_Destroy(aStream** stream);

// File streams (aStream_File.cpp).
aErr aStream_CreateFileInput(const char* path, aStream** out);
aErr aStream_CreateFileOutput(const char* path, aStream** out);

// TCP client stream (aStream_Socket.cpp); address in network byte order.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** out);

// Serial streams (aStream_Serial.cpp, aStream_SerialPacketized.cpp).
// baudCode indexes 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400;
// parity 0 off / 1 even; dataBits 0 eight / 1 seven; stopBits 0 one / 1 two.
aErr aStream_CreateSerial(const char* portPath, int32_t baudCode, int parity, int dataBits,
                          int stopBits, aStream** out);
aErr aStream_CreateSerial_Packetized(const char* portPath, int32_t baudCode, int parity,
                                     int dataBits, int stopBits, aStream** out);
// A COBS/CRC-8 framing stream over any byte transport.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** out);
