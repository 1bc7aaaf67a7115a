// Log: process-wide debug trace switched per package (see Log.h).
#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::SetOutput(FILE* out)
{
    fh = out;
}

void Log::ActivatePackage(uint32_t mask)
{
    package_bitmask |= mask;
}

void Log::DeactivatePackage(uint32_t mask)
{
    package_bitmask &= ~mask;
}

bool Log::IsActive(uint32_t package)
{
    return package == 0 || (package & package_bitmask) != 0;
}

void Log::log(uint32_t package, const char* format, ...)
{
    if (!IsActive(package) || format == nullptr)
        return;
    FILE* out = fh;
    if (out == nullptr)
        return;

    // The stamp goes to the same stream as the trace it belongs to.
    if (timestamped && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        size_t n = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fwrite(stamp, 1, n, out);
        fwrite(SEPARATOR, 1, strlen(SEPARATOR), out);
    }

    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    fwrite(text, 1, len, out);
}
