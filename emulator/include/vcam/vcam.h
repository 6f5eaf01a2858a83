// Test-side control of the virtual camera: the emulated USB world behind libusb-1.0.
// Programs that link the emulator's libusb-1.0.so.0 directly may use these calls to shape
// the world (cameras, other devices, faults) and to read what crossed the bus. Programs
// that only load it in place of libusb get the world described by the file named in
// VCAM_CONFIG (or one default camera) and never need this header.
//
// Everything here is thread-safe. Camera ids are small positive integers, never reused
// within a process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vcam {

struct Identity {
    std::string guid = "VC0000000001";  // device info string; at most 12 characters on a real camera
    std::string vendor = "Tessoral Virtual";
    std::string model = "VCam-1";
    std::string family = "VCam";
    std::string deviceVersion = "1.0.0";
    std::string manufacturerInfo = "Virtual USB3 Vision camera";
    std::string serialNumber = "00000001";
    std::string userDefinedName = "";
};

// Ways discovery can fail on a camera.
enum class DiscoveryFault {
    None,
    OpenFails,         // libusb_open answers LIBUSB_ERROR_ACCESS
    NoConfiguration,   // the device reports no configuration (bNumConfigurations 0)
    NoInterfaces,      // the configuration declares no interfaces
    ConfigReadFails,   // GET_DESCRIPTOR(configuration) on the open device fails (LIBUSB_ERROR_PIPE)
    StringReadFails,   // reading the string with index failingStringIndex fails (LIBUSB_ERROR_PIPE)
    NoDeviceInfo,      // the configuration carries no device info descriptor (type 0x24)
};

struct CameraConfig {
    Identity identity;
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x7556;
    bool hasEvent = true;
    bool hasStream = true;
    bool controlHeldElsewhere = false;  // another program holds the control interface
    DiscoveryFault discoveryFault = DiscoveryFault::None;
    uint8_t failingStringIndex = 0;     // with StringReadFails: the string descriptor index
    // When set, the device answers GET_DESCRIPTOR(configuration) with exactly these bytes
    // (malformed-descriptor tests). libusb_get_config_descriptor keeps reporting the
    // regular layout.
    std::optional<std::vector<uint8_t>> wireConfigDescriptor;

    // Control side.
    uint32_t maxDeviceResponseTimeMs = 200;  // ABRM 0x01CC
    bool writtenLengthField = false;         // Device Capability bit 11
    uint32_t maxCommandTransferLength = 1024;  // SBRM +0x14
    uint32_t maxAckTransferLength = 1024;      // SBRM +0x18
    bool zippedDescription = false;           // description file stored as a zip archive

    // Firmware update (see the download window in emulator/README.md).
    uint32_t flashTimeMs = 1000;   // on the bus, writing its flash, after the start command
    uint32_t rebootTimeMs = 2000;  // off the bus, rebooting, before it comes back
    uint32_t firmwareWindowSize = 16u << 20;  // bytes of the data area at 0x7F000000
    bool bootLoader = false;                  // starts in its boot loader (as after a bad image)
    std::string bootLoaderVersion = "1.0.0";  // the device version its boot loader reports
};

struct DeviceConfig {  // a USB device that is not a camera
    uint16_t vendorId = 0x046d;
    uint16_t productId = 0xc077;
    uint8_t deviceClass = 0x00;  // class defined per interface
    uint8_t interfaceClass = 0x03;
};

// The model name a camera reports while it runs its boot loader.
inline constexpr const char* kBootLoaderModel = "U3V_Bootloader";

// The firmware download window in every camera's register space.
inline constexpr uint64_t kFirmwareSizeRegister = 0x7EFFFFF8;   // 4 bytes: image length
inline constexpr uint64_t kFirmwareStartRegister = 0x7EFFFFFC;  // 4 bytes: write 0xAFFE
inline constexpr uint64_t kFirmwareData = 0x7F000000;           // the image bytes
inline constexpr uint32_t kFirmwareStartMagic = 0xAFFE;

// The camera's firmware image format: a 160-byte header, then the payload.
//   0  "VCFW"                    76  version, 64 bytes, NUL-padded (what the camera reports)
//   4  format 1 (16 bit)        140  SHA-1 over bytes 0..139 and the payload
//   6  header size 160 (16 bit) 160  payload
//   8  payload size (32 bit)
//  12  model, 64 bytes, NUL-padded (the model the image fits)
// All numbers little-endian; model and version are 1 to 63 printable ASCII characters.
// makeFirmwareImage throws std::invalid_argument for texts that break these rules.
std::vector<uint8_t> makeFirmwareImage(const std::string& model, const std::string& version,
                                       const std::vector<uint8_t>& payload);
