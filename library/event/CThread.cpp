#include "CThread.h"

#include <pthread.h>
#include <sched.h>

namespace tessoral {

void ManualResetEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs == kInfinite) {
        cv_.wait(lock, [this] { return set_; });
        return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

ManualResetEvent::Woken ManualResetEvent::Wait(uint32_t timeoutMs, uint64_t since) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [&] { return set_ || interrupts_ != since; };
    if (timeoutMs == kInfinite) {
        cv_.wait(lock, done);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
        return Woken::TimedOut;
    }
    return interrupts_ != since ? Woken::Interrupted : Woken::Set;
}

uint64_t ManualResetEvent::Interrupts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupts_;
}

void ManualResetEvent::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++interrupts_;
    }
    cv_.notify_all();
}

void CThread::Start() {
    if (hThread != nullptr && hThread->joinable()) hThread->join();  // ended already
    hThread.reset();
    if (hThreadEnded == nullptr) {
        hThreadEnded = std::make_unique<ManualResetEvent>();
    } else {
        hThreadEnded->Reset();
    }
    hThread = std::make_unique<std::thread>(&CThread::ThreadEntry, this);
}

CThread::~CThread() {
    if (hThread != nullptr && hThread->joinable()) hThread->join();
}

void CThread::StopWorker(std::atomic<bool>& stop) {
    stop = true;
    WaitWorkerEnded();
}

bool CThread::OnWorkerThread() const {
    return workerId_.load() == std::this_thread::get_id();
}

void CThread::WaitWorkerEnded() {
    if (hThreadEnded != nullptr) hThreadEnded->Wait(ManualResetEvent::kInfinite);
}

void CThread::ThreadEntry(CThread* self) {
    // The workers move images and events as they arrive: ask for the highest real-time
    // priority this process may use, and carry on at normal priority when refused.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    self->workerId_.store(std::this_thread::get_id());
    (void)self->Run();
    // The base outlives this line (its destructor joins), and an id of an ended thread
    // may be handed to a new one.
    self->workerId_.store(std::thread::id{});
}

}  // namespace tessoral
