#include "ImageQueue.h"

namespace tessoral {

void ReadyQueue::reset(uint32_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count_; ++i) ring_[(head_ + i) % ring_.size()]->bQueued = false;
    ring_.assign(capacity, nullptr);
    head_ = count_ = 0;
}

bool ReadyQueue::push(ImageBuffer* buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ >= ring_.size()) return false;
    ring_[(head_ + count_) % ring_.size()] = buffer;
    ++count_;
    buffer->bQueued = true;
    return true;
}

ImageBuffer* ReadyQueue::front() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ == 0 ? nullptr : ring_[head_];
}

void ReadyQueue::pop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return;
    ring_[head_]->bQueued = false;
    head_ = (head_ + 1) % ring_.size();
    --count_;
}

void ReadyQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count_; ++i) ring_[(head_ + i) % ring_.size()]->bQueued = false;
    head_ = count_ = 0;
}

bool ReadyQueue::queued(const ImageBuffer* buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer->bQueued;
}

size_t ReadyQueue::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace tessoral
