// The event channel: a worker that reads event commands from the camera's event pipe and
// hands each one to the caller's callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "CThread.h"
#include "tessoral/tessoral.h"

namespace tessoral {

struct DeviceHandle;
struct U3V_Control;

class U3V_Event final : public CThread {
public:
    U3V_Event(DeviceHandle* device, U3V_Control* control);
    // Stops the worker first when one runs.
    ~U3V_Event();

    uint16_t OpenEventInterface(U3V_EventCallback callback, uint32_t timeout);
    uint16_t TestEvent();

    uint32_t nTimeout = 0;
    uint32_t nMaxEventTransferLength = 0;
    std::atomic<bool> bStopRequest{true};
    U3V_Control* pControl;
    DeviceHandle* pDevice;
    bool bEventOpen = false;
    U3V_EventCallback pfnCallback = nullptr;
    uint64_t nEirmAddress = 0;
    bool bOwnsInterface = false;  // holds the device's one event channel

protected:
    uint32_t Run() override;
};

}  // namespace tessoral
