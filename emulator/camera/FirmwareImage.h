// The virtual camera's own firmware image format (see emulator/README.md): a 160-byte
// header naming the model the image fits and the version the camera reports once it runs
// the image, then the payload. A SHA-1 over header and payload guards against images that
// were cut short or damaged on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace vcam::fwimage {

inline constexpr char kMagic[4] = {'V', 'C', 'F', 'W'};
inline constexpr uint16_t kFormat = 1;
inline constexpr size_t kHeaderSize = 160;
inline constexpr size_t kOffsetFormat = 4;
inline constexpr size_t kOffsetHeaderSize = 6;
inline constexpr size_t kOffsetPayloadSize = 8;
inline constexpr size_t kOffsetModel = 12;
inline constexpr size_t kOffsetVersion = 76;
inline constexpr size_t kTextFieldSize = 64;  // NUL-padded, so at most 63 characters
inline constexpr size_t kOffsetDigest = 140;
inline constexpr size_t kDigestSize = 20;

// Throws std::invalid_argument for a model or version that does not fit its field, is
// empty, or holds anything but printable ASCII.
std::vector<uint8_t> build(const std::string& model, const std::string& version,
                           const std::vector<uint8_t>& payload);

// Checks `size` bytes as they arrived in the download window: the image, then at most 3
// zero bytes of padding (hosts round the length up to a multiple of 4).
FirmwareImageInfo inspect(const uint8_t* data, size_t size);

}  // namespace vcam::fwimage
