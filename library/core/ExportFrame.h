// The frame every exported function runs in: null-handle check first, then the body under
// a catch-all guard, so that no exception ever crosses the C boundary.
#pragma once

#include <cstdint>
#include <utility>

#include "tessoral/tessoral.h"

namespace tessoral {

template <class Body>
uint16_t guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return U3V_ERR_EXCEPTION;
    }
}

// Runs body(object) when handle is not null; the handle is the caller's opaque pointer.
template <class Object, class Body>
uint16_t guardedHandle(void* handle, Body&& body) noexcept {
    if (handle == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guarded([&] { return std::forward<Body>(body)(*static_cast<Object*>(handle)); });
}

}  // namespace tessoral
