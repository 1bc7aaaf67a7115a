// Update-server answers: line splitting, the parser of each question's answer,
// and the ordering of build lists by version.
#include <gtest/gtest.h>

#include "updater/UpdateServerRequest.h"

using USR = UpdateServerRequest;
using BuildList = USR::BuildList;

TEST(SplitLines, SkipsEmptyLinesAndKeepsCarriageReturns) {
    EXPECT_EQ(USR::SplitLines(""), std::vector<std::string>{});
    EXPECT_EQ(USR::SplitLines("\n\n"), std::vector<std::string>{});
    EXPECT_EQ(USR::SplitLines("ok\n\n\nA\nB"), (std::vector<std::string>{"ok", "A", "B"}));
    EXPECT_EQ(USR::SplitLines("ok\r\nA\r\n"), (std::vector<std::string>{"ok\r", "A\r"}));
}

TEST(ParsePing, FirstLineMustBeginWithOk) {
    struct Case {
        const char* body;
        bool ok;
    } cases[] = {
        {"ok", true},          {"ok\n", true},    {"\n\nok\r\n", true}, {"okay, fine", true},
        {"", false},           {"\n", false},     {"o", false},         {"OK", false},
        {" ok", false},        {"error\nok", false},
    };
    for (const auto& c : cases) EXPECT_EQ(USR::ParsePing(c.body), c.ok) << c.body;
}

