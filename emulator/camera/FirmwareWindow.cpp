#include "camera/FirmwareWindow.h"

#include <algorithm>
#include <cstring>

#include "camera/GenCpPackets.h"
#include "vcam/vcam.h"

namespace vcam {

namespace st = gencp::status;

namespace {

constexpr uint64_t kWindowStart = kFirmwareSizeRegister;

}  // namespace

bool FirmwareWindow::touches(uint64_t address, size_t length) const {
    const uint64_t end = kFirmwareData + dataSize_;
    const uint64_t last = length == 0 ? address : address + length - 1;
    if (last < address) return address < end;  // wraps: reaches the window from below
    return last >= kWindowStart && address < end;
}

bool FirmwareWindow::inData(uint64_t address, size_t length) const {
    return address >= kFirmwareData && address - kFirmwareData <= dataSize_ &&
           length <= dataSize_ - (address - kFirmwareData);
}

uint16_t FirmwareWindow::read(uint64_t address, uint8_t* out, size_t length) const {
    if (address == kFirmwareSizeRegister || address == kFirmwareStartRegister) {
        if (length != 4) return st::kBadAlignment;
        // The start register reads 0: the command leaves nothing behind.
        gencp::putLe(out, address == kFirmwareSizeRegister ? length_ : 0, 4);
        return st::kSuccess;
    }
    if (!inData(address, length)) return address < kFirmwareData ? st::kBadAlignment : st::kInvalidAddress;
    const size_t offset = address - kFirmwareData;
    std::memset(out, 0, length);
    if (offset < data_.size())
        std::memcpy(out, data_.data() + offset, std::min(length, data_.size() - offset));
    return st::kSuccess;
}

uint16_t FirmwareWindow::write(uint64_t address, const uint8_t* data, size_t length, bool& started) {
    started = false;
    if (address == kFirmwareSizeRegister || address == kFirmwareStartRegister) {
        if (length != 4) return st::kBadAlignment;
        const uint32_t value = gencp::getLe32(data);
        if (address == kFirmwareSizeRegister) {
            if (value > dataSize_) return st::kInvalidParameter;
            length_ = value;
            return st::kSuccess;
        }
        if (value != kFirmwareStartMagic) return st::kInvalidParameter;
        started = true;
        return st::kSuccess;
    }
    if (!inData(address, length)) return address < kFirmwareData ? st::kBadAlignment : st::kInvalidAddress;
    poke(address, data, length);
    return st::kSuccess;
}

std::vector<uint8_t> FirmwareWindow::image() const {
    std::vector<uint8_t> out(length_, 0);
    const size_t n = std::min<size_t>(length_, data_.size());
    if (n > 0) std::memcpy(out.data(), data_.data(), n);
    return out;
}

bool FirmwareWindow::peek(uint64_t address, uint8_t* out, size_t length) const {
    return read(address, out, length) == st::kSuccess;
}

bool FirmwareWindow::poke(uint64_t address, const uint8_t* data, size_t length) {
    if (!inData(address, length)) return false;
    const size_t offset = address - kFirmwareData;
    if (data_.size() < offset + length) data_.resize(offset + length, 0);
    if (length > 0) std::memcpy(data_.data() + offset, data, length);
    return true;
}

}  // namespace vcam
