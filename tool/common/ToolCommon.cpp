#include "ToolCommon.h"

#include "CameraMemory.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>

namespace tool {

namespace {

const char* statusMeaning(uint16_t status) {
    switch (status) {
    case U3V_ERR_USB_OPEN: return "the USB device could not be opened";
    case U3V_ERR_NO_CONFIGURATION: return "the device has no configuration";
    case U3V_ERR_NO_INTERFACES: return "the device's configuration declares no interfaces";
    case U3V_ERR_CONFIG_DESCRIPTOR: return "the configuration descriptor could not be read";
    case U3V_ERR_STRING_DESCRIPTOR: return "a device information string could not be read";
    case U3V_ERR_CONTROL_CLAIM: return "the control interface could not be claimed; is another program using the camera?";
    case U3V_ERR_CONTROL_NOT_OPEN: return "the control channel is not open";
    case U3V_ERR_ACK_PREFIX: return "the camera answered without the U3VC prefix";
    case U3V_ERR_ACK_COMMAND: return "the camera answered another command";
    case U3V_ERR_ACK_REQUEST_ID: return "the camera answered another request";
    case U3V_ERR_XML_EMPTY: return "the camera's manifest gives a description file of 0 bytes";
    case U3V_ERR_XML_READ: return "the description file could not be read";
    case U3V_ERR_XML_FILE_OPEN: return "the file cannot be opened";
    case U3V_ERR_XML_WRITE: return "the description file could not be written";
    case U3V_ERR_MANIFEST_WRITE: return "the manifest could not be written";
    case U3V_ERR_NO_EVENT_INTERFACE: return "the camera has no event interface";
    case U3V_ERR_EVENT_CLAIM_FAILED: return "the event interface could not be claimed";
    case U3V_ERR_EVENT_NOT_OPEN: return "the event channel is not open";
    case U3V_ERR_EIRM_NOT_AVAILABLE: return "the camera has no event register map";
    case U3V_ERR_NO_STREAM_INTERFACE: return "the camera has no stream interface";
    case U3V_ERR_STREAM_CLAIM_FAILED: return "the stream interface could not be claimed";
    case U3V_ERR_STREAM_NOT_OPEN: return "the stream is not open";
    case U3V_ERR_NO_IMAGE: return "no image is ready";
    case U3V_ERR_IMAGE_TIMEOUT: return "no image came in time";
    case U3V_ERR_MISSING_PACKETS: return "the image is missing transfers";
    case U3V_ERR_INVALID_HANDLE: return "invalid handle or argument";
    case U3V_ERR_EXCEPTION: return "the library failed internally";
    case U3V_ERR_DEVICE_NOT_FOUND: return "no such device";
    case U3V_ERR_XML_UNZIP: return "the zipped description file could not be unpacked";
    case U3V_ERR_DEVICE_GONE: return "the camera has left the bus";
    case U3V_ERR_ACQUISITION_STOPPED: return "acquisition was stopped meanwhile";
    case U3V_ERR_CALLED_FROM_CALLBACK: return "called from the channel's own callback";
    case U3V_ERR_USB_TRANSFER: return "a control transfer failed or timed out";
    case U3V_ERR_ACK_LENGTH: return "the camera's answer has the wrong length";
    // GenCP statuses the camera itself sends.
    case 0x8001: return "the camera does not implement the command";
    case 0x8002: return "the camera refused the value";
    case 0x8003: return "the camera has nothing at that address";
    case 0x8004: return "the camera's register is write-protected";
    case 0x8005: return "the camera requires another alignment";
    case 0x8006: return "the camera denied access";
    case 0x8007: return "the camera is busy";
    case 0x800F: return "the camera's configuration does not allow it";
    case 0x8FFF: return "the camera reported a generic error";
    default: return "camera status";
    }
}

int logToStderr(uint8_t level, const char* text) {
    const char* tag = level == U3V_LOG_ERROR ? "error" : level == U3V_LOG_WARNING ? "warning" : "info";
    std::fprintf(stderr, "library %s: %s\n", tag, text);
    return 0;
}

}  // namespace

std::string statusText(uint16_t status) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", status);
    return std::string(code) + " (" + statusMeaning(status) + ")";
}

namespace {

int runBody(const char* program, int (*body)(int, char**), int argc, char** argv) {
    // Messages may quote what the camera or a file said.
    try {
        return body(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", program, printable(e.what()).c_str(), program);
        return 2;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, printable(e.what()).c_str());
    }
    return 1;
}

}  // namespace

int runTool(const char* program, int (*body)(int, char**), int argc, char** argv) {
    int status = runBody(program, body, argc, argv);
    // Output that never arrived (a full disk, a closed pipe) is a failure, whatever came
    // before: a script must not take a truncated listing for a whole one.
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout) != 0) {
        const int why = errno;
        std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", program, why != 0 ? ": " : "",
                     why != 0 ? std::strerror(why) : "");
        if (status == 0) status = 1;
    }
    return status;
}

