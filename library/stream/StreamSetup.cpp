// Opening the stream interface, SI_Control, acquisition start and stop, and destruction.
#include <cinttypes>
#include <cstring>
#include <optional>

#include "BootstrapRegisters.h"
#include "DeviceHandle.h"
#include "DeviceLog.h"
#include "U3V_Control.h"
#include "U3V_Stream.h"
#include "UsbLayer.h"

namespace tessoral {

namespace {
uint16_t readLe(U3V_Control& control, uint64_t address, uint16_t width, uint64_t& value) {
    uint8_t reg[8] = {};
    const uint16_t st = ReadMem(control, address, width, reg);
    if (st == U3V_OK) value = width == 8 ? getLe64(reg) : getLe32(reg);
    return st;
}

uint16_t writeLe32(U3V_Control& control, uint64_t address, uint32_t value) {
    uint8_t reg[4];
    putLe32(reg, value);
    return WriteMem(control, address, 4, reg);
}
}  // namespace

U3V_Stream::U3V_Stream(DeviceHandle* device, U3V_Control* control)
    : pControl(control), pDevice(device) {}

U3V_Stream::~U3V_Stream() {
    if (!bThreadEnded) StopWorker(bStopRequest);
    if (bOwnsInterface) pDevice->bStreamTaken = false;
    hImageReady.Reset();
    hStartRequest.Reset();
    readyQueue.clear();
    bufferPool.clear();
}

void U3V_Stream::Close() {
    std::lock_guard<std::mutex> lifecycle(mLifecycle);
    ReadersOut out(*this, true);
    if (bAcquisitionRunning || !bThreadEnded) {
        try {
            (void)StopLocked();
        } catch (...) {
            // The device could not be told; the worker is stopped by the destructor all the same.
        }
    }
}

uint16_t U3V_Stream::OpenStreamInterface(uint32_t timeout) {
    if (pDevice->StreamInterface == 0) {
        DeviceLog(pDevice, U3V_LOG_INFO, "No stream interface available.");
        return U3V_ERR_NO_STREAM_INTERFACE;
    }
    if (pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (pDevice->bStreamTaken.exchange(true)) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface already open on this device.");
        return U3V_ERR_STREAM_CLAIM_FAILED;
    }
    bOwnsInterface = true;
    // Until the open succeeds, the device's stream channel stays free for another handle.
    struct Release {
        U3V_Stream& s;
        ~Release() {
            if (!s.bStreamOpen) {
                s.pDevice->bStreamTaken = false;
                s.bOwnsInterface = false;
            }
        }
    } release{*this};
    if (const int r = usb::claimInterface(pDevice->UsbHandle, pDevice->StreamInterface); r < 0) {
        if (noteGone(*pDevice, r)) return U3V_ERR_DEVICE_GONE;
        DeviceLog(pDevice, U3V_LOG_ERROR, "Can't open/claiming stream interface.");
        return U3V_ERR_STREAM_CLAIM_FAILED;
    }
    nTimeout = timeout;
    const uint64_t sbrm = pControl->nSbrmAddress;
    uint64_t value = 0;
    if (uint16_t st = readLe(*pControl, sbrm + sbrm::kU3vcpCapability, 8, value); st != U3V_OK)
        return st;
    if ((value & stream::kSirmAvailable) == 0) {
        DeviceLog(pDevice, U3V_LOG_INFO, "No stream interface available.");
        return U3V_ERR_NO_STREAM_INTERFACE;
    }
    if (uint16_t st = readLe(*pControl, sbrm + sbrm::kSirmAddress, 8, nSirmAddress); st != U3V_OK)
        return st;
    if (uint16_t st = readLe(*pControl, sbrm + sbrm::kSirmLength, 4, value); st != U3V_OK) return st;
    if (uint16_t st = readLe(*pControl, nSirmAddress + stream::kSiInfo, 4, value); st != U3V_OK)
        return st;
    nBufferCount = kDefaultBufferCount;
    bStreamOpen = true;
    return U3V_OK;
}

uint16_t U3V_Stream::SetStreamEnable(bool on) {
    if (!bStreamOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface not open.");
        return U3V_ERR_STREAM_NOT_OPEN;
    }
    uint64_t control = 0;
    const uint64_t address = nSirmAddress + stream::kSiControl;
    if (uint16_t st = readLe(*pControl, address, 4, control); st != U3V_OK) return st;
    uint32_t value = static_cast<uint32_t>(control);
    value = on ? (value | stream::kStreamEnable) : (value & ~stream::kStreamEnable);
    uint16_t st = writeLe32(*pControl, address, value);
    if (st != U3V_OK) st = writeLe32(*pControl, address, value);  // one retry
    bAcquisitionRunning = on;
    return st;
}

uint16_t U3V_Stream::StartAcquisition(uint32_t /*unused*/) {
    std::lock_guard<std::mutex> lifecycle(mLifecycle);
    if (pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (!bStreamOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface not open.");
        return U3V_ERR_STREAM_NOT_OPEN;
    }
    // A start while acquisition runs restarts: the waiting readers are woken and the worker
    // stopped, instead of waiting for an end that nobody asked for. Readers that wait
    // before the first start (or after a stop) stay and receive its first image: the
    // queue is empty then, so none of them holds a buffer of the pool rebuilt below.
    std::optional<ReadersOut> out;
    if (!bStopRequest || !bThreadEnded) {
        out.emplace(*this, false);
        StopWorker(bStopRequest);
        readyQueue.clear();
    }
    uint64_t payload = 0;
    if (uint16_t st = readLe(*pControl, nSirmAddress + stream::kSiRequiredPayloadSize, 8, payload);
        st != U3V_OK)
        return st;
    const uint32_t transferSize = nTransferSize;
    const uint32_t bufferCount = nBufferCount;
    // Buffer sizes and the plan are 32-bit; a payload beyond that cannot be received.
    if (payload > UINT32_MAX || transferSize == 0) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "SI_RequiredPayloadSize: %" PRIu64 " not supported",
                  payload);
        return U3V_ERR_INVALID_HANDLE;
    }
    if (uint16_t st = SetStreamEnable(false); st != U3V_OK) return st;
    nRequiredPayloadSize = payload;

