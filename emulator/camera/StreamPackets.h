// The USB3 Vision stream and event wire formats as the camera writes them: the image
// leader and trailer, the GenCP event command, and the stream status codes. Written on the
// camera's side of the wire only; nothing here is shared with any host software.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/GenCpPackets.h"

namespace vcam::u3v {

inline constexpr uint32_t kLeaderMagic = 0x4C563355;   // "U3VL"
inline constexpr uint32_t kTrailerMagic = 0x54563355;  // "U3VT"
inline constexpr uint16_t kPayloadTypeImage = 0x0001;

// Generic leader (20 bytes) followed by the image leader (32 bytes).
inline constexpr size_t kLeaderSize = 52;
inline constexpr size_t kLeaderOffMagic = 0;
inline constexpr size_t kLeaderOffSize = 6;
inline constexpr size_t kLeaderOffBlockId = 8;
inline constexpr size_t kLeaderOffPayloadType = 18;
inline constexpr size_t kLeaderOffTimestamp = 20;
inline constexpr size_t kLeaderOffPixelFormat = 28;
inline constexpr size_t kLeaderOffSizeX = 32;
inline constexpr size_t kLeaderOffSizeY = 36;
inline constexpr size_t kLeaderOffOffsetX = 40;
inline constexpr size_t kLeaderOffOffsetY = 44;
inline constexpr size_t kLeaderOffPaddingX = 48;

// Generic trailer (28 bytes) followed by the image trailer (4 bytes).
inline constexpr size_t kTrailerSize = 32;
inline constexpr size_t kTrailerOffMagic = 0;
inline constexpr size_t kTrailerOffSize = 6;
inline constexpr size_t kTrailerOffBlockId = 8;
inline constexpr size_t kTrailerOffStatus = 16;
inline constexpr size_t kTrailerOffValidPayloadSize = 20;
inline constexpr size_t kTrailerOffSizeY = 28;

// Stream status codes (trailer status, SI_Control refusals).
inline constexpr uint16_t kStatusSiRegistersInconsistent = 0xA004;
inline constexpr uint16_t kStatusDataDiscarded = 0xA100;

// GenCP event command on the event pipe: the 12-byte GenCP header, then reserved u16,
// event id u16, timestamp u64, data.
inline constexpr uint32_t kEventPrefix = 0x45563355;  // "U3VE"
inline constexpr uint16_t kEventCommand = 0x0C00;
inline constexpr size_t kEventFixedSize = 24;          // header + reserved, id, timestamp
inline constexpr size_t kEventSpecificFixedSize = 12;  // what the length field counts at least
inline constexpr uint16_t kTestEventId = 0x4FFF;

using gencp::putLe16;
using gencp::putLe32;
using gencp::putLe64;

}  // namespace vcam::u3v
