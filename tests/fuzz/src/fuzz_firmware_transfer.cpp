// A firmware file as brannock sends it: its reported size and its bytes, padded, summed
// and cut into the writes of the download window.
//   input: u32 reported size, then the file's bytes
#include <algorithm>
#include <memory>
#include <vector>

#include "FirmwareTransfer.h"
#include "FuzzInput.h"

namespace {
// Pieces are checked one by one up to this many bytes; the unit tests walk the largest.
constexpr int32_t kWalkedBytes = 4 << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    // Mostly small sizes, now and then one near the window's end.
    const uint32_t raw = in.u32();
    const int64_t reported =
        (raw & 0x80000000u) ? FW_MAX_IMAGE - 0x8000 + (raw & 0xFFFF) : int64_t{raw & 0xFFFFF};
    size_t contentSize = 0;
    const uint8_t* content = in.rest(contentSize);

    const int64_t padded = firmware_padded_length(reported);
    if (reported > FW_MAX_IMAGE) {
        FUZZ_CHECK(padded == -1, "size %lld accepted", static_cast<long long>(reported));
        return 0;
    }
    FUZZ_CHECK(padded % 4 == 0 && padded >= reported && padded - reported < 4, "size %lld padded to %lld",
               static_cast<long long>(reported), static_cast<long long>(padded));

    // The image as firmware_upload builds it, when the file holds what its size says.
    std::vector<uint8_t> image;
    if (static_cast<int64_t>(contentSize) >= reported && padded <= kWalkedBytes) {
        image.assign(static_cast<size_t>(padded), 0);
        std::copy(content, content + reported, image.begin());
        // Zero padding doubles the sum once per byte.
        uint32_t expected = firmware_checksum(content, static_cast<size_t>(reported));
        for (int64_t i = reported; i < padded; ++i) expected *= 2;
        FUZZ_CHECK(firmware_checksum(image.data(), image.size()) == expected, "checksum of the padding");
    }
    if (padded > kWalkedBytes) return 0;

    FirmwareTransfer transfer(padded);
    FirmwareTransfer::Piece piece{};
    int64_t offset = 0;
    int32_t nextProgress = 0;
    int64_t pieces = 0;
    std::unique_ptr<uint8_t[]> sent(image.empty() ? nullptr : new uint8_t[image.size()]);
    while (transfer.next(piece)) {
        ++pieces;
        FUZZ_CHECK(piece.offset == offset && piece.address == FW_DATA_BASE + static_cast<uint32_t>(offset),
                   "piece at %lld, expected %lld", static_cast<long long>(piece.offset), static_cast<long long>(offset));
        FUZZ_CHECK(piece.length > 0 && piece.length % 4 == 0 && piece.length <= FW_CHUNK_SIZE &&
                       (piece.length == FW_CHUNK_SIZE || offset + piece.length == padded),
                   "piece of %d bytes at %lld of %lld", piece.length, static_cast<long long>(offset),
                   static_cast<long long>(padded));
        FUZZ_CHECK(piece.progress == -1 || piece.progress == nextProgress, "progress %d after %d", piece.progress,
                   nextProgress);
        if (piece.progress >= 0) ++nextProgress;
        if (sent) std::copy(image.begin() + piece.offset, image.begin() + piece.offset + piece.length,
                            sent.get() + piece.offset);
        offset += piece.length;
    }
    FUZZ_CHECK(offset == padded && pieces == (padded + FW_CHUNK_SIZE - 1) / FW_CHUNK_SIZE, "%lld of %lld sent",
               static_cast<long long>(offset), static_cast<long long>(padded));
    // Below 100 bytes the one piece shows 0; from 25,600 bytes every value up to 99 or 100.
    if (padded > 0 && padded < 100)
        FUZZ_CHECK(nextProgress == 1, "%d values for %lld bytes", nextProgress, static_cast<long long>(padded));
    if (padded >= 25600) FUZZ_CHECK(nextProgress == 100 || nextProgress == 101, "%d values", nextProgress);
    FUZZ_CHECK(nextProgress <= 101, "progress beyond 100");
    if (sent) FUZZ_CHECK(std::equal(image.begin(), image.end(), sent.get()), "image not sent whole");
    return 0;
}
