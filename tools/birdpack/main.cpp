// birdpack: developer tool that writes BIRD firmware package files from
// images and identity fields. The updater only reads these files; tests,
// simulators and the demo use this tool to make realistic ones.
#include "tools/birdpack/BirdWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

using birdpack::BirdWriter;
using birdpack::Bytes;

namespace {

const char* USAGE =
    "usage: birdpack -o FILE [blocks and options...]\n"
    "Blocks, written in the order given:\n"
    "  --loader ADDR IMAGE          loader block (IMAGE is a file of raw bytes)\n"
    "  --firmware ADDR IMAGE        firmware block\n"
    "  --synthetic-firmware ADDR SIZE [SEED]\n"
    "                               firmware block of SIZE generated image bytes\n"
    "  --serial-offsets SADDR DADDR serial-number and descriptor addresses (0: none)\n"
    "  --identity BUILD VERSION SERIAL MODEL\n"
    "                               identity block (SERIAL in hex)\n"
    "  --loader-entry ADDR          loader entry (image vector table) address\n"
    "  --block TYPE DATAFILE        a block of any type with raw data\n"
    "Options:\n"
    "  --flags N                    flag bits (0-7) of the next loader/firmware block\n"
    "  --scramble W0 W1 W2 W3       scramble firmware images for this chip fingerprint\n"
    "  --declare-count N            block count written in the payload header\n"
    "  --signature TEXT             four signature bytes (default bird)\n"
    "  --format-version N           16-bit format version (default 0x0101)\n"
    "  --checksum N                 payload checksum word (default CRC-32)\n"
    "  --level N                    zlib compression level 0-9 (default 9)\n"
    "Numbers are decimal or 0x-prefixed hex.\n";

[[noreturn]] void fail(const std::string& text)
{
    std::fprintf(stderr, "birdpack: %s\n", text.c_str());
    std::exit(1);
}

unsigned long number(const char* text, unsigned long max, const char* what)
{
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 0);
    if (!*text || *end || errno || text[0] == '-' || v > max)
        fail(std::string("invalid ") + what + ": '" + text + "'");
    return v;
}

uint32_t u32(const char* text, const char* what) { return uint32_t(number(text, 0xFFFFFFFFul, what)); }

Bytes readFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(std::string("cannot read '") + path + "': " + std::strerror(errno));
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv)
{
    BirdWriter writer;
    std::string output;
    int level = 9;
    uint8_t flags = 0;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        auto need = [&](int n) {
            if (i + n >= argc)
                fail(opt + " needs " + std::to_string(n) + " argument(s)");
        };
        if (opt == "-h" || opt == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (opt == "-o" || opt == "--output") {
            need(1);
            output = argv[++i];
        } else if (opt == "--loader" || opt == "--firmware") {
            need(2);
            uint32_t addr = u32(argv[i + 1], "address");
            Bytes image = readFile(argv[i + 2]);
            i += 2;
            if (opt == "--loader")
                writer.AddLoader(addr, image, flags);
            else
                writer.AddFirmware(addr, image, flags);
            flags = 0;
        } else if (opt == "--synthetic-firmware") {
            need(2);
            uint32_t addr = u32(argv[i + 1], "address");
            size_t size = number(argv[i + 2], 0x7FFFFFFFul, "size");
            i += 2;
            uint32_t seed = 1;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                seed = u32(argv[++i], "seed");
            writer.AddFirmware(addr, BirdWriter::SyntheticImage(size, seed), flags);
            flags = 0;
        } else if (opt == "--serial-offsets") {
            need(2);
            writer.AddSerialOffsets(u32(argv[i + 1], "serial address"),
                                    u32(argv[i + 2], "descriptor address"));
            i += 2;
        } else if (opt == "--identity") {
            need(4);
            std::string serial = argv[i + 3];
            if (serial.rfind("0x", 0) != 0 && serial.rfind("0X", 0) != 0)
                serial = "0x" + serial;
            writer.AddIdentity(u32(argv[i + 1], "build"), argv[i + 2],
                               u32(serial.c_str(), "serial"), argv[i + 4]);
            i += 4;
        } else if (opt == "--loader-entry") {
            need(1);
            writer.AddLoaderEntry(u32(argv[++i], "address"));
        } else if (opt == "--block") {
            need(2);
            uint8_t type = uint8_t(number(argv[i + 1], 31, "block type"));
            writer.AddRaw(type, flags, readFile(argv[i + 2]));
            flags = 0;
            i += 2;
        } else if (opt == "--flags") {
            need(1);
            flags = uint8_t(number(argv[++i], 7, "flags"));
        } else if (opt == "--scramble") {
            need(4);
            writer.Scramble({u32(argv[i + 1], "key word"), u32(argv[i + 2], "key word"),
                             u32(argv[i + 3], "key word"), u32(argv[i + 4], "key word")});
            i += 4;
        } else if (opt == "--declare-count") {
            need(1);
            writer.SetDeclaredCount(u32(argv[++i], "count"));
        } else if (opt == "--signature") {
            need(1);
            if (std::strlen(argv[i + 1]) != 4)
                fail("signature must be four characters");
            writer.SetSignature(argv[++i]);
        } else if (opt == "--format-version") {
            need(1);
            writer.SetFormatVersion(uint16_t(number(argv[++i], 0xFFFF, "format version")));
        } else if (opt == "--checksum") {
            need(1);
            writer.SetChecksum(u32(argv[++i], "checksum"));
        } else if (opt == "--level") {
            need(1);
            level = int(number(argv[++i], 9, "level"));
        } else {
            std::fputs(USAGE, stderr);
            fail("unknown option '" + opt + "'");
        }
    }
    if (output.empty()) {
        std::fputs(USAGE, stderr);
        fail("no output file (-o)");
    }
    if (!writer.Write(output, level))
        fail("cannot write '" + output + "': " + std::strerror(errno));
    return 0;
}
