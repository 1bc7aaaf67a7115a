// Packetized serial stream: the COBS framing stream over a serial port. The
// link table opens one for every serial link.
#include "common/aStream.h"
#include "common/aStream_Serial.h"

aErr aStream_CreateSerial_Packetized(const char* portPath, int32_t baudCode, int parity, int dataBits,
                                     int stopBits, aStream** out)
{
    if (!portPath || !out)
        return aErrParam;
    aSerialPort* port = nullptr;
    aErr err = aSerialPort_Open(portPath, baudCode, parity, dataBits, stopBits, &port);
    if (err != aErrNone)
        return err;
    err = aStream_CreateCobsEncoding(aSerialPort_Get, aSerialPort_Put, aSerialPort_Write, aSerialPort_Delete,
                                     port, out);
    if (err != aErrNone)
        aSerialPort_Delete(port);
    return err;
}
