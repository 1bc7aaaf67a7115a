// BirdBlock: one block record of a loaded BIRD firmware package. It points
// into the payload buffer of the BirdFile that parsed it and does not own the
// bytes: a copy stays valid only while that BirdFile keeps its buffer. The
// update and recovery flows hand loader and firmware blocks to the module.
#pragma once

#include <cstdint>

enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,         // 4-byte address word, then the loader image
    BLOCK_FIRMWARE = 1,       // 4-byte address word, then the firmware image
    BLOCK_SERIAL_OFFSETS = 2, // serial-number address, descriptor address
    BLOCK_IDENTITY = 4,       // build, version, serial, model: 16 bytes each
    BLOCK_LOADER_ENTRY = 5,   // address of the i.MX loader's image vector table
};

constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;           // the three flag bits, 0-7
    uint32_t length = 0;         // number of data bytes
    uint32_t address = 0;        // address word of a loader or firmware block, else 0
    uint8_t* data = nullptr;     // first data byte (for images: the address word)

    // The image of a loader or firmware block: the bytes after the address
    // word. Empty for other blocks and for image blocks too short to hold one.
    uint8_t* image() const { return HasImage() ? data + 4 : nullptr; }
    uint32_t imageLength() const { return HasImage() ? length - 4 : 0; }
    bool HasImage() const
    {
        return (type == BLOCK_LOADER || type == BLOCK_FIRMWARE) && length >= 4 && data;
    }
};
