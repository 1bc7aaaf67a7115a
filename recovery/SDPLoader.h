// SDPLoader: runs the serial download protocol conversation with an i.MX
// RT1050 boot ROM through one owned SDPLoader_Interface: the connection check,
// loading an image into RAM, starting it and reading the unique-ID fuses.
// The i.MX recovery flow uses it to load and start the live loader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "recovery/SDPLoader_IMX1050.h"
#include "recovery/SDPLoader_Interface.h"

class SDPLoader {
  public:
    // Result codes.
    static constexpr int SDP_OK = 0;
    static constexpr int SDP_NO_TRANSPORT = 1;     // init without a transport
    static constexpr int SDP_NO_ANSWER = 2;        // no answer to the status check
    static constexpr int SDP_TRANSFER_ABORTED = 3; // the boot ROM spoke during the data phase
    static constexpr int SDP_WRITE_FAILED = 4;     // final status was not "write complete"
    static constexpr int SDP_JUMP_REFUSED = 5;     // the boot ROM answered the jump with an error
    static constexpr int SDP_INIT_FAILED = 6;      // the transport did not open
    static constexpr int SDP_INCOMPLETE_REPLY = 7; // a register reply was not complete

    // Time-out of every reply read, in milliseconds.
    static constexpr int REPLY_TIMEOUT_MS = 100;
    static constexpr int STATUS_ATTEMPTS = 5;

    SDPLoader();
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes the transport when none is set yet; otherwise (or for null)
    // returns false and leaves `transport` with the caller.
    bool setLoader(std::unique_ptr<SDPLoader_Interface>&& transport);

    int init();
    int writeLoader(const std::vector<uint8_t>& bytes, uint32_t address);
    int writeLoader(const uint8_t* bytes, size_t size, uint32_t address);
    // Jumps to the image vector table at `address`. SDP_OK unless the boot ROM
    // answered with an error status (SDP_JUMP_REFUSED); callers may ignore it.
    int startLoader(uint32_t address);
    int getFingerprint(uint64_t& fingerprint);

  private:
    bool _isConnectionAlive();
    bool _expectAck(const std::vector<uint8_t>& reply);
    // Sends a command and collects the reply (both traced); the write's result.
    ssize_t _command(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply);
    bool _readRegister(uint32_t address, uint32_t& value);

    std::unique_ptr<SDPLoader_Interface> transport_;
};
