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
    bool operator==(const Identity&) const = default;
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

    // Event side: Maximum Event Transfer Length (EIRM +0x04).
    uint32_t maxEventTransferLength = 1024;

    // Stream side (see "Streaming" below).
    uint64_t streamBytesPerSecond = 400000000;  // bandwidth limit; 0 = unpaced
    uint32_t frameRate = 0;                     // frames per second limit; 0 = none
    uint32_t imageBuffers = 4;                  // images the camera holds for the host (>= 1)
    uint8_t payloadAlignmentLog2 = 3;           // SI_Info alignment: 2^n bytes (advisory)

    // The bus (see "A real bus" below): each bulk or interrupt transfer on this device
    // completes this long after its data is there; 0 = at once.
    uint32_t transferLatencyUs = 0;

    // Firmware update (see the download window in emulator/README.md).
    uint32_t flashTimeMs = 1000;   // on the bus, writing its flash, after the start command
    uint32_t rebootTimeMs = 2000;  // off the bus, rebooting, before it comes back
    uint32_t firmwareWindowSize = 16u << 20;  // bytes of the data area at 0x7F000000
    bool bootLoader = false;                  // starts in its boot loader (as after a bad image)
    std::string bootLoaderVersion = "1.0.0";  // the device version its boot loader reports

    // Faults on the control channel from the start (as if added with addControlFault).
    std::vector<ControlFault> controlFaults;
};

struct DeviceConfig {  // a USB device that is not a camera
    uint16_t vendorId = 0x046d;
    uint16_t productId = 0xc077;
    uint8_t deviceClass = 0x00;  // class defined per interface
    uint8_t deviceSubClass = 0x00;
    uint8_t deviceProtocol = 0x00;
    uint8_t interfaceClass = 0x03;
    bool openFails = false;  // libusb_open answers LIBUSB_ERROR_ACCESS (node not open to the user)
};

// The emulated Linux kernel that carries the world under the system's own libusb-1.0
// (vcam-run, the usbfs way in; the drop-in libusb ignores it). Capabilities are the bits
// the kernel reports for USBDEVFS_GET_CAPABILITIES; libusb cuts transfers into URBs by them.
inline constexpr uint32_t kCapZeroPacket = 0x01;
inline constexpr uint32_t kCapBulkContinuation = 0x02;
inline constexpr uint32_t kCapNoPacketSizeLimit = 0x04;
inline constexpr uint32_t kCapBulkScatterGather = 0x08;
inline constexpr uint32_t kCapReapAfterDisconnect = 0x10;
struct KernelConfig {
    // A current kernel on an xHCI host controller.
    uint32_t capabilities = kCapZeroPacket | kCapBulkContinuation | kCapNoPacketSizeLimit |
                            kCapBulkScatterGather | kCapReapAfterDisconnect;
    // usbcore.usbfs_memory_mb: MiB of URB buffers submitted at once, all programs together
    // (0: no limit).
    uint32_t memoryMb = 16;
    bool operator==(const KernelConfig&) const = default;
};
// Takes effect for URBs submitted and device files opened from now on.
void setKernel(const KernelConfig& kernel);
KernelConfig kernel();

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
    bool updating = false;             // from a start command until the camera is back (or, pulled
                                       // out meanwhile, has rebooted into its boot loader)
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

void addControlFault(int camera, const ControlFault& fault);
void clearControlFaults(int camera);

// Data the device offers on one of its IN endpoints (event and stream pipes), served to
// bulk and asynchronous reads in order, one transfer per call, before anything the
// camera's firmware sends on that pipe.
void pushIn(int id, uint8_t endpoint, const std::vector<uint8_t>& transfer);

