// HidrawRom: the simulated boot ROM behind a umockdev hidraw node (see HidrawRom.h).
#include "sim/imx/HidrawRom.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

namespace imxsim {

namespace {

// Vendor collection: output reports 1 (16 bytes) and 2 (1024 bytes), input
// reports 3 (4 bytes) and 4 (64 bytes).
const uint8_t REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                                       //
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02, //
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91,
    0x02,                                                                                            //
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, //
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, //
    0xC0};

const char* const DEVICE = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-7";
const char* const INTERFACE = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-7/1-7:1.0";
const char* const HID = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-7/1-7:1.0/0003:1FC9:0130.0001";
const char* const HIDRAW = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-7/1-7:1.0/0003:1FC9:0130.0001/hidraw/hidraw0";
const char* const NODE = "/dev/hidraw0";

std::string sAttr(const std::string& name, const std::string& value) { return "A: " + name + "=" + value + "\\n\n"; }

std::string sFmt(const char* f, unsigned v)
{
    char b[32];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string sHex(const uint8_t* bytes, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += sFmt("%02x", bytes[i]);
    return s;
}

void sAdd(UMockdevTestbed* testbed, const std::string& record)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        const std::string what = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("cannot add the simulated HID device: " + what);
    }
}

gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<HidrawRom*>(self)->onIoctl(client);
}

gboolean sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<HidrawRom*>(self)->onRead(client);
}

gboolean sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<HidrawRom*>(self)->onWrite(client);
}

UMockdevIoctlData* sResolve(UMockdevIoctlClient* client, size_t size)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!arg)
        return nullptr;
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (error)
        g_error_free(error);
    return d;
}

} // namespace

bool HidrawRom::preloaded()
{
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "libumockdev-preload");
}

HidrawRom::HidrawRom(SdpConfig config, uint16_t vendorId, uint16_t productId) : rom_(config), link_(rom_)
{
    if (!preloaded())
        throw std::runtime_error("the simulated HID device needs umockdev's preload (LD_PRELOAD)");
    // The pty must exist before the testbed: afterwards umockdev takes over
    // every node that is opened.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    ptyPath_ = ptsname(master_);
    slave_ = open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0)
        throw std::runtime_error("cannot open " + ptyPath_);
    struct termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);

    testbed_ = umockdev_testbed_new();
    if (!testbed_)
        throw std::runtime_error("cannot create the umockdev testbed");
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(sOnIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(sOnRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(sOnWrite), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, NODE, handler_, &error)) {
        const std::string what = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("cannot attach the hidraw handler: " + what);
    }

    const std::string vid = sFmt("%04x", vendorId);
    const std::string pid = sFmt("%04x", productId);
    const std::string hidId = sFmt("0003:%08X", vendorId) + sFmt(":%08X", productId);

    std::string device = std::string("P: ") + (DEVICE + 4) + "\nN: bus/usb/001/007\n";
    device += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/007\n";
    device += "E: BUSNUM=001\nE: DEVNUM=007\n";
    device += sAttr("busnum", "1") + sAttr("devnum", "7") + sAttr("speed", "12");
    device += sAttr("idVendor", vid) + sAttr("idProduct", pid) + sAttr("bcdDevice", "0001");
    device += sAttr("manufacturer", "NXP") + sAttr("product", "SE Blank RT Family") + sAttr("serial", "");
    device += sAttr("bConfigurationValue", "1") + sAttr("bNumInterfaces", " 1");

    std::string iface = std::string("P: ") + (INTERFACE + 4) + "\n";
    iface += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: INTERFACE=3/0/0\n";
    iface += sAttr("bInterfaceNumber", "00") + sAttr("bInterfaceClass", "03");

    std::string hid = std::string("P: ") + (HID + 4) + "\n";
    hid += "E: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\nE: HID_NAME=NXP SE Blank RT Family\nE: HID_UNIQ=\n";
    hid += "H: report_descriptor=" + sHex(REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR) + "\n";

    std::string raw = std::string("P: ") + (HIDRAW + 4) + "\nN: hidraw0\n";
    raw += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\n";
    raw += sAttr("dev", "247:0");
    raw += "L: device=../..\n"; // hidapi reads the hid node's uevent through it

    for (const std::string* r : {&device, &iface, &hid, &raw})
        sAdd(testbed_, *r);

    // The node becomes the pty, so that poll() sees a byte while reports wait.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string node = std::string(root) + NODE;
    g_free(root);
    unlink(node.c_str());
    if (symlink(ptyPath_.c_str(), node.c_str()) != 0)
        throw std::runtime_error("cannot link " + node);
}

HidrawRom::~HidrawRom()
{
    if (testbed_) {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(testbed_, NODE, &error);
        if (error)
            g_error_free(error);
        g_object_unref(testbed_);
    }
    if (handler_)
        g_object_unref(handler_);
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

void HidrawRom::reset(SdpConfig config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rom_ = SdpRom(config);
    queued_.clear();
    signalReadable(false);
}

void HidrawRom::signalReadable(bool readable)
{
    if (readable == flagged_)
        return;
    if (readable) {
        const uint8_t one = 1;
        if (write(master_, &one, 1) == 1)
            flagged_ = true;
    } else {
        tcflush(slave_, TCIFLUSH);
        flagged_ = false;
    }
}

bool HidrawRom::onIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* d = sResolve(client, sizeof(int));
        if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const int size = sizeof REPORT_DESCRIPTOR;
        std::memcpy(d->data, &size, sizeof size);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return true;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* d = sResolve(client, sizeof(hidraw_report_descriptor));
        if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        hidraw_report_descriptor desc{};
        std::memcpy(&desc.size, d->data, sizeof desc.size);
        desc.size = sizeof REPORT_DESCRIPTOR;
        std::memcpy(desc.value, REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR);
        std::memcpy(d->data, &desc, sizeof desc);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return true;
    }
    if (request == HIDIOCGRAWINFO) {
        UMockdevIoctlData* d = sResolve(client, sizeof(hidraw_devinfo));
        if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        hidraw_devinfo info{};
        info.bustype = 3;
        info.vendor = 0x1FC9;
        info.product = 0x0130;
        std::memcpy(d->data, &info, sizeof info);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return true;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return true;
}

bool HidrawRom::onWrite(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!arg || arg->data_len <= 0) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    const size_t n = static_cast<size_t>(arg->data_len);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& r : link_.receive(arg->data, n))
            queued_.push_back(std::move(r));
        signalReadable(!queued_.empty());
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return true;
}

bool HidrawRom::onRead(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!arg) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    std::vector<uint8_t> report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_.empty()) {
            signalReadable(false);
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return true;
        }
        report = std::move(queued_.front());
        queued_.pop_front();
        signalReadable(!queued_.empty());
    }
    const size_t n = std::min(report.size(), static_cast<size_t>(arg->data_len));
    std::memcpy(arg->data, report.data(), n);
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return true;
}

} // namespace imxsim
