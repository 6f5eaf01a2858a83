// The stream's image buffers and the ready queue between the acquisition engine (worker
// thread) and U3V_GetImage (caller's thread).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ManualResetEvent.h"
#include "tessoral/tessoral.h"

namespace tessoral {

struct ImageBuffer {
    uint32_t nSize = 0;
    std::unique_ptr<uint8_t[]> pData;
    U3V_ImageInfo info{};
    uint16_t nStatus = 0;
    bool bQueued = false;   // waits in the ready queue: the engine must not write it
    bool bLocked = false;   // handed to the caller by U3V_LockImage: nobody writes it
    bool bRetired = false;  // of a pool that a later start replaced; freed at its unlock
    bool bReceiving = false;  // engine only: reads are planned into it
};

// First-in first-out, fixed capacity, no allocation after reset. Every operation is safe
// against the other threads; an image stays marked queued until it is popped or cleared, so
// the engine never receives into a buffer that U3V_GetImage may be copying. Images locked
// by the caller count against the capacity as queued ones do, so that of a pool of
// capacity + 1 buffers one is always free for the engine.
class ReadyQueue {
public:
    void reset(uint32_t capacity);  // empties it and sets the capacity (may allocate)
    // false when full: the image is not queued. Otherwise ready is set before the image
    // can be seen by the other thread.
    bool push(ImageBuffer* buffer, ManualResetEvent& ready);
    ImageBuffer* front();  // null when empty
    // The head, resetting ready when there is one. Set and reset happen under the queue's
    // lock, so a set never outlives the image it announced: a signalled event with an
    // empty queue means the queue was emptied by a stop, not a race with the engine.
    ImageBuffer* frontAndReset(ManualResetEvent& ready);
    void pop();
    // Pops the head and marks it locked.
    void popLocked();
    // Ends a lock; false when the buffer was not locked.
    bool unlock(ImageBuffer* buffer);
    // Marks those of the buffers still locked as belonging to no pool: reset does not
    // count them.
    void retireLocked(const std::vector<ImageBuffer*>& buffers);
    void clear();
    bool busy(const ImageBuffer* buffer);  // queued or locked
    // Waits up to timeoutMs until fewer than capacity images wait or are locked.
    bool waitForRoom(uint32_t timeoutMs);
    size_t size();
    // Images that could be queued now: the capacity less those waiting or locked.
    size_t room();

private:
    std::mutex mutex_;
    std::condition_variable room_;
    std::vector<ImageBuffer*> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    size_t locked_ = 0;  // locked buffers of the current pool
};

}  // namespace tessoral
