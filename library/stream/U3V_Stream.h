// The stream channel: stream interface set-up and the transfer plan, the acquisition
// engine on its worker thread, and the image queue behind U3V_GetImage.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "CThread.h"
#include "ImageQueue.h"
#include "ManualResetEvent.h"
#include "StreamPackets.h"

namespace tessoral {

struct DeviceHandle;
struct U3V_Control;
class ImageSlots;
struct ImageSlot;

class U3V_Stream final : public CThread {
public:
    U3V_Stream(DeviceHandle* device, U3V_Control* control);
    // Stops a running acquisition, ends the worker and releases the pool.
    ~U3V_Stream();

    uint16_t OpenStreamInterface(uint32_t timeout);
    uint16_t SetStreamEnable(bool on);
    // Start, stop and close may be called from any thread while others wait in GetImage:
    // they run one at a time, and those that end an acquisition wake the waiters and wait
    // until they have left before they touch the pool.
    uint16_t StartAcquisition(uint32_t unused);
    uint16_t StopAcquisition(uint64_t& valueA, uint64_t& valueB);
    // Wakes and waits out every GetImage, and keeps new ones out, before the object goes.
    void Close();
    uint16_t GetImage(uint8_t* destination, uint32_t timeout, U3V_ImageInfo* info);
    // The oldest waiting image's own buffer, kept from the engine until UnlockImage.
    uint16_t LockImage(uint8_t*& data, uint32_t& size, uint32_t timeout, U3V_ImageInfo* info);
    uint16_t UnlockImage(const uint8_t* data);
    void SetTransferSize(uint32_t size);
    void SetBufferCount(uint32_t count);

    static constexpr uint32_t kDefaultTransferSize = 0x10000;
    static constexpr uint32_t kDefaultBufferCount = 4;
    static constexpr uint32_t kMaxBufferCount = 0x7FFFFFFE;  // the pool (one more) fits 31 bits
    // Bytes of stream reads queued at once: well under the 16 MiB that Linux allows a
    // program's submitted USB buffers by default.
    static constexpr uint32_t kDefaultSubmitLimit = U3V_DEFAULT_STREAM_MEMORY;

    uint32_t nTimeout = 100;
    std::atomic<bool> bStopRequest{true};
    U3V_Control* pControl;
    DeviceHandle* pDevice;
    bool bStreamOpen = false;
    std::atomic<bool> bAcquisitionRunning{false};
    std::vector<std::unique_ptr<ImageBuffer>> bufferPool;
    // Buffers of earlier pools still locked by the caller; freed at their unlock.
    std::vector<std::unique_ptr<ImageBuffer>> retiredBuffers;
    ReadyQueue readyQueue;
    ManualResetEvent hImageReady;
    ManualResetEvent hStartRequest;
    uint32_t nPayloadTransferSize = 0;
    uint32_t nPayloadTransferCount = 0;
    uint32_t nPayloadFinalTransfer1Size = 0;
    uint32_t nPayloadFinalTransfer2Size = 0;
    uint32_t nMaximumLeaderSize = 0;
    uint32_t nMaximumTrailerSize = 0;
    uint64_t nRequiredPayloadSize = 0;
    uint64_t nSirmAddress = 0;
    std::atomic<uint32_t> nTransferSize{kDefaultTransferSize};
    std::atomic<uint32_t> nBufferCount{0};
    std::atomic<bool> bThreadEnded{true};
    // The engine has seen the camera gone: what it received before is all queued.
    std::atomic<bool> bEngineSawGone{false};
    bool bOwnsInterface = false;  // holds the device's one stream channel
    std::atomic<uint32_t> nSubmitLimit{kDefaultSubmitLimit};

protected:
    uint32_t Run() override;

private:
    // What the engine does after a step: go on, fall back to a single leader read (the
    // stream is out of step), or end the worker.
    enum class Step { Go, Resync, Leave };
    Step Fill(ImageSlots& slots);
    Step ReapOne(ImageSlots& slots);
    Step CheckLeader(ImageSlots& slots, ImageSlot& slot, int received);
    Step Finish(ImageSlots& slots, ImageSlot& slot, int received);
    void Deliver(ImageSlot& slot, uint16_t status);
    // Cancels what is in flight and hunts for the next leader.
    Step Resync(ImageSlots& slots);
    ImageBuffer* NextFreeBuffer();
    void EndWorker();
    uint16_t StopLocked();
    // The engine's answer to a libusb result that says the camera is gone: marks it and
    // wakes the readers, which then empty the queue and hear of it.
    bool DeviceGone(int usbResult);
    // The camera is gone and no image it sent can still come from the engine.
    bool NothingMoreComes() const;

    // Keeps GetImage out of the pool while a stop, restart or close changes it: wakes the
    // waiting readers, turns new ones away at the door and waits for the others to leave.
    class ReadersOut {
    public:
        ReadersOut(U3V_Stream& stream, bool closing);
        ~ReadersOut();

    private:
        U3V_Stream& s_;
    };
    // A GetImage between entry and return; false (the status in st) when turned away.
    bool EnterReader(uint32_t timeoutMs, uint16_t& st, uint64_t& since);
    void LeaveReader();
    // Inside as a reader: waits for the oldest image (left queued) or says why there is none.
    uint16_t AwaitImage(uint32_t timeoutMs, uint64_t since, ImageBuffer*& image);
    // The delivery status of an image taken from the queue.
    uint16_t DeliveryStatus(const ImageBuffer& image);
    // GetImage and LockImage: entry, the reader's guard and the wait, then deliver(image)
    // on the oldest image while it is still queued.
    template <class Delivery>
    uint16_t TakeOldest(uint32_t timeout, Delivery deliver);
    // Replaces the pool; buffers still locked move to retiredBuffers.
    void RebuildPool(uint32_t bufferCount, uint32_t size);

    std::mutex mLifecycle;  // start, stop and close: one at a time
    std::mutex mPool;       // which buffers belong to the stream, for UnlockImage
    std::mutex mReaders;
    std::condition_variable cvReaders;
    int nReaders = 0;         // GetImage calls inside
    int nAtDoor = 0;          // GetImage calls waiting to come in
    bool bReadersOut = false; // a stop, restart or close holds the pool
    bool bClosing = false;

    // Worker only: the window of submitted bytes, narrowed when the system refuses memory.
    void ShrinkWindow(size_t accepted);
    size_t nWindow = kDefaultSubmitLimit;
    bool bWindowShrinkTold = false;
    size_t nPoolNext = 0;  // worker only: the pool's rotation point
    // Worker only: the last leader was where one was expected, so the reads of the images
    // after it may be queued; when not, a single leader read looks for one.
    bool bInStep = false;
    int nMemoryWaits = 0;  // worker only: refusals in a row with nothing in flight
    // Worker only: a submission said the camera is gone; what is already in flight is
    // reaped first, since reads that completed before it left hold whole images.
    bool bSubmitsGone = false;
};

}  // namespace tessoral
