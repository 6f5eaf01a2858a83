// A manual-reset event: once set it stays set, waking every waiter, until reset. An
// interrupt wakes the waiters present without setting it: a stop or a close uses it to
// end the waits of other threads at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessoral {

class ManualResetEvent {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFF;
    enum class Woken { Set, TimedOut, Interrupted };

    void Set();
    void Reset();
    // True when the event is (or becomes) set within timeoutMs; kInfinite waits without limit.
    bool Wait(uint32_t timeoutMs);
    // As Wait, but also ends, with Interrupted, once Interrupts() has passed `since`: a
    // waiter reads Interrupts() before it looks at what it waits for, so no interrupt
    // between the two is missed.
    Woken Wait(uint32_t timeoutMs, uint64_t since);
    uint64_t Interrupts();
    void Interrupt();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
    uint64_t interrupts_ = 0;
};

}  // namespace tessoral