    const uint32_t size = static_cast<uint32_t>(payload);
    nPayloadTransferSize = transferSize;
    nPayloadTransferCount = size / transferSize;
    nPayloadFinalTransfer1Size = size % transferSize;
    nPayloadFinalTransfer2Size = 0;
    const uint64_t sirm = nSirmAddress;
    // A camera that refuses its plan would take the start and then send nothing we can
    // read: its refusal is the start's answer.
    const struct {
        uint64_t offset;
        uint32_t value;
    } plan[] = {{stream::kSiMaximumLeaderSize, stream::kMaximumLeaderSize},
                {stream::kSiPayloadTransferSize, nPayloadTransferSize},
                {stream::kSiPayloadTransferCount, nPayloadTransferCount},
                {stream::kSiPayloadFinalTransfer1Size, nPayloadFinalTransfer1Size},
                {stream::kSiPayloadFinalTransfer2Size, nPayloadFinalTransfer2Size},
                {stream::kSiMaximumTrailerSize, stream::kMaximumTrailerSize}};
    for (const auto& reg : plan) {
        if (uint16_t st = writeLe32(*pControl, sirm + reg.offset, reg.value); st != U3V_OK) {
            DeviceLog(pDevice, U3V_LOG_ERROR, "The camera refused the transfer plan: %04X", st);
            return st;
        }
    }
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_RequiredPayloadSize: %lld",
              static_cast<long long>(nRequiredPayloadSize));
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_MaximumLeaderSize: %d", stream::kMaximumLeaderSize);
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_PayloadTransferSize: %d", nPayloadTransferSize);
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_PayloadTransferCount: %d", nPayloadTransferCount);
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_PayloadFinalTransfer1Size: %d", nPayloadFinalTransfer1Size);
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_PayloadFinalTransfer2Size: %d", nPayloadFinalTransfer2Size);
    DeviceLog(pDevice, U3V_LOG_INFO, "SI_MaximumTrailerSize: %d", stream::kMaximumTrailerSize);
    nMaximumLeaderSize = stream::kMaximumLeaderSize;
    nMaximumTrailerSize = stream::kMaximumTrailerSize;

    RebuildPool(bufferCount, size);

    hImageReady.Reset();
    hStartRequest.Reset();
    bStopRequest = false;
    bThreadEnded = false;
    bEngineSawGone = false;
    Start();
    if (uint16_t st = SetStreamEnable(true); st != U3V_OK) {
        StopWorker(bStopRequest);
        bAcquisitionRunning = false;
        return st;
    }
    bAcquisitionRunning = true;
    hStartRequest.Set();
    return U3V_OK;
}

uint16_t U3V_Stream::StopAcquisition(uint64_t& valueA, uint64_t& valueB) {
    std::lock_guard<std::mutex> lifecycle(mLifecycle);
    if (pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (!bStreamOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface not open.");
        return U3V_ERR_STREAM_NOT_OPEN;
    }
    ReadersOut out(*this, false);
    if (uint16_t st = StopLocked(); st != U3V_OK) return st;
    valueA = 0;
    valueB = 0;
    return U3V_OK;
}

uint16_t U3V_Stream::StopLocked() {
    bStopRequest = true;
    if (!bThreadEnded) WaitWorkerEnded();
    readyQueue.clear();  // a stop discards what was waiting
    bAcquisitionRunning = false;
    if (pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    const uint16_t st = SetStreamEnable(false);
    bAcquisitionRunning = false;
    return st;
}

void U3V_Stream::RebuildPool(uint32_t bufferCount, uint32_t size) {
    readyQueue.clear();
    std::lock_guard<std::mutex> lock(mPool);
    // A locked buffer stays the caller's until it is unlocked, whatever starts meanwhile;
    // the others go before the new ones are made.
    std::vector<ImageBuffer*> old;
    for (const auto& buffer : bufferPool) old.push_back(buffer.get());
    readyQueue.retireLocked(old);
    for (auto& buffer : bufferPool)
        if (buffer->bRetired) retiredBuffers.push_back(std::move(buffer));
    bufferPool.clear();
    readyQueue.reset(bufferCount);
    nPoolNext = 0;
    bufferPool.reserve(static_cast<size_t>(bufferCount) + 1);
    for (uint64_t i = 0; i <= bufferCount; ++i) {
        auto buffer = std::make_unique<ImageBuffer>();
        buffer->nSize = size;
        buffer->pData.reset(new uint8_t[size]);
        bufferPool.push_back(std::move(buffer));
    }
}

void U3V_Stream::SetTransferSize(uint32_t size) { nTransferSize = size; }

void U3V_Stream::SetBufferCount(uint32_t count) { nBufferCount = count; }

}  // namespace tessoral
