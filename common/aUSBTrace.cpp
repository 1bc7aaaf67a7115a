// The library's trace switch and the USB trace line (see aUSBTrace.h).
#include "common/aUSBTrace.h"

#include <cstdarg>
#include <cstdio>

bool aCorvantisDebuggingEnable = false;
uint32_t aCorvantisDebuggingLevel = 0;

void aUSB_Trace(uint32_t category, const char* format, ...)
{
    if (!aCorvantisDebuggingEnable || !(aCorvantisDebuggingLevel & category))
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
