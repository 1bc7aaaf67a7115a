// Version words in both formats, comparison, and the library's own version
// and feature list.
#include "common/aVersion.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(aVersionTest, PackAndParseBothFormats)
{
    struct PackCase {
        uint8_t major, minor, patch;
        uint32_t word;
        bool legacy;
    };
    const PackCase cases[] = {
        {2, 14, 3, 0x2E000003, true},
        {2, 15, 3, 0x2F020F03, false},
        {0, 0, 0, 0x00000000, true},
        {1, 9, 255, 0x190000FF, true},
        {2, 0, 200, 0x200000C8, true},
        {3, 0, 1, 0x2F030001, false},
        {2, 255, 0, 0x2F02FF00, false},
        {255, 255, 255, 0x2FFFFFFF, false},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.major} << "." << int{c.minor} << "." << int{c.patch});
        const uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(aVersion_IsLegacyFormat(word), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
    }
}

TEST(aVersionTest, FormatBoundaryAndLegacyPatch)
{
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x2EFFFFFF));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F000000));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x30000000));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0xFFFFFFFF));

    // A legacy word keeps 24 bits of patch, read back whole.
    const uint32_t legacy = 0x1201F4A0;
    EXPECT_EQ(aVersion_ParseMajor(legacy), 1);
    EXPECT_EQ(aVersion_ParseMinor(legacy), 2);
    EXPECT_EQ(aVersion_ParsePatch(legacy), 0x01F4A0u);
    // A word with a top byte above the marker is still read in the current format.
    EXPECT_EQ(aVersion_ParseMajor(0x30010203), 1);
    EXPECT_EQ(aVersion_ParsePatch(0x30010203), 3u);
}

TEST(aVersionTest, ParseString)
{
    char buffer[32];
    EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 3), buffer, sizeof buffer), 6);
    EXPECT_STREQ(buffer, "2.15.3");
    aVersion_ParseString(0x1201F4A0, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "1.2.128160");
    // Truncated to the buffer, the full length still returned.
    EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 3), buffer, 4), 6);
    EXPECT_STREQ(buffer, "2.1");
}

TEST(aVersionTest, IsAtLeastCompare)
{
    struct CompareCase {
        uint8_t a1, a2, a3, b1, b2, b3;
        bool atLeast;
    };
    const CompareCase cases[] = {
        {1, 2, 3, 1, 2, 3, true},
        {1, 2, 3, 1, 3, 0, false},
        {1, 2, 4, 1, 2, 3, true},
        {1, 2, 2, 1, 2, 3, false},
        {2, 0, 0, 1, 255, 255, true},
        {1, 255, 255, 2, 0, 0, false},
        {200, 0, 0, 100, 0, 0, true},  // unsigned bytes, not signed
        {2, 10, 4, 2, 10, 4, true},
        {2, 10, 3, 2, 10, 4, false},
    };
    for (const CompareCase& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a1, c.a2, c.a3, c.b1, c.b2, c.b3), c.atLeast)
            << int{c.a1} << "." << int{c.a2} << "." << int{c.a3} << " vs "
            << int{c.b1} << "." << int{c.b2} << "." << int{c.b3};
    }
}

TEST(aVersionTest, LibraryVersion)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 2);
    const char* text = aVersion_GetString();
    EXPECT_STREQ(text, "2.12.2");
    EXPECT_EQ(aVersion_GetString(), text);  // built once
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 255));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(aVersionTest, Features)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSION "));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
}

} // namespace
