// The simulator's own UU-encoding of ISP data lines (it shares no code with
// the client on purpose): zero encodes as a backquote, and both backquote
// and space decode as zero. Used by LpcBootRom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lpcsim {

std::string uuEncodeLine(const uint8_t* data, size_t count);
// The bytes of one line (without its line end), or nothing when the line is
// malformed: bad count, too short for its count, or characters outside the
// encoding's range.
std::optional<std::vector<uint8_t>> uuDecodeLine(const std::string& line);

} // namespace lpcsim