struct FirmwareImageInfo {
    bool valid = false;
    std::string problem;  // why not, when not valid
    std::string model, version;
    uint32_t payloadSize = 0;
};
// Checks bytes as a camera does on the start command: an image followed by at most three
// zero bytes of padding.
FirmwareImageInfo inspectFirmwareImage(const std::vector<uint8_t>& bytes);

// Where flashed images persist across processes ("" = nowhere). A camera reads its flash
// from here when it is added; loadConfig sets it from the file's state_dir.
void setStateDir(const std::string& path);
std::string stateDir();

struct FirmwareStatus {
    std::string model, deviceVersion;  // what the camera reports now
    bool bootLoader = false;           // running its boot loader
    bool updating = false;             // between an accepted start command and its return
    unsigned startCommands = 0;        // start commands received since the camera was added
    unsigned updates = 0;              // good images flashed since the camera was added
    std::vector<uint8_t> flash;        // the last image flashed (padded as received), if any
    std::string lastProblem;           // why the last start command's image was refused
};
FirmwareStatus firmwareStatus(int camera);

// Resets the world to no devices at all, clears faults and the call record.
void reset();
// Loads a world from a configuration file (the VCAM_CONFIG format). Returns false, world
// unchanged, when the file cannot be read or parsed; the reason goes to error.
bool loadConfig(const std::string& path, std::string* error = nullptr);

int addCamera(const CameraConfig& config = {});  // plugs a camera in; returns its id
int addDevice(const DeviceConfig& config = {});  // plugs another device in; returns its id
void unplug(int id);  // the device leaves the bus; open handles see LIBUSB_ERROR_NO_DEVICE
void replug(int id);  // the same device comes back (new bus address)
bool plugged(int id);

// The camera's memory as its firmware sees it (registers, description file, RAM).
bool peek(int camera, uint64_t address, void* out, size_t length);
bool poke(int camera, uint64_t address, const void* data, size_t length);

// Faults on the control channel. A fault applies to the commands that match it (any
// command, or only those touching address), after skipping the first `skip` matches, for
// `count` matches (-1: for ever).
enum class ControlFaultKind {
    NoAck,           // the camera never answers
    ShortAck,        // the acknowledge lacks its last byte
    LongAck,         // the acknowledge carries 4 bytes too many
    WrongPrefix,     // prefix "U3VX"
    WrongCommand,    // command id off by 0x10
    WrongRequestId,  // request id + 1
    Status,          // the acknowledge carries `status`
    StallIn,         // the IN endpoint halts instead of answering
    StallOut,        // the OUT endpoint halts on the command
    Pending,         // pending acknowledges with `pendingTimeoutsMs`, then the real one
    Replace,         // the answer is exactly `ack`, whatever the command (executed as usual)
};
struct ControlFault {
    ControlFaultKind kind = ControlFaultKind::NoAck;
    std::optional<uint64_t> address;  // only commands whose address equals this
    int skip = 0;
    int count = 1;
    uint16_t status = 0;
    std::vector<uint16_t> pendingTimeoutsMs;
    std::vector<uint8_t> ack;  // with Replace
};
void addControlFault(int camera, const ControlFault& fault);
void clearControlFaults(int camera);

// Data the device offers on one of its IN endpoints (event and stream pipes), served to
// bulk and asynchronous reads in order, one transfer per call.
void pushIn(int id, uint8_t endpoint, const std::vector<uint8_t>& transfer);

// Every libusb call the program made, in order.
struct UsbCall {
    std::string function;        // "libusb_bulk_transfer", "libusb_claim_interface", ...
    int device = 0;              // id of the device concerned, 0 when none
    uint8_t endpoint = 0;        // endpoint address for transfers and clear_halt
    int interface = -1;          // interface number for claim/release
    int length = 0;              // requested length of a transfer
    unsigned timeoutMs = 0;      // time-out of a transfer
    std::vector<uint8_t> data;   // bytes sent (OUT) or received (IN)
    int result = 0;              // the call's return value
    int transferred = 0;         // bytes moved by a transfer
};
std::vector<UsbCall> calls();
void clearCalls();

}  // namespace vcam
