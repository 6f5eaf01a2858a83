// The stream's image buffers and the ready queue between the acquisition engine (worker
// thread) and U3V_GetImage (caller's thread).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tessoral/tessoral.h"

namespace tessoral {

struct ImageBuffer {
    uint32_t nSize = 0;
    std::unique_ptr<uint8_t[]> pData;
    U3V_ImageInfo info{};
    uint16_t nStatus = 0;
    bool bQueued = false;  // waits in the ready queue: the engine must not write it
};

// First-in first-out, fixed capacity, no allocation after reset. Every operation is safe
// against the other thread; an image stays marked queued until it is popped or cleared, so
// the engine never receives into a buffer that U3V_GetImage may be copying.
class ReadyQueue {
public:
    void reset(uint32_t capacity);  // empties it and sets the capacity (may allocate)
    bool push(ImageBuffer* buffer);  // false when full: the image is not queued
    ImageBuffer* front();            // null when empty
    void pop();
    void clear();
    bool queued(const ImageBuffer* buffer);
    size_t size();

private:
    std::mutex mutex_;
    std::vector<ImageBuffer*> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace tessoral