// ---------------------------------------------------------------------------------------
// Streaming
//
// The camera streams as a USB3 Vision device does. Images flow on the stream endpoint 0x83
// while BOTH of these hold:
//   - SI_Control (SIRM 0x20000 + 0x04) bit 0 is set (stream enable), and
//   - acquisition runs: AcquisitionStart (1 written to 0x40024, or to its alias 0x50014)
//     was executed and AcquisitionStop (0x40028) was not executed since.
// With TriggerMode (0x40104) On (1) the camera takes one image per TriggerSoftware
// (1 written to 0x40184) while TriggerSource (0x40144) is Software (0); with Off (0) it
// runs freely.
//
// AcquisitionMode (0x40004): Continuous (0) takes images until AcquisitionStop;
// SingleFrame (1) takes one image and MultiFrame (2) AcquisitionFrameCount (0x40008, 1 to
// 65535) images, then acquisition ends by itself (images the camera dropped do not count;
// a new AcquisitionStart takes the count again). The mode and count are read at
// AcquisitionStart.
//
// TLParamsLocked (0x4000C, 0 or 1): while it is 1, and while stream enable is set, what
// the payload's size depends on (Width, Height, ChunkModeActive, ChunkEnable) refuses
// writes with 0x8006. It goes back to 0 when the camera leaves the bus.
//
// Chunks: ChunkModeActive (0x50200, 0 or 1) and one ChunkEnable register per chunk
// (0x50210 + 4 * selector; ChunkSelector 0x50204 is for hosts and changes nothing): 0
// Timestamp (8 bytes: the leader's timestamp), 1 FrameID (8: the block id), 2 Width (4),
// 3 Height (4), 4 ExposureTime (4: microseconds, as register 0x50058). With chunk mode
// active the leader's payload type is 0x4001 (image extended chunk) and the payload is the
// image, its tag, then each enabled chunk in selector order followed by its tag; a tag is
// the chunk id u32 and the data's length u32, little-endian (image 0xA5A50000, then
// 0xA5A50001 + selector), so that a host finds the chunks from the payload's end
// backwards. PayloadSize, SI_RequiredPayloadSize and the trailer's valid payload size
// count the chunks. Chunk mode is off at power-on.
//
// SIRM at 0x20000: SI_Info +0x00 (bits 24..31: payload alignment as 2^n), SI_Control
// +0x04, SI_RequiredPayloadSize +0x08 (8 bytes, = Width * Height * bytes per pixel),
// SI_RequiredLeaderSize +0x10 (52), SI_RequiredTrailerSize +0x14 (32),
// SI_MaximumLeaderSize +0x18, SI_PayloadTransferSize +0x1C, SI_PayloadTransferCount +0x20,
// SI_PayloadFinalTransfer1Size +0x24, SI_PayloadFinalTransfer2Size +0x28,
// SI_MaximumTrailerSize +0x2C. The plan registers are taken when stream enable goes from 0
// to 1; enabling is refused with 0xA004 (registers inconsistent) when
// SI_PayloadTransferSize * SI_PayloadTransferCount + Final1 + Final2 is smaller than the
// required payload. Width, Height and PixelFormat (0x50000, 0x50004, 0x50008) refuse
// writes with 0x8006 while stream enable is set. The alignment is advisory: the camera
// accepts any sizes.
//
// Each image is, in this order, one USB transfer each:
//   - the leader, 52 bytes: "U3VL" (0x4C563355), reserved u16 0, leader size u16 52,
//     block id u64, reserved u16 0, payload type u16 1 (image), timestamp u64 (ns of the
//     device clock, the image's capture time), pixel format u32 (PixelFormat: Mono8
//     0x01080001 or RGB8 0x02180014), size x u32, size y u32, offset x u32 0, offset y
//     u32 0, padding x u16 0, reserved u16 0;
//   - the payload transfers of the plan: SI_PayloadTransferCount transfers of
//     SI_PayloadTransferSize bytes, then Final1 and Final2 when not 0; a transfer is cut at
//     the end of the payload, and transfers past the end are not sent;
//   - the trailer, 32 bytes: "U3VT" (0x54563355), reserved u16 0, trailer size u16 32,
//     block id u64 (the leader's), status u16 0, reserved u16 0, valid payload size u64,
//     size y u32.
// All fields little-endian. A host read shorter than the device's transfer completes with
// LIBUSB_TRANSFER_OVERFLOW / LIBUSB_ERROR_OVERFLOW, the read's length filled and the rest
// of that transfer lost (as on a real bus); a longer read is a short read.
//
// Block ids start at 1 each time stream enable goes from 0 to 1 and rise by one per image
// the camera keeps. An image the camera cannot keep (its buffer is full) is dropped before
// it gets a block id: drops show in StreamStats, never as block id gaps.
//
// Pacing: an image becomes available when the camera has taken it; the host's reads wait
// for it (up to their time-outs). Free-running, images are taken every
// max(1 / frameRate, (52 + payload + 32) / streamBytesPerSecond) seconds from the moment
// streaming starts; the camera holds up to `imageBuffers` images (the one being sent
// included) and drops images taken while they are all in use. With streamBytesPerSecond
// and frameRate both 0 (unpaced), an image is taken the moment the host reads a leader, so
// nothing is ever dropped. A triggered image is taken at the trigger, or one period after
// the previous image if that is later, and is dropped when the buffer is full. Within an
// image the transfers follow each other at once: pacing spaces images, not transfers.
//
// Stream enable going to 0 discards the image being sent and every buffered image.
// AcquisitionStop stops taking images; those already taken are still sent.

