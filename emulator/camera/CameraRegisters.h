// The camera's memory map: bootstrap registers (GenCP ABRM, USB3 Vision SBRM/SIRM/EIRM),
// the feature registers its description file names, the manifest, the description file
// and the host-writable RAM. All registers are little-endian.
#pragma once

#include <cstdint>

namespace vcam::regs {

// ABRM (GenCP technology-agnostic bootstrap register map) at 0.
inline constexpr uint64_t kAbrm = 0x00000;
inline constexpr uint64_t kGenCpVersion = 0x0000;
inline constexpr uint64_t kManufacturerName = 0x0004;
inline constexpr uint64_t kModelName = 0x0044;
inline constexpr uint64_t kFamilyName = 0x0084;
inline constexpr uint64_t kDeviceVersion = 0x00C4;
inline constexpr uint64_t kManufacturerInfo = 0x0104;
inline constexpr uint64_t kSerialNumber = 0x0144;
inline constexpr uint64_t kUserDefinedName = 0x0184;
inline constexpr uint32_t kStringRegisterSize = 64;
inline constexpr uint64_t kDeviceCapability = 0x01C4;
inline constexpr uint64_t kMaxDeviceResponseTime = 0x01CC;
inline constexpr uint64_t kManifestTableAddress = 0x01D0;
inline constexpr uint64_t kSbrmAddress = 0x01D8;
inline constexpr uint64_t kDeviceConfiguration = 0x01E0;
inline constexpr uint64_t kHeartbeatTimeout = 0x01E8;
inline constexpr uint64_t kMessageChannelId = 0x01EC;
inline constexpr uint64_t kTimestamp = 0x01F0;
inline constexpr uint64_t kTimestampLatch = 0x01F8;
inline constexpr uint64_t kTimestampIncrement = 0x01FC;
inline constexpr uint64_t kAccessPrivilege = 0x0204;
inline constexpr uint64_t kProtocolEndianess = 0x0208;
inline constexpr uint64_t kImplementationEndianess = 0x020C;

// Device Capability bits.
inline constexpr uint64_t kCapUserDefinedName = 1u << 0;
inline constexpr uint64_t kCapMessageChannel = 1u << 2;
inline constexpr uint64_t kCapTimestamp = 1u << 3;
inline constexpr uint64_t kCapFamilyName = 1u << 8;
inline constexpr uint64_t kCapSbrm = 1u << 9;
inline constexpr uint64_t kCapEndianessRegister = 1u << 10;
inline constexpr uint64_t kCapWrittenLengthField = 1u << 11;

inline constexpr uint32_t kEndianessLittle = 0xFFFFFFFF;

// SBRM (the USB3 Vision bootstrap register map).
inline constexpr uint64_t kSbrm = 0x10000;
inline constexpr uint64_t kSbrmU3vVersion = 0x00;
inline constexpr uint64_t kSbrmCapability = 0x04;
inline constexpr uint64_t kSbrmConfiguration = 0x0C;
inline constexpr uint64_t kSbrmMaxCommandTransferLength = 0x14;
inline constexpr uint64_t kSbrmMaxAckTransferLength = 0x18;
inline constexpr uint64_t kSbrmNumStreamChannels = 0x1C;
inline constexpr uint64_t kSbrmSirmAddress = 0x20;
inline constexpr uint64_t kSbrmSirmLength = 0x28;
inline constexpr uint64_t kSbrmEirmAddress = 0x2C;
inline constexpr uint64_t kSbrmEirmLength = 0x34;
inline constexpr uint64_t kSbrmIidc2Address = 0x38;
inline constexpr uint64_t kSbrmCurrentSpeed = 0x40;
inline constexpr uint64_t kSbrmSize = 0x44;

inline constexpr uint64_t kU3vCapSirmAvailable = 1u << 0;
inline constexpr uint64_t kU3vCapEirmAvailable = 1u << 1;
inline constexpr uint32_t kSpeedSuper = 0x08;

// SIRM (stream interface register map).
inline constexpr uint64_t kSirm = 0x20000;
inline constexpr uint64_t kSiInfo = 0x00;
inline constexpr uint64_t kSiControl = 0x04;
inline constexpr uint64_t kSiRequiredPayloadSize = 0x08;
inline constexpr uint64_t kSiRequiredLeaderSize = 0x10;
inline constexpr uint64_t kSiRequiredTrailerSize = 0x14;
inline constexpr uint64_t kSiMaximumLeaderSize = 0x18;
inline constexpr uint64_t kSiPayloadTransferSize = 0x1C;
inline constexpr uint64_t kSiPayloadTransferCount = 0x20;
inline constexpr uint64_t kSiPayloadFinalTransfer1Size = 0x24;
inline constexpr uint64_t kSiPayloadFinalTransfer2Size = 0x28;
inline constexpr uint64_t kSiMaximumTrailerSize = 0x2C;
inline constexpr uint64_t kSirmSize = 0x30;

// EIRM (event interface register map).
inline constexpr uint64_t kEirm = 0x30000;
inline constexpr uint64_t kEiControl = 0x00;
inline constexpr uint64_t kEiMaxEventTransferLength = 0x04;
inline constexpr uint64_t kEiEventTestControl = 0x08;
inline constexpr uint64_t kEirmSize = 0x0C;

// Acquisition and trigger features.
inline constexpr uint64_t kAcquisitionMode = 0x40004;
inline constexpr uint64_t kAcquisitionFrameCount = 0x40008;
inline constexpr uint64_t kTLParamsLocked = 0x4000C;
inline constexpr uint64_t kAcquisitionStart = 0x40024;
inline constexpr uint64_t kAcquisitionStop = 0x40028;
inline constexpr uint64_t kTriggerMode = 0x40104;
inline constexpr uint64_t kTriggerSource = 0x40144;
inline constexpr uint64_t kTriggerSoftware = 0x40184;

inline constexpr uint32_t kAcquisitionContinuous = 0;
inline constexpr uint32_t kAcquisitionSingleFrame = 1;
inline constexpr uint32_t kAcquisitionMultiFrame = 2;
inline constexpr uint32_t kMaxFrameCount = 0xFFFF;

// Digital I/O: Line0 is an input only; Line1 is an input or an output.
inline constexpr uint64_t kLineSelector = 0x40300;
inline constexpr uint64_t kLine1Mode = 0x40304;

// Image format and controls.
inline constexpr uint64_t kWidth = 0x50000;
inline constexpr uint64_t kHeight = 0x50004;
inline constexpr uint64_t kPixelFormat = 0x50008;
inline constexpr uint64_t kPayloadSize = 0x5000C;
inline constexpr uint64_t kAcquisitionStartAlias = 0x50014;  // older host software starts here
inline constexpr uint64_t kExposureTime = 0x50058;
inline constexpr uint64_t kGain = 0x50064;         // GainSelector AnalogAll (0)
inline constexpr uint64_t kGainDigital = 0x50068;  // GainSelector DigitalAll (1)
inline constexpr uint64_t kGainSelector = 0x5006C;

// A look-up table of 256 bytes (Mono8 in, Mono8 out), identity at power-on. The test
// pattern is sent as it is: the table is storage a host may read and write.
inline constexpr uint64_t kLut = 0x50100;
inline constexpr uint32_t kLutSize = 256;

// Chunk data: with chunk mode active the payload carries the image and the enabled chunks.
inline constexpr uint64_t kChunkModeActive = 0x50200;
inline constexpr uint64_t kChunkSelector = 0x50204;
inline constexpr uint64_t kChunkEnable = 0x50210;  // one 4-byte register per chunk, by selector

inline constexpr uint32_t kMinImageSide = 1;
// As wide as the large sensors hosts meet (5472x3648, 8192-pixel lines).
inline constexpr uint32_t kMaxImageSide = 8192;

// Manifest table (RAM, so that a host may replace it), the description file (read-only)
// and host-writable RAM: one contiguous stretch from 0x80000 to 0x1FFFFF.
inline constexpr uint64_t kManifest = 0x80000;
inline constexpr uint64_t kManifestAreaSize = 0x10000;
inline constexpr uint64_t kManifestEntrySize = 64;
inline constexpr uint64_t kDescription = 0x90000;
inline constexpr uint64_t kDescriptionAreaSize = 0x70000;
inline constexpr uint64_t kRam = 0x100000;
inline constexpr uint64_t kRamSize = 0x100000;

inline constexpr uint32_t kManifestTypeZip = 1u << 10;

// The firmware download window from 0x7EFFFFF8 on is not in this map: FirmwareWindow
// answers it, at the addresses vcam.h publishes.

}  // namespace vcam::regs
