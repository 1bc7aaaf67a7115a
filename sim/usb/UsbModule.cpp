// A simulated module's usbfs device (see UsbModule.h).
#include "sim/usb/UsbModule.h"

#include <umockdev.h>

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>
#include <termios.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace modsim::usb {

namespace {

constexpr size_t kStatusOffset = offsetof(usbdevfs_urb, status);
constexpr size_t kActualOffset = offsetof(usbdevfs_urb, actual_length);
constexpr size_t kBufferOffset = offsetof(usbdevfs_urb, buffer);

template <typename T> T readAt(const UMockdevIoctlData* d, size_t offset)
{
    T v{};
    if (d && offset + sizeof(T) <= static_cast<size_t>(d->data_len))
        std::memcpy(&v, d->data + offset, sizeof(T));
    return v;
}

template <typename T> void writeAt(UMockdevIoctlData* d, size_t offset, T v)
{
    if (d && offset + sizeof(T) <= static_cast<size_t>(d->data_len))
        std::memcpy(d->data + offset, &v, sizeof(T));
}

// The memory the ioctl argument points at, or null.
UMockdevIoctlData* resolveArg(UMockdevIoctlClient* client, size_t size)
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

int dirIndex(Direction d) { return d == Direction::In ? 0 : 1; }

} // namespace

ModuleState::ModuleState(const ModuleConfig& config)
{
    log.setMemory(true);
    model = makeStandardModule(config, log);
}

UsbModule::UsbModule(UsbModuleConfig config, int ptySlave, std::shared_ptr<ModuleState> state,
                     unsigned connectionNumber)
    : config_(std::move(config)), pty_(ptySlave),
      state_(state ? std::move(state) : std::make_shared<ModuleState>(config_.module))
{
    session_ = std::make_unique<ModuleSession>(*state_->model, makeRawFramer(), state_->log);
    session_->begin(FaultPlan{}, connectionNumber);
    tcflow(pty_, TCOOFF);
}

UsbModule::~UsbModule()
{
    std::lock_guard<std::mutex> lock(m_);
    for (Urb& u : reapable_)
        releaseUrb(u);
    for (Urb& u : pendingIn_)
        releaseUrb(u);
    for (Urb& u : pendingOut_)
        releaseUrb(u);
    reapable_.clear();
    pendingIn_.clear();
    pendingOut_.clear();
    tcflow(pty_, TCOOFF);
}

void UsbModule::releaseUrb(Urb& u)
{
    if (u.buffer)
        g_object_unref(u.buffer);
    if (u.urb)
        g_object_unref(u.urb);
    u.buffer = nullptr;
    u.urb = nullptr;
}

void UsbModule::setClaimBusy(bool busy)
{
    std::lock_guard<std::mutex> lock(m_);
    claimBusy_ = busy;
}

void UsbModule::stallNext(Direction d)
{
    std::lock_guard<std::mutex> lock(m_);
    stall_[dirIndex(d)] = 1;
}

void UsbModule::failNext(Direction d, unsigned count)
{
    std::lock_guard<std::mutex> lock(m_);
    fail_[dirIndex(d)] = count;
}

void UsbModule::stallOutAfter(size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_);
    partialOut_ = static_cast<long>(bytes);
}

void UsbModule::pushIn(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m_);
    inBytes_.insert(inBytes_.end(), bytes.begin(), bytes.end());
    fillPendingInLocked();
}

void UsbModule::sendHeartbeat(uint8_t code)
{
    std::lock_guard<std::mutex> lock(m_);
    const std::vector<uint8_t> bytes = session_->heartbeat(code);
    inBytes_.insert(inBytes_.end(), bytes.begin(), bytes.end());
    fillPendingInLocked();
}

void UsbModule::setModuleAttached(bool on)
{
    std::lock_guard<std::mutex> lock(m_);
    moduleAttached_ = on;
}

std::vector<size_t> UsbModule::outTransferSizes() const
{
    std::lock_guard<std::mutex> lock(m_);
    return outSizes_;
}

std::vector<uint8_t> UsbModule::outBytes() const
{
    std::lock_guard<std::mutex> lock(m_);
    return outBytes_;
}

unsigned UsbModule::claims() const
{
    std::lock_guard<std::mutex> lock(m_);
    return claims_;
}