TEST(ParseQueryBuild, TakesBuildAndFirmwareFromPresentLines) {
    struct Case {
        const char* body;
        bool ok;
        const char* build;
        const char* firmware;
    } cases[] = {
        {"ok\n124\nfw-1\n", true, "124", "fw-1"},
        {"ok\r\n124\r\nfw-1\r\n", true, "124", "fw-1"},
        {"ok\n\n124\n\n\nfw-1", true, "124", "fw-1"},
        {"ok\n124\n", true, "124", "old-fw"},  // firmware line missing: left as it was
        {"ok\n", true, "old-build", "old-fw"},
        {"refused\n124\nfw-1\n", false, "old-build", "old-fw"},
    };
    for (const auto& c : cases) {
        std::string build = "old-build", firmware = "old-fw";
        EXPECT_EQ(USR::ParseQueryBuild(c.body, build, firmware), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
}

TEST(ParseGetBuild, ClearsOutputOnSuccessOnly) {
    std::string text = "stale";
    EXPECT_TRUE(USR::ParseGetBuild("ok\nYmlyZA==\n", text));
    EXPECT_EQ(text, "YmlyZA==");
    EXPECT_TRUE(USR::ParseGetBuild("ok\r\nYmlyZA==\r\n", text));
    EXPECT_EQ(text, "YmlyZA==");
    text = "stale";
    EXPECT_TRUE(USR::ParseGetBuild("ok\n", text));
    EXPECT_EQ(text, "");
    text = "stale";
    EXPECT_FALSE(USR::ParseGetBuild("no such build\nYmlyZA==\n", text));
    EXPECT_EQ(text, "stale");
}

TEST(ParseGetBuildList, TableOfAnswers) {
    struct Case {
        const char* name;
        const char* body;
        bool ok;
        BuildList builds;
    } cases[] = {
        {"plain", "ok\n123;1.2.3\n124;1.10.0\nx\n", true, {{"123", "1.2.3"}, {"124", "1.10.0"}}},
        {"crlf", "ok\r\n123;1.2.3\r\n", true, {{"123", "1.2.3"}}},
        {"empty lines", "ok\n\n\n123;1.2.3\n\n", true, {{"123", "1.2.3"}}},
        {"short lines", "ok\nab\n1;\n12\n", true, {}},
        {"missing version", "ok\n777\n778;\n", true, {{"777", ""}, {"778", ""}}},
        {"extra field", "ok\n123;1.2.3;beta\n", true, {{"123", "1.2.3"}}},
        {"duplicate keeps first", "ok\n123;1.2.3\n123;9.9.9\n", true, {{"123", "1.2.3"}}},
        {"no build number", "ok\n;1.2.3\n", true, {}},
        {"only ok", "ok", true, {}},
        {"refused", "error\n123;1.2.3\n", false, {}},
        {"empty", "", false, {}},
    };
    for (const auto& c : cases) {
        BuildList builds = {{"stale", "0.0.0"}};
        EXPECT_EQ(USR::ParseGetBuildList(c.body, builds), c.ok) << c.name;
        EXPECT_EQ(builds, c.builds) << c.name;
    }
}

TEST(ParseGetRecoveryInfo, SerialInHexAndBuildWithAutomaticBase) {
    struct Case {
        const char* body;
        bool ok;
        uint32_t serial;
        uint32_t build;
    } cases[] = {
        {"ok\n1A2B3C4D\n0x10\n", true, 0x1A2B3C4D, 16},
        {"ok\n1a2b3c4d\n010\n", true, 0x1A2B3C4D, 8},  // leading 0: octal
        {"ok\n0000ABCD\n99528558\r\n", true, 0xABCD, 99528558},
        {"ok\n0000ABCD\n", true, 0xABCD, 7},  // build line missing: unchanged
        {"ok\n", true, 5, 7},
        {"ok\nnothex\n16\n", false, 5, 7},
        {"ok\n0000ABCD\nbuild\n", false, 5, 7},
        {"ok\n1FFFFFFFF\n16\n", false, 5, 7},  // does not fit 32 bits
        {"ok\n0000ABCD\n-1\n", false, 5, 7},
        {"denied\n1A2B3C4D\n16\n", false, 5, 7},
    };
    for (const auto& c : cases) {
        uint32_t serial = 5, build = 7;
        EXPECT_EQ(USR::ParseGetRecoveryInfo(c.body, serial, build), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(ParseGetDeviceJWT, TokenMustHaveThreePartsOfTwoOrMoreCharacters) {
    struct Case {
        const char* body;
        bool ok;
        const char* token;
    } cases[] = {
        {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
        {"ok\r\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\neyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl\n", true, "eyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl"},
        {"ok\naa.b.cc\n", false, "old"},
        {"ok\na.bb.cc\n", false, "old"},
        {"ok\naa.bb.c\n", false, "old"},
        {"ok\naa.bb.c\r\n", false, "old"},
        {"ok\naa.bb\n", false, "old"},
        {"ok\naabbcc\n", false, "old"},
        {"ok\n..\n", false, "old"},
        {"ok\n", false, "old"},
        {"no token\naa.bb.cc\n", false, "old"},
    };
    for (const auto& c : cases) {
        std::string token = "old";
        EXPECT_EQ(USR::ParseGetDeviceJWT(c.body, token), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

TEST(FingerprintParameter, FourHexWordsJoinedByEncodedSpaces) {
    Fingerprint fp{{0x1, 0xABCDEF12, 0, 0xFFFFFFFF}};
    EXPECT_EQ(USR::FingerprintParameter(fp), "00000001%20ABCDEF12%2000000000%20FFFFFFFF");
}

TEST(SplitCorvantisVersion, ExactlyThreePartsOrNothing) {
    using V = std::vector<std::string>;
    EXPECT_EQ(USR::SplitCorvantisVersion("1.2.3"), (V{"1", "2", "3"}));
    EXPECT_EQ(USR::SplitCorvantisVersion("2.10.0-rc1"), (V{"2", "10", "0-rc1"}));
    EXPECT_EQ(USR::SplitCorvantisVersion("1..3"), (V{"1", "", "3"}));
    EXPECT_EQ(USR::SplitCorvantisVersion(".."), (V{"", "", ""}));
    EXPECT_EQ(USR::SplitCorvantisVersion(""), V{});
    EXPECT_EQ(USR::SplitCorvantisVersion("1.2"), V{});
    EXPECT_EQ(USR::SplitCorvantisVersion("1.2.3.4"), V{});
}

namespace {
std::vector<std::string> sortedBuilds(const BuildList& list) {
    std::vector<std::string> builds;
    for (const auto& [build, version] : USR::SortBuildsByVersion(list)) builds.push_back(build);
    return builds;
}
}  // namespace

TEST(SortBuildsByVersion, NewestFirstComparedNumerically) {
    const BuildList list = {{"100", "1.2.3"}, {"101", "1.10.0"}, {"102", "2.0.0"}, {"103", "1.2.10"}};
    EXPECT_EQ(sortedBuilds(list), (std::vector<std::string>{"102", "101", "103", "100"}));
    const auto sorted = USR::SortBuildsByVersion(list);
    ASSERT_EQ(sorted.size(), 4u);
    EXPECT_EQ(sorted[0], (USR::BuildEntry{"102", "2.0.0"}));
}

TEST(SortBuildsByVersion, PartsAboveOneByteStillCompareByValue) {
    const BuildList list = {{"1", "1.2.50"}, {"2", "1.2.300"}, {"3", "1.300.0"}};
    EXPECT_EQ(sortedBuilds(list), (std::vector<std::string>{"3", "2", "1"}));
}

TEST(SortBuildsByVersion, IrregularVersionsGoLastInBuildOrder) {
    // Each irregular form once, mixed with regular ones; the result must not
    // depend on where they sit in the input.
    const BuildList list = {{"10", "beta"}, {"11", "1.0.0"}, {"12", ""},       {"13", "1.2"},
                            {"14", "3.0.0"}, {"15", "1.x.0"}, {"16", "1.2.3.4"}, {"17", "-1.0.0"},
                            {"18", "2.0.0"}, {"19", "9999999999.0.0"}};
    EXPECT_EQ(sortedBuilds(list),
              (std::vector<std::string>{"14", "18", "11", "10", "12", "13", "15", "16", "17", "19"}));
}

TEST(SortBuildsByVersion, EqualVersionsKeepBuildOrderAndNothingIsLost) {
    BuildList list;
    for (int i = 0; i < 200; ++i) list[std::to_string(1000 + i)] = (i % 3 ? "1.0." + std::to_string(i % 7) : "x");
    const auto sorted = USR::SortBuildsByVersion(list);
    ASSERT_EQ(sorted.size(), list.size());
    EXPECT_EQ(BuildList(sorted.begin(), sorted.end()), list);
    for (size_t i = 1; i < sorted.size(); ++i) {
        const auto& a = sorted[i - 1];
        const auto& b = sorted[i];
        if (a.second == b.second) {
            EXPECT_LT(a.first, b.first);
        }
        if (a.second == "x") {
            EXPECT_EQ(b.second, "x");  // irregular ones stay together at the end
        }
        if (a.second != "x" && b.second != "x") {
            EXPECT_GE(a.second, b.second);  // one-digit parts: text order is numeric order
        }
    }
    EXPECT_TRUE(USR::SortBuildsByVersion({}).empty());
}
