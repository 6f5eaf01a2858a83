#include "U3V_Event.h"

#include <libusb.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "BootstrapRegisters.h"
#include "DeviceHandle.h"
#include "DeviceLog.h"
#include "EventPackets.h"
#include "U3V_Control.h"
#include "UsbLayer.h"

namespace tessoral {

U3V_Event::U3V_Event(DeviceHandle* device, U3V_Control* control)
    : pControl(control), pDevice(device) {}

U3V_Event::~U3V_Event() {
    if (!bStopRequest) StopWorker(bStopRequest);
    if (bOwnsInterface) pDevice->bEventTaken = false;
}

uint16_t U3V_Event::OpenEventInterface(U3V_EventCallback callback, uint32_t timeout) {
    if (pDevice->EventInterface == 0) {
        DeviceLog(pDevice, U3V_LOG_INFO, "No event interface available.");
        return U3V_ERR_NO_EVENT_INTERFACE;
    }
    const uint64_t sbrm = pControl->nSbrmAddress;
    uint8_t reg[8] = {};
    if (uint16_t st = ReadMem(*pControl, sbrm + sbrm::kU3vcpCapability, 8, reg); st != U3V_OK)
        return st;
    if ((getLe64(reg) & event::kEirmAvailable) == 0) {
        DeviceLog(pDevice, U3V_LOG_INFO,
                  "Event interface is available but EIRM_AVAILABLE has not been set (not supported).");
        return U3V_ERR_EIRM_NOT_AVAILABLE;
    }
    if (pDevice->bEventTaken.exchange(true)) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Event interface already open on this device.");
        return U3V_ERR_EVENT_CLAIM_FAILED;
    }
    bOwnsInterface = true;
    if (const int r = usb::claimInterface(pDevice->UsbHandle, pDevice->EventInterface); r < 0) {
        if (noteGone(*pDevice, r)) return U3V_ERR_DEVICE_GONE;
        DeviceLog(pDevice, U3V_LOG_ERROR, "Can't open/claiming event interface.");
        return U3V_ERR_EVENT_CLAIM_FAILED;
    }
    nTimeout = timeout;
    if (uint16_t st = ReadMem(*pControl, sbrm + sbrm::kEirmAddress, 8, reg); st != U3V_OK) return st;
    nEirmAddress = getLe64(reg);
    if (uint16_t st = ReadMem(*pControl, sbrm + sbrm::kEirmLength, 4, reg); st != U3V_OK) return st;
    if (uint16_t st = ReadMem(*pControl, nEirmAddress + event::kMaxEventTransferLength, 4, reg);
        st != U3V_OK)
        return st;
    nMaxEventTransferLength = getLe32(reg);
    pfnCallback = callback;
    bStopRequest = false;
    Start();
    bEventOpen = true;
    return U3V_OK;
}

uint16_t U3V_Event::TestEvent() {
    if (pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (!bEventOpen) {
        DeviceLog(pDevice, U3V_LOG_ERROR, "Event interface not open.");
        return U3V_ERR_EVENT_NOT_OPEN;
    }
    uint8_t one[4];
    putLe32(one, 1);
    return WriteMem(*pControl, nEirmAddress + event::kEventTestControl, 4, one);
}

uint32_t U3V_Event::Run() {
    // However small (even 0) or large the camera's maximum, every read gets room for the
    // fixed fields and never asks for an unreasonable allocation.
    const uint32_t size = std::clamp(nMaxEventTransferLength, event::kMinBuffer, event::kMaxBuffer);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    while (buffer != nullptr && !bStopRequest) {
        const int r = usb::bulkRead(pDevice->UsbHandle, pDevice->EventInEndpoint, buffer.get(),
                                    static_cast<int>(size), nTimeout);
        event::Message m;
        if (r > 0 && event::decode(buffer.get(), static_cast<size_t>(r), m)) {
            if (pfnCallback != nullptr) pfnCallback(m.eventId, m.timestamp, m.dataLength, m.data);
            continue;
        }
        if (noteGone(*pDevice, r)) break;  // unplugged: nothing will come any more
        if (r == LIBUSB_ERROR_PIPE) usb::clearHalt(pDevice->UsbHandle, pDevice->EventInEndpoint);
        // A pipe that fails at once must not turn this worker into a busy loop.
        if (r < 0 && r != LIBUSB_ERROR_TIMEOUT && r != LIBUSB_ERROR_OVERFLOW)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    buffer.reset();
    // Never on standard output: that belongs to the program.
    DebugTrace("end thread");
    DeviceLog(pDevice, U3V_LOG_INFO, "end thread");
    hThreadEnded->Set();
    return 0;
}

}  // namespace tessoral