unsigned UsbModule::clearedHalts(Direction d) const
{
    std::lock_guard<std::mutex> lock(m_);
    return halts_[dirIndex(d)];
}

size_t UsbModule::pendingIn() const
{
    std::lock_guard<std::mutex> lock(m_);
    return pendingIn_.size();
}

void UsbModule::disconnect()
{
    std::lock_guard<std::mutex> lock(m_);
    gone_ = true;
    for (auto* queue : {&pendingIn_, &pendingOut_}) {
        while (!queue->empty()) {
            Urb u = queue->front();
            queue->pop_front();
            u.status = -ESHUTDOWN;
            u.actual = 0;
            completeLocked(u);
        }
    }
}

bool UsbModule::drained() const
{
    std::lock_guard<std::mutex> lock(m_);
    return reapable_.empty();
}

bool UsbModule::saidEverything() const
{
    std::lock_guard<std::mutex> lock(m_);
    return inBytes_.empty() && reapable_.empty();
}

void UsbModule::clientGone(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m_);
    if (claimedBy_ == client)
        claimedBy_ = nullptr;
    for (auto* queue : {&reapable_, &pendingIn_, &pendingOut_}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (it->client == client) {
                releaseUrb(*it);
                it = queue->erase(it);
            } else {
                ++it;
            }
        }
    }
    updateFlowLocked();
}

void UsbModule::updateFlowLocked()
{
    const bool want = !reapable_.empty();
    if (want != flowOn_) {
        tcflow(pty_, want ? TCOON : TCOOFF);
        flowOn_ = want;
    }
}

void UsbModule::completeLocked(Urb u)
{
    reapable_.push_back(u);
    updateFlowLocked();
}

void UsbModule::fillPendingInLocked()
{
    while (!pendingIn_.empty() && !inBytes_.empty()) {
        Urb u = pendingIn_.front();
        pendingIn_.pop_front();
        const size_t n = std::min(static_cast<size_t>(u.length), inBytes_.size());
        for (size_t i = 0; i < n; ++i)
            u.buffer->data[i] = inBytes_[i];
        inBytes_.erase(inBytes_.begin(), inBytes_.begin() + static_cast<std::ptrdiff_t>(n));
        u.actual = static_cast<int32_t>(n);
        u.status = 0;
        completeLocked(u);
    }
}

