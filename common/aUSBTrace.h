// The device library's trace switch and category mask, and the USB
// transport's trace line. Both are off at start and nothing in the updater
// turns them on; a developer can set them from a debugger or a test.
#pragma once

#include <cstdint>

extern bool aCorvantisDebuggingEnable;
extern uint32_t aCorvantisDebuggingLevel;

// Category bits: link engine and device API; USB transfers.
constexpr uint32_t aDEBUG_LINK = 0x1;
constexpr uint32_t aDEBUG_USB_TRANSFERS = 0x400;

// Prints one trace line to standard output and flushes it when tracing is on
// and the category bit is set.
void aUSB_Trace(uint32_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
