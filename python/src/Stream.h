// The camera's image stream: the library's stream channel and the camera's acquisition,
// started and stopped together, images taken in short slices so that the caller can
// notice Ctrl-C and its own time limit between them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Camera.h"

namespace pytessoral {

class Stream : public Channel {
public:
    // Opens the stream channel; `timeoutMs` bounds each of the library's transfer waits.
    Stream(std::shared_ptr<Camera> camera, uint32_t timeoutMs);
    ~Stream() override;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    uint32_t bufferCount();
    void setBufferCount(uint32_t count);
    uint32_t transferSize();
    void setTransferSize(uint32_t size);

    // Starts the library's stream and then the camera (AcquisitionStart, when the camera
    // has it); a start while running restarts.
    void start();
    // Stops the camera and then the library's stream; stopping a stopped stream does
    // nothing.
    void stop();
    bool running() const { return running_; }
    // The bytes each image takes: the payload size the camera asked for at the start.
    uint64_t payloadSize() const { return payloadSize_; }

    // One wait of at most sliceMs for an image, copied into `buffer` (payloadSize bytes).
    // Returns the library's status: U3V_OK, U3V_ERR_MISSING_PACKETS or the trailer's
    // status with an image; U3V_ERR_IMAGE_TIMEOUT or U3V_ERR_NO_IMAGE without one; any
    // other status is a failure of the stream.
    uint16_t grab(uint8_t* buffer, size_t size, uint32_t sliceMs, U3V_ImageInfo& info);

    // One wait of at most sliceMs that lends out the oldest image's own buffer (*data,
    // payloadSize bytes) instead of a copy; the statuses are grab's. Every buffer lent
    // must be given back with unlock, from any thread, also after close.
    uint16_t lock(uint32_t sliceMs, U3V_ImageInfo& info, void*& data);
    void unlock(void* data) noexcept;

    // Stops and closes. With buffers still lent the stream lingers: closed to its user,
    // the library's stream (and the camera's handles, see Camera::close) are closed when
    // the last buffer comes back, so that no lent buffer is ever freed under its holder.
    void close() noexcept override;
    // Closes and gives the camera's slot back, so that another can be opened.
    void release() noexcept;
    bool isOpen() const;

private:
    void requireOpen() const;
    void stopLocked(bool strict);
    // One of the library's stream settings, read or set under the handle's lock.
    uint32_t setting(uint16_t (*get)(void*, uint32_t*), const char* what);
    void setSetting(uint16_t (*set)(void*, uint32_t), const char* what, uint32_t value);

    std::shared_ptr<Camera> camera_;
    // Guards the handle; held for one wait slice at most, so a close waits that long.
    mutable std::mutex m_;
    void* handle_ = nullptr;
    std::atomic<bool> running_{false};
    bool acquiring_ = false;  // the camera's AcquisitionStart was executed
    std::atomic<uint64_t> payloadSize_{0};
    size_t lent_ = 0;        // buffers locked and not yet given back
    bool lingering_ = false;  // closed to the user, waiting for lent buffers
};

// Whether a status from U3V_GetImage came with an image.
bool statusHasImage(uint16_t status);

}  // namespace pytessoral
