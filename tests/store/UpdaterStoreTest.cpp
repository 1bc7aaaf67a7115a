// UpdaterStore and UpdaterStoreItem: directory layout and names, device
// search, build listing, BIRD file reads and writes, and opening failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <sys/stat.h>

#include "StoreTestSupport.h"
#include "tools/birdpack/BirdWriter.h"
#include "app/UpdaterDisplayInterface.h"
#include "updater/BuildPath.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

using namespace storetest;
using birdpack::BirdWriter;

namespace {

std::string errorOf(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

void writeBird(const std::string& path, uint32_t build, const std::string& version)
{
    BirdWriter w;
    w.AddIdentity(build, version, 0x40F5849A, "Zorbel");
    w.AddFirmware(0, BirdWriter::SyntheticImage(256, build));
    ASSERT_TRUE(w.Write(path));
}

} // namespace

TEST(StoreOpen, CreatesTheBaseWithItsParents)
{
    TempDir dir;
    std::string base = dir / "a/b/updater";
    UpdaterStore store(base);
    EXPECT_EQ(store.BasePath(), base);
    EXPECT_TRUE(fs::is_directory(base));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(fs::status(base).permissions() & fs::perms::all, fs::perms(0755 & ~mask));
    UpdaterStore again(base); // an existing base is fine
}

TEST(StoreOpen, PlainFileInThePlaceOfADirectoryIsAnError)
{
    TempDir dir;
    std::string file = dir / "updater";
    writeText(file, "x");
    EXPECT_EQ(errorOf([&] { UpdaterStore s(file); }), "UpdaterStore: " + file + " exists and is a file");

    std::string below = file + "/deeper";
    EXPECT_EQ(errorOf([&] { UpdaterStore s(below); }).rfind("UpdaterStore: Could not create directory " +
                                                             below + " error ", 0),
              0u);

    UpdaterStore store(dir / "base");
    writeText(dir / "base/00000042", "not a directory");
    EXPECT_EQ(errorOf([&] { store.AddDevice(0x42); }),
              "UpdaterStore: " + (dir / "base/00000042") + " exists and is a file");
}

TEST(StoreDevices, AddDeviceMakesAPaddedUpperCaseDirectoryWithSettings)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem item = store.AddDevice(0xa1b2);
    EXPECT_EQ(item.directory, dir.path());
    EXPECT_EQ(item.name, "0000A1B2");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_TRUE(fs::is_directory(dir / "0000A1B2"));
    KeyValueStore onDisk((dir / "0000A1B2/.settings").c_str());
    std::vector<std::string> keys;
    for (const auto& [k, v] : onDisk.Entries())
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"CREATED_TIME", "UPDATED_TIME"}));

    // The item's settings are the device's: what a flow saves is found again.
    item.settings.Add("LATEST_DOWNLOAD", "4711.bird");
    item.settings.Save();
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0xA1B2, &found));
    EXPECT_EQ(found.settings.GetInt("LATEST_DOWNLOAD"), 4711);
}

TEST(StoreDevices, FindDeviceIsASubstringSearchOfTheBase)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem untouched("x", "y", STORE_ITEM_FILE);
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &untouched));
    EXPECT_EQ(untouched.directory, "x");
    EXPECT_EQ(untouched.name, "y");
    EXPECT_FALSE(store.FindDevice(0x40F5849A, nullptr));

    fs::create_directory(dir / "40F5849A.old");
    UpdaterStoreItem item;
    EXPECT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.directory, dir.path());
    EXPECT_EQ(item.name, "40F5849A.old");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);

    writeText(dir / "notes-ABC", "x");
    EXPECT_TRUE(store.FindDevice(std::string("ABC"), &item));
    EXPECT_EQ(item.name, "notes-ABC");
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, &item)) << "the serial is searched as %08X";
}

TEST(StoreDevices, FindLocalBuildsListsEveryVisibleEntry)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    EXPECT_TRUE(items.empty());

    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    writeBird(dir / "40F5849A/100.bird", 100, "1.0.0");
    writeBird(dir / "40F5849A/200.bird", 200, "2.0.0");
    writeText(dir / "40F5849A/.hidden", "x");
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    std::vector<std::string> names;
    for (const UpdaterStoreItem& i : items) {
        names.push_back(i.name);
        EXPECT_EQ(i.directory, dir / "40F5849A");
        EXPECT_EQ(i.kind, STORE_ITEM_FILE);
        EXPECT_EQ(i.settings.Entries().size(), 2u) << "only the two times, in memory";
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "200.bird"}));
    EXPECT_FALSE(fs::exists(dir / "40F5849A/100.bird/.settings"));

    fs::create_directory(dir / "40F5849A/sub");
    items.clear();
    store.FindLocalBuilds(0x40F5849A, items);
    EXPECT_EQ(items.size(), 3u);
    EXPECT_TRUE(fs::exists(dir / "40F5849A/sub/.settings"));
}

