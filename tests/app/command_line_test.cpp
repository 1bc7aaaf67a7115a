// Tests of the option parser, the option-argument readers and _get_params.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "app/CommandLine.h"
#include "app/Log.h"
#include "app/OptionParser.h"
#include "app/OptionTable.h"

namespace {

// Owns a command line as argc/argv; argv[0] is the program path.
struct Argv {
    explicit Argv(std::vector<std::string> args, std::string program = "/usr/local/bin/Updater")
        : words(std::move(args))
    {
        words.insert(words.begin(), std::move(program));
        for (std::string& w : words)
            pointers.push_back(w.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char** argv() { return pointers.data(); }
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

std::string Joined(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

TEST(OptionParser, MatchingPrefixesArgumentsAndSilentSkips)
{
    struct Case {
        std::vector<std::string> words;
        std::string accepted; // "text" or "text=arg" per accepted option
        std::string rejected;
    };
    const Case cases[] = {
        {{"-D", "-U"}, "-D -U", ""},
        {{"-d", "40F5849A"}, "-d=40F5849A", ""},
        {{"-d=1234"}, "-d=1234", ""},
        {{"-d="}, "-d=", ""},
        {{"-d"}, "", "-d"},                   // missing argument
        {{"-d", "-D"}, "-D", "-d"},           // a hyphen word is never an argument
        {{"-d", "-5"}, "", "-d -5"},
        {{"-D=1"}, "", "-D=1"},               // value on an option without argument
        {{"-O"}, "-OVERRIDE", ""},            // unique prefix
        {{"-OVER"}, "-OVERRIDE", ""},
        {{"-OVERRIDEX"}, "", "-OVERRIDEX"},
        {{"--htt"}, "", "--htt"},             // prefix of --http and --https
        {{"--http", "--https"}, "--http --https", ""}, // exact beats prefix
        {{"--he"}, "--help", ""},
        {{"-help"}, "", "-help"},             // hyphens must match too
        {{"-y", "-Y"}, "-Y", "-y"},           // case matters
        {{"-x", "1"}, "", "-x"},
        {{"-DU"}, "", "-DU"},                 // no clustering
        {{"stray", "-U", "words"}, "-U", ""}, // non-options are ignored
        {{"-Z", "x", "-I", "y"}, "-Z=x -I", ""},
        {{"-"}, "", "-"},
        {{"-t", "usb"}, "-t=usb", ""},        // values are judged by the caller
    };
    for (const Case& c : cases) {
        Argv args(c.words);
        OptionParser parser(args.argc(), args.argv(), UPDATER_OPTIONS, UPDATER_OPTION_COUNT);
        std::vector<std::string> accepted;
        while (parser.Next())
            accepted.push_back(std::string(parser.OptionText()) +
                               (parser.OptionArg() ? std::string("=") + parser.OptionArg() : ""));
        EXPECT_EQ(Joined(accepted), c.accepted) << Joined(c.words);
        EXPECT_EQ(Joined(parser.Rejected()), c.rejected) << Joined(c.words);
    }
}

TEST(OptionArgs, HexAndDecimalReaders)
{
    struct Case {
        const char* text;
        bool hex;
        uint32_t expected;
    };
    const Case cases[] = {
        {"40F5849A", true, 0x40F5849A}, {"abcdef", true, 0xABCDEF},  {"FFFFFFFF", true, 0xFFFFFFFF},
        {"", true, 0},                  {"12G", true, 0},           {"0x12", true, 0},
        {" 12", true, 0},               {"100000000", true, 0},     // more than 32 bits
        {"123", false, 123},            {"12ab", false, 0},         {"4294967295", false, 4294967295u},
        {"4294967296", false, 0},       {"-5", false, 0},           {"+5", false, 0},
        {"", false, 0},                 {"00042", false, 42},
    };
    for (const Case& c : cases) {
        char* end = nullptr;
        uint32_t value = c.hex ? _get_hex_arg(c.text, &end) : _get_int_arg(c.text, &end);
        EXPECT_EQ(value, c.expected) << (c.hex ? "hex " : "int ") << '"' << c.text << '"';
    }
    char* end = nullptr;
    const char* text = "1A2B";
    EXPECT_EQ(_get_hex_arg(text, &end), 0x1A2Bu);
    EXPECT_EQ(end, text + 4);
    EXPECT_EQ(_get_hex_arg("1A2B", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

class GetParams : public ::testing::Test {
  protected:
    void SetUp() override
    {
        trace = tmpfile();
        ASSERT_NE(trace, nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::SetOutput(trace);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(trace);
    }
    int Parse(std::vector<std::string> words)
    {
        display.lines.clear();
        Argv args(std::move(words));
        return _get_params(display, args.argc(), args.argv(), &params);
    }
    std::string Trace()
    {
        fflush(trace);
        rewind(trace);
        std::string out;
        int ch;
        while ((ch = fgetc(trace)) != EOF)
            out += static_cast<char>(ch);
        return out;
    }
    FILE* trace = nullptr;
    RecordingDisplay display;
    Parameters params;
};

TEST_F(GetParams, DefaultsWithoutOptions)
{
    ASSERT_EQ(Parse({}), 0);
    EXPECT_EQ(params.commands.Bits(), 0u);
    EXPECT_EQ(params.deviceSerial, 0u);
    EXPECT_EQ(params.transport, 1u);
    EXPECT_FALSE(params.transportGiven);
    EXPECT_EQ(params.baudRate, 115200u);
    EXPECT_EQ(params.serverUrl, UPDATE_SERVER_HTTP_URL);
    EXPECT_EQ(params.serverUrl, "http://" + std::string(UPDATE_SERVER_HOST_NAME) + "/cgi/u");
    EXPECT_TRUE(params.useUEIBytes);
    EXPECT_EQ(params.logFile, "Updater.log");
    EXPECT_EQ(params.logMode, "a+");
    EXPECT_EQ(params.programName, "Updater");
    EXPECT_FALSE(params.homeDirectory.empty());
    EXPECT_TRUE(params.buildNumber.empty());
    EXPECT_TRUE(display.lines.empty());
}

TEST_F(GetParams, OptionValuesMessagesAndResult)
{
    using Check = std::function<void(const Parameters&)>;
    struct Case {
        std::vector<std::string> words;
        int result;
        std::vector<std::string> errors;
        Check check;
    };
    const Case cases[] = {
        {{"-d", "0x40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.deviceSerial, 0x40F5849Au); }},
        {{"-d", "0X40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.deviceSerial, 0x40F5849Au); }},
        {{"-d=40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.deviceSerial, 0x40F5849Au); }},
        {{"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
        {{"-d", "xyz"}, 1, {"Invalid serial number obtained from argument [xyz]"}, nullptr},
        {{"-d", "12G"}, 1, {"Invalid serial number obtained from argument [12G]"}, nullptr},
        {{"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        {{"-d", "140F5849A"}, 1, {"Invalid serial number obtained from argument [140F5849A]"}, nullptr},
        {{"-r", "0xD272031D"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.routerSerial, 0xD272031Du); }},
        {{"-r", "zz"}, 1, {"Invalid router serial number obtained from argument [zz]"}, nullptr},
        {{"-b", "12ab"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.buildNumber, "0"); }},
        {{"-b", "0099528558"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.buildNumber, "99528558"); }},
        {{"-o", "fast"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 0u); }},
        {{"-o", "9600"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
        {{"-t", "TCPIP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 2u); EXPECT_TRUE(p.transportGiven); }},
        {{"-t", "TCP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 2u); }},
        {{"-t", "USB"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 1u); EXPECT_TRUE(p.transportGiven); }},
        {{"-t", "RECOVER"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 255u); }},
        {{"-t", "usb"},
         1,
         {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"},
         [](const Parameters& p) { EXPECT_EQ(p.transport, 0u); }},
        {{"-m", "0"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
        {{"-m", "10"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
        {{"-m", "trueish"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
        {{"-m", "yes"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
        {{"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
        {{"-Y", "-h"}, 0, {"Unhandled command: [-Y]"},
         [](const Parameters& p) { EXPECT_TRUE(p.helpRequested && p.commands.IsSet(CMD_HELP)); }},
        {{"-h", "-Y"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"-X", "1", "-h"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.logMaskGiven && p.helpRequested); }},
        {{"-h", "-X", "1"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.logMaskGiven); }},
        {{"--help"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"-H"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"--http", "-u", "host:80"},
         1,
         {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
         nullptr},
        {{"--https", "--https"},
         1,
         {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
         nullptr},
        {{"--https"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, UPDATE_SERVER_HTTPS_URL); }},
        {{"-u", "localhost:8080"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "localhost:8080"); }},
        {{"-OVER"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.override); EXPECT_EQ(p.commands.Bits(), 0u); }},
        {{"-D", "-U", "-B", "-L", "-G", "-I", "-C", "-N", "-J", "-Z", "x"},
         0,
         {},
         [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), 0x3FFu); }},
        {{"-s", "/dev/ttyS0", "-f", "a.bird", "-i", "/tmp/x", "-l", "msg", "-k", "k.log", "-e", "-n"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_EQ(p.serialPort, "/dev/ttyS0");
             EXPECT_EQ(p.birdFile, "a.bird");
             EXPECT_EQ(p.storeDirectory, "/tmp/x");
             EXPECT_EQ(p.historyMessage, "msg");
             EXPECT_EQ(p.logFile, "k.log");
             EXPECT_TRUE(p.echo && p.optionN);
         }},
        // Rejected words are skipped silently and do not fail the parse.
        {{"-d", "-D", "-q", "--htt", "-D=1"}, 0, {},
         [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), uint32_t(CMD_DISCOVER)); EXPECT_EQ(p.deviceSerial, 0u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.words));
        Log::DeactivatePackage(0xFFFFFFFF);
        EXPECT_EQ(Parse(c.words), c.result);
        std::vector<std::string> errors;
        for (const auto& line : display.lines) {
            EXPECT_TRUE(line.error) << line.text;
            errors.push_back(line.text);
        }
        EXPECT_EQ(errors, c.errors);
        if (c.check)
            c.check(params);
    }
}

TEST_F(GetParams, LogMaskActivatesAtOnceAndAddsUp)
{
    // Bit 1 is active before -d is read, so its prefix removal is traced.
    ASSERT_EQ(Parse({"-X", "1", "-d", "0x12"}), 0);
    EXPECT_NE(Trace().find("Discarding '0x' serial number prefix\n"), std::string::npos);
    EXPECT_EQ(params.logMask, 1u);

    Log::DeactivatePackage(0xFFFFFFFF);
    fclose(trace);
    trace = tmpfile();
    Log::SetOutput(trace);
    ASSERT_EQ(Parse({"-d", "0x12", "-X", "0x20", "-X", "0x10000"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x10020u);
    EXPECT_EQ(params.logMask, 0x10020u);
    std::string text = Trace();
    EXPECT_EQ(text.find("Discarding"), std::string::npos);
    EXPECT_NE(text.find("\nApplication parameters:[Updater]\n\t[/usr/local/bin/Updater]\n\t[-d]\n\t[0x12]\n"),
              std::string::npos)
        << text;
}

TEST_F(GetParams, MalformedLogMaskIsReportedAndActivatesNothing)
{
    ASSERT_EQ(Parse({"-X", "0x1G", "-d", "0x12"}), 0);
    EXPECT_EQ(display.Texts(), std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [G]"});
    EXPECT_TRUE(params.logMaskGiven);
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_EQ(Trace(), "");
}

TEST_F(GetParams, ProgramNameDropsWindowsAndPosixDirectories)
{
    Argv args({}, "C:\\tools\\Updater.exe");
    ASSERT_EQ(_get_params(display, args.argc(), args.argv(), &params), 0);
    EXPECT_EQ(params.programName, "Updater.exe");
}

} // namespace