// The pixel formats PixelFormat offers, and the bytes a pixel of one takes (bits 16-23 of
// a code are its bits per pixel): the payload is Width * Height * bytesPerPixel.
inline constexpr uint32_t kPixelFormatMono8 = 0x01080001;
inline constexpr uint32_t kPixelFormatRGB8 = 0x02180014;
inline constexpr uint32_t bytesPerPixel(uint32_t pixelFormat) { return ((pixelFormat >> 16) & 0xFF) / 8; }

// The test pattern: byte `offset` of the payload of the image with block id `blockId`.
// Bytes 0..7 hold the block id (little-endian, cut to the payload); every other byte is
// patternByte(offset + blockId % 251), a fixed pseudo-random sequence that does not repeat
// with any power-of-two period, so that a transfer landing at a wrong offset shows.
uint8_t patternByte(uint64_t index);
uint8_t imageByte(uint64_t blockId, uint64_t offset);
// The whole payload of an image of `payloadSize` bytes.
std::vector<uint8_t> expectedImage(uint64_t blockId, size_t payloadSize);
// Index of the first byte of `data` that differs from the image, or -1 when all match.
long long firstMismatch(uint64_t blockId, const uint8_t* data, size_t payloadSize);

struct StreamStats {
    bool streaming = false;     // stream enable set and acquisition running
    uint64_t taken = 0;         // images the camera kept (block ids handed out)
    uint64_t dropped = 0;       // images dropped because the camera's buffer was full
    uint64_t completed = 0;     // images whose trailer the host has read
    uint64_t lastBlockId = 0;   // block id of the last image kept
    uint32_t buffered = 0;      // images held now, the one being sent included
};
// Counts since the camera was added (taken/dropped/completed never reset).
StreamStats streamStats(int camera);
// The CPU time the cameras spend writing their stream and event transfers into the host's
// reads: what DMA does on a real bus without the host's CPU. A benchmark subtracts it to
// tell the host software's share of the process's CPU time from the virtual camera's.
// Counted only while switched on (off by default: each transfer then costs two reads of
// the calling thread's CPU clock); switching it on starts the counts from zero.
struct SourceCost {
    uint64_t transfers = 0;
    uint64_t bytes = 0;
    double cpuSeconds = 0;
};
void setSourceCostClock(bool on);
SourceCost sourceCost();
// Changes pacing and buffer size at run time; applies from the next image taken.
void setStreamPacing(int camera, uint64_t bytesPerSecond, uint32_t frameRate = 0);
void setImageBuffers(int camera, uint32_t images);

