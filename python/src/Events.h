// The camera's event channel: messages handed to a Python callback on the library's
// worker thread (the GIL taken only around the call), or queued for an iterator.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include <pybind11/pybind11.h>

#include "Camera.h"

namespace pytessoral {

// True on a thread while it runs an event callback: closing from there would wait for
// the thread itself.
bool inEventCallback();

struct EventMessage {
    uint16_t id;
    uint64_t timestamp;
    uint32_t length;
    uint64_t data;
};

class Events : public Channel {
public:
    // Events kept for the iterator; older ones are dropped (and counted) beyond this.
    static constexpr size_t kQueueLimit = 4096;

    // Opens the channel and enables the camera's events. A callback (may be none) is
    // called with (id, timestamp, length, data) for each event. `timeoutMs` bounds each
    // read of the event pipe, and so how long a close takes.
    Events(std::shared_ptr<Camera> camera, pybind11::object callback, uint32_t timeoutMs);
    ~Events() override;
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;

    // Asks the camera for a test event.
    void test();
    // Waits up to sliceMs for a queued event (only without a callback).
    std::optional<EventMessage> next(uint32_t sliceMs);
    uint64_t dropped() const;
    bool isOpen() const;

    void close() noexcept override;
    // Closes and gives the camera's slot back, so that another can be opened.
    void release() noexcept;

    // Called by the library's worker through a trampoline.
    void deliver(const EventMessage& message);

private:
    void requireOpen() const;
    void setEnable(bool on);

    std::shared_ptr<Camera> camera_;
    pybind11::object callback_;
    int slot_ = -1;
    // Held for a whole close or test event, so that neither meets a handle half closed.
    std::mutex lifecycle_;
    // Guards the handle and the queue.
    mutable std::mutex m_;
    std::condition_variable arrived_;
    std::deque<EventMessage> queue_;
    uint64_t dropped_ = 0;
    void* handle_ = nullptr;
    uint64_t eirm_ = 0;
};

}  // namespace pytessoral
