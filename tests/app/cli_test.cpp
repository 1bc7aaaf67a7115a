// Runs the built Updater as a subprocess and checks its standard output,
// standard error and exit status for command lines that need no module.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/RunProcess.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> SHORT_USAGE = {
    "",
    "Application Usage:",
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]",
    "    [-d serial_num]",
    "    [-t transport] [-r router_serial]",
    "    [-s serial_port] [-o baud_rate]",
    "",
    "  Corvantis Update and Maintenance Application",
    "    -H -h or --help for full usage information.",
    "",
};

const std::vector<std::string> PARAMETERS_AND_COMMANDS = {
    "  Parameters to commands:",
    "     -i <veltrane_directory>  - The Veltrane directory used for storage of ",
    "                                firmware files. [Default: ~/.veltrane ].",
    "     -b <build number>        - Build version of the firmware to transfer.",
    "                                [Default: latest version available].",
    "     -d <device>              - Device serial number of the device to access.",
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
    "     -f <bird file>           - Firmware file to be transferred to device.",
    "     -r <router serial>       - indirect connection through router device",
    "     -s <serial port>         - name of serial port to use for recovery",
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
    "                                19200, 38400, 57600, 115200, 230400)",
    "  Commands:",
    "     -B                       - list the Builds available for given device.",
    "",
    "     -L                       - list the local Builds available for given device.",
    "",
    "     -D                       - Discover devices that are currently connected.",
    "",
    "     -G                       - Get build file from the Veltrane server and",
    "                                store on local machine for download to device.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to obtain the latest build for the",
    "                                given device, override with \"-b\" option.",
    "",
    "     -U                       - Update the firmware on device specified.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to download the latest build for the",
    "                                given device, override with \"-b\" option or",
    "                                specify specific BIRD file using \"-f\" option.",
    "     -J                       - Get a JWT containing the devices software features",
    "     -H or -h                 - Display extended usage information.",
    "",
    "     --http                   - Use HTTP for the update server (http://updates.corvantis.example/cgi/u).",
    "     --https                  - Use HTTPS for the update server (https://updates.corvantis.example/cgi/u).",
    "                                Recommended; HTTPS will be the default in the next major version.",
};

const std::vector<std::string> EXTENDED = {
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
    "                                Default: updates.corvantis.example:port",
    "  Extended Commands:",
    "     -I                       - View stored device information.",
    "                                Must either use DISCOVER command [\"-D\"] or",
    "                                specify a specific device [\"-d\" option].",
    "",
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
    "                                This option should only be used when authorized by",
    "                                Veltrane development engineers.",
    "",
    "     -N                       - Get fingerprint from a device, requires -s",
    "",
    "     -X <BIT_MASK>            - Bitmask for Logging",
    "                                DEBUG_Updater       0x00000001",
    "                                DEBUG_History       0x00000002",
    "                                DEBUG_Attributes    0x00000004",
    "                                DEBUG_BirdFile      0x00000008",
    "                                DEBUG_Network       0x00000010",
    "                                DEBUG_ServerComm    0x00000020",
    "",
    "                                DEBUG_Network       0x00000100",
    "                                DEBUG_Network_SR    0x00000200",
    "                                DEBUG_Network_FIRM  0x00000400",
    "",
    "                                DEBUG_NXPSerial     0x00001000",
    "                                DEBUG_NXPSerial_E   0x00002000",
    "                                DEBUG_NXPSerial_SR  0x00004000",
    "",
    "                                DEBUG_APP           0x00010000",
    "",
    "                                DEBUG_iMXSerial     0x10000000",
    "",
    "     -C                       - Check the given BIRDFILE",
    "",
};

const std::vector<std::string> SAMPLES = {
    " Sample usage:",
    "",
    "-D                             Discover all devices connected by either USB or TCPIP.",
    "                               Records the device information into the settings for that device.",
    "",
    "-D -t USB                      Discover all the devices connected by USB. Records the",
    "                               device information into the settings for that device.",
    "",
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)",
    "",
    "-G -d 40F5849A                 Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific device directory.",
    "",
    "-U -d 40F5849A                 Update the firmware on the specific device.",
    "                               Without other options, this command will try to locate",
    "                               the latest firmware version to be used for updating the device.",
    "",
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
    "                               Downloads the firmware file into the updater's specific",
    "                               device directory with the build number as the filename.",
    "",
    "-G -U -d 40F5849A              Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific",
    "                               device directory. After download, update the firmware",
    "                               using the latest release.",
    "",
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface",
    "                               in communicating with the device to install the latest firmware.",
    "",
    " Sample usage for network discovery and updates:",
    "",
    "-D -r D272031D                 Discover all devices connected to the I2C Corvantis network",
    "                               of the given routing device D272031D.",
    "",
    "-G -U -d 2181F0EE -r D272031D",
    "                               Get and Update to the latest firmware for device 2181F0EE",
    "                               indirectly through routing device D272031D.",
    "",
};

const std::string VERSION = "Updater (Version: 2.12.2 Mar 13 2026)";
const std::string RIGHTS = "(c) 2026 Veltrane. All rights reserved.";

std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

using testsupport::RunResult;

class UpdaterCli : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tmp = pattern;
    }
    void TearDown() override { fs::remove_all(tmp); }

    // Runs the tool with HOME in the temporary directory; "{tmp}" in an
    // argument stands for that directory.
    RunResult Exec(std::vector<std::string> args)
    {
        for (std::string& arg : args) {
            size_t at = arg.find("{tmp}");
            if (at != std::string::npos)
                arg.replace(at, 5, tmp.string());
        }
        return testsupport::runProcess(UPDATER_BINARY_DIR "/Updater", args, tmp, tmp, std::chrono::seconds(30));
    }

    fs::path tmp;
};

