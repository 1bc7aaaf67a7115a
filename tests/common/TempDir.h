// A fresh directory below the system's temporary directory for one test,
// removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"

class TempDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        tempDir.emplace("updater-common");
        root = tempDir->path();
    }
    void TearDown() override { tempDir.reset(); }

    std::string path(const std::string& name) const { return root + "/" + name; }

    void writeFile(const std::string& name, const std::string& content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::string readFile(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::optional<testsupport::TempDir> tempDir;
    std::string root;
};
