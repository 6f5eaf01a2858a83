// The emulator's one timer thread: runs small tasks at given times, such as serving a read
// that waits for an image the camera has not taken yet. Created on first use, never
// destroyed (like the world). Tasks run on the timer's thread with no lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace vcam {

class WakeTimer {
public:
    using Time = std::chrono::steady_clock::time_point;
    static WakeTimer& get();
    void at(Time when, std::function<void()> task);

private:
    WakeTimer() = default;
    void run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::multimap<Time, std::function<void()>> tasks_;
    bool started_ = false;
};

}  // namespace vcam
