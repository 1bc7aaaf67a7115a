// The simulated USB bus (see UsbTestbed.h).
#include "sim/usb/UsbTestbed.h"

#include <umockdev.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace modsim::usb {

namespace {

// Device nodes are pseudo-terminals opened before the testbed exists (after
// that, every /dev open goes through umockdev). Each plug takes a fresh one,
// so a client still holding an unplugged device's node never sees another
// device's state.
constexpr int kPtyPool = 64;
// How long a restarting module waits for the host to collect its last answer
// (the reply to LOAD) before it goes away.
constexpr int kLastWordsPolls = 100; // of 2 ms

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<UsbModule*>(self)->handleIoctl(client) ? TRUE : FALSE;
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    static_cast<UsbModule*>(self)->clientGone(client);
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

// Attribute values end with the record format's newline escape.
std::string attr(const char* name, const std::string& value)
{
    return std::string("A: ") + name + "=" + value + "\\n\n";
}

std::string fmt(const char* f, unsigned v)
{
    char b[32];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

} // namespace

struct UsbTestbed::Slot {
    std::unique_ptr<UsbModule> module;
    UMockdevIoctlBase* handler = nullptr;
    std::string devpath;   // sysfs path of the device
    std::string ifacepath; // sysfs path of its interface
    std::string devnode;   // /dev/bus/usb/001/NNN
    unsigned connection = 1; // how many times this module has been plugged
    bool plugged = false;
};

bool UsbTestbed::preloaded()
{
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "libumockdev-preload");
}

UsbTestbed::UsbTestbed()
{
    if (!preloaded())
        throw std::runtime_error("simulated USB needs umockdev's preload (LD_PRELOAD)");
    for (int i = 0; i < kPtyPool; ++i) {
        Pty p;
        p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0)
            throw std::runtime_error("cannot open a pseudo-terminal");
        p.path = ptsname(p.master);
        p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (p.slave < 0)
            throw std::runtime_error("cannot open " + p.path);
        termios t{};
        tcgetattr(p.slave, &t);
        cfmakeraw(&t);
        tcsetattr(p.slave, TCSANOW, &t);
        tcflow(p.slave, TCOOFF);
        ptys_.push_back(p);
    }
    testbed_ = umockdev_testbed_new();
    if (!testbed_)
        throw std::runtime_error("cannot create the umockdev testbed");
}

UsbTestbed::~UsbTestbed()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    {
        std::lock_guard<std::mutex> lock(restartersMutex_);
        for (std::thread& t : restarters_)
            t.join();
        restarters_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_);
        for (auto& s : slots_)
            if (s->plugged)
                unplugLocked(*s);
    }
    if (testbed_)
        g_object_unref(testbed_);
    for (auto& s : slots_)
        if (s->handler)
            g_object_unref(s->handler);
    slots_.clear();
    for (Pty& p : ptys_) {
        close(p.slave);
        close(p.master);
    }
}

std::string UsbTestbed::root() const
{
    gchar* r = umockdev_testbed_get_root_dir(testbed_);
    std::string s = r ? r : "";
    g_free(r);
    return s;
}

UsbModule& UsbTestbed::plug(const UsbModuleConfig& config)
{
    std::lock_guard<std::mutex> lock(m_);
    return plugLocked(config, nullptr, 1);
}

