// The exported event functions.
#include "DeviceHandle.h"
#include "ExportFrame.h"
#include "U3V_Control.h"
#include "U3V_Event.h"

using tessoral::guarded;
using tessoral::guardedHandle;
using tessoral::U3V_Event;

uint16_t U3V_OpenEvent(void* device, void* control, void** event, U3V_EventCallback callback,
                       uint32_t timeout) {
    if (device == nullptr || control == nullptr || event == nullptr) return U3V_ERR_INVALID_HANDLE;
    *event = nullptr;
    return guarded([&] {
        auto* e = new U3V_Event(static_cast<tessoral::DeviceHandle*>(device),
                                static_cast<tessoral::U3V_Control*>(control));
        uint16_t st = U3V_ERR_EXCEPTION;
        try {
            st = e->OpenEventInterface(callback, timeout);
        } catch (...) {
            delete e;
            throw;
        }
        if (st != U3V_OK) {
            delete e;
            return st;
        }
        *event = e;
        return st;
    });
}

uint16_t U3V_CloseEvent(void* event) {
    return guardedHandle<U3V_Event>(event, [](U3V_Event& e) -> uint16_t {
        // The close would wait for the worker, which is this very thread: the channel stays
        // open and can be closed from another thread.
        if (e.OnWorkerThread()) return U3V_ERR_CALLED_FROM_CALLBACK;
        delete &e;
        return U3V_OK;
    });
}

// C++ linkage on purpose: this one export carries its C++ name.
uint16_t U3V_TestEvent(void* event) {
    return guardedHandle<U3V_Event>(event, [](U3V_Event& e) { return e.TestEvent(); });
}
