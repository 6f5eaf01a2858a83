#include "AcquisitionUSB3.h"

#include <cstring>
#include <memory>

#include "../Logging.h"
#include "../image/Imagebw.h"

namespace {

constexpr const char* kSource = "AcquisitionUSB3";
constexpr uint8_t kLogMask = 7;
constexpr uint32_t kStreamTimeoutMs = 1000;
constexpr uint32_t kMono8 = 0x01080001;
// Larger frames than this are not a camera's answer but a broken register read.
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;

// The library may call this on its own threads; the tool wants none of its messages.
int onDeviceMessage(uint8_t, const char*) { return 0; }

// The device information strings are fixed-size fields a device filled: copy at most the
// field and always terminate.
template <size_t N, size_t M>
void copyText(char (&to)[N], const char (&from)[M]) {
    static_assert(N <= M);
    std::memcpy(to, from, N - 1);
    to[N - 1] = '\0';
}

}  // namespace

AcquisitionUSB3::AcquisitionUSB3() {
    if (const int bound = load_library(); bound != 0) throw bound;
    uint16_t& count = cameras;
    if (const uint16_t status = U3V_DiscoveryDevices(&count); status != U3V_OK) {
        toolLog.write(1, kSource, "AcquisitionUSB3::AcquisitionUSB3", "U3V_DiscoveryDevices Error %08x", status);
        throw -1;
    }
    if (count == 0) {
        toolLog.write(3, kSource, "AcquisitionUSB3::AcquisitionUSB3", "U3V_DiscoveryDevices: no camera found");
        throw -2;
    }
    U3V_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    if (const uint16_t status = U3V_GetDeviceInfo(1, &info); status != U3V_OK) {
        toolLog.write(1, kSource, "AcquisitionUSB3::AcquisitionUSB3", "U3V_GetDeviceInfo Error %08x", status);
        throw -3;
    }
    copyText(deviceGUID, info.DeviceGUID);
    copyText(modelName, info.ModelName);
    copyText(deviceVersion, info.DeviceVersion);
    copyText(manufacturerInfo, info.ManufacturerInfo);
    copyText(serialNumber, info.SerialNumber);
    toolLog.write(3, kSource, "AcquisitionUSB3::AcquisitionUSB3", "open stream");
    if (const int failed = openDeviceAndControl("AcquisitionUSB3::AcquisitionUSB3"); failed != 0) fail(failed);
}

AcquisitionUSB3::AcquisitionUSB3(uint16_t* count) {
    if (const int bound = load_library(); bound != 0) throw bound;
    // The count is the caller's either way; the status is kept for those who ask.
    discovery = U3V_DiscoveryDevices(count);
    cameras = *count;
}

AcquisitionUSB3::~AcquisitionUSB3() {
    // A stream left open would leak its worker and buffers: close it before its control.
    if (streamHandle != nullptr) close_stream();
    if (controlHandle != nullptr) U3V_CloseControl(controlHandle);
    if (deviceHandle != nullptr) U3V_CloseDevice(deviceHandle);
}

// The destructor does not run for a constructor that throws, so the handles the library
// already stored are closed here.
void AcquisitionUSB3::fail(int code) {
    if (streamHandle != nullptr) U3V_CloseStream(streamHandle);
    if (controlHandle != nullptr) U3V_CloseControl(controlHandle);
    if (deviceHandle != nullptr) U3V_CloseDevice(deviceHandle);
    streamHandle = controlHandle = deviceHandle = nullptr;
    throw code;
}

// Opens device and control channel unless they are open already: 0, or -4 / -5 for the
// step that failed. A handle the library stored despite failing stays set for fail().
int AcquisitionUSB3::openDeviceAndControl(const char* function) {
    if (deviceHandle == nullptr) {
        const uint16_t status = U3V_OpenDevice(deviceGUID, &deviceHandle, onDeviceMessage, kLogMask);
        if (status != U3V_OK) {
            toolLog.write(1, kSource, function, "U3V_OpenDevice Error %08x", status);
            return -4;
        }
    }
    if (controlHandle == nullptr) {
        const uint16_t status = U3V_OpenControl(deviceHandle, &controlHandle);
        if (status != U3V_OK) {
            toolLog.write(1, kSource, function, "U3V_OpenControl Error %08x", status);
            return -5;
        }
    }
    return 0;
}

