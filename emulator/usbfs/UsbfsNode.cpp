#include "usbfs/UsbfsNode.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/World.h"
#include "usbfs/UsbfsKernel.h"
#include "usbfs/UsbfsUrb.h"

namespace vcam::usbfs {

namespace {

constexpr size_t kPage = 4096;
constexpr int kUsbSpeedSuper = 5;  // enum usb_device_speed
constexpr int kUsbSpeedHigh = 3;

// Reads a value the program passed by pointer; false (EFAULT) when it cannot be read.
template <typename T>
bool argValue(UMockdevIoctlData* arg, T& out) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
    if (d == nullptr) {
        if (error) g_error_free(error);
        return false;
    }
    std::memcpy(&out, d->data, sizeof(T));
    umockdev_ioctl_data_unref(d);
    return true;
}

// The program's struct behind the argument, to read and fill in place.
UMockdevIoctlData* argStruct(UMockdevIoctlData* arg, size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (d == nullptr && error) g_error_free(error);
    return d;
}

}  // namespace

// ---- Session ---------------------------------------------------------------------------

Session::Session(std::shared_ptr<VirtualDevice> device, uint64_t session, uint8_t bus, uint8_t address)
    : device_(std::move(device)), session_(session), bus_(bus), address_(address) {}

Session::~Session() {
    if (fifo_ >= 0) ::close(fifo_);
}

std::string Session::devnode() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus_, address_);
    return path;
}

void Session::setReadiness(int fifo) {
    fifo_ = fifo;
    signalled_ = false;
    updateReadiness();
}

void Session::updateReadiness() {
    if (fifo_ < 0) return;
    bool want = false;
    for (OpenFile* file : files_) want = want || file->hasCompleted();
    static char page[kPage];
    if (want && !signalled_) {
        // Room for a page: poll() reports the node writable.
        if (::read(fifo_, page, kPage) == static_cast<ssize_t>(kPage)) signalled_ = true;
    } else if (!want && signalled_) {
        if (::write(fifo_, page, kPage) == static_cast<ssize_t>(kPage)) signalled_ = false;
    }
}

// ---- OpenFile: claims and plain ioctls --------------------------------------------------

OpenFile::OpenFile(Kernel& kernel, std::shared_ptr<Session> session)
    : kernel_(kernel), session_(std::move(session)) {
    session_->files().insert(this);
    ++kernel_.counters().filesOpened;
}

OpenFile::~OpenFile() {
    // A close kills what is in flight and frees what was not reaped.
    for (Urb* urb : inFlight_) {
        if (Endpoint* ep = urb->waitingOn()) ep->remove(urb);
    }
    std::set<Urb*> all = inFlight_;
    all.insert(done_.begin(), done_.end());
    for (Urb* urb : all) {
        kernel_.releaseMemory(urb->charged());
        delete urb;
    }
    inFlight_.clear();
    done_.clear();
    if (session_->connected()) {
        for (int interface : claimed_) session_->device().claims().erase(interface);
    }
    session_->files().erase(this);
    ++kernel_.counters().filesClosed;
    session_->updateReadiness();
}

void OpenFile::completed(Urb* urb) {
    inFlight_.erase(urb);
    done_.push_back(urb);
    const int status = urb->status();
    // A failed bulk URB stops the rest of a split transfer: its continuation URBs are
    // unlinked and later ones refused until a URB starts a new transfer.
    if (status < 0 && status != -ECONNRESET && status != -ENOENT &&
        urb->type() == USBDEVFS_URB_TYPE_BULK) {
        cancelContinuations(urb->endpoint());
    }
    session_->updateReadiness();
}

void OpenFile::cancelContinuations(uint8_t endpoint) {
    disabledBulk_.insert(endpoint);
    std::vector<Urb*> victims;
    for (Urb* urb : inFlight_) {
        if (urb->endpoint() == endpoint && urb->continuation() && urb->waitingOn() != nullptr &&
            urb->waitingOn()->remove(urb)) {
            victims.push_back(urb);
        }
    }
    for (Urb* urb : victims) urb->complete(-ECONNRESET, 0);
}

void OpenFile::killUrbs(int interface, int status) {
    std::vector<Urb*> victims;
    for (Urb* urb : inFlight_) {
        Endpoint* ep = urb->waitingOn();
        if (ep != nullptr && (interface < 0 || ep->layout().interfaceNumber == interface) &&
            ep->remove(urb)) {
            victims.push_back(urb);
        }
    }
    for (Urb* urb : victims) urb->complete(status, 0);
}

