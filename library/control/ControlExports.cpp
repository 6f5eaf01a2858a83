// The exported control functions: thin frames around U3V_Control.
#include "ExportFrame.h"
#include "U3V_Control.h"
#include "UsbLayer.h"

using tessoral::DeviceHandle;
using tessoral::guarded;
using tessoral::guardedHandle;
using tessoral::U3V_Control;

uint16_t U3V_OpenControl(void* device, void** control) {
    if (device == nullptr || control == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guarded([&] {
        auto* c = new U3V_Control(static_cast<DeviceHandle*>(device));
        *control = c;  // before opening: the caller owns the handle whatever follows
        return tessoral::OpenControlInterface(*c);
    });
}

uint16_t U3V_CloseControl(void* control) {
    return guardedHandle<U3V_Control>(control, [](U3V_Control& c) -> uint16_t {
        const DeviceHandle& d = *c.pDevice;
        // Interface number 0 stands for "none" for event and stream; the control interface
        // (usually number 0) is released exactly when this channel claimed it.
        if (d.StreamInterface != 0) tessoral::usb::releaseInterface(d.UsbHandle, d.StreamInterface);
        if (d.EventInterface != 0) tessoral::usb::releaseInterface(d.UsbHandle, d.EventInterface);
        if (c.bControlOpen) tessoral::usb::releaseInterface(d.UsbHandle, d.ControlInterface);
        delete &c;
        return U3V_OK;
    });
}

uint16_t U3V_ReadMem(void* control, uint64_t address, uint16_t length, void* buffer) {
    if (buffer == nullptr && length > 0) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Control>(control, [&](U3V_Control& c) {
        return tessoral::ReadMem(c, address, length, static_cast<uint8_t*>(buffer));
    });
}

uint16_t U3V_WriteMem(void* control, uint64_t address, uint16_t length, const void* buffer) {
    if (buffer == nullptr && length > 0) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Control>(control, [&](U3V_Control& c) {
        return tessoral::WriteMem(c, address, length, static_cast<const uint8_t*>(buffer));
    });
}

uint16_t U3V_MaximumDeviceResponseTime(void* control, uint32_t* timeout) {
    if (timeout == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Control>(control, [&](U3V_Control& c) -> uint16_t {
        if (c.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
        *timeout = c.nTimeout;
        return U3V_OK;
    });
}