void AcquisitionUSB3::open_stream() {
    const char* fn = "AcquisitionUSB3::open_stream";
    toolLog.write(3, kSource, fn, "open stream");
    // The handles of the opening constructor are reused: a second open of the same
    // control interface would find it claimed, and the first handles would leak.
    if (const int failed = openDeviceAndControl(fn); failed != 0) fail(failed);
    if (streamHandle == nullptr) {
        const uint16_t status = U3V_OpenStream(deviceHandle, controlHandle, &streamHandle, kStreamTimeoutMs);
        if (status != U3V_OK) {
            toolLog.write(1, kSource, fn, "U3V_OpenStream Error %08x", status);
            if (streamHandle != nullptr) U3V_CloseStream(streamHandle);
            streamHandle = nullptr;
            throw -6;
        }
    }
    readreg(0x50000, &imageWidth);
    readreg(0x50004, &imageHeight);
    if (const uint16_t status = U3V_AcquisitionStart(streamHandle, 0); status != U3V_OK) {
        toolLog.write(1, kSource, fn, "U3V_AcquisitionStart Error %08x", status);
        throw -7;
    }
    acquiring = true;
    if (writereg(0x40104, 1) != 0)
        toolLog.write(1, kSource, fn, "Fehler bei Schreiben auf Kameraadresse 0x40104 (=Trigger Mode)");
    if (writereg(0x40144, 0) != 0)
        toolLog.write(1, kSource, fn, "Fehler bei Schreiben auf Kameraadresse 0x40144 (=Trigger Source auf Software)");
    if (writereg(0x50014, 1) != 0)
        toolLog.write(1, kSource, fn, "Fehler bei Schreiben auf Kameraadresse 0x40024 (=AcquisitionStart)");
}

void AcquisitionUSB3::close_stream() {
    const char* fn = "AcquisitionUSB3::close_stream";
    toolLog.write(3, kSource, fn, "close stream");
    if (streamHandle == nullptr) return;
    uint64_t a = 0, b = 0;
    if (acquiring) {
        if (const uint16_t status = U3V_AcquisitionStop(streamHandle, &a, &b); status != U3V_OK)
            toolLog.write(1, kSource, fn, "U3V_AcquisitionStop Error %08x", status);
        acquiring = false;
    }
    U3V_CloseStream(streamHandle);
    streamHandle = nullptr;
}

ImageBW* AcquisitionUSB3::getImage() {
    const char* fn = "AcquisitionUSB3::getImage";
    toolLog.write(5, kSource, fn, "getImage()");
    // Width and height come from the camera: refuse values that cannot be a frame rather
    // than hand the library a buffer of the wrong size.
    if (streamHandle == nullptr || imageWidth <= 0 || imageHeight <= 0 ||
        int64_t{imageWidth} * imageHeight > kMaxImageBytes) {
        toolLog.write(1, kSource, fn, "getImage() failed");
        return nullptr;
    }
    auto image = std::make_unique<ImageBW>(imageWidth, imageHeight);
    unsigned char info[42];
    if (const uint16_t status = U3V_GetImage(streamHandle, image->getPixels(), kStreamTimeoutMs, info);
        status != U3V_OK) {
        toolLog.write(4, kSource, fn, "U3V_GetImage Error %08x", status);
        toolLog.write(1, kSource, fn, "getImage() failed");
        return nullptr;
    }
    image->setPixelFormat(kMono8);
    return image.release();
}

int32_t AcquisitionUSB3::getValue50058() {
    int32_t value = 0;
    readreg(0x50058, &value);
    return value;
}

int AcquisitionUSB3::readreg(uint32_t address, int32_t* value) {
    uint8_t bytes[4] = {};
    if (const uint16_t status = U3V_ReadMem(controlHandle, address, 4, bytes); status != U3V_OK) {
        toolLog.write(4, kSource, "AcquisitionUSB3::readreg", "U3V_ReadMem Error %08x", status);
        return 1;
    }
    *value = static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                                  uint32_t{bytes[3]} << 24);
    toolLog.write(4, kSource, "AcquisitionUSB3::readreg", "readreg %08x -> %d", address, *value);
    return 0;
}

int AcquisitionUSB3::writereg(uint32_t address, int32_t value) {
    toolLog.write(4, kSource, "AcquisitionUSB3::writereg", "writereg %08x -> %d", address, value);
    const uint32_t v = static_cast<uint32_t>(value);
    const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
    if (const uint16_t status = U3V_WriteMem(controlHandle, address, 4, bytes); status != U3V_OK) {
        toolLog.write(4, kSource, "AcquisitionUSB3::writereg", "U3V_WriteMem Error %08x", status);
        return 1;
    }
    return 0;
}
