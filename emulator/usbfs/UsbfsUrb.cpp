#include "usbfs/UsbfsUrb.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "usbfs/UsbfsNode.h"

namespace vcam::usbfs {

namespace {

struct usbdevfs_urb* urbStruct(UMockdevIoctlData* data) {
    return reinterpret_cast<struct usbdevfs_urb*>(data->data);
}

// The status a host controller driver gives a URB for what happened on the bus.
int errnoFor(IoStatus status) {
    switch (status) {
        case IoStatus::Completed: return 0;
        case IoStatus::Stall: return -EPIPE;
        case IoStatus::NoDevice: return -ESHUTDOWN;
        case IoStatus::Cancelled: return -ENOENT;
        case IoStatus::Overflow: return -EOVERFLOW;
        case IoStatus::TimedOut: return -ETIMEDOUT;
        case IoStatus::Error: return -EPROTO;
    }
    return -EPROTO;
}

}  // namespace

Urb::Urb(OpenFile& file, UMockdevIoctlData* data, UMockdevIoctlData* buffer, std::vector<uint8_t>&& bytes,
         size_t charged)
    : InRequest(bytes.data(), static_cast<int>(bytes.size()), &file),
      file_(file),
      data_(data),
      buffer_(buffer),
      bytes_(std::move(bytes)),
      clientAddress_(data->client_addr),
      type_(urbStruct(data)->type),
      endpoint_(urbStruct(data)->endpoint),
      flags_(urbStruct(data)->flags),
      charged_(charged) {}

Urb::~Urb() {
    if (buffer_ != nullptr) umockdev_ioctl_data_unref(buffer_);
    umockdev_ioctl_data_unref(data_);
}

bool Urb::continuation() const { return (flags_ & USBDEVFS_URB_BULK_CONTINUATION) != 0; }

void Urb::finish(IoStatus status, int actual, std::vector<uint8_t>&&) {
    int result = errnoFor(status);
    // The host controller turns a short read into an error when the URB asks for it.
    if (result == 0 && (flags_ & USBDEVFS_URB_SHORT_NOT_OK) != 0 && (endpoint_ & 0x80) != 0 &&
        actual < length()) {
        result = -EREMOTEIO;
    }
    complete(result, actual);
}

void Urb::complete(int status, int actual) {
    status_ = status;
    actual_ = actual;
    waitingOn_ = nullptr;
    file_.completed(this);
}

bool Urb::deliver(UMockdevIoctlData* reapArg) {
    struct usbdevfs_urb* u = urbStruct(data_);
    u->status = status_;
    u->actual_length = actual_;
    u->error_count = 0;
    GError* error = nullptr;
    // What arrived goes into the program's buffer now: the setup and the data stage of a
    // control read, the received bytes of any other read.
    const bool in = (endpoint_ & 0x80) != 0;
    size_t back = 0;
    if (type_ == USBDEVFS_URB_TYPE_CONTROL) {
        if (bytes_.size() >= 8 && (bytes_[0] & 0x80) != 0) back = 8 + static_cast<size_t>(std::max(actual_, 0));
    } else if (in) {
        back = static_cast<size_t>(std::max(actual_, 0));
    }
    back = std::min(back, bytes_.size());
    if (back > 0 && buffer_ != nullptr) {
        std::memcpy(buffer_->data, bytes_.data(), std::min(back, static_cast<size_t>(buffer_->data_len)));
    } else if (back > 0) {
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(data_, offsetof(struct usbdevfs_urb, buffer), back, &error);
        if (buffer == nullptr) {
            if (error) g_error_free(error);
            return false;
        }
        std::memcpy(buffer->data, bytes_.data(), back);
        umockdev_ioctl_data_unref(buffer);
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(reapArg, 0, sizeof(void*), &error);
    if (slot == nullptr) {
        if (error) g_error_free(error);
        return false;
    }
    const gboolean ok = umockdev_ioctl_data_set_ptr(slot, 0, data_);
    umockdev_ioctl_data_unref(slot);
    return ok != FALSE;
}

}  // namespace vcam::usbfs
