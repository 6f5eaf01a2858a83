// Opening the stream interface, SI_Control, acquisition start and stop, and destruction.
#include <cinttypes>
#include <cstring>

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
    if (bAcquisitionRunning) {
        uint64_t a = 0, b = 0;
        try {
            (void)StopAcquisition(a, b);
        } catch (...) {
            // The device could not be told; the worker is stopped below all the same.
        }
    }
    if (!bThreadEnded) StopWorker(bStopRequest);
    hImageReady.Reset();
    hStartRequest.Reset();
    readyQueue.clear();
    bufferPool.clear();
}

uint16_t U3V_Stream::OpenStreamInterface(uint32_t timeout) {
    if (pDevice->StreamInterface == 0) {
        DeviceLog(pDevice, U3V_LOG_INFO, "No stream interface available.");
        return U3V_ERR_NO_STREAM_INTERFACE;
    }
    if (usb::claimInterface(pDevice->UsbHandle, pDevice->StreamInterface) < 0) {
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
    // A start while a worker still runs restarts: stop that worker instead of waiting for
    // an end that nobody asked for.
    if (!bThreadEnded) StopWorker(bStopRequest);
    if (!bStreamOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface not open.");
        return U3V_ERR_STREAM_NOT_OPEN;
    }
    uint64_t payload = 0;
    if (uint16_t st = readLe(*pControl, nSirmAddress + stream::kSiRequiredPayloadSize, 8, payload);
        st != U3V_OK)
        return st;
    // Buffer sizes and the plan are 32-bit; a payload beyond that cannot be received.
    if (payload > UINT32_MAX || nTransferSize == 0) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "SI_RequiredPayloadSize: %" PRIu64 " not supported",
                  payload);
        return U3V_ERR_INVALID_HANDLE;
    }
    if (uint16_t st = SetStreamEnable(false); st != U3V_OK) return st;
    nRequiredPayloadSize = payload;

    const uint32_t size = static_cast<uint32_t>(payload);
    nPayloadTransferSize = nTransferSize;
    nPayloadTransferCount = size / nTransferSize;
    nPayloadFinalTransfer1Size = size % nTransferSize;
    nPayloadFinalTransfer2Size = 0;
    const uint64_t sirm = nSirmAddress;
    (void)writeLe32(*pControl, sirm + stream::kSiMaximumLeaderSize, stream::kMaximumLeaderSize);
    (void)writeLe32(*pControl, sirm + stream::kSiPayloadTransferSize, nPayloadTransferSize);
    (void)writeLe32(*pControl, sirm + stream::kSiPayloadTransferCount, nPayloadTransferCount);
    (void)writeLe32(*pControl, sirm + stream::kSiPayloadFinalTransfer1Size, nPayloadFinalTransfer1Size);
    (void)writeLe32(*pControl, sirm + stream::kSiPayloadFinalTransfer2Size, nPayloadFinalTransfer2Size);
    (void)writeLe32(*pControl, sirm + stream::kSiMaximumTrailerSize, stream::kMaximumTrailerSize);
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

    readyQueue.clear();
    bufferPool.clear();
    nPoolNext = 0;
    readyQueue.reset(nBufferCount);
    bufferPool.reserve(static_cast<size_t>(nBufferCount) + 1);
    for (uint64_t i = 0; i <= nBufferCount; ++i) {
        auto buffer = std::make_unique<ImageBuffer>();
        buffer->nSize = size;
        buffer->pData.reset(new uint8_t[size]);
        bufferPool.push_back(std::move(buffer));
    }

    hImageReady.Reset();
    hStartRequest.Reset();
    bStopRequest = false;
    bThreadEnded = false;
    Start();
    if (uint16_t st = SetStreamEnable(true); st != U3V_OK) return st;
    bAcquisitionRunning = true;
    hStartRequest.Set();
    return U3V_OK;
}

uint16_t U3V_Stream::StopAcquisition(uint64_t& valueA, uint64_t& valueB) {
    if (!bStreamOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Stream interface not open.");
        return U3V_ERR_STREAM_NOT_OPEN;
    }
    bStopRequest = true;
    if (!bThreadEnded) WaitWorkerEnded();
    if (uint16_t st = SetStreamEnable(false); st != U3V_OK) return st;
    bAcquisitionRunning = false;
    valueA = 0;
    valueB = 0;
    return U3V_OK;
}

uint16_t U3V_Stream::GetImage(uint8_t* destination, uint32_t timeout, U3V_ImageInfo* info) {
    if (bStopRequest) {
        if (bThreadEnded) readyQueue.clear();  // a stop discards what was waiting
        (void)hImageReady.Wait(timeout);
        return U3V_ERR_IMAGE_TIMEOUT;
    }
    ImageBuffer* image = readyQueue.front();
    if (image != nullptr) {
        hImageReady.Reset();
    } else {
        if (!hImageReady.Wait(timeout)) return U3V_ERR_IMAGE_TIMEOUT;
        hImageReady.Reset();
        image = readyQueue.front();
        if (image == nullptr) return U3V_ERR_NO_IMAGE;
    }
    // The image stays queued while it is copied, so the engine keeps off its buffer.
    std::memcpy(destination, image->pData.get(), image->nSize);
    if (info == nullptr) return U3V_ERR_NO_IMAGE;
    std::memcpy(info, &image->info, sizeof(U3V_ImageInfo));
    const uint32_t missing = image->info.MissingTransfers;
    const uint16_t status = image->nStatus;
    readyQueue.pop();
    if (missing != 0) {
        DeviceLog(pDevice, U3V_LOG_WARNING, "Missing data packets in the image.");
        return U3V_ERR_MISSING_PACKETS;
    }
    return status;
}

}  // namespace tessoral