TEST(StoreItems, FileExistsSearchesTheItemsDirectory)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(7);
    writeText(dir / "00000007/4711.bird", "x");
    EXPECT_TRUE(device.FileExists("4711.bird"));
    EXPECT_TRUE(device.FileExists("4711"));
    EXPECT_FALSE(device.FileExists("4712.bird"));
    EXPECT_FALSE(UpdaterStoreItem().IsValid());
}

TEST(StoreItems, ReadBirdFileChecksTheHeaderThenLoads)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string d = dir / "40F5849A";
    writeBird(d + "/300.bird", 300, "3.0.0");
    writeText(d + "/text.bird", "plain text, not a package");
    writeText(d + "/broken.bird", std::string("bird\x01\x01", 6) + "not a zlib stream");

    EXPECT_EQ(device.ReadBirdFile("300.bird").GetVersion(), "3.0.0");
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("text.bird"); }), "Invalid bird " + d + "/text.bird");
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("absent.bird"); }), "Invalid bird " + d + "/absent.bird");
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("broken.bird"); }), "Failed to load bird data");
}

TEST(StoreItems, WriteFileStoresTheBytesAndRefusesWhatCannotBeWritten)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(1);
    const std::string bytes = "first contents";
    EXPECT_EQ(device.WriteFile("1.bird", bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(readText(dir / "00000001/1.bird"), bytes);
    EXPECT_EQ(device.WriteFile("1.bird", "ab", 2), aErrNone);
    EXPECT_EQ(readText(dir / "00000001/1.bird"), "ab") << "a second write replaces the file";

    EXPECT_EQ(device.WriteFile("2.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(dir / "00000001/2.bird"));
    UpdaterStoreItem gone(dir.path(), "nowhere", STORE_ITEM_DIRECTORY);
    fs::remove_all(dir / "nowhere");
    EXPECT_EQ(gone.WriteFile("1.bird", "x", 1), aErrNotFound);
}

TEST(StoreItems, AnInterruptedWriteKeepsTheGoodFile)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(1);
    std::string path = dir / "00000001/5.bird";
    writeBird(path, 5, "5.0.0");
    const Bytes good = readBytes(path);

    int rc = runWithFileSizeLimit(8192, [&] {
        Bytes big(64 * 1024, 0x5A);
        return device.WriteFile("5.bird", big.data(), big.size()) == aErrIO ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << "the failed write must be reported";
    EXPECT_EQ(readBytes(path), good);
    EXPECT_EQ(listNames(dir / "00000001"), (std::vector<std::string>{".settings", "5.bird"}));
    EXPECT_EQ(device.ReadBirdFile("5.bird").GetBuild(), 5u);
}

namespace {

struct RecordingDisplay : UpdaterDisplayInterface {
    std::vector<std::string> errors, infos;
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
};

} // namespace

TEST(StoreFlows, AStoreThatCannotBeOpenedIsReportedOnceByTheCallingFlow)
{
    TempDir dir;
    std::string file = dir / "updater";
    writeText(file, "x");
    RecordingDisplay display;
    EXPECT_EQ(Updater::_createUpdaterStore(display, file, "Download_Firmware"), nullptr);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], "Failed to Create UpdaterStore in: Download_Firmware - Exception: "
                                 "UpdaterStore: " + file + " exists and is a file");

    Updater updater("http://127.0.0.1:1", file.c_str(), display);
    EXPECT_TRUE(updater.Get_BuildListLocal(0x40F5849A).empty());
    ASSERT_EQ(display.errors.size(), 2u);
    EXPECT_NE(display.errors[1].find("in: Get_BuildListLocal - "), std::string::npos);
    EXPECT_TRUE(display.infos.empty());
}

TEST(StoreFlows, LocalBuildListKeysAndVersions)
{
    TempDir dir;
    UpdaterStore store(dir.path());
    store.AddDevice(0x40F5849A);
    std::string d = dir / "40F5849A";
    writeBird(d + "/100.bird", 100, "1.0.0");
    writeBird(d + "/200.bird", 200, "2.0.0 final");
    writeText(d + "/notes.txt", "x");
    writeText(d + "/300.bird", std::string("bird\x01\x01", 6) + "damaged");
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1", dir.path().c_str(), display);
    BuildList want = {{"100", "1.0.0"}, {"200", "2.0.0"}, {"300", ""}, {"notes.txt", ""}};
    EXPECT_EQ(updater.Get_BuildListLocal(0x40F5849A), want);
    EXPECT_TRUE(display.errors.empty());
}

TEST(StorePaths, BuildPathJoinsPartsUpToTheFirstNull)
{
    const std::string base = "/home/u";
    const char* none = nullptr;
    EXPECT_EQ(BuildPath(base, ".veltrane"), "/home/u/.veltrane");
    EXPECT_EQ(BuildPath(base, "updater", "0000ABCD", ".settings", nullptr),
              "/home/u/updater/0000ABCD/.settings");
    EXPECT_EQ(BuildPath("dir/", std::string("x.bird"), nullptr), "dir/x.bird");
    EXPECT_EQ(BuildPath("a", none, "b"), "a") << "parts after a null one are ignored";
    EXPECT_EQ(BuildPath(none, "b"), "");
}
