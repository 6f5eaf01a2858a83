#include "Stream.h"

#include "Features.h"
#include "Status.h"

namespace pytessoral {

namespace {

constexpr uint64_t kSbrmPointer = 0x01D8;          // ABRM: address of the SBRM
constexpr uint64_t kSbrmSirmAddress = 0x20;        // SBRM: address of the SIRM
constexpr uint64_t kSiRequiredPayloadSize = 0x08;  // SIRM

bool hasCommand(Camera& camera, const char* name) {
    return camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) {
        const genicam::Node* n = map.find(name);
        return n != nullptr && n->interface() == genicam::Interface::Command;
    });
}

}  // namespace

bool statusHasImage(uint16_t status) {
    if (status == U3V_OK || status == U3V_ERR_MISSING_PACKETS) return true;
    // The library's own codes say why there is no image; anything else is the trailer's.
    const bool libraryCode = (status >= U3V_ERR_USB_OPEN && status <= U3V_ERR_CALLED_FROM_CALLBACK) ||
                             status == U3V_ERR_USB_TRANSFER || status == U3V_ERR_ACK_LENGTH;
    return !libraryCode;
}

Stream::Stream(std::shared_ptr<Camera> camera, uint32_t timeoutMs) : camera_(std::move(camera)) {
    camera_->attachStream(this);
    try {
        void* handle = nullptr;
        const uint16_t status = camera_->withControl(
            [&](void* control) { return U3V_OpenStream(camera_->deviceHandle(), control, &handle, timeoutMs); });
        if (status != U3V_OK) {
            if (handle != nullptr) U3V_CloseStream(handle);
            throw StatusError(status, "cannot open the camera's stream");
        }
        handle_ = handle;
    } catch (...) {
        camera_->detach(this);
        throw;
    }
}

Stream::~Stream() {
    close();
    camera_->detach(this);
}

void Stream::requireOpen() const {
    if (handle_ == nullptr || lingering_) throw StatusError(U3V_ERR_STREAM_NOT_OPEN, "the stream is closed");
}

bool Stream::isOpen() const {
    std::lock_guard lock(m_);
    return handle_ != nullptr && !lingering_;
}

uint32_t Stream::setting(uint16_t (*get)(void*, uint32_t*), const char* what) {
    std::lock_guard lock(m_);
    requireOpen();
    uint32_t n = 0;
    check(get(handle_, &n), std::string("cannot read the ") + what);
    return n;
}

void Stream::setSetting(uint16_t (*set)(void*, uint32_t), const char* what, uint32_t value) {
    std::lock_guard lock(m_);
    requireOpen();
    check(set(handle_, value), std::string("cannot set the ") + what + " to " + std::to_string(value));
}

uint32_t Stream::bufferCount() { return setting(U3V_GetBufferCount, "buffer count"); }
void Stream::setBufferCount(uint32_t count) { setSetting(U3V_SetBufferCount, "buffer count", count); }
uint32_t Stream::transferSize() { return setting(U3V_GetTransferSize, "transfer size"); }
void Stream::setTransferSize(uint32_t size) { setSetting(U3V_SetTransferSize, "transfer size", size); }

void Stream::start() {
    std::lock_guard lock(m_);
    requireOpen();
    if (running_) stopLocked(true);
    check(U3V_AcquisitionStart(handle_, 0), "cannot start the stream");
    running_ = true;
    try {
        // U3V_GetImage takes no buffer size: read the register the library sized its
        // images from, just as it did.
        payloadSize_ = camera_->withControl([](void* control) {
            const uint64_t sbrm = readLe(control, kSbrmPointer, 8);
            const uint64_t sirm = readLe(control, sbrm + kSbrmSirmAddress, 8);
            return readLe(control, sirm + kSiRequiredPayloadSize, 8);
        });
        if (payloadSize_ == 0 || payloadSize_ > UINT32_MAX)
            throw StatusError(U3V_ERR_INVALID_HANDLE,
                              "the camera asks for a payload of " + std::to_string(payloadSize_.load()) + " bytes");
        if (hasCommand(*camera_, "AcquisitionStart")) {
            acquiring_ = true;  // first: a start that fails half-way is stopped all the same
            execute(*camera_, "AcquisitionStart");
        }
    } catch (...) {
        stopLocked(false);
        throw;
    }
}

void Stream::stop() {
    std::lock_guard lock(m_);
    if (handle_ == nullptr || lingering_) return;
    stopLocked(true);
}

void Stream::stopLocked(bool strict) {
    uint16_t first = U3V_OK;
    std::string what;
    if (acquiring_) {
        acquiring_ = false;
        try {
            execute(*camera_, "AcquisitionStop");
        } catch (const StatusError& e) {
            first = e.status();
            what = e.what();
        }
    }
    if (running_) {
        running_ = false;
        uint64_t a = 0, b = 0;
        const uint16_t status = U3V_AcquisitionStop(handle_, &a, &b);
        if (first == U3V_OK && status != U3V_OK) {
            first = status;
            what = "cannot stop the stream";
        }
    }
    if (strict && first != U3V_OK) throw StatusError(first, what);
}

uint16_t Stream::grab(uint8_t* buffer, size_t size, uint32_t sliceMs, U3V_ImageInfo& info) {
    std::lock_guard lock(m_);
    requireOpen();
    if (!running_) throw StatusError(U3V_ERR_ACQUISITION_STOPPED, "the stream is not started");
    if (size < payloadSize_) throw StatusError(U3V_ERR_INVALID_HANDLE, "the image buffer is too small");
    info = U3V_ImageInfo{};
    return U3V_GetImage(handle_, buffer, sliceMs, &info);
}

uint16_t Stream::lock(uint32_t sliceMs, U3V_ImageInfo& info, void*& data) {
    std::lock_guard lock(m_);
    requireOpen();
    if (!running_) throw StatusError(U3V_ERR_ACQUISITION_STOPPED, "the stream is not started");
    info = U3V_ImageInfo{};
    data = nullptr;
    uint32_t size = 0;
    const uint16_t status = U3V_LockImage(handle_, &data, &size, sliceMs, &info);
    if (data != nullptr) {
        ++lent_;
        if (size < payloadSize_) {
            U3V_UnlockImage(handle_, data);
            --lent_;
            data = nullptr;
            throw StatusError(U3V_ERR_INVALID_HANDLE, "the library lent a buffer smaller than the payload");
        }
    }
    return status;
}

void Stream::unlock(void* data) noexcept {
    {
        std::lock_guard lock(m_);
        if (data == nullptr || lent_ == 0) return;
        U3V_UnlockImage(handle_, data);
        if (--lent_ > 0 || !lingering_) return;
        U3V_CloseStream(handle_);
        handle_ = nullptr;
        lingering_ = false;
    }
    camera_->streamClosed();
}

void Stream::release() noexcept {
    close();
    camera_->detach(this);
}

void Stream::close() noexcept {
    std::lock_guard lock(m_);
    if (handle_ == nullptr || lingering_) return;
    try {
        stopLocked(false);
    } catch (...) {
        // Closing goes on whatever the camera says.
    }
    if (lent_ > 0) {
        lingering_ = true;
        camera_->streamLingers();
        return;
    }
    U3V_CloseStream(handle_);
    handle_ = nullptr;
}

}  // namespace pytessoral
