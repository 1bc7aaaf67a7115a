// Directories: path building, creation with parents, listing, tree
// deletion, and the working, executable and home directories.
#include "common/aDirectory.h"

#include <climits>
#include <cstdarg>
#include <cstring>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/common/TempDir.h"

namespace {

using aDirectoryTest = TempDirTest;

TEST(aDirectoryPathTest, BuildPath)
{
    struct BuildCase {
        const char* name;
        std::vector<const char*> parts;  // first and further parts
        size_t size;
        aErr result;
        const char* text;
    };
    const BuildCase cases[] = {
        {"two parts", {"a", "b"}, 64, aErrNone, "a/b"},
        {"separator already there", {"a/", "b"}, 64, aErrNone, "a/b"},
        {"separator on the second part", {"a", "/b"}, 64, aErrNone, "a/b"},
        {"separators not collapsed", {"a/", "/b"}, 64, aErrNone, "a//b"},
        {"empty further part", {"a", ""}, 64, aErrNone, "a/"},
        {"empty first part stays relative", {"", "b"}, 64, aErrNone, "b"},
        {"root", {"/", "x"}, 64, aErrNone, "/x"},
        {"three parts", {"/home", "u", ".store"}, 64, aErrNone, "/home/u/.store"},
        {"ten parts", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 64, aErrNone, "0/1/2/3/4/5/6/7/8/9"},
        {"eleven parts", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 64, aErrParam, ""},
        {"first part alone", {"ab"}, 4, aErrNone, "ab"},
        {"first part too long", {"abc"}, 4, aErrOverrun, ""},
        {"further part too long", {"a", "b"}, 4, aErrOverrun, "a"},
        {"further part fits", {"a", "b"}, 5, aErrNone, "a/b"},
        {"third part too long", {"a", "b", "cd"}, 6, aErrOverrun, "a/b"},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<const char*> parts(c.parts);
        parts.resize(12, nullptr);
        std::vector<char> buffer(c.size, 'Z');
        EXPECT_EQ(aDirectory_BuildPath(buffer.data(), buffer.size(), parts[0], parts[1], parts[2], parts[3],
                                       parts[4], parts[5], parts[6], parts[7], parts[8], parts[9], parts[10],
                                       parts[11], nullptr),
                  c.result);
        EXPECT_STREQ(buffer.data(), c.text);
    }
}

TEST(aDirectoryPathTest, BuildPathRefusesItsOwnBuffer)
{
    char buffer[32] = "keep";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "b", nullptr), aErrParam);
    EXPECT_STREQ(buffer, "keep");  // the caller's text is not destroyed
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", buffer, nullptr), aErrParam);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "a", "b", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, nullptr), aErrParam);

    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "dir", "file"), aErrNone);
    EXPECT_STREQ(buffer, "dir/file");
}

TEST(aDirectoryPathTest, BackwardsMemcmp)
{
    const char* text = "a/b/a/b";
    EXPECT_EQ(backwards_memcmp(text, "a/b"), text + 4);
    EXPECT_EQ(backwards_memcmp(text, "b"), text + 6);
    EXPECT_EQ(backwards_memcmp(text, text), text);
    EXPECT_EQ(backwards_memcmp(text, ""), text);
    const char* aaa = "aaa";
    EXPECT_EQ(backwards_memcmp(aaa, "aa"), aaa + 1);
    EXPECT_EQ(backwards_memcmp("ab", "abc"), nullptr);
    EXPECT_EQ(backwards_memcmp("abc", "x"), nullptr);
}

