// IMX1050: fixed facts of the i.MX RT1050 boot ROM that the serial download
// loader and the recovery flow need: the unique-ID fuse words, the boot ROM's
// USB-HID identity and the default entry of a recovery loader.
#pragma once

#include <cstdint>

namespace IMX1050 {

constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000; // fuse controller registers
constexpr uint32_t CFG0_OFFSET = 0x410;             // first unique-ID fuse word
constexpr uint32_t CFG1_OFFSET = 0x420;             // second unique-ID fuse word
constexpr uint16_t VID = 0x1FC9;                    // boot ROM HID vendor id
constexpr uint16_t PID = 0x0130;                    // boot ROM HID product id
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;

} // namespace IMX1050
