#include "ImageQueue.h"

namespace tessoral {

void ReadyQueue::reset(uint32_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count_; ++i) ring_[(head_ + i) % ring_.size()]->bQueued = false;
    ring_.assign(capacity, nullptr);
    head_ = count_ = 0;
    locked_ = 0;  // those still locked were retired with their pool
}

bool ReadyQueue::push(ImageBuffer* buffer, ManualResetEvent& ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ + locked_ >= ring_.size()) return false;
    ring_[(head_ + count_) % ring_.size()] = buffer;
    ++count_;
    buffer->bQueued = true;
    ready.Set();
    return true;
}

ImageBuffer* ReadyQueue::frontAndReset(ManualResetEvent& ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return nullptr;
    ready.Reset();
    return ring_[head_];
}

ImageBuffer* ReadyQueue::front() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ == 0 ? nullptr : ring_[head_];
}

void ReadyQueue::pop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return;
        ring_[head_]->bQueued = false;
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }
    room_.notify_all();
}

bool ReadyQueue::waitForRoom(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return room_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return count_ + locked_ < ring_.size(); });
}

void ReadyQueue::popLocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return;
    ImageBuffer* buffer = ring_[head_];
    buffer->bQueued = false;
    buffer->bLocked = true;
    ++locked_;
    head_ = (head_ + 1) % ring_.size();
    --count_;
}

bool ReadyQueue::unlock(ImageBuffer* buffer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!buffer->bLocked) return false;
        buffer->bLocked = false;
        if (!buffer->bRetired) --locked_;
    }
    room_.notify_all();
    return true;
}

void ReadyQueue::retireLocked(const std::vector<ImageBuffer*>& buffers) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ImageBuffer* buffer : buffers) buffer->bRetired = buffer->bLocked;
}

void ReadyQueue::clear() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < count_; ++i) ring_[(head_ + i) % ring_.size()]->bQueued = false;
        head_ = count_ = 0;
    }
    room_.notify_all();
}

bool ReadyQueue::busy(const ImageBuffer* buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer->bQueued || buffer->bLocked;
}

size_t ReadyQueue::room() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ + locked_ >= ring_.size() ? 0 : ring_.size() - count_ - locked_;
}

size_t ReadyQueue::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace tessoral
