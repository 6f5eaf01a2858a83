#include "device/WakeTimer.h"

namespace vcam {

WakeTimer& WakeTimer::get() {
    static WakeTimer* timer = new WakeTimer;  // never destroyed: its thread may still wait
    return *timer;
}

void WakeTimer::at(Time when, std::function<void()> task) {
    std::lock_guard lock(mutex_);
    const bool earliest = tasks_.empty() || when < tasks_.begin()->first;
    tasks_.emplace(when, std::move(task));
    if (!started_) {
        started_ = true;
        std::thread([this] { run(); }).detach();
    } else if (earliest) {
        cv_.notify_one();
    }
}

void WakeTimer::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (tasks_.empty()) {
            cv_.wait(lock);
            continue;
        }
        const Time when = tasks_.begin()->first;
        if (std::chrono::steady_clock::now() < when) {
            cv_.wait_until(lock, when);
            continue;
        }
        std::function<void()> task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        lock.unlock();
        task();
        lock.lock();
    }
}

}  // namespace vcam
