// The exported stream functions.
#include "DeviceHandle.h"
#include "ExportFrame.h"
#include "U3V_Control.h"
#include "U3V_Stream.h"

using tessoral::guarded;
using tessoral::guardedHandle;
using tessoral::U3V_Stream;

uint16_t U3V_OpenStream(void* device, void* control, void** stream, uint32_t timeout) {
    if (device == nullptr || control == nullptr || stream == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guarded([&] {
        auto* s = new U3V_Stream(static_cast<tessoral::DeviceHandle*>(device),
                                 static_cast<tessoral::U3V_Control*>(control));
        *stream = s;  // before opening: the caller owns the handle whatever follows
        return s->OpenStreamInterface(timeout);
    });
}

uint16_t U3V_CloseStream(void* stream) {
    return guardedHandle<U3V_Stream>(stream, [](U3V_Stream& s) -> uint16_t {
        s.Close();
        delete &s;
        return U3V_OK;
    });
}

uint16_t U3V_AcquisitionStart(void* stream, uint32_t value) {
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) { return s.StartAcquisition(value); });
}

uint16_t U3V_AcquisitionStop(void* stream, uint64_t* valueA, uint64_t* valueB) {
    if (valueA == nullptr || valueB == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream,
                                     [&](U3V_Stream& s) { return s.StopAcquisition(*valueA, *valueB); });
}

uint16_t U3V_GetImage(void* stream, void* buffer, uint32_t timeout, U3V_ImageInfo* info) {
    if (buffer == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) {
        return s.GetImage(static_cast<uint8_t*>(buffer), timeout, info);
    });
}

uint16_t U3V_LockImage(void* stream, void** data, uint32_t* size, uint32_t timeout,
                       U3V_ImageInfo* info) {
    if (data == nullptr || size == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) {
        uint8_t* locked = nullptr;
        uint32_t bytes = 0;
        const uint16_t st = s.LockImage(locked, bytes, timeout, info);
        if (locked != nullptr) {
            *data = locked;
            *size = bytes;
        }
        return st;
    });
}

uint16_t U3V_UnlockImage(void* stream, const void* data) {
    if (data == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) {
        return s.UnlockImage(static_cast<const uint8_t*>(data));
    });
}

uint16_t U3V_GetTransferSize(void* stream, uint32_t* size) {
    if (size == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        *size = s.nTransferSize;
        return U3V_OK;
    });
}

uint16_t U3V_SetTransferSize(void* stream, uint32_t size) {
    // 0 would leave no transfer plan at all; anything larger than libusb can take in one
    // transfer could never be read.
    if (size == 0 || size > 0x7FFFFFFFu) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        s.SetTransferSize(size);
        return U3V_OK;
    });
}

uint16_t U3V_GetBufferCount(void* stream, uint32_t* count) {
    if (count == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        *count = s.nBufferCount;
        return U3V_OK;
    });
}

uint16_t U3V_SetBufferCount(void* stream, uint32_t count) {
    if (count > U3V_Stream::kMaxBufferCount) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        s.SetBufferCount(count);
        return U3V_OK;
    });
}

uint16_t U3V_GetStreamMemoryLimit(void* stream, uint32_t* bytes) {
    if (bytes == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        *bytes = s.nSubmitLimit;
        return U3V_OK;
    });
}

uint16_t U3V_SetStreamMemoryLimit(void* stream, uint32_t bytes) {
    if (bytes == 0) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Stream>(stream, [&](U3V_Stream& s) -> uint16_t {
        if (s.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        s.nSubmitLimit = bytes;
        return U3V_OK;
    });
}