// Faults on the stream. A fault applies to the images the camera sends from now on: it
// skips `skip` images and then applies to `count` images (-1: for ever).
enum class StreamFaultKind {
    ShortPayload,      // payload transfer `transfer` (0 = first) lacks its last `shortBy` bytes
    WrongLeaderMagic,  // leader magic "U3VX"
    WrongPayloadType,  // leader payload type `payloadType`
    TrailerBlockId,    // trailer block id = leader's + 1
    TrailerStatus,     // trailer status `status`
    MissingTrailer,    // no trailer: the next image's leader follows the payload
    Stall,             // the stream endpoint halts instead of sending payload transfer
                       // `transfer` (0xFFFFFFFF: the leader); the image is abandoned
    Unplug,            // the camera leaves the bus instead of sending payload transfer
                       // `transfer` (0xFFFFFFFF: the leader)
};
struct StreamFault {
    StreamFaultKind kind = StreamFaultKind::ShortPayload;
    int skip = 0;
    int count = 1;
    uint32_t transfer = 0;
    uint32_t shortBy = 1;
    uint16_t payloadType = 2;
    uint16_t status = 0xA100;
};
void addStreamFault(int camera, const StreamFault& fault);
void clearStreamFaults(int camera);

// ---------------------------------------------------------------------------------------
// A real bus
//
// Completion latency: a host controller reports a finished transfer some tens of
// microseconds after its last packet. A bulk or interrupt transfer on a device with a
// latency L (CameraConfig::transferLatencyUs, transfer_latency_us, setTransferLatency)
// completes L after its data is there: an asynchronous one reaches event handling no
// earlier, a synchronous call returns no earlier. The device goes on serving the next
// queued read at once, so a host that keeps several reads in flight loses nothing to the
// latency, and one that queues one read at a time loses L per transfer. The latency is a
// schedule: nobody sleeps per transfer. A change applies to transfers served from then on.
//
// Submitted buffer memory: like Linux's usbfs_memory_mb, a limit on the bytes of the
// transfers submitted and not yet reaped, over the whole process (setUsbfsMemoryLimit,
// usbfs_memory_mb; 0 = none, the default). A submission that would go beyond it fails with
// LIBUSB_ERROR_NO_MEM and changes nothing; an asynchronous transfer holds its length from
// libusb_submit_transfer until its completion is handed to event handling (or until it is
// freed), a synchronous one for the time of its call. reset() takes the limit away.
void setTransferLatency(int id, uint32_t microseconds);
void setUsbfsMemoryLimit(uint64_t bytes);
uint64_t usbfsMemoryLimit();
uint64_t usbfsMemoryInUse();  // bytes held by submitted transfers now

// ---------------------------------------------------------------------------------------
// Events
//
// EIRM at 0x30000: EI_Control +0x00 (bit 0: event enable), Maximum Event Transfer Length
// +0x04, Event Test Control +0x08. Writing 1 to Event Test Control while EI_Control bit 0 is
// set sends one test event on the event endpoint 0x82 (the register reads 0 again). An event
// is one transfer, a GenCP event command: "U3VE" (0x45563355), flags u16 0, command id
// u16 0x0C00, length u16 (of what follows the 12-byte header: 12 + data), request id u16
// (rising from 0 per camera), reserved u16 0, event id u16, timestamp u64 (device clock,
// ns), data. The test event has id 0x4FFF and 8 data bytes: the number of test events sent
// before it, u64 little-endian (so its length field is 20 and the transfer 32 bytes). The
// camera keeps up to 64 unread events; older ones are dropped.
enum class EventFaultKind {
    Short,          // the transfer lacks its last byte
    WrongPrefix,    // prefix "U3VX"
    WrongCommand,   // command id 0x0C10
    NoData,         // length field 12 and no data bytes (a 24-byte transfer)
};
struct EventFault {
    EventFaultKind kind = EventFaultKind::Short;
    int skip = 0;
    int count = 1;
};
void addEventFault(int camera, const EventFault& fault);
void clearEventFaults(int camera);

// ---------------------------------------------------------------------------------------
// Call record
//
// Off unless turned on: by setCallRecord(true), or by `call_record = on` in the
// configuration file (loadConfig sets it to the file's value, default off; reset() leaves
// it as it is). Stream and event transfers record their length, status and at most their
// first 64 bytes.
void setCallRecord(bool on);
bool callRecord();

// Every libusb call the program made, in order (while the record was on).
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
