// Log: the process-wide debug trace. Every layer above the procedural device
// layer traces through Log::log under a package bit; -X on the command line
// switches packages on. Package 0 is always written. Trace lines go to the
// stream set with SetOutput (standard error in the application) and are
// dropped until one is set.
#pragma once

#include <cstdint>
#include <cstdio>

// Package bits.
constexpr uint32_t DEBUG_Updater = 0x00000001;      // updater flows and store
constexpr uint32_t DEBUG_History = 0x00000002;
constexpr uint32_t DEBUG_Attributes = 0x00000004;   // settings files
constexpr uint32_t DEBUG_BirdFile = 0x00000008;     // firmware package files
constexpr uint32_t DEBUG_Network2 = 0x00000010;     // listed as a second DEBUG_Network in the usage text
constexpr uint32_t DEBUG_ServerComm = 0x00000020;   // HTTP layer and server requests
constexpr uint32_t DEBUG_Network = 0x00000100;      // device search, LPC recovery, reconnects
constexpr uint32_t DEBUG_Network_SR = 0x00000200;
constexpr uint32_t DEBUG_Network_FIRM = 0x00000400; // upgrade entity commands
constexpr uint32_t DEBUG_NXPSerial = 0x00001000;    // LPC serial ISP client
constexpr uint32_t DEBUG_NXPSerial_E = 0x00002000;  // LPC echo and response handling
constexpr uint32_t DEBUG_NXPSerial_SR = 0x00004000; // LPC send/receive bytes
constexpr uint32_t DEBUG_APP = 0x00010000;          // command line, start-up, timing
constexpr uint32_t DEBUG_iMXSerial = 0x10000000;    // i.MX serial download loader

class Log {
  public:
    static FILE* fh;
    static uint32_t package_bitmask;
    static bool timestamped;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;

    static void SetOutput(FILE* out);
    static void ActivatePackage(uint32_t mask);
    static void DeactivatePackage(uint32_t mask);
    // True when a trace under this package would be written.
    static bool IsActive(uint32_t package);

    // Writes one trace text (the caller supplies its own newlines) when the
    // package is 0 or shares a bit with package_bitmask.
    static void log(uint32_t package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
};
