// ServerTree: a reference-server tree for the build-command tests: module
// 0000ABCD with BIRD files for builds 123 (1.2.3) and 124 (1.10.0, current)
// and a feature token. Header-only; the files are made with birdpack.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ReferenceServer.h"
#include "tools/birdpack/BirdWriter.h"

struct ServerTree {
    static constexpr uint32_t SERIAL = 0xABCD;
    TempDir dir;

    ServerTree() {
        std::filesystem::create_directory(device());
        Bird(123, "1.2.3", 1).Write(device() + "/123.bird");
        Bird(124, "1.10.0", 2).Write(device() + "/124.bird");
        Index("token=aa.bb.cc\n");
    }
    static birdpack::BirdWriter Bird(uint32_t build, const std::string& version, uint32_t seed) {
        birdpack::BirdWriter w;
        w.AddLoader(0x10000000, birdpack::BirdWriter::SyntheticImage(512, seed));
        w.AddFirmware(0, birdpack::BirdWriter::SyntheticImage(4096, seed + 100));
        w.AddIdentity(build, version, SERIAL, "Zorbel");
        return w;
    }
    std::string root() const { return dir.path(); }
    std::string device() const { return dir / "0000ABCD"; }
    void Index(const std::string& text) const { std::ofstream(device() + "/index") << text; }
    std::string ServedFile(const std::string& name) const { return Read(device() + "/" + name); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};
