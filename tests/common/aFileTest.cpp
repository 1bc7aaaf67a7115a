// Files through handles: opening, reading, writing, appending, seeking,
// sizes, line reads, formatted output, closing and deleting.
#include "common/aFile.h"

#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/common/TempDir.h"

namespace {

using aFileTest = TempDirTest;

// Closes a handle the test still holds when an assertion ends it early.
struct Handle {
    aFile* file;
    ~Handle() { aFile_Close(&file); }
};

TEST_F(aFileTest, OpenRefusals)
{
    writeFile("present", "x");
    const std::string longPath(4097, 'a');
    struct OpenCase {
        const char* name;
        std::string path;
        int32_t mode;
    };
    const OpenCase cases[] = {
        {"empty path", "", aFileModeReadOnly},
        {"path of 4097 characters", longPath, aFileModeWriteOnly},
        {"mode 3", path("present"), aFileModeUnknown},
        {"negative mode", path("present"), -1},
        {"missing file for reading", path("absent"), aFileModeReadOnly},
        {"directory for reading", root, aFileModeReadOnly},
        {"file below a missing directory", path("none/new"), aFileModeWriteOnly},
    };
    for (const OpenCase& c : cases) {
        aFile* file = aFile_Open(c.path.c_str(), c.mode);
        EXPECT_EQ(file, nullptr) << c.name;
        aFile_Close(&file);
    }
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(path("absent").c_str())) << "a refused open must not create the file";
}