std::string optionValue(int argc, char** argv, int& i) {
    if (i + 1 >= argc) throw UsageError(std::string(argv[i]) + " needs a value");
    return argv[++i];
}

CommonOptions parseCommandLine(int argc, char** argv, bool takesVerbose,
                               const std::function<void(const std::string& arg, int& i)>& other) {
    CommonOptions common;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            common.help = true;
            break;
        }
        if (a == "--camera") common.camera = optionValue(argc, argv, i);
        else if (takesVerbose && a == "--verbose") common.verbose = true;
        else other(a, i);
    }
    return common;
}

bool parseUnsigned(std::string_view text, uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && p == text.data() + text.size();
}

Camera::Camera(const std::string& id, bool verbose) {
    uint16_t count = 0;
    const uint16_t discovery = U3V_DiscoveryDevices(&count);
    if (discovery != U3V_OK) throw Failure("camera discovery failed: " + statusText(discovery));
    if (count == 0) throw Failure("no USB3 Vision camera found");
    bool found = false;
    for (uint16_t n = 1; n <= count && !found; ++n) {
        U3V_DEVICE_INFO info{};
        if (U3V_GetDeviceInfo(n, &info) != U3V_OK) continue;
        // The record's strings are NUL-terminated by the library, but stay inside them anyway.
        const std::string guid(info.DeviceGUID, strnlen(info.DeviceGUID, sizeof info.DeviceGUID));
        const std::string serial(info.SerialNumber, strnlen(info.SerialNumber, sizeof info.SerialNumber));
        if (id.empty() || id == guid || id == serial) {
            info_ = info;
            found = true;
        }
    }
    if (!found)
        throw Failure("no camera with GUID or serial number '" + id + "' among the " + std::to_string(count) +
                      " found");
    info_.DeviceGUID[sizeof info_.DeviceGUID - 1] = '\0';

    const uint16_t open = U3V_OpenDevice(info_.DeviceGUID, &device_, verbose ? logToStderr : nullptr,
                                         verbose ? U3V_LOG_INFO | U3V_LOG_WARNING | U3V_LOG_ERROR : 0);
    if (open != U3V_OK) {
        if (device_ != nullptr) U3V_CloseDevice(device_);
        throw Failure("cannot open camera " + std::string(info_.DeviceGUID) + ": " + statusText(open));
    }
    const uint16_t control = U3V_OpenControl(device_, &control_);
    if (control != U3V_OK) {
        if (control_ != nullptr) U3V_CloseControl(control_);
        U3V_CloseDevice(device_);
        throw Failure("cannot open the control channel of camera " + std::string(info_.DeviceGUID) + ": " +
                      statusText(control));
    }
}

Camera::~Camera() {
    U3V_CloseControl(control_);
    U3V_CloseDevice(device_);
}

void Camera::read(uint64_t address, uint8_t* data, size_t length) const {
    std::string failed;
    const uint16_t status = readMemory(control_, address, data, length, failed);
    if (status != U3V_OK) throw Failure(failed + ": " + statusText(status));
}

void Camera::write(uint64_t address, const uint8_t* data, size_t length) const {
    std::string failed;
    const uint16_t status = writeMemory(control_, address, data, length, failed);
    if (status != U3V_OK) throw Failure(failed + ": " + statusText(status));
}

std::string Camera::descriptionFile() const {
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    const uint16_t status = U3V_ReadXml(control_, &buffer, &size, 0);
    if (status != U3V_OK) throw Failure("cannot read the camera's description file: " + statusText(status));
    return std::string(reinterpret_cast<const char*>(buffer), size);
}

void CameraPort::read(uint64_t address, uint8_t* data, size_t length) {
    try {
        camera_.read(address, data, length);
    } catch (const Failure& e) {
        throw genicam::Error(e.what());
    }
}

void CameraPort::write(uint64_t address, const uint8_t* data, size_t length) {
    try {
        camera_.write(address, data, length);
    } catch (const Failure& e) {
        throw genicam::Error(e.what());
    }
}

std::string readFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw Failure("cannot open " + path + ": " + std::strerror(errno));
    std::string data;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw Failure("cannot read " + path);
    return data;
}

void writeFile(const std::string& path, const void* data, size_t length) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw Failure("cannot create " + path + ": " + std::strerror(errno));
    const bool written = std::fwrite(data, 1, length, f) == length;
    const int closeErrno = std::fclose(f) == 0 ? 0 : errno;
    if (!written || closeErrno != 0)
        throw Failure("cannot write " + path + (closeErrno ? std::string(": ") + std::strerror(closeErrno) : ""));
}

void writeStdout(const void* data, size_t length) {
    if (std::fwrite(data, 1, length, stdout) != length || std::fflush(stdout) != 0) {
        const int why = errno;
        std::clearerr(stdout);  // reported here, not once more at exit
        throw Failure(std::string("cannot write to standard output: ") + std::strerror(why));
    }
}

}  // namespace tool