TEST_F(UpdaterCli, CommandLinesWithoutModules)
{
    const std::vector<std::string> FULL = Cat({SHORT_USAGE, PARAMETERS_AND_COMMANDS, SAMPLES});
    const std::vector<std::string> FULL_EXTENDED = Cat({SHORT_USAGE, PARAMETERS_AND_COMMANDS, EXTENDED, SAMPLES});
    const std::vector<std::string> HEADER = {VERSION, RIGHTS};
    auto withShort = [&](std::vector<std::string> first) { return Cat({first, SHORT_USAGE}); };

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> out;
        std::vector<std::string> err;
        int status;
    };
    const Case cases[] = {
        {{}, HEADER, SHORT_USAGE, 0},
        {{"-h"}, HEADER, FULL, 0},
        {{"-H"}, HEADER, FULL, 0},
        {{"--help"}, HEADER, FULL, 0},
        {{"--he"}, HEADER, FULL, 0},
        {{"-Y", "-h"}, HEADER, Cat({{"Unhandled command: [-Y]"}, FULL}), 0},
        {{"-h", "-Y"}, HEADER, FULL, 0},
        {{"-X", "1", "-h"}, HEADER, FULL_EXTENDED, 0},
        {{"-h", "-X", "1"}, HEADER, FULL, 0},
        {{"-Y"}, HEADER, withShort({"Unhandled command: [-Y]"}), 1},
        {{"-D", "-d", "0"}, HEADER, withShort({"Invalid serial number obtained from argument [0]"}), 1},
        {{"-D", "-d", "xyz"}, HEADER, withShort({"Invalid serial number obtained from argument [xyz]"}), 1},
        {{"-D", "-d", "12G"}, HEADER, withShort({"Invalid serial number obtained from argument [12G]"}), 1},
        {{"-D", "-r", "0x"}, HEADER, withShort({"Invalid router serial number obtained from argument []"}), 1},
        // The prefix removal is traced once -X has switched the package on.
        {{"-X", "1", "-d", "0x40F5849A"}, HEADER, withShort({"Discarding '0x' serial number prefix"}), 0},
        {{"-d", "0x40F5849A", "-X", "1"}, HEADER, SHORT_USAGE, 0},
        {{"-X", "0x1G"}, HEADER,
         withShort({"Invalid format for \"-X\" parameter, unprocessed characters [G]"}), 0},
        {{"-D", "-t", "usb"}, HEADER,
         withShort({"Invalid transport type:[usb]", "Must be one of the following: USB, TCPIP, RECOVER"}), 1},
        {{"-t", "TCPIP"}, HEADER, SHORT_USAGE, 0},
        {{"--http", "-u", "localhost:1", "-D"}, HEADER,
         withShort({"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."}), 1},
        // Rejected words are skipped without a message.
        {{"-q", "-d", "--htt", "-D=1", "stray"}, HEADER, SHORT_USAGE, 0},
        {{"-OVERRIDE"}, HEADER, SHORT_USAGE, 0},
        {{"-X", "1"}, HEADER, SHORT_USAGE, 0},
        {{"-I", "x", "-i", "{tmp}"}, {VERSION}, {}, 0},
        {{"-C", "x", "-i", "{tmp}"}, {VERSION}, {}, 0},
        {{"-Z", "x", "-i", "{tmp}"}, {VERSION}, {}, 0},
        {{"-N", "-i", "{tmp}"}, {VERSION}, {"Must specify the serial port used for connecting"}, 1},
        {{"-G", "-i", "{tmp}"}, {VERSION}, {"-G must specify a specific device via -d", "--help for usage information"}, 1},
        {{"-U", "-i", "{tmp}"}, {VERSION}, {"Must specify the specific device to be updated"}, 1},
        {{"-B", "-i", "{tmp}"}, {VERSION}, withShort({"Error must supply a serial number for the List Builds command"}), 1},
        {{"-L", "-i", "{tmp}"}, {VERSION},
         withShort({"Error must supply a serial number for the List Local Builds command"}), 1},
        {{"-J", "-i", "{tmp}"}, {VERSION}, withShort({"Error must supply a serial number for the Get JWT command"}), 1},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE("Updater " + line);
        RunResult run = Exec(c.args);
        EXPECT_EQ(Lines(run.out), c.out);
        EXPECT_EQ(Lines(run.err), c.err);
        EXPECT_EQ(run.status, c.status);
        // Every line printed ends with a newline.
        EXPECT_TRUE(run.out.empty() || run.out.back() == '\n');
    }
}

TEST_F(UpdaterCli, StoreRootIsCreatedBelowTheGivenDirectory)
{
    RunResult run = Exec({"-I", "-i", "{tmp}/a/b"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_directory(tmp / "a" / "b" / "updater"));
}

TEST_F(UpdaterCli, StoreRootBelowAPlainFileFails)
{
    std::ofstream(tmp / "plain") << "not a directory";
    RunResult run = Exec({"-I", "-i", "{tmp}/plain/sub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{VERSION});
    EXPECT_EQ(Lines(run.err),
              std::vector<std::string>{"Could not find updater directory at " + (tmp / "plain/sub/updater").string()});
}

TEST_F(UpdaterCli, ShortUsageEndsWithABlankLine)
{
    RunResult run = Exec({});
    ASSERT_GE(run.err.size(), 2u);
    EXPECT_EQ(run.err.front(), '\n');
    EXPECT_EQ(run.err.substr(run.err.size() - 2), "\n\n");
}

} // namespace
