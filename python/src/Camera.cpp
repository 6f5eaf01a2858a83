#include "Camera.h"

#include <algorithm>
#include <cstring>

#include "CameraMemory.h"
#include "Status.h"

namespace pytessoral {

std::string field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::vector<U3V_DEVICE_INFO> discover() {
    uint16_t count = 0;
    check(U3V_DiscoveryDevices(&count), "camera discovery failed");
    std::vector<U3V_DEVICE_INFO> found;
    for (uint16_t n = 1; n <= count; ++n) {
        U3V_DEVICE_INFO info{};
        // A camera gone since the table was built is left out, not an error.
        if (U3V_GetDeviceInfo(n, &info) == U3V_OK) found.push_back(info);
    }
    return found;
}

void readMemory(void* control, uint64_t address, uint8_t* data, size_t length) {
    std::string failed;
    const uint16_t status = tool::readMemory(control, address, data, length, failed);
    if (status != U3V_OK) throw StatusError(status, failed);
}

void writeMemory(void* control, uint64_t address, const uint8_t* data, size_t length) {
    std::string failed;
    const uint16_t status = tool::writeMemory(control, address, data, length, failed);
    if (status != U3V_OK) throw StatusError(status, failed);
}

uint64_t readLe(void* control, uint64_t address, size_t size) {
    uint8_t b[8] = {};
    readMemory(control, address, b, std::min<size_t>(size, 8));
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v |= uint64_t{b[i]} << (8 * i);
    return v;
}

void ControlPort::read(uint64_t address, uint8_t* data, size_t length) {
    try {
        readMemory(control_, address, data, length);
    } catch (const StatusError& e) {
        lastStatus_ = e.status();
        throw genicam::Error(e.what());
    }
}

void ControlPort::write(uint64_t address, const uint8_t* data, size_t length) {
    try {
        writeMemory(control_, address, data, length);
    } catch (const StatusError& e) {
        lastStatus_ = e.status();
        throw genicam::Error(e.what());
    }
}

Camera::Camera(const std::string& id) {
    const std::vector<U3V_DEVICE_INFO> cameras = discover();
    if (cameras.empty()) throw StatusError(U3V_ERR_DEVICE_NOT_FOUND, "no USB3 Vision camera found");
    bool found = false;
    for (const U3V_DEVICE_INFO& info : cameras) {
        if (id.empty() || id == field(info.DeviceGUID, sizeof info.DeviceGUID) ||
            id == field(info.SerialNumber, sizeof info.SerialNumber)) {
            info_ = info;
            found = true;
            break;
        }
    }
    if (!found)
        throw StatusError(U3V_ERR_DEVICE_NOT_FOUND, "no camera with GUID or serial number '" + id + "' among the " +
                                                        std::to_string(cameras.size()) + " found");
    info_.DeviceGUID[sizeof info_.DeviceGUID - 1] = '\0';
    const std::string guid = info_.DeviceGUID;

    const uint16_t open = U3V_OpenDevice(info_.DeviceGUID, &device_, nullptr, 0);
    if (open != U3V_OK) {
        if (device_ != nullptr) U3V_CloseDevice(device_);
        device_ = nullptr;
        throw StatusError(open, "cannot open camera " + guid);
    }
    const uint16_t control = U3V_OpenControl(device_, &controlHandle_);
    if (control != U3V_OK) {
        if (controlHandle_ != nullptr) U3V_CloseControl(controlHandle_);
        U3V_CloseDevice(device_);
        controlHandle_ = device_ = nullptr;
        throw StatusError(control, "cannot open the control channel of camera " + guid);
    }
    port_ = std::make_unique<ControlPort>(controlHandle_);
}

Camera::~Camera() { close(); }

void Camera::close() noexcept {
    {
        std::lock_guard lock(channels_);
        if (stream_ != nullptr) stream_->close();
        if (events_ != nullptr) events_->close();
        stream_ = events_ = nullptr;
    }
    std::lock_guard lock(control_);
    closed_ = true;
    map_.reset();
    // A stream that finishes closing after this check closes the handles in streamClosed.
    if (lingering_ > 0) return;
    if (controlHandle_ != nullptr) U3V_CloseControl(controlHandle_);
    if (device_ != nullptr) U3V_CloseDevice(device_);
    controlHandle_ = device_ = nullptr;
}

void Camera::streamClosed() noexcept {
    std::lock_guard lock(control_);
    if (--lingering_ > 0 || !closed_) return;
    if (controlHandle_ != nullptr) U3V_CloseControl(controlHandle_);
    if (device_ != nullptr) U3V_CloseDevice(device_);
    controlHandle_ = device_ = nullptr;
}

bool Camera::isOpen() const {
    std::lock_guard lock(control_);
    return controlHandle_ != nullptr && !closed_;
}

void Camera::requireOpen() const {
    if (controlHandle_ == nullptr || closed_) throw StatusError(U3V_ERR_CONTROL_NOT_OPEN, "the camera is closed");
}

std::vector<uint8_t> Camera::read(uint64_t address, size_t length) {
    std::lock_guard lock(control_);
    requireOpen();
    std::vector<uint8_t> data(length);
    readLocked(address, data.data(), length);
    return data;
}

void Camera::readLocked(uint64_t address, uint8_t* data, size_t length) {
    readMemory(controlHandle_, address, data, length);
}

void Camera::write(uint64_t address, const uint8_t* data, size_t length) {
    std::lock_guard lock(control_);
    requireOpen();
    writeMemory(controlHandle_, address, data, length);
}

std::string Camera::descriptionFile() {
    std::lock_guard lock(control_);
    requireOpen();
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    check(U3V_ReadXml(controlHandle_, &buffer, &size, 0), "cannot read the camera's description file");
    if (buffer == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(buffer), size);
}

void Camera::loadMap() {
    if (map_) return;
    const std::string xml = descriptionFile();
    try {
        map_ = genicam::NodeMap::parse(xml, *port_);
    } catch (const genicam::Error& e) {
        throw StatusError(U3V_ERR_XML_READ, std::string("the camera's description file cannot be used: ") + e.what());
    }
}

void Camera::throwFeatureError(const std::string& what, const genicam::Error& e) const {
    const uint16_t status = port_->lastStatus() != U3V_OK ? port_->lastStatus() : U3V_ERR_INVALID_HANDLE;
    const std::string message = e.what();
    // The engine names the node itself most of the time.
    const bool named = what.empty() || message.rfind(what + ":", 0) == 0;
    throw StatusError(status, named ? message : what + ": " + message);
}

void Camera::attachStream(Channel* stream) {
    std::lock_guard lock(channels_);
    if (stream_ != nullptr) throw StatusError(U3V_ERR_STREAM_CLAIM_FAILED, "the camera's stream is open already");
    stream_ = stream;
}

void Camera::attachEvents(Channel* events) {
    std::lock_guard lock(channels_);
    if (events_ != nullptr) throw StatusError(U3V_ERR_EVENT_CLAIM_FAILED, "the camera's event channel is open already");
    events_ = events;
}

void Camera::detach(Channel* channel) noexcept {
    std::lock_guard lock(channels_);
    if (stream_ == channel) stream_ = nullptr;
    if (events_ == channel) events_ = nullptr;
}

}  // namespace pytessoral
