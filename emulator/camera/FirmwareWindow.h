// The firmware download window: a length register, a start register and a data area that
// the host fills with an image before it writes the start magic. The data area grows as it
// is written, so a camera that never takes an update costs no memory for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam {

class FirmwareWindow {
public:
    explicit FirmwareWindow(uint32_t dataSize) : dataSize_(dataSize) {}

    // Whether an access touches the window at all; such an access is the window's to answer.
    bool touches(uint64_t address, size_t length) const;

    // Host accesses: GenCP status. A write of the start magic sets `started`.
    uint16_t read(uint64_t address, uint8_t* out, size_t length) const;
    uint16_t write(uint64_t address, const uint8_t* data, size_t length, bool& started);

    // The announced image: the first `length register` bytes of the data area.
    std::vector<uint8_t> image() const;

    bool peek(uint64_t address, uint8_t* out, size_t length) const;
    bool poke(uint64_t address, const uint8_t* data, size_t length);

private:
    bool inData(uint64_t address, size_t length) const;

    uint32_t dataSize_;
    uint32_t length_ = 0;
    std::vector<uint8_t> data_;  // as far as written; beyond reads as zero
};

}  // namespace vcam