UsbModule& UsbTestbed::plugLocked(const UsbModuleConfig& config, std::shared_ptr<ModuleState> state,
                                  unsigned connection)
{
    Pty* pty = nullptr;
    for (Pty& p : ptys_)
        if (!p.used) {
            pty = &p;
            break;
        }
    if (!pty)
        throw std::runtime_error("simulated USB: no device node left (too many plugs)");
    pty->used = true;

    const unsigned devnum = nextDevice_++;
    auto slot = std::make_unique<Slot>();
    const std::string sysname = fmt("1-%u", devnum);
    slot->devpath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + sysname;
    slot->ifacepath = slot->devpath + "/" + sysname + ":1.0";
    slot->devnode = fmt("/dev/bus/usb/001/%03u", devnum);
    slot->module = std::make_unique<UsbModule>(config, pty->slave, std::move(state), connection);
    slot->connection = connection;
    slot->module->setRestartHandler(
        [this](UsbModule& module, const Restart& restart) { onRestart(module, restart); });

    slot->handler = umockdev_ioctl_base_new();
    g_signal_connect(slot->handler, "handle-ioctl", G_CALLBACK(onIoctl), slot->module.get());
    g_signal_connect(slot->handler, "client-vanished", G_CALLBACK(onVanished), slot->module.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, slot->devnode.c_str(), slot->handler, &error)) {
        std::string what = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("cannot attach the usbfs handler: " + what);
    }

    const UsbIdentity& id = config.usb;
    std::vector<uint8_t> descriptors = deviceDescriptor(id);
    const std::vector<uint8_t> configuration = configurationDescriptor(id);
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    const std::string vid = fmt("%04x", id.vendorId);
    const std::string pid = fmt("%04x", id.productId);

    std::string device = "P: " + slot->devpath.substr(4) + "\n";
    device += "N: " + slot->devnode.substr(5) + "\n";
    device += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    device += "E: DEVNAME=" + slot->devnode + "\n";
    device += "E: BUSNUM=001\nE: DEVNUM=" + fmt("%03u", devnum) + "\n";
    device += "E: PRODUCT=" + fmt("%x", id.vendorId) + "/" + fmt("%x", id.productId) + "/100\n";
    device += attr("busnum", "1") + attr("devnum", fmt("%u", devnum)) + attr("speed", "480");
    device += attr("bConfigurationValue", "1") + attr("bNumConfigurations", "1");
    device += attr("bNumInterfaces", " 1") + attr("bDeviceClass", "00");
    device += attr("idVendor", vid) + attr("idProduct", pid);
    device += attr("manufacturer", "Veltrane") + attr("product", "Corvantis module");
    device += attr("serial", id.serialText);
    device += "H: descriptors=" + hex(descriptors) + "\n";

    std::string iface = "P: " + slot->ifacepath.substr(4) + "\n";
    iface += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    iface += "E: INTERFACE=" + fmt("%u", id.interfaceClass) + "/" + fmt("%u", id.interfaceSubclass) +
             "/" + fmt("%u", id.interfaceProtocol) + "\n";
    iface += attr("bInterfaceNumber", "00") + attr("bAlternateSetting", " 0");
    iface += attr("bInterfaceClass", fmt("%02x", id.interfaceClass));
    iface += attr("bInterfaceSubClass", fmt("%02x", id.interfaceSubclass));
    iface += attr("bInterfaceProtocol", fmt("%02x", id.interfaceProtocol));
    iface += attr("bNumEndpoints", "02");

    for (const std::string* record : {&device, &iface}) {
        if (!umockdev_testbed_add_from_string(testbed_, record->c_str(), &error)) {
            std::string what = error ? error->message : "unknown error";
            if (error)
                g_error_free(error);
            throw std::runtime_error("cannot add the simulated device: " + what);
        }
    }

    // The node becomes the pseudo-terminal, whose output flow tells libusb's
    // poll when a transfer is ready to be reaped.
    const std::string node = root() + slot->devnode;
    unlink(node.c_str());
    if (symlink(pty->path.c_str(), node.c_str()) != 0)
        throw std::runtime_error("cannot link " + node);

    slot->plugged = true;
    UsbModule& module = *slot->module;
    slots_.push_back(std::move(slot));
    return module;
}

void UsbTestbed::unplugLocked(Slot& slot)
{
    slot.module->disconnect();
    // Give a client a moment to collect the failed transfers.
    for (int i = 0; i < 60 && !slot.module->drained(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    umockdev_testbed_uevent(testbed_, slot.ifacepath.c_str(), "remove");
    umockdev_testbed_uevent(testbed_, slot.devpath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, slot.ifacepath.c_str());
    umockdev_testbed_remove_device(testbed_, slot.devpath.c_str());
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, slot.devnode.c_str(), &error);
    if (error)
        g_error_free(error);
    slot.plugged = false;
}

void UsbTestbed::unplug(UsbModule& module)
{
    std::lock_guard<std::mutex> lock(m_);
    const ModuleState* state = module.state().get();
    retired_.insert(state);
    for (auto& s : slots_)
        if (s->module->state().get() == state && s->plugged)
            unplugLocked(*s);
}

void UsbTestbed::onRestart(UsbModule& module, const Restart& restart)
{
    // On umockdev's worker thread, which must keep serving the host while
    // the module says its last words: the re-enumeration runs elsewhere.
    std::lock_guard<std::mutex> lock(restartersMutex_);
    restarters_.emplace_back(&UsbTestbed::reenumerate, this, &module, restart);
}

void UsbTestbed::reenumerate(UsbModule* module, Restart restart)
{
    for (int i = 0; i < kLastWordsPolls && !module->saidEverything(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const std::shared_ptr<ModuleState> state = module->state();
    const UsbModuleConfig config = module->config();
    unsigned connection = 0;
    {
        std::lock_guard<std::mutex> lock(m_);
        for (auto& s : slots_)
            if (s->module.get() == module && s->plugged) {
                connection = s->connection;
                unplugLocked(*s);
            }
        if (stopping_ || connection == 0)
            return; // unplugged by hand meanwhile
    }
    if (!restart.comesBack) {
        state->log.add("gone");
        return;
    }
    std::unique_lock<std::mutex> lock(m_);
    stopSignal_.wait_for(lock, std::chrono::milliseconds(restart.delayMs), [this] { return stopping_; });
    if (stopping_ || retired_.count(state.get()))
        return;
    try {
        plugLocked(config, state, connection + 1);
    } catch (const std::exception& e) {
        state->log.add(std::string("replug-failed ") + e.what());
        return;
    }
    if (restart.reason != "drop") {
        ++restarts_;
        state->log.add("restarted " + restart.reason);
    }
}

UsbModule& UsbTestbed::replug(UsbModule& module, const UsbModuleConfig& config)
{
    unplug(module);
    return plug(config);
}

} // namespace modsim::usb
