// The usage texts: short, parameters and commands, extended, and samples.
// Written straight to standard error.
#include <cstdio>

#include "app/Printers.h"
#include "app/ServerUrls.h"

namespace {

const char* const SHORT_TEXT[] = {
    "Application Usage:",
    APP_NAME_TEXT " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]",
    "    [-d serial_num]",
    "    [-t transport] [-r router_serial]",
    "    [-s serial_port] [-o baud_rate]",
    "",
    "  Corvantis Update and Maintenance Application",
    "    -H -h or --help for full usage information.",
};

const char* const PARAMETERS_TEXT[] = {
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
    "     --http                   - Use HTTP for the update server (" UPDATE_SERVER_HTTP_URL_TEXT ").",
    "     --https                  - Use HTTPS for the update server (" UPDATE_SERVER_HTTPS_URL_TEXT ").",
    "                                Recommended; HTTPS will be the default in the next major version.",
};

const char* const EXTENDED_TEXT[] = {
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
    "                                Default: " UPDATE_SERVER_HOST ":port",
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

const char* const SAMPLE_TEXT[] = {
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

template <size_t N>
void sWriteLines(const char* const (&lines)[N])
{
    for (const char* line : lines)
        fprintf(stderr, "%s\n", line);
}

} // namespace

void _display_usage(bool extended, bool full)
{
    fputc('\n', stderr);
    sWriteLines(SHORT_TEXT);
    fputc('\n', stderr);
    if (!full)
        return;
    sWriteLines(PARAMETERS_TEXT);
    if (extended)
        sWriteLines(EXTENDED_TEXT);
    sWriteLines(SAMPLE_TEXT);
}
