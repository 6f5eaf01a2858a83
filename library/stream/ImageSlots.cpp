#include "ImageSlots.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessoral {

int ReadPlan::size(size_t i) const {
    if (i == 0) return static_cast<int>(leaderSize);
    if (i == trailerRead()) return static_cast<int>(trailerSize);
    if (i <= transferCount) return static_cast<int>(transferSize);
    return static_cast<int>(final1 != 0 && i == transferCount + 1 ? final1 : final2);
}

size_t ReadPlan::offset(size_t i) const {
    const size_t before = i - 1;  // payload reads ahead of this one
    if (before <= transferCount) return before * transferSize;
    return size_t{transferCount} * transferSize + final1;  // the second final
}

bool ImageSlots::setup(libusb_device_handle* handle, uint8_t endpoint, const ReadPlan& plan,
                       size_t images) {
    plan_ = plan;
    slots_.resize(images);
    const size_t reads = plan.reads();
    for (ImageSlot& slot : slots_) {
        slot.leader.reset(new (std::nothrow) uint8_t[plan.leaderSize]);
        slot.trailer.reset(new (std::nothrow) uint8_t[plan.trailerSize]);
        slot.reads.reset(new (std::nothrow) usb::AsyncRead[reads]);
        if (slot.leader == nullptr || slot.trailer == nullptr || slot.reads == nullptr) return false;
        for (size_t i = 0; i < reads; ++i) {
            if (!slot.reads[i].setup(handle, endpoint)) return false;
        }
    }
    return !slots_.empty();
}

ImageSlot* ImageSlots::open(ImageBuffer* buffer) {
    if (full()) return nullptr;
    ImageSlot& slot = slots_[(head_ + count_) % slots_.size()];
    ++count_;
    slot.buffer = buffer;
    buffer->bReceiving = true;
    slot.submitted = slot.reaped = 0;
    slot.bytesInFlight = 0;
    slot.head = stream::Leader{};
    slot.spoilt = false;
    slot.missing = 0;
    return &slot;
}

ImageSlot* ImageSlots::openWithLeader(ImageBuffer* buffer, const uint8_t* leader, size_t n) {
    ImageSlot* slot = open(buffer);
    if (slot == nullptr) return nullptr;
    std::memcpy(slot->leader.get(), leader, std::min<size_t>(n, plan_.leaderSize));
    slot->submitted = slot->reaped = 1;
    return slot;
}

void ImageSlots::close() {
    if (empty()) return;
    ImageSlot& slot = slots_[head_];
    if (slot.buffer != nullptr) slot.buffer->bReceiving = false;
    slot.buffer = nullptr;
    head_ = (head_ + 1) % slots_.size();
    --count_;
}

int ImageSlots::submitNext(ImageSlot& slot) {
    const size_t i = slot.submitted;
    const int size = plan_.size(i);
    uint8_t* into = i == 0                    ? slot.leader.get()
                    : i == plan_.trailerRead() ? slot.trailer.get()
                                               : slot.buffer->pData.get() + plan_.offset(i);
    const int r = slot.reads[i].submit(into, size);
    if (r < 0) return r;
    ++slot.submitted;
    slot.bytesInFlight += static_cast<size_t>(size);
    inFlight_ += static_cast<size_t>(size);
    ++readsInFlight_;
    return 0;
}

int ImageSlots::reapNext(unsigned timeoutMs, const std::atomic<bool>* abort) {
    ImageSlot& slot = slots_[head_];
    const size_t i = slot.reaped;
    const int r = slot.reads[i].reap(timeoutMs, abort);
    ++slot.reaped;
    slot.bytesInFlight -= static_cast<size_t>(plan_.size(i));
    inFlight_ -= static_cast<size_t>(plan_.size(i));
    --readsInFlight_;
    return r;
}

bool ImageSlots::abandon() {
    bool lost = false;
    while (!empty()) {
        ImageSlot& slot = slots_[head_];
        for (size_t i = slot.reaped; i < slot.submitted; ++i) {
            (void)slot.reads[i].reap(0);
            lost = lost || slot.reads[i].received() > 0;
        }
        slot.reaped = slot.submitted;
        slot.bytesInFlight = 0;
        close();
    }
    inFlight_ = 0;
    readsInFlight_ = 0;
    return lost;
}

}  // namespace tessoral