long OpenFile::claim(int interface) {
    VirtualDevice& device = session_->device();
    if (interface < 0 || interface >= 32) return -EINVAL;
    if (claimed_.count(interface) != 0) return 0;
    if (!device.hasInterface(interface)) return -ENOENT;
    if (device.interfaceHeldElsewhere() == interface) return -EBUSY;
    if (device.driverBound(interface)) return -EBUSY;
    auto& claims = device.claims();
    if (claims.count(interface) != 0) return -EBUSY;
    claims[interface] = this;
    claimed_.insert(interface);
    return 0;
}

long OpenFile::release(int interface) {
    if (claimed_.erase(interface) == 0) return -EINVAL;
    session_->device().claims().erase(interface);
    // Unbinding the file from the interface kills its URBs there.
    killUrbs(interface, -ENOENT);
    return 0;
}

long OpenFile::claimFor(uint8_t endpointAddress) {
    Endpoint* ep = session_->device().endpoint(endpointAddress);
    if (ep == nullptr) return -ENOENT;
    return claim(ep->layout().interfaceNumber);
}

long OpenFile::disconnectDriver(int interface) {
    VirtualDevice& device = session_->device();
    if (!device.hasInterface(interface)) return -EINVAL;
    if (!device.driverBound(interface)) return -ENODATA;
    device.setDriverBound(interface, false);
    return 0;
}

long OpenFile::deviceRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index) {
    std::vector<uint8_t> answer;
    const wire::Setup setup{requestType, request, value, index, 0};
    return session_->device().answerControl(setup, answer) ? 0 : -EPIPE;
}

long OpenFile::ioctl(unsigned long request, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
    ++kernel_.counters().ioctls;
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return reap(arg);
    // A device that left answers nothing else.
    if (!session_->connected()) return -ENODEV;
    VirtualDevice& device = session_->device();
    unsigned int value = 0;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = argStruct(arg, sizeof(uint32_t));
            if (d == nullptr) return -EFAULT;
            const uint32_t caps = World::raw().kernel().capabilities;
            std::memcpy(d->data, &caps, sizeof caps);
            umockdev_ioctl_data_unref(d);
            return 0;
        }
        case USBDEVFS_CLAIMINTERFACE:
            if (!argValue(arg, value)) return -EFAULT;
            return claim(static_cast<int>(value));
        case USBDEVFS_DISCONNECT_CLAIM: {
            struct usbdevfs_disconnect_claim dc {};
            if (!argValue(arg, dc)) return -EFAULT;
            const int interface = static_cast<int>(dc.interface);
            if (device.driverBound(interface)) disconnectDriver(interface);
            return claim(interface);
        }
        case USBDEVFS_RELEASEINTERFACE:
            if (!argValue(arg, value)) return -EFAULT;
            return release(static_cast<int>(value));
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* d = argStruct(arg, sizeof(struct usbdevfs_getdriver));
            if (d == nullptr) return -EFAULT;
            auto* gd = reinterpret_cast<struct usbdevfs_getdriver*>(d->data);
            const int interface = static_cast<int>(gd->interface);
            long r = -ENODATA;
            const char* name = nullptr;
            if (!device.hasInterface(interface)) {
                r = -EINVAL;
            } else if (device.claims().count(interface) != 0 || device.interfaceHeldElsewhere() == interface) {
                name = "usbfs";
            } else if (device.driverBound(interface)) {
                name = "usbhid";
            }
            if (name != nullptr) {
                std::memset(gd->driver, 0, sizeof gd->driver);
                std::snprintf(gd->driver, sizeof gd->driver, "%s", name);
                r = 0;
            }
            umockdev_ioctl_data_unref(d);
            return r;
        }
        case USBDEVFS_IOCTL: {
            struct usbdevfs_ioctl io {};
            if (!argValue(arg, io)) return -EFAULT;
            if (io.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) return disconnectDriver(io.ifno);
            if (io.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (!device.hasInterface(io.ifno)) return -EINVAL;
                if (device.claims().count(io.ifno) != 0 || device.driverBound(io.ifno)) return -EBUSY;
                if (device.isCamera()) return -ENODATA;  // no class driver for the camera
                device.setDriverBound(io.ifno, true);
                return 0;
            }
            return -ENOTTY;
        }
        case USBDEVFS_SETCONFIGURATION: {
            if (!argValue(arg, value)) return -EFAULT;
            if (!device.claims().empty()) return -EBUSY;
            const int config = static_cast<int>(value);
            if (config == -1) return 0;  // unconfigure: the device stays as it is
            return deviceRequest(0x00, 0x09, static_cast<uint16_t>(config), 0) == 0 ? 0 : -EINVAL;
        }
        case USBDEVFS_SETINTERFACE: {
            struct usbdevfs_setinterface si {};
            if (!argValue(arg, si)) return -EFAULT;
            const long r = claim(static_cast<int>(si.interface));
            if (r != 0) return r;
            if (si.altsetting != 0) return -EINVAL;  // one setting per interface
            return deviceRequest(0x01, 0x0B, 0, static_cast<uint16_t>(si.interface));
        }
        case USBDEVFS_CLEAR_HALT: {
            if (!argValue(arg, value)) return -EFAULT;
            const long r = claimFor(static_cast<uint8_t>(value));
            if (r != 0) return r;
            return deviceRequest(0x02, 0x01, 0, static_cast<uint16_t>(value & 0xFF));
        }
        case USBDEVFS_RESETEP:
            if (!argValue(arg, value)) return -EFAULT;
            return claimFor(static_cast<uint8_t>(value));
        case USBDEVFS_RESET: {
            // The device starts over at its address; every file loses its claims there
            // (usbfs has no way to keep them across a reset) and its URBs.
            for (OpenFile* file : session_->files()) {
                file->killUrbs(-1, -ENOENT);
                file->claimed_.clear();
            }
            device.claims().clear();
            device.busReset();
            return 0;
        }
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData* d = argStruct(arg, sizeof(struct usbdevfs_connectinfo));
            if (d == nullptr) return -EFAULT;
            auto* ci = reinterpret_cast<struct usbdevfs_connectinfo*>(d->data);
            ci->devnum = session_->address();
            ci->slow = 0;
            umockdev_ioctl_data_unref(d);
            return 0;
        }
        case USBDEVFS_GET_SPEED:
            return device.isCamera() ? kUsbSpeedSuper : kUsbSpeedHigh;
        case USBDEVFS_DROP_PRIVILEGES:
            return 0;
        case USBDEVFS_SUBMITURB:
            return submit(arg, lock);
        case USBDEVFS_DISCARDURB:
            return discard(arg);
        case USBDEVFS_CONTROL:
            return control(arg, lock);
        case USBDEVFS_BULK:
            return bulk(arg, lock);
        default:
            return -ENOTTY;
    }
}