TEST_F(aDirectoryTest, EnsureCreatesEveryMissingLevel)
{
    const std::string deep = path("x/y/z");
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone);
    for (const char* level : {"x", "x/y", "x/y/z"}) {
        struct stat st;
        ASSERT_EQ(stat(path(level).c_str(), &st), 0) << level;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << level;
    }
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone);  // already there

    // Doubled and trailing separators are passed over.
    EXPECT_EQ(aDirectory_Ensure(path("p//q/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(path("p/q").c_str()));
}

TEST_F(aDirectoryTest, EnsureRelativePath)
{
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    const aErr result = aDirectory_Ensure("a/b", 0755);
    const bool made = aDirectory_Exists("a") && aDirectory_Exists("a/b");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(result, aErrNone);
    EXPECT_TRUE(made);
    EXPECT_TRUE(aDirectory_Exists(path("a/b").c_str()));
}

TEST_F(aDirectoryTest, EnsureBelowAPlainFileFails)
{
    writeFile("plain", "x");
    EXPECT_EQ(aDirectory_Ensure(path("plain/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(path("plain").c_str(), 0755), aErrPermission);
    EXPECT_FALSE(aDirectory_Exists(path("plain").c_str()));
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

struct Listed {
    uint32_t size;
    int32_t isDir;
};

bool sCollect(const aDirectoryListData* data, void* ref)
{
    (*static_cast<std::map<std::string, Listed>*>(ref))[data->fullPath] = {data->fileSize, data->isDir};
    return true;
}

bool sStopAtOnce(const aDirectoryListData*, void* ref)
{
    ++*static_cast<int*>(ref);
    return false;
}

TEST_F(aDirectoryTest, ListCallsBackPerEntry)
{
    writeFile("three", "abc");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);  // status unreadable: skipped

    std::map<std::string, Listed> seen;
    ASSERT_EQ(aDirectory_List(root.c_str(), sCollect, &seen), aErrNone);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.count(path(".")), 1u);
    EXPECT_EQ(seen.count(path("..")), 1u);
    ASSERT_EQ(seen.count(path("three")), 1u);
    EXPECT_EQ(seen[path("three")].size, 3u);
    EXPECT_EQ(seen[path("three")].isDir, 0);
    ASSERT_EQ(seen.count(path("sub")), 1u);
    EXPECT_EQ(seen[path("sub")].isDir, 1);

    int calls = 0;
    EXPECT_EQ(aDirectory_List(root.c_str(), sStopAtOnce, &calls), aErrNone);
    EXPECT_EQ(calls, 1);

    calls = 0;
    EXPECT_EQ(aDirectory_List(path("absent").c_str(), sStopAtOnce, &calls), aErrNotFound);
    EXPECT_EQ(calls, 0);
}

TEST_F(aDirectoryTest, DeleteTreeRemovesEverythingBelowButFollowsNoLink)
{
    ASSERT_EQ(aDirectory_Ensure(path("tree/a/b").c_str(), 0755), aErrNone);
    writeFile("tree/top", "1");
    writeFile("tree/a/mid", "2");
    writeFile("tree/a/b/low", "3");
    ASSERT_EQ(mkdir(path("outside").c_str(), 0755), 0);
    writeFile("outside/keep", "4");
    ASSERT_EQ(symlink(path("outside").c_str(), path("tree/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(path("tree").c_str()));
    EXPECT_EQ(readFile("outside/keep"), "4");
    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNotFound);
}

TEST_F(aDirectoryTest, DeleteOnlyEmptyDirectories)
{
    ASSERT_EQ(mkdir(path("full").c_str(), 0755), 0);
    writeFile("full/f", "x");
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Delete(path("full").c_str()), aErrUnknown);
    EXPECT_TRUE(aDirectory_Exists(path("full").c_str()));
    EXPECT_EQ(aDirectory_Delete(path("empty").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(path("empty").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(aDirectoryPlacesTest, WorkingExecutableAndHome)
{
    char expected[PATH_MAX];
    char buffer[PATH_MAX];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);

    const ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 4);
    expected[n] = '\0';
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, expected);
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
    EXPECT_EQ(std::string(buffer), std::string(expected, 4));  // cut to size - 1

    const struct passwd* entry = getpwuid(getuid());
    if (entry == nullptr)
        GTEST_SKIP() << "no password entry for this user";
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, entry->pw_dir);
    // Too small: refused, not cut to some other directory's name.
    const size_t length = std::strlen(entry->pw_dir);
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, length), aErrOverrun);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, length + 1), aErrNone);
}

TEST(aDirectoryPlacesTest, HomeWithoutPasswordEntry)
{
    // Run as a user the password database does not know: HOME is the answer,
    // and without HOME there is none (rather than some made-up directory).
    const uid_t stranger = 54321;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to take on a user id";
    if (getpwuid(stranger) != nullptr)
        GTEST_SKIP() << "user id " << stranger << " has a password entry here";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(stranger) != 0)
            _exit(10);
        char buffer[256];
        setenv("HOME", "/somewhere/else", 1);
        if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone
            || std::strcmp(buffer, "/somewhere/else") != 0)
            _exit(11);
        unsetenv("HOME");
        if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNotFound || buffer[0] != '\0')
            _exit(12);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: setuid failed, 11: HOME not used, 12: no-home case";
}

} // namespace
