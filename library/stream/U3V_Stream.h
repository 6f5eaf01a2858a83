// The stream channel: stream interface set-up and the transfer plan, the acquisition
// engine on its worker thread, and the image queue behind U3V_GetImage.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "CThread.h"
#include "ImageQueue.h"
#include "ManualResetEvent.h"
#include "StreamPackets.h"

namespace tessoral {

struct DeviceHandle;
struct U3V_Control;
namespace usb {
class AsyncRead;
}

class U3V_Stream final : public CThread {
public:
    U3V_Stream(DeviceHandle* device, U3V_Control* control);
    // Stops a running acquisition, ends the worker and releases the pool.
    ~U3V_Stream();

    uint16_t OpenStreamInterface(uint32_t timeout);
    uint16_t SetStreamEnable(bool on);
    uint16_t StartAcquisition(uint32_t unused);
    uint16_t StopAcquisition(uint64_t& valueA, uint64_t& valueB);
    uint16_t GetImage(uint8_t* destination, uint32_t timeout, U3V_ImageInfo* info);

    static constexpr uint32_t kDefaultTransferSize = 0x10000;
    static constexpr uint32_t kDefaultBufferCount = 4;
    static constexpr uint32_t kMaxBufferCount = 0x7FFFFFFE;  // the pool (one more) fits 31 bits

    uint32_t nTimeout = 100;
    std::atomic<bool> bStopRequest{true};
    U3V_Control* pControl;
    DeviceHandle* pDevice;
    bool bStreamOpen = false;
    std::atomic<bool> bAcquisitionRunning{false};
    std::vector<std::unique_ptr<ImageBuffer>> bufferPool;
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
    uint32_t nTransferSize = kDefaultTransferSize;
    uint32_t nBufferCount = 0;
    std::atomic<bool> bThreadEnded{true};

protected:
    uint32_t Run() override;

private:
    enum class Cycle { Done, Restart, Leave };
    Cycle ImageCycle(ImageBuffer& current, usb::AsyncRead* requests, size_t count,
                     uint8_t* leader, uint8_t* trailer);
    ImageBuffer* NextFreeBuffer();
    void EndWorker();

    size_t nPoolNext = 0;  // worker only: the pool's rotation point
};

}  // namespace tessoral