// ---- Node -------------------------------------------------------------------------------

Node::Node(Kernel& kernel, UMockdevTestbed* testbed, const std::string& devnode)
    : kernel_(kernel), testbed_(testbed), devnode_(devnode) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&Node::onIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "vcam: cannot answer ioctls on %s: %s\n", devnode_.c_str(),
                     error ? error->message : "?");
        if (error) g_error_free(error);
    }
}

Node::~Node() {
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    g_object_unref(handler_);
}

gboolean Node::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    const long r = static_cast<Node*>(self)->handle(client);
    if (r < 0) {
        umockdev_ioctl_client_complete(client, -1, static_cast<gint>(-r));
    } else {
        umockdev_ioctl_client_complete(client, r, 0);
    }
    return TRUE;
}

void Node::onClosed(gpointer self, GObject* gone) {
    Node* node = static_cast<Node*>(self);
    std::unique_ptr<OpenFile> file;
    std::lock_guard<std::mutex> lock(World::raw().mutex());
    auto it = node->files_.find(reinterpret_cast<UMockdevIoctlClient*>(gone));
    if (it == node->files_.end()) return;
    file = std::move(it->second);
    node->files_.erase(it);
    file.reset();  // under the lock: it releases claims and URBs
}

long Node::handle(UMockdevIoctlClient* client) {
    const unsigned long request = static_cast<unsigned int>(umockdev_ioctl_client_get_request(client));
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> lock(World::raw().mutex());
    auto it = files_.find(client);
    if (it == files_.end()) {
        if (!session_) return -ENODEV;
        // The first ioctl of an open file: the file belongs to the device now at this node.
        // The client object goes when the program closes the file: that is the close.
        g_object_weak_ref(G_OBJECT(client), &Node::onClosed, this);
        it = files_.emplace(client, std::make_unique<OpenFile>(kernel_, session_)).first;
    }
    OpenFile* file = it->second.get();
    return file->ioctl(request, arg, lock);
}

}  // namespace vcam::usbfs
