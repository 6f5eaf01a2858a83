#include "FirmwareTransfer.h"

#include <algorithm>

namespace {
constexpr int kProgressDivisor = 100;
}

int64_t firmware_padded_length(int64_t fileLength) {
    if (fileLength < 0 || fileLength > FW_MAX_IMAGE) return -1;
    return (fileLength + 3) / 4 * 4;
}

uint32_t firmware_checksum(const uint8_t* data, size_t length) {
    uint32_t checksum = 0;
    for (size_t i = 0; i < length; ++i) checksum = 2 * checksum + data[i];
    return checksum;
}

FirmwareTransfer::FirmwareTransfer(int64_t padded) : padded_(padded), step_(padded / kProgressDivisor) {}

bool FirmwareTransfer::next(Piece& piece) {
    if (sent_ >= padded_) return false;
    piece.offset = sent_;
    piece.length = static_cast<int32_t>(std::min<int64_t>(padded_ - sent_, FW_CHUNK_SIZE));
    piece.address = FW_DATA_BASE + static_cast<uint32_t>(sent_);
    // A value is shown per piece at most, once the bytes sent before it reach its share:
    // below 25,600 bytes that lags behind the share, and below 100 bytes the step is 0.
    piece.progress = -1;
    if (shown_ * step_ <= sent_) piece.progress = shown_++;
    sent_ += piece.length;
    return true;
}
