// I2CClass (see I2CClass.h): I2C transfers as plain command packets.
#include "device_api/I2CClass.h"

#include <cstring>

namespace Veltrane::Corvantis {

namespace {

constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusError = 0x80;

// Reply status: data byte 4 with bit 7 set carries an error code.
aErr sStatus(const uint8_t* reply, uint8_t size)
{
    if (size <= 4)
        return aErrPacket;
    if (reply[4] & kStatusError)
        return static_cast<aErr>(reply[4] & 0x7F);
    return aErrNone;
}

} // namespace

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, ENTITY_CLASS, index); }

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && !buffer)
        return aErrParam;
    const uint8_t target = static_cast<uint8_t>(address | 1);
    const uint8_t request[] = {getIndex(), target, length, m_speed};
    if (const aErr err = sendPacket(ENTITY_CLASS, sizeof request, request))
        return err;
    const uint8_t match[] = {ENTITY_CLASS, getIndex(), target};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = sizeof match;
    if (const aErr err = receivePacket(match, &size, reply))
        return err;
    if (const aErr err = sStatus(reply, size))
        return err;
    if (size < 5u + length)
        return aErrSize;
    std::memcpy(buffer, reply + 5, length);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && !data)
        return aErrParam;
    uint8_t request[4 + MAX_TRANSFER] = {getIndex(), address, length, m_speed};
    if (length > 0)
        std::memcpy(request + 4, data, length);
    if (const aErr err = sendPacket(ENTITY_CLASS, static_cast<uint8_t>(4 + length), request))
        return err;
    const uint8_t match[] = {ENTITY_CLASS, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = sizeof match;
    if (const aErr err = receivePacket(match, &size, reply))
        return err;
    return sStatus(reply, size);
}

aErr I2CClass::setPullup(bool on)
{
    const uint8_t request[] = {getIndex(), kPullupAddress, static_cast<uint8_t>(on ? 1 : 0)};
    if (const aErr err = sendPacket(ENTITY_CLASS, sizeof request, request))
        return err;
    const uint8_t match[] = {ENTITY_CLASS, getIndex(), kPullupAddress};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = sizeof match;
    if (const aErr err = receivePacket(match, &size, reply))
        return err;
    return sStatus(reply, size);
}

aErr I2CClass::setSpeed(uint8_t code)
{
    if (code > kMaxSpeed)
        return aErrParam;
    m_speed = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code)
{
    if (!code)
        return aErrParam;
    *code = m_speed;
    return aErrNone;
}

} // namespace Veltrane::Corvantis
