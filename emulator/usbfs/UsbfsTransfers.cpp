// The transfer ioctls of an open file: URB submission, reaping and discarding, and the
// synchronous control and bulk ioctls.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "device/World.h"
#include "usbfs/UsbfsKernel.h"
#include "usbfs/UsbfsNode.h"
#include "usbfs/UsbfsUrb.h"

namespace vcam::usbfs {

namespace {

// What the kernel books for one URB besides its buffer (its async and urb records), and
// for each scatter-gather piece.
constexpr size_t kUrbOverhead = 512;
constexpr size_t kSgPiece = 16384;
constexpr size_t kSgEntry = 32;
// The largest URB an old kernel takes (one without "no packet size limit").
constexpr int kMaxBufferWithoutCap = 16384;

UMockdevIoctlData* resolve(UMockdevIoctlData* parent, size_t offset, size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (d == nullptr && error) g_error_free(error);
    return d;
}

wire::Setup setupOf(const uint8_t* b) {
    return wire::Setup{b[0], b[1], wire::getU16(b, 2), wire::getU16(b, 4), wire::getU16(b, 6)};
}

// A synchronous bulk read of the USBDEVFS_BULK ioctl: served only by what the device has
// at once, since the ioctl handler must not wait.
class ImmediateRead final : public InRequest {
public:
    using InRequest::InRequest;
    void finish(IoStatus s, int n, std::vector<uint8_t>&&) override {
        done = true;
        status = s;
        actual = n;
    }
    bool done = false;
    IoStatus status = IoStatus::Completed;
    int actual = 0;
};

}  // namespace

bool OpenFile::hasCompleted() const { return !done_.empty(); }

long OpenFile::submit(UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
    ++kernel_.counters().submits;
    UMockdevIoctlData* data = resolve(arg, 0, sizeof(struct usbdevfs_urb));
    if (data == nullptr) return -EFAULT;
    const auto* u = reinterpret_cast<const struct usbdevfs_urb*>(data->data);
    const int length = u->buffer_length;
    auto refuse = [&](long error) {
        umockdev_ioctl_data_unref(data);
        return error;
    };
    if (length < 0) return refuse(-EINVAL);
    if (u->type != USBDEVFS_URB_TYPE_CONTROL && u->type != USBDEVFS_URB_TYPE_BULK &&
        u->type != USBDEVFS_URB_TYPE_INTERRUPT) {
        return refuse(-EINVAL);  // no isochronous endpoints here
    }
    const KernelConfig config = World::raw().kernel();
    if ((config.capabilities & kCapNoPacketSizeLimit) == 0 && length > kMaxBufferWithoutCap) {
        return refuse(-EINVAL);
    }
    // The kernel's copy: what the program sends (OUT data, a control setup) is read now;
    // the program's buffer is not touched again until the URB is reaped.
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = (u->endpoint & 0x80) != 0;
    // A control URB's buffer is read whole (setup, then the data stage of a write, or room
    // for the answer of a read) and kept: its answer goes there at reap.
    const size_t read = control || !in ? bytes.size() : 0;
    if (length > 0 && u->buffer == nullptr) return refuse(-EFAULT);
    UMockdevIoctlData* kept = nullptr;
    if (read > 0) {
        UMockdevIoctlData* b = resolve(data, offsetof(struct usbdevfs_urb, buffer), read);
        if (b == nullptr) return refuse(-EFAULT);
        std::memcpy(bytes.data(), b->data, read);
        if (control) {
            kept = b;
        } else {
            umockdev_ioctl_data_unref(b);
        }
    }
    size_t charge = static_cast<size_t>(length) + kUrbOverhead;
    if ((config.capabilities & kCapBulkScatterGather) != 0 && u->type == USBDEVFS_URB_TYPE_BULK) {
        charge += (static_cast<size_t>(length) + kSgPiece - 1) / kSgPiece * kSgEntry;
    }
    if (!kernel_.chargeMemory(charge)) {
        ++kernel_.counters().noMemory;
        if (kept != nullptr) umockdev_ioctl_data_unref(kept);
        return refuse(-ENOMEM);
    }
    auto* urb = new Urb(*this, data, kept, std::move(bytes), charge);
    long r = 0;
    if (urb->type() == USBDEVFS_URB_TYPE_CONTROL) {
        r = submitControl(urb);
    } else {
        Endpoint* ep = session_->device().endpoint(urb->endpoint());
        r = ep == nullptr ? -ENOENT : submitBulk(urb, *ep, lock);
    }
    if (r != 0) {
        kernel_.releaseMemory(charge);
        delete urb;
    }
    return r;
}

long OpenFile::submitControl(Urb* urb) {
    if ((urb->endpoint() & 0x7F) != 0) return -EINVAL;
    if (urb->length() < static_cast<int>(wire::kSetupSize)) return -EINVAL;
    uint8_t* b = urb->buffer();
    const wire::Setup setup = setupOf(b);
    if (setup.length > urb->length() - static_cast<int>(wire::kSetupSize)) return -EINVAL;
    // A request to an interface or an endpoint needs the interface (claimed implicitly).
    const uint8_t recipient = setup.requestType & 0x1F;
    if (recipient == 1) {
        if (const long r = claim(setup.index & 0xFF); r != 0) return r;
    } else if (recipient == 2 && (setup.index & 0x7F) != 0) {
        if (const long r = claimFor(static_cast<uint8_t>(setup.index & 0xFF)); r != 0) return r;
    }
    inFlight_.insert(urb);
    std::vector<uint8_t> answer;
    if (!session_->device().answerControl(setup, answer)) {
        urb->complete(-EPIPE, 0);
    } else if ((setup.requestType & 0x80) != 0) {
        if (!answer.empty()) std::memcpy(b + wire::kSetupSize, answer.data(), answer.size());
        urb->complete(0, static_cast<int>(answer.size()));
    } else {
        urb->complete(0, setup.length);
    }
    return 0;
}

long OpenFile::submitBulk(Urb* urb, Endpoint& ep, std::unique_lock<std::mutex>& lock) {
    const bool interruptEp = (ep.layout().attributes & 0x03) == wire::kEpInterrupt;
    if (urb->type() == USBDEVFS_URB_TYPE_INTERRUPT && !interruptEp) return -EINVAL;
    if (const long r = claim(ep.layout().interfaceNumber); r != 0) return r;
    if (urb->type() == USBDEVFS_URB_TYPE_BULK) {
        if (disabledBulk_.count(urb->endpoint()) != 0) {
            if (urb->continuation()) return -EREMOTEIO;
            disabledBulk_.erase(urb->endpoint());  // a new transfer starts
        }
    }
    inFlight_.insert(urb);
    if (ep.isIn()) {
        urb->setWaitingOn(&ep);
        ep.submit(urb);  // may complete at once
        return 0;
    }
    if (ep.halted()) {
        urb->complete(-EPIPE, 0);
        return 0;
    }
    std::shared_ptr<VirtualDevice> device = session_->devicePtr();
    const bool taken = device->writeOut(lock, ep, urb->buffer(), static_cast<size_t>(urb->length()));
    urb->complete(taken ? 0 : -EPIPE, taken ? urb->length() : 0);
    return 0;
}

long OpenFile::reap(UMockdevIoctlData* arg) {
    if (done_.empty()) return session_->connected() ? -EAGAIN : -ENODEV;
    Urb* urb = done_.front();
    done_.pop_front();
    ++kernel_.counters().reaps;
    const bool delivered = urb->deliver(arg);
    kernel_.releaseMemory(urb->charged());
    delete urb;
    session_->updateReadiness();
    return delivered ? 0 : -EFAULT;
}

long OpenFile::discard(UMockdevIoctlData* arg) {
    ++kernel_.counters().discards;
    if (arg == nullptr || arg->data_len < static_cast<gint>(sizeof(gulong))) return -EINVAL;
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    for (Urb* urb : inFlight_) {
        if (urb->clientAddress() != address) continue;
        Endpoint* ep = urb->waitingOn();
        if (ep == nullptr || !ep->remove(urb)) return -EINVAL;  // finishing already
        urb->complete(-ECONNRESET, 0);
        return 0;
    }
    return -EINVAL;  // completed (or never submitted)
}

long OpenFile::control(UMockdevIoctlData* arg, std::unique_lock<std::mutex>&) {
    UMockdevIoctlData* d = resolve(arg, 0, sizeof(struct usbdevfs_ctrltransfer));
    if (d == nullptr) return -EFAULT;
    const auto* c = reinterpret_cast<const struct usbdevfs_ctrltransfer*>(d->data);
    const wire::Setup setup{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
    UMockdevIoctlData* buffer = nullptr;
    if (setup.length > 0) {
        buffer = resolve(d, offsetof(struct usbdevfs_ctrltransfer, data), setup.length);
        if (buffer == nullptr) {
            umockdev_ioctl_data_unref(d);
            return -EFAULT;
        }
    }
    std::vector<uint8_t> answer;
    long r = 0;
    if (!session_->device().answerControl(setup, answer)) {
        r = -EPIPE;
    } else if ((setup.requestType & 0x80) != 0) {
        if (!answer.empty()) std::memcpy(buffer->data, answer.data(), answer.size());
        r = static_cast<long>(answer.size());
    } else {
        r = setup.length;
    }
    if (buffer != nullptr) umockdev_ioctl_data_unref(buffer);
    umockdev_ioctl_data_unref(d);
    return r;
}

long OpenFile::bulk(UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
    UMockdevIoctlData* d = resolve(arg, 0, sizeof(struct usbdevfs_bulktransfer));
    if (d == nullptr) return -EFAULT;
    const auto* b = reinterpret_cast<const struct usbdevfs_bulktransfer*>(d->data);
    const uint8_t address = static_cast<uint8_t>(b->ep);
    const int length = static_cast<int>(b->len);
    auto done = [&](long r) {
        umockdev_ioctl_data_unref(d);
        return r;
    };
    Endpoint* ep = session_->device().endpoint(address);
    if (ep == nullptr) return done(-ENOENT);
    if (const long r = claim(ep->layout().interfaceNumber); r != 0) return done(r);
    if (length < 0) return done(-EINVAL);
    UMockdevIoctlData* buffer = nullptr;
    if (length > 0) {
        buffer = resolve(d, offsetof(struct usbdevfs_bulktransfer, data), static_cast<size_t>(length));
        if (buffer == nullptr) return done(-EFAULT);
    }
    uint8_t* bytes = buffer != nullptr ? buffer->data : nullptr;
    long r = 0;
    if (ep->isIn()) {
        ImmediateRead read(bytes, length, this);
        ep->submit(&read);
        if (!read.done) {
            ep->remove(&read);
            r = -ETIMEDOUT;
        } else if (read.status == IoStatus::Stall) {
            r = -EPIPE;
        } else if (read.status != IoStatus::Completed) {
            r = read.status == IoStatus::Overflow ? -EOVERFLOW : -EIO;
        } else {
            r = read.actual;
        }
    } else if (ep->halted()) {
        r = -EPIPE;
    } else {
        std::shared_ptr<VirtualDevice> device = session_->devicePtr();
        r = device->writeOut(lock, *ep, bytes, static_cast<size_t>(length)) ? length : -EPIPE;
    }
    if (buffer != nullptr) umockdev_ioctl_data_unref(buffer);
    return done(r);
}

}  // namespace vcam::usbfs
