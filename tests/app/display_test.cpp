// Tests of the debug log, the display interface's message formatting and the
// console display's drawing on a pseudo-terminal and on a plain file.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "app/CLI_Display.h"
#include "app/Log.h"

namespace {

std::string ReadAll(FILE* file)
{
    fflush(file);
    rewind(file);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        out.append(buffer, n);
    return out;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        out = tmpfile();
        ASSERT_NE(out, nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::timestamped = false;
        Log::SetOutput(out);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::timestamped = false;
        fclose(out);
    }
    FILE* out = nullptr;
};

TEST_F(LogTest, PackagesGateTracesAndPackageZeroAlwaysWrites)
{
    Log::log(0, "always %d\n", 1);
    Log::log(DEBUG_Network_FIRM, "firm before\n");
    Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_APP);
    Log::log(DEBUG_Network_FIRM, "firm after\n");
    Log::log(DEBUG_Updater, "updater off\n");
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "firm off again\n");
    Log::log(DEBUG_APP, "app still on\n");
    EXPECT_EQ(ReadAll(out), "always 1\nfirm after\napp still on\n");
}

TEST_F(LogTest, DroppedWithoutOutputAndCutAt2047Characters)
{
    Log::SetOutput(nullptr);
    Log::log(0, "lost\n");
    Log::SetOutput(out);
    std::string longText(3000, 'a');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(ReadAll(out), std::string(2047, 'a'));
}

TEST_F(LogTest, TimestampGoesToTheTraceStreamForLongFormatsOnly)
{
    Log::timestamped = true;
    Log::log(0, "short\n");
    Log::log(0, "a longer trace line\n");
    std::string text = ReadAll(out);
    const std::string stampShape = "dddd:dd:dd:dd:dd:dd";
    const std::string head = "short\n", tail = " | a longer trace line\n";
    ASSERT_EQ(text.size(), head.size() + stampShape.size() + tail.size()) << text;
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.substr(head.size() + stampShape.size()), tail);
    for (size_t i = 0; i < stampShape.size(); ++i) {
        char c = text[head.size() + i];
        EXPECT_TRUE(stampShape[i] == 'd' ? (c >= '0' && c <= '9') : c == ':') << text;
    }
}

TEST(DisplayMessage, LevelChoosesTheSlotAndMutingDropsBoth)
{
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %s", "one");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %d", 2);
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "other level");
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "muted info");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "muted error");
    display.update_spinner(true, "still drawn");
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "back");

    std::vector<RecordingDisplay::Line> expected = {
        {false, "info one"}, {true, "error 2"}, {false, "other level"}, {true, "back"}};
    EXPECT_EQ(display.lines, expected);
    EXPECT_EQ(display.drawing, std::vector<std::string>{"spin"});
}

TEST(DisplayMessage, LongMessageIsCutAt2047Characters)
{
    RecordingDisplay display;
    std::string longText(5000, 'x');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", longText.c_str());
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].text, std::string(2047, 'x'));
}

// Runs draw in a child process whose standard output is the given descriptor.
void RunInChild(int stdoutFd, const std::function<void()>& draw)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(stdoutFd, STDOUT_FILENO);
        draw();
        _exit(0); // no stdio flush: only unbuffered output reaches the descriptor
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Runs draw with standard output on a raw pseudo-terminal; returns the bytes.
std::string DrawOnTerminal(const std::function<void()>& draw)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    if (master < 0)
        return "";
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);

    RunInChild(slave, draw);

    std::string out;
    char buffer[4096];
    pollfd pfd{master, POLLIN, 0};
    while (poll(&pfd, 1, 200) > 0 && (pfd.revents & POLLIN)) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    close(slave);
    close(master);
    return out;
}

std::string Bar(const char* label, int filled, int spaces, const char* percent)
{
    std::string head = label ? std::string("\r (") + label + ") [" : std::string("\r[");
    return head + std::string(filled, '=') + ">" + std::string(spaces, ' ') + "] (" + percent + "% ) ";
}

const std::string ERASE = "\r" + std::string(88, ' ') + "\r";

TEST(ConsoleDisplay, ProgressBarBytesOnATerminal)
{
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    };
    const std::string longLabel(70, 'L');
    const Case cases[] = {
        {0.5, nullptr, Bar(nullptr, 34, 34, " 50")},
        {0.0, nullptr, Bar(nullptr, 0, 68, "  0")},
        {1.0, nullptr, Bar(nullptr, 69, 1, "100")},
        {1.0, "Updating", Bar("Updating", 57, 1, "100")},
        {0.25, "Updating", Bar("Updating", 14, 42, " 25")},
        // Fractions outside 0..1 draw as their nearest end; a label too long
        // for the bar leaves an empty bar instead of a garbled line.
        {1.5, nullptr, Bar(nullptr, 69, 1, "100")},
        {-0.2, nullptr, Bar(nullptr, 0, 68, "  0")},
        {0.5, longLabel.c_str(), Bar(longLabel.c_str(), 0, 1, " 50")},
    };
    for (const Case& c : cases) {
        std::string bytes = DrawOnTerminal([&] {
            CLI_Display display;
            display.update_progress(c.fraction, c.label);
        });
        EXPECT_EQ(bytes, c.expected) << "fraction " << c.fraction << " label " << (c.label ? c.label : "none");
    }
}

TEST(ConsoleDisplay, SpinnerFramesAndLineErasingOnATerminal)
{
    std::string bytes = DrawOnTerminal([] {
        CLI_Display display;
        for (int i = 0; i < 9; ++i)
            display.update_spinner(true, nullptr);
        display.update_spinner(false, nullptr); // erases, keeps the frame
        display.update_spinner(true, "Downloading");
        display.display_progress(true);         // draws nothing
        display.display_progress(false);        // erases
        display.info_message("done");
    });
    std::string expected;
    for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
        expected += std::string("\r ") + frame + "      \r";
    expected += ERASE;
    expected += "\r (Downloading) ..      \r";
    expected += ERASE;
    expected += "done\n";
    EXPECT_EQ(bytes, expected);
}

TEST(ConsoleDisplay, RedirectedOutputGetsMessagesButNoDrawing)
{
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    RunInChild(fileno(file), [] {
        CLI_Display display;
        display.update_progress(0.5, "Updating");
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, "Downloading");
        display.display_progress(false);
        display.info_message("first");
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "second %d", 2);
        display.update_progress(1.0, nullptr);
    });
    EXPECT_EQ(ReadAll(file), "first\nsecond 2\n");
    fclose(file);
}

TEST(ConsoleDisplay, StreamsAreUnbufferedAndErrorsGoToStandardError)
{
    FILE* err = tmpfile();
    FILE* out = tmpfile();
    ASSERT_TRUE(err && out);
    int errFd = fileno(err);
    RunInChild(fileno(out), [errFd] {
        dup2(errFd, STDERR_FILENO);
        CLI_Display display;
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "bad %s", "thing");
        display.info_message("good");
        fputs("raw", stdout); // reaches the file without a flush
    });
    EXPECT_EQ(ReadAll(out), "good\nraw");
    EXPECT_EQ(ReadAll(err), "bad thing\n");
    fclose(out);
    fclose(err);
}

} // namespace
