// KeyValueStore: the settings file format (reading and writing rules),
// typed access, the dirty flag and UPDATED_TIME, and saves that fail midway.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "StoreTestSupport.h"
#include "updater/KeyValueStore.h"

using namespace storetest;
using Entries = std::map<std::string, std::string>;

TEST(SettingsFormat, LinesAreReadByTheFileRules)
{
    struct Case {
        const char* what;
        std::string text;
        Entries want;
    };
    const std::string longValue(2100, 'v');
    const std::string fitting(2046 - 2, 'w'); // "F=" + value = 2046 characters
    const Case cases[] = {
        {"blanks around key, = and value", "  KEY \t=   some value \t \n", {{"KEY", "some value"}}},
        {"= inside the value", "URL=http://h/?a=1&b=2\n", {{"URL", "http://h/?a=1&b=2"}}},
        {"comment in column one", "#A=1\nB=2\n", {{"B", "2"}}},
        {"blank before #", " #A=1\n", {{"#A", "1"}}},
        {"short lines", "x\n\n\nab", {}},
        {"empty value", "E=\n", {{"E", ""}}},
        {"carriage return", "T=v\r\n", {{"T", "v"}}},
        {"later line overrides", "K=1\nK=2\n", {{"K", "2"}}},
        {"last line without newline", "A=1\nL=z", {{"A", "1"}, {"L", "z"}}},
        {"no = at all", "novalue\nA=1\n", {{"A", "1"}}},
        {"empty key", "=v\n  = w\nA=1\n", {{"A", "1"}}},
        {"line of 2046 characters", "F=" + fitting + "\nZ=1\n", {{"F", fitting}, {"Z", "1"}}},
        {"over-long line ends the reading", "A=1\nB=" + longValue + "\nC=3\n", {{"A", "1"}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string path = dir / "s";
        writeText(path, c.text);
        KeyValueStore store(path.c_str());
        EXPECT_EQ(store.Entries(), c.want) << c.what;
        EXPECT_FALSE(store.IsDirty()) << c.what;
    }
}

TEST(SettingsFormat, SaveWritesSortedKeyValueLines)
{
    TempDir dir;
    std::string path = dir / "s";
    writeText(path, "");
    KeyValueStore store(path.c_str());
    store.Add("LATEST_TRANSFER", "200.bird");
    store.Add("lower", "x");
    store.Add("CREATED_TIME", "then");
    store.Add("LAST_DOWNLOAD_DATE", "now");
    store.Save();
    std::string text = readText(path);
    std::string stamp = store.GetString(KeyValueStore::KEY_UPDATED_TIME);
    EXPECT_EQ(stamp.size(), 24u) << "ctime form without newline";
    EXPECT_EQ(text, "CREATED_TIME=then\nLAST_DOWNLOAD_DATE=now\nLATEST_TRANSFER=200.bird\n"
                    "UPDATED_TIME=" + stamp + "\nlower=x\n");
    EXPECT_FALSE(store.IsDirty());

    // What was written reads back as the same entries.
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.Entries(), store.Entries());
}

TEST(SettingsFormat, MissingFileIsCreatedWithBothTimes)
{
    TempDir dir;
    std::string path = dir / ".settings";
    KeyValueStore store(path.c_str());
    KeyValueStore onDisk(path.c_str());
    ASSERT_EQ(onDisk.Entries().size(), 2u);
    std::string created = onDisk.GetString("CREATED_TIME");
    EXPECT_EQ(created.size(), 24u);
    EXPECT_EQ(onDisk.GetString("UPDATED_TIME"), created);
    EXPECT_EQ(store.Entries(), onDisk.Entries());
    EXPECT_EQ(store.Path(), path);
}

TEST(SettingsValues, TypedSettersAndGetters)
{
    KeyValueStore s;
    s.Add("i", -42);
    s.Add("d", 2.5);
    s.AddHex("h", 0xDEADBEEF);
    s.Add("t", "text");
    s.Add("str", std::string("string"));
    s.Add("b", 1);
    EXPECT_STREQ(s["i"], "-42");
    EXPECT_STREQ(s["d"], "2.500000");
    EXPECT_STREQ(s["h"], "0xDEADBEEF");
    EXPECT_EQ(s.GetInt("i"), -42);
    EXPECT_DOUBLE_EQ(s.GetDouble("d"), 2.5);
    EXPECT_EQ(s.GetHex("h"), 0xDEADBEEFu);
    EXPECT_TRUE(s.GetBOOL("b"));
    EXPECT_EQ(s.GetString("t"), "text");
    EXPECT_EQ(s.GetString("str"), "string");
    s.Add("build", "1234.bird");
    EXPECT_EQ(s.GetInt("build"), 1234) << "a stored build file name reads as its number";
    s.Add("big", "0x1FFFFFFFF");
    EXPECT_EQ(s.GetHex("big"), 0xFFFFFFFFu);
}

TEST(SettingsValues, AbsentKeysGiveDefaults)
{
    TempDir dir;
    std::string path = dir / "s";
    writeText(path, "A=1\n");
    KeyValueStore s(path.c_str());
    EXPECT_EQ(s["missing"], nullptr);
    EXPECT_EQ(s.GetString("missing", "def"), "def");
    EXPECT_EQ(s.GetString("missing"), "");
    EXPECT_EQ(s["missing"], nullptr) << "GetString and [] never insert";

    EXPECT_EQ(s.GetInt("I", 7), 7);
    EXPECT_EQ(s.GetHex("H", 0x10), 0x10u);
    EXPECT_TRUE(s.GetBOOL("B", true));
    EXPECT_DOUBLE_EQ(s.GetDouble("D", 1.5), 1.5);
    EXPECT_STREQ(s["I"], "") << "typed reads insert an empty value";
    EXPECT_FALSE(s.IsDirty()) << "inserting by a read does not make the store dirty";

    s.Add("A", 2);
    s.Save();
    std::string text = readText(path);
    EXPECT_NE(text.find("\nI=\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nH=\n"), std::string::npos) << text;
}

TEST(SettingsDirty, OnlyRealChangesMarkTheStoreAndStampUpdatedTime)
{
    TempDir dir;
    std::string path = dir / "s";
    writeText(path, "N=5\nUPDATED_TIME=old\n");
    KeyValueStore s(path.c_str());
    s.Add("N", 5);
    EXPECT_FALSE(s.IsDirty());
    s.Save();
    EXPECT_EQ(s.GetString("UPDATED_TIME"), "old") << "a clean save keeps the stamp";
    EXPECT_EQ(readText(path), "N=5\nUPDATED_TIME=old\n");

    s.Add("N", 6);
    EXPECT_TRUE(s.IsDirty());
    s.Save();
    EXPECT_NE(s.GetString("UPDATED_TIME"), "old");
    EXPECT_FALSE(s.IsDirty());

    KeyValueStore other;
    other.Add("N", 6);
    KeyValueStore copy(s);
    EXPECT_EQ(copy.Entries(), s.Entries());
    copy.Add(other);
    EXPECT_TRUE(copy.IsDirty()) << "a merge marks the store even without a change";
    EXPECT_FALSE(s.IsDirty()) << "the copy is independent";

    s.Clear();
    EXPECT_TRUE(s.IsDirty());
    EXPECT_TRUE(s.Entries().empty());
}

TEST(SettingsSave, AFailedSaveLeavesTheOldFileWhole)
{
    TempDir dir;
    std::string path = dir / ".settings";
    writeText(path, "CREATED_TIME=then\nLATEST_DOWNLOAD=100.bird\n");
    const std::string before = readText(path);

    // The new contents are far larger than the file size limit of the child:
    // the write fails partway, as on a full disk.
    int rc = runWithFileSizeLimit(4096, [&] {
        KeyValueStore s(path.c_str());
        for (int i = 0; i < 500; ++i)
            s.Add("KEY_" + std::to_string(i), std::string(40, 'x'));
        s.Save();
        return s.IsDirty() ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << "the store must stay dirty after a failed save";
    EXPECT_EQ(readText(path), before);
    EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{".settings"})
        << "no temporary file is left behind";
}

TEST(SettingsSave, UnwritablePathKeepsTheStoreDirty)
{
    TempDir dir;
    KeyValueStore s;
    s.Add("A", 1);
    TraceCapture trace(DEBUG_Attributes);
    std::string path = dir / "missing-dir/.settings";
    s.Save(path.c_str());
    EXPECT_TRUE(s.IsDirty());
    EXPECT_NE(trace.text().find("cannot open attributes file for writting: '" + path + "'"),
              std::string::npos)
        << trace.text();
}
