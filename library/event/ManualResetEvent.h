// A manual-reset event: once set it stays set, waking every waiter, until reset.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessoral {

class ManualResetEvent {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFF;

    void Set();
    void Reset();
    // True when the event is (or becomes) set within timeoutMs; kInfinite waits without limit.
    bool Wait(uint32_t timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace tessoral