bool UsbModule::handleIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = resolveArg(client, sizeof(uint32_t));
        if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        writeAt<uint32_t>(d, 0,
                          USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                              USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        std::unique_lock<std::mutex> lock(m_);
        if (gone_) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        } else if (claimBusy_ || (claimedBy_ && claimedBy_ != client)) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            ++claims_;
            claimedBy_ = client;
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        std::unique_lock<std::mutex> lock(m_);
        if (claimedBy_ == client)
            claimedBy_ = nullptr;
        lock.unlock();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* d = resolveArg(client, sizeof(unsigned int));
        const unsigned int ep = readAt<unsigned int>(d, 0);
        if (d)
            g_object_unref(d);
        {
            std::lock_guard<std::mutex> lock(m_);
            ++halts_[(ep & 0x80) ? 0 : 1];
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_SUBMITURB:
        submit(client);
        return true;
    case USBDEVFS_REAPURBNDELAY:
        reap(client);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(client);
        return true;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

void UsbModule::submit(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Urb u;
    u.client = client;
    u.address = readAt<uint64_t>(arg, 0);
    u.urb = resolveArg(client, sizeof(usbdevfs_urb));
    if (!u.urb) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    u.type = readAt<uint8_t>(u.urb, offsetof(usbdevfs_urb, type));
    u.endpoint = readAt<uint8_t>(u.urb, offsetof(usbdevfs_urb, endpoint));
    u.length = readAt<int32_t>(u.urb, offsetof(usbdevfs_urb, buffer_length));
    if (u.length > 0) {
        GError* error = nullptr;
        u.buffer = umockdev_ioctl_data_resolve(u.urb, kBufferOffset, static_cast<size_t>(u.length),
                                               &error);
        if (error)
            g_error_free(error);
        if (!u.buffer) {
            releaseUrb(u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }

    std::unique_lock<std::mutex> lock(m_);
    if (gone_) {
        lock.unlock();
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
        completeLocked(u);
        lock.unlock();
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (u.type != USBDEVFS_URB_TYPE_BULK ||
        (u.endpoint != kBulkInEndpoint && u.endpoint != kBulkOutEndpoint)) {
        lock.unlock();
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }

    const int dir = (u.endpoint & 0x80) ? 0 : 1;
    std::optional<Restart> restart;
    if (stall_[dir]) {
        stall_[dir] = 0;
        u.status = -EPIPE;
        completeLocked(u);
    } else if (fail_[dir]) {
        --fail_[dir];
        u.status = -EPROTO;
        completeLocked(u);
    } else if (dir == 1) {
        const uint8_t* data = u.buffer ? u.buffer->data : nullptr;
        size_t n = static_cast<size_t>(u.length > 0 ? u.length : 0);
        const bool partial = partialOut_ >= 0;
        if (partial) {
            n = std::min(n, static_cast<size_t>(partialOut_));
            partialOut_ = -1;
        }
        outSizes_.push_back(n);
        outBytes_.insert(outBytes_.end(), data, data + n);
        if (moduleAttached_ && !restarting_ && n) {
            ModuleSession::Output out = session_->feed(data, n);
            inBytes_.insert(inBytes_.end(), out.bytes.begin(), out.bytes.end());
            if (out.restart) {
                restarting_ = true;
                restart = out.restart;
            }
        }
        u.actual = static_cast<int32_t>(n);
        u.status = 0;
        if (partial)
            pendingOut_.push_back(u);
        else
            completeLocked(u);
        fillPendingInLocked();
    } else {
        pendingIn_.push_back(u);
        fillPendingInLocked();
    }
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
    if (restart && onRestart_)
        onRestart_(*this, *restart);
}

void UsbModule::control(Urb& u)
{
    // Setup packet, then the data stage.
    u.status = -EPIPE;
    u.actual = 0;
    if (!u.buffer || u.length < 8)
        return;
    const uint8_t* s = u.buffer->data;
    const uint8_t requestType = s[0];
    const uint8_t request = s[1];
    const uint16_t value = static_cast<uint16_t>(s[2] | (s[3] << 8));
    const uint16_t length = static_cast<uint16_t>(s[6] | (s[7] << 8));
    if (requestType != 0x80 || request != 6)
        return; // only GET_DESCRIPTOR is answered; everything else stalls
    std::vector<uint8_t> d;
    switch (value >> 8) {
    case 1:
        d = deviceDescriptor(config_.usb);
        break;
    case 2:
        d = configurationDescriptor(config_.usb);
        break;
    case 3:
        d = stringDescriptor(config_.usb, static_cast<uint8_t>(value & 0xFF));
        break;
    default:
        break;
    }
    if (d.empty())
        return;
    size_t n = std::min<size_t>(d.size(), length);
    n = std::min<size_t>(n, static_cast<size_t>(u.length - 8));
    std::memcpy(u.buffer->data + 8, d.data(), n);
    u.actual = static_cast<int32_t>(n);
    u.status = 0;
}

void UsbModule::reap(UMockdevIoctlClient* client)
{
    // Each open node reaps only its own transfers.
    std::unique_lock<std::mutex> lock(m_);
    auto it = reapable_.begin();
    while (it != reapable_.end() && it->client != client)
        ++it;
    if (it == reapable_.end()) {
        const int error = gone_ ? ENODEV : EAGAIN;
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, error);
        return;
    }
    Urb u = *it;
    reapable_.erase(it);
    updateFlowLocked();
    lock.unlock();

    writeAt<int32_t>(u.urb, kStatusOffset, u.status);
    writeAt<int32_t>(u.urb, kActualOffset, u.actual);
    UMockdevIoctlData* slot = resolveArg(client, sizeof(void*));
    if (!slot) {
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    releaseUrb(u);
}

void UsbModule::discard(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const uint64_t address = readAt<uint64_t>(arg, 0);
    std::unique_lock<std::mutex> lock(m_);
    for (auto* queue : {&pendingIn_, &pendingOut_}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->address != address || it->client != client)
                continue;
            Urb u = *it;
            queue->erase(it);
            u.status = -ENOENT; // what was taken so far stays in actual
            completeLocked(u);
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    lock.unlock();
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

} // namespace modsim::usb
