// The bookkeeping of a firmware transfer through the camera's download window: the padded
// length, the pieces and their addresses, the progress values and the checksum. No I/O:
// the dialogue writes the pieces and prints the progress.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t FW_SIZE_REG = 0x7EFFFFF8;
constexpr uint32_t FW_START_REG = 0x7EFFFFFC;
constexpr uint32_t FW_DATA_BASE = 0x7F000000;
constexpr int32_t FW_START_MAGIC = 0xAFFE;
constexpr int32_t FW_CHUNK_SIZE = 256;
// The window runs from FW_DATA_BASE to the end of the 32-bit register space: the padded
// image must fit there (2164260864 bytes at most).
constexpr int64_t FW_MAX_IMAGE = (int64_t{1} << 32) - FW_DATA_BASE;

// The file length rounded up to a multiple of 4; -1 for a negative length or one whose
// padded image exceeds FW_MAX_IMAGE.
int64_t firmware_padded_length(int64_t fileLength);

// checksum = 2 * checksum + byte over every byte, modulo 2^32.
uint32_t firmware_checksum(const uint8_t* data, size_t length);

// The memory writes of one transfer, in order. Each piece but the last is FW_CHUNK_SIZE
// bytes; the progress value is due once the piece is written.
class FirmwareTransfer {
public:
    struct Piece {
        uint32_t address;
        int64_t offset;    // into the padded image
        int32_t length;
        int32_t progress;  // the percentage to show after this piece, or -1 for none
    };

    // `padded` as firmware_padded_length gives it (0 to FW_MAX_IMAGE).
    explicit FirmwareTransfer(int64_t padded);

    // The next piece; false when the image is sent.
    bool next(Piece& piece);

private:
    int64_t padded_;
    int64_t step_;   // bytes per progress value: padded / 100
    int64_t sent_ = 0;
    int32_t shown_ = 0;
};
