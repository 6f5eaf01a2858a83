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

void CThread::WaitWorkerEnded() {
    if (hThreadEnded != nullptr) hThreadEnded->Wait(ManualResetEvent::kInfinite);
}

void CThread::ThreadEntry(CThread* self) {
    // The workers move images and events as they arrive: ask for the highest real-time
    // priority this process may use, and carry on at normal priority when refused.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    (void)self->Run();
}

}  // namespace tessoral
