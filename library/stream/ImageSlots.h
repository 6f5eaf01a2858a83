// The images on their way in: each a pool buffer with the reads planned into it (leader,
// payload transfers, finals, trailer), queued in stream order across images and reaped
// in that order, within one window of submitted bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ImageQueue.h"
#include "StreamPackets.h"
#include "UsbLayer.h"

namespace tessoral {

// The reads of one image as the camera was told to send it.
struct ReadPlan {
    uint32_t transferSize = 0;
    uint32_t transferCount = 0;
    uint32_t final1 = 0, final2 = 0;
    uint32_t leaderSize = 0, trailerSize = 0;

    size_t reads() const { return transferCount + (final1 != 0) + (final2 != 0) + size_t{2}; }
    size_t trailerRead() const { return reads() - 1; }
    bool isFullTransfer(size_t i) const { return i >= 1 && i <= transferCount; }
    // Bytes asked for by read i (0 = leader).
    int size(size_t i) const;
    // Where payload read i goes in the image buffer.
    size_t offset(size_t i) const;
};

// One image on its way: its buffer, its own leader and trailer bytes, and how far its
// reads have been queued and reaped.
struct ImageSlot {
    ImageBuffer* buffer = nullptr;
    std::unique_ptr<uint8_t[]> leader;
    std::unique_ptr<uint8_t[]> trailer;
    // After the buffers: destroyed first, so that no read owns a buffer that is gone.
    std::unique_ptr<usb::AsyncRead[]> reads;
    size_t submitted = 0;
    size_t reaped = 0;
    size_t bytesInFlight = 0;  // of its reads submitted and not reaped
    stream::Leader head;
    bool spoilt = false;  // its leader was not an image leader: never delivered
    uint32_t missing = 0;
};

class ImageSlots {
public:
    ImageSlots() = default;
    ImageSlots(const ImageSlots&) = delete;
    ImageSlots& operator=(const ImageSlots&) = delete;
    // Cancels what is in flight before anything is freed.
    ~ImageSlots() { (void)abandon(); }

    // Room for `images` images at once; false when memory or transfers ran out.
    bool setup(libusb_device_handle* handle, uint8_t endpoint, const ReadPlan& plan, size_t images);
    const ReadPlan& plan() const { return plan_; }

    bool empty() const { return count_ == 0; }
    size_t images() const { return count_; }  // on their way
    bool full() const { return count_ == slots_.size(); }
    ImageSlot* head() { return empty() ? nullptr : &slots_[head_]; }
    ImageSlot* tail() { return empty() ? nullptr : &slots_[(head_ + count_ - 1) % slots_.size()]; }
    // A new image at the tail, receiving into buffer; null when full.
    ImageSlot* open(ImageBuffer* buffer);
    // The same, its leader already received elsewhere: its n bytes are copied in.
    ImageSlot* openWithLeader(ImageBuffer* buffer, const uint8_t* leader, size_t n);
    // Ends the head image (its reads all reaped); its buffer is the engine's again.
    void close();

    // Queues the slot's next read. 0 or a libusb error; nothing changes on an error.
    int submitNext(ImageSlot& slot);
    // Waits for the head's next read (see usb::AsyncRead::reap): bytes or < 0.
    int reapNext(unsigned timeoutMs, const std::atomic<bool>* abort);
    size_t bytesInFlight() const { return inFlight_; }
    // Of those, the bytes queued for the images after the head.
    size_t bytesAhead() const { return empty() ? 0 : inFlight_ - slots_[head_].bytesInFlight; }
    size_t readsInFlight() const { return readsInFlight_; }

    // Cancels every read in flight, in order, and ends every image. true when any of them
    // had received data, which is then lost.
    bool abandon();

private:
    ReadPlan plan_;
    std::vector<ImageSlot> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
    size_t inFlight_ = 0;  // bytes
    size_t readsInFlight_ = 0;
};

}  // namespace tessoral
