#include "camera/FirmwareImage.h"

#include <cstring>
#include <stdexcept>

#include "camera/GenCpPackets.h"
#include "platform/Sha1.h"

namespace vcam::fwimage {

namespace {

bool printable(const std::string& text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

void checkText(const std::string& text, const char* what) {
    if (text.empty() || text.size() >= kTextFieldSize || !printable(text))
        throw std::invalid_argument(std::string(what) + " must be 1 to " +
                                    std::to_string(kTextFieldSize - 1) + " printable ASCII characters");
}

platform::Sha1::Digest digestOf(const uint8_t* image, size_t payloadSize) {
    platform::Sha1 sha;
    sha.update(image, kOffsetDigest);
    sha.update(image + kHeaderSize, payloadSize);
    return sha.finish();
}

// A NUL-terminated printable field, or nothing when it is malformed.
bool textField(const uint8_t* field, std::string& out) {
    const void* end = std::memchr(field, 0, kTextFieldSize);
    if (end == nullptr) return false;
    out.assign(reinterpret_cast<const char*>(field), static_cast<const uint8_t*>(end) - field);
    return !out.empty() && printable(out);
}

FirmwareImageInfo bad(std::string problem) {
    FirmwareImageInfo info;
    info.problem = std::move(problem);
    return info;
}

}  // namespace

std::vector<uint8_t> build(const std::string& model, const std::string& version,
                           const std::vector<uint8_t>& payload) {
    checkText(model, "model");
    checkText(version, "version");
    if (payload.size() > UINT32_MAX - kHeaderSize) throw std::invalid_argument("payload too large");
    std::vector<uint8_t> image(kHeaderSize + payload.size(), 0);
    std::memcpy(image.data(), kMagic, sizeof kMagic);
    gencp::putLe(image.data() + kOffsetFormat, kFormat, 2);
    gencp::putLe(image.data() + kOffsetHeaderSize, kHeaderSize, 2);
    gencp::putLe(image.data() + kOffsetPayloadSize, payload.size(), 4);
    std::memcpy(image.data() + kOffsetModel, model.data(), model.size());
    std::memcpy(image.data() + kOffsetVersion, version.data(), version.size());
    if (!payload.empty()) std::memcpy(image.data() + kHeaderSize, payload.data(), payload.size());
    platform::Sha1::Digest digest = digestOf(image.data(), payload.size());
    std::memcpy(image.data() + kOffsetDigest, digest.data(), digest.size());
    return image;
}

FirmwareImageInfo inspect(const uint8_t* data, size_t size) {
    if (data == nullptr || size < kHeaderSize) return bad("shorter than an image header");
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return bad("not a firmware image");
    if (gencp::getLe16(data + kOffsetFormat) != kFormat) return bad("unknown image format");
    if (gencp::getLe16(data + kOffsetHeaderSize) != kHeaderSize) return bad("unknown header size");
    FirmwareImageInfo info;
    if (!textField(data + kOffsetModel, info.model)) return bad("malformed model name");
    if (!textField(data + kOffsetVersion, info.version)) return bad("malformed version");
    info.payloadSize = gencp::getLe32(data + kOffsetPayloadSize);
    const size_t imageSize = kHeaderSize + size_t{info.payloadSize};
    if (imageSize > size) return bad("image cut short");
    if (size - imageSize > 3) return bad("data after the image");
    for (size_t i = imageSize; i < size; ++i)
        if (data[i] != 0) return bad("data after the image");
    platform::Sha1::Digest digest = digestOf(data, info.payloadSize);
    if (std::memcmp(digest.data(), data + kOffsetDigest, kDigestSize) != 0)
        return bad("checksum mismatch");
    info.valid = true;
    return info;
}

}  // namespace vcam::fwimage

namespace vcam {

std::vector<uint8_t> makeFirmwareImage(const std::string& model, const std::string& version,
                                       const std::vector<uint8_t>& payload) {
    return fwimage::build(model, version, payload);
}

FirmwareImageInfo inspectFirmwareImage(const std::vector<uint8_t>& bytes) {
    return fwimage::inspect(bytes.data(), bytes.size());
}

}  // namespace vcam