TEST_F(aFileTest, WriteThenRead)
{
    Handle out{aFile_Open(path("f").c_str(), aFileModeWriteOnly)};
    ASSERT_TRUE(aVALIDFILE(out.file));
    size_t count = 0;
    EXPECT_EQ(aFile_Write(out.file, "hello", 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(aFile_Write(out.file, "", 0, nullptr), aErrNone);
    char buffer[16];
    EXPECT_EQ(aFile_Read(out.file, buffer, 1, &count), aErrMode);
    EXPECT_EQ(aFile_Write(out.file, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Close(&out.file), aErrNone);
    EXPECT_EQ(out.file, nullptr);

    Handle in{aFile_Open(path("f").c_str(), aFileModeReadOnly)};
    ASSERT_TRUE(aVALIDFILE(in.file));
    EXPECT_EQ(aFile_Write(in.file, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Read(in.file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "hello");
    // At the end: nothing more, unless nothing was asked for.
    count = 99;
    EXPECT_EQ(aFile_Read(in.file, buffer, 4, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(in.file, buffer, 0, &count), aErrNone);
    EXPECT_EQ(aFile_Read(in.file, nullptr, 4, &count), aErrParam);
}

TEST_F(aFileTest, WriteModeTruncates)
{
    writeFile("f", "old contents");
    Handle out{aFile_Open(path("f").c_str(), aFileModeWriteOnly)};
    ASSERT_NE(out.file, nullptr);
    ASSERT_EQ(aFile_Write(out.file, "new", 3, nullptr), aErrNone);
    ASSERT_EQ(aFile_Close(&out.file), aErrNone);
    EXPECT_EQ(readFile("f"), "new");
}

TEST_F(aFileTest, AppendModeWritesAtTheEndAndReads)
{
    writeFile("f", "abc");
    Handle file{aFile_Open(path("f").c_str(), aFileModeAppend)};
    ASSERT_NE(file.file, nullptr);
    uint64_t position = 99;
    ASSERT_EQ(aFile_GetPosition(file.file, &position), aErrNone);
    EXPECT_EQ(position, 3u);  // starts at the end

    EXPECT_EQ(aFile_Write(file.file, "def", 3, nullptr), aErrNone);
    ASSERT_EQ(aFile_Seek(file.file, 0, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Write(file.file, "X", 1, nullptr), aErrNone);  // still lands at the end

    ASSERT_EQ(aFile_Seek(file.file, 0, aSeekStart), aErrNone);
    char buffer[16];
    size_t count = 0;
    EXPECT_EQ(aFile_Read(file.file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "abcdefX");

    // A write straight after a read, then a read again.
    EXPECT_EQ(aFile_Printf(file.file, "%d", 42), aErrNone);
    ASSERT_EQ(aFile_Seek(file.file, -2, aSeekEnd), aErrNone);
    EXPECT_EQ(aFile_Read(file.file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "42");
    ASSERT_EQ(aFile_Close(&file.file), aErrNone);
    EXPECT_EQ(readFile("f"), "abcdefX42");

    Handle created{aFile_Open(path("new").c_str(), aFileModeAppend)};
    EXPECT_NE(created.file, nullptr);
    EXPECT_TRUE(aFile_Exists(path("new").c_str()));
}

TEST_F(aFileTest, SeekTargets)
{
    writeFile("ten", "0123456789");
    struct SeekCase {
        const char* name;
        int64_t start;  // position before the seek
        int64_t offset;
        int origin;
        aErr result;
        uint64_t position;  // afterwards
    };
    const SeekCase cases[] = {
        {"to the size", 0, 10, aSeekStart, aErrNone, 10},
        {"past the size", 0, 11, aSeekStart, aErrRange, 0},
        {"before the start", 3, -1, aSeekStart, aErrRange, 3},
        {"end", 2, 0, aSeekEnd, aErrNone, 10},
        {"back from the end", 0, -10, aSeekEnd, aErrNone, 0},
        {"past the end", 0, 1, aSeekEnd, aErrRange, 0},
        {"forward from current", 4, 3, aSeekCurrent, aErrNone, 7},
        {"back from current", 4, -4, aSeekCurrent, aErrNone, 0},
        {"before start from current", 4, -5, aSeekCurrent, aErrRange, 4},
        {"other origin counts from the start", 8, 2, 7, aErrNone, 2},
        {"most negative offset", 5, INT64_MIN, aSeekCurrent, aErrRange, 5},
        {"largest offset", 5, INT64_MAX, aSeekCurrent, aErrRange, 5},
    };
    for (const SeekCase& c : cases) {
        SCOPED_TRACE(c.name);
        Handle file{aFile_Open(path("ten").c_str(), aFileModeReadOnly)};
        ASSERT_NE(file.file, nullptr);
        ASSERT_EQ(aFile_Seek(file.file, c.start, aSeekStart), aErrNone);
        EXPECT_EQ(aFile_Seek(file.file, c.offset, c.origin), c.result);
        uint64_t position = 0;
        ASSERT_EQ(aFile_GetPosition(file.file, &position), aErrNone);
        EXPECT_EQ(position, c.position);
    }
}

TEST_F(aFileTest, SizeLeavesThePositionAndCountsBufferedBytes)
{
    Handle file{aFile_Open(path("f").c_str(), aFileModeWriteOnly)};
    ASSERT_NE(file.file, nullptr);
    ASSERT_EQ(aFile_Write(file.file, "12345678", 8, nullptr), aErrNone);
    ASSERT_EQ(aFile_Seek(file.file, 3, aSeekStart), aErrNone);
    uint64_t size = 0;
    ASSERT_EQ(aFile_GetSize(file.file, &size), aErrNone);
    EXPECT_EQ(size, 8u);
    uint64_t position = 0;
    ASSERT_EQ(aFile_GetPosition(file.file, &position), aErrNone);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(aFile_GetSize(file.file, nullptr), aErrParam);
    EXPECT_EQ(aFile_GetPosition(file.file, nullptr), aErrNone);
}

TEST_F(aFileTest, ReadLineOverrunAndTheNextCall)
{
    struct Step {
        const char* text;
        aErr result;
    };
    struct LineCase {
        const char* content;
        size_t size;
        std::vector<Step> steps;
    };
    const LineCase cases[] = {
        {"abcde\nxy\nlast", 6, {{"abcde", aErrOverrun}, {"\n", aErrNone}, {"xy\n", aErrNone},
                                {"last", aErrNone}, {"", aErrEOF}}},
        {"abcde\nxy\nlast", 7, {{"abcde\n", aErrNone}, {"xy\n", aErrNone}, {"last", aErrNone}, {"", aErrEOF}}},
        {"abcdefgh\n", 4, {{"abc", aErrOverrun}, {"def", aErrOverrun}, {"gh\n", aErrNone}, {"", aErrEOF}}},
        // The last line fills the buffer exactly and the file ends: it fitted.
        {"abcde", 6, {{"abcde", aErrNone}, {"", aErrEOF}}},
        {"\n\n", 2, {{"\n", aErrNone}, {"\n", aErrNone}, {"", aErrEOF}}},
        {"", 8, {{"", aErrEOF}}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.content << "\" size " << c.size);
        writeFile("lines", c.content);
        for (int32_t mode : {aFileModeReadOnly, aFileModeAppend}) {
            Handle file{aFile_Open(path("lines").c_str(), mode)};
            ASSERT_NE(file.file, nullptr);
            ASSERT_EQ(aFile_Seek(file.file, 0, aSeekStart), aErrNone);
            std::vector<char> buffer(c.size, 'Z');
            for (const Step& step : c.steps) {
                size_t length = 99;
                EXPECT_EQ(aFile_ReadLine(file.file, buffer.data(), buffer.size(), &length), step.result);
                EXPECT_STREQ(buffer.data(), step.text);
                EXPECT_EQ(length, std::strlen(step.text));
            }
        }
    }
}

TEST_F(aFileTest, ReadLineRefusals)
{
    writeFile("f", "line\n");
    Handle out{aFile_Open(path("w").c_str(), aFileModeWriteOnly)};
    char buffer[8] = "keep";
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(out.file, buffer, sizeof buffer, &length), aErrMode);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");

    Handle in{aFile_Open(path("f").c_str(), aFileModeReadOnly)};
    std::strcpy(buffer, "keep");
    EXPECT_EQ(aFile_ReadLine(in.file, buffer, 0, &length), aErrParam);
    EXPECT_STREQ(buffer, "keep");  // a zero size means the buffer is not touched
    EXPECT_EQ(aFile_ReadLine(in.file, nullptr, 8, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, 8, &length), aErrParam);
}

TEST_F(aFileTest, PrintfAndUnbuffered)
{
    Handle in{aFile_Open(path("r").c_str(), aFileModeAppend)};
    ASSERT_NE(in.file, nullptr);
    ASSERT_EQ(aFile_Close(&in.file), aErrNone);
    in.file = aFile_Open(path("r").c_str(), aFileModeReadOnly);
    EXPECT_EQ(aFile_Printf(in.file, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(in.file), aErrMode);

    Handle out{aFile_Open(path("log").c_str(), aFileModeWriteOnly)};
    ASSERT_NE(out.file, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(out.file), aErrNone);
    EXPECT_EQ(aFile_Printf(out.file, "x=%d y=%s", 5, "abc"), aErrNone);
    // Unbuffered: on disk before the handle is closed.
    EXPECT_EQ(readFile("log"), "x=5 y=abc");
    EXPECT_EQ(aFile_Printf(out.file, nullptr), aErrParam);
}

TEST_F(aFileTest, FailedWritesAreReported)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    // Buffered: the loss shows when the buffer is written out at close.
    aFile* buffered = aFile_Open("/dev/full", aFileModeWriteOnly);
    ASSERT_NE(buffered, nullptr);
    EXPECT_EQ(aFile_Write(buffered, "data", 4, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&buffered), aErrIO);
    EXPECT_EQ(buffered, nullptr);

    aFile* direct = aFile_Open("/dev/full", aFileModeWriteOnly);
    ASSERT_NE(direct, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(direct), aErrNone);
    size_t written = 99;
    EXPECT_EQ(aFile_Write(direct, "data", 4, &written), aErrIO);
    EXPECT_EQ(written, 0u);
    aFile_Close(&direct);
}

TEST_F(aFileTest, CloseClearsTheHandleEvenWhenInvalid)
{
    aFile bogus = {nullptr, aFileModeReadOnly, 0};
    aFile* handle = &bogus;
    EXPECT_EQ(aFile_Close(&handle), aErrParam);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(aFile_Close(&handle), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);

    size_t count;
    char buffer[4];
    EXPECT_EQ(aFile_Read(&bogus, buffer, 4, &count), aErrParam);
    EXPECT_EQ(aFile_Write(&bogus, buffer, 4, &count), aErrParam);
    EXPECT_EQ(aFile_Seek(&bogus, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_Printf(&bogus, "x"), aErrParam);
}

TEST_F(aFileTest, ExistsAndDelete)
{
    writeFile("f", "x");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    const std::string longPath(4097, 'a');

    EXPECT_TRUE(aFile_Exists(path("f").c_str()));
    EXPECT_FALSE(aFile_Exists(path("d").c_str()));
    EXPECT_FALSE(aFile_Exists(path("absent").c_str()));
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));

    struct DeleteCase {
        const char* name;
        std::string path;
        aErr result;
    };
    const DeleteCase cases[] = {
        {"file", path("f"), aErrNone},
        {"same file again", path("f"), aErrNotFound},
        {"missing", path("absent"), aErrNotFound},
        {"path of 4097 characters", longPath, aErrFileNameLength},
        {"directory", path("d"), aErrIO},
    };
    for (const DeleteCase& c : cases)
        EXPECT_EQ(aFile_Delete(c.path.c_str()), c.result) << c.name;
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_FALSE(aFile_Exists(path("f").c_str()));
}

TEST_F(aFileTest, DeleteWithoutPermission)
{
    writeFile("f", "x");
    const std::string target = path("f");
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(root.c_str(), 0555), 0);
        EXPECT_EQ(aFile_Delete(target.c_str()), aErrPermission);
        chmod(root.c_str(), 0755);
    } else {
        // Permissions do not bind root: try it as an unprivileged user.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(10);
            _exit(aFile_Delete(target.c_str()) == aErrPermission ? 0 : 11);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not drop privileges, 11: wrong result";
    }
    EXPECT_TRUE(aFile_Exists(target.c_str()));
}

} // namespace
