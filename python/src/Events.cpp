#include "Events.h"

#include <array>
#include <atomic>

#include "Status.h"

namespace py = pybind11;

namespace pytessoral {

namespace {

constexpr uint64_t kSbrmPointer = 0x01D8;     // ABRM: address of the SBRM
constexpr uint64_t kSbrmEirmAddress = 0x2C;   // SBRM: address of the EIRM
constexpr uint64_t kEiControl = 0x00;         // EIRM: bit 0 enables events

// The library's event callback carries no context, so each open channel takes one of a
// fixed set of entry points, each bound to its own slot.
constexpr int kSlots = 16;
std::array<std::atomic<Events*>, kSlots> slots{};

template <int I>
void trampoline(uint16_t id, uint64_t timestamp, uint32_t length, uint64_t data) {
    // The slot is cleared only after the worker has ended, so it cannot vanish mid-call.
    if (Events* e = slots[I].load()) e->deliver({id, timestamp, length, data});
}

template <int... I>
constexpr std::array<U3V_EventCallback, sizeof...(I)> makeTrampolines(std::integer_sequence<int, I...>) {
    return {&trampoline<I>...};
}
constexpr auto kTrampolines = makeTrampolines(std::make_integer_sequence<int, kSlots>{});

int takeSlot(Events* e) {
    for (int i = 0; i < kSlots; ++i) {
        Events* expected = nullptr;
        if (slots[i].compare_exchange_strong(expected, e)) return i;
    }
    throw StatusError(U3V_ERR_EVENT_CLAIM_FAILED,
                      "at most " + std::to_string(kSlots) + " event channels can be open at once");
}

thread_local bool tInCallback = false;

}  // namespace

bool inEventCallback() { return tInCallback; }

Events::Events(std::shared_ptr<Camera> camera, py::object callback, uint32_t timeoutMs)
    : camera_(std::move(camera)), callback_(std::move(callback)) {
    camera_->attachEvents(this);
    try {
        slot_ = takeSlot(this);
        void* handle = nullptr;
        const uint16_t status = camera_->withControl([&](void* control) {
            return U3V_OpenEvent(camera_->deviceHandle(), control, &handle, kTrampolines[slot_], timeoutMs);
        });
        if (status != U3V_OK) {
            if (handle != nullptr) U3V_CloseEvent(handle);
            throw StatusError(status, "cannot open the camera's event channel");
        }
        {
            std::lock_guard lock(m_);
            handle_ = handle;
        }
        eirm_ = camera_->withControl([](void* control) {
            const uint64_t sbrm = readLe(control, kSbrmPointer, 8);
            return readLe(control, sbrm + kSbrmEirmAddress, 8);
        });
        setEnable(true);
    } catch (...) {
        close();
        if (slot_ >= 0) slots[slot_] = nullptr;
        camera_->detach(this);
        throw;
    }
}

Events::~Events() {
    // Dropped by Python with the GIL held: the worker may be waiting for it in a callback,
    // and the close waits for the worker.
    if (PyGILState_Check()) {
        py::gil_scoped_release release;
        close();
    } else {
        close();
    }
    if (slot_ >= 0) slots[slot_] = nullptr;
    camera_->detach(this);
    // The callback is a Python object: drop it with the GIL held.
    if (callback_ && !PyGILState_Check()) {
        py::gil_scoped_acquire gil;
        callback_ = py::object();
    }
}

void Events::setEnable(bool on) {
    const uint8_t value[4] = {static_cast<uint8_t>(on ? 1 : 0), 0, 0, 0};
    camera_->withControl([&](void* control) { writeMemory(control, eirm_ + kEiControl, value, sizeof value); });
}

void Events::requireOpen() const {
    if (handle_ == nullptr) throw StatusError(U3V_ERR_EVENT_NOT_OPEN, "the event channel is closed");
}

bool Events::isOpen() const {
    std::lock_guard lock(m_);
    return handle_ != nullptr;
}

void Events::test() {
    std::lock_guard life(lifecycle_);
    void* handle;
    {
        std::lock_guard lock(m_);
        requireOpen();
        handle = handle_;
    }
    check(U3V_TestEvent(handle), "cannot ask the camera for a test event");
}

std::optional<EventMessage> Events::next(uint32_t sliceMs) {
    std::unique_lock lock(m_);
    if (callback_) throw StatusError(U3V_ERR_INVALID_HANDLE, "events go to the callback, not to an iterator");
    if (queue_.empty()) {
        requireOpen();
        arrived_.wait_for(lock, std::chrono::milliseconds(sliceMs), [&] { return !queue_.empty() || handle_ == nullptr; });
    }
    if (queue_.empty()) {
        requireOpen();
        return std::nullopt;
    }
    EventMessage e = queue_.front();
    queue_.pop_front();
    return e;
}

uint64_t Events::dropped() const {
    std::lock_guard lock(m_);
    return dropped_;
}

void Events::deliver(const EventMessage& message) {
    if (callback_) {
        // The interpreter may be on its way out; taking the GIL then would never return.
        if (_Py_IsFinalizing()) return;
        py::gil_scoped_acquire gil;
        tInCallback = true;
        struct Reset {
            ~Reset() { tInCallback = false; }
        } reset;
        try {
            callback_(message.id, message.timestamp, message.length, message.data);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("tessoral event callback");
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            PyErr_WriteUnraisable(callback_.ptr());
        }
        return;
    }
    std::lock_guard lock(m_);
    if (queue_.size() >= kQueueLimit) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(message);
    arrived_.notify_all();
}

void Events::release() noexcept {
    close();
    camera_->detach(this);
}

void Events::close() noexcept {
    // The callback's own thread: U3V_CloseEvent would wait for itself. Callers refuse it
    // before they get here; a destructor running there leaves the close to the owner.
    if (tInCallback) return;
    std::lock_guard life(lifecycle_);
    void* handle;
    {
        std::lock_guard lock(m_);
        handle = handle_;
    }
    if (handle == nullptr) return;
    try {
        setEnable(false);
    } catch (...) {
        // A camera gone or refusing: the channel closes all the same.
    }
    U3V_CloseEvent(handle);
    std::lock_guard lock(m_);
    handle_ = nullptr;
    arrived_.notify_all();
}

}  // namespace pytessoral
