// The serial-port transport shared by the plain serial stream and the
// packetized (COBS) serial stream: opening and configuring the port and its
// four stream procedures.
#pragma once

#include "common/aStream.h"

struct aSerialPort;

// Opens and configures the port; on failure nothing stays open.
aErr aSerialPort_Open(const char* portPath, int32_t baudCode, int parity, int dataBits, int stopBits,
                      aSerialPort** out);
aErr aSerialPort_Get(uint8_t* byte, void* reference);
aErr aSerialPort_Put(const uint8_t* byte, void* reference);
aErr aSerialPort_Write(const uint8_t* data, size_t length, void* reference);
// Restores the port's earlier settings, closes it and frees the state.
aErr aSerialPort_Delete(void* reference);
