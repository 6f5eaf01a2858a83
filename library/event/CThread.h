// Base of the two channel workers (event and stream): one thread running the derived
// object's Run, and the event that marks the end of the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "ManualResetEvent.h"

namespace tessoral {

class CThread {
public:
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts a worker running Run(). The previous worker, if any, must have ended.
    void Start();
    // True on the thread of the last worker started (its callbacks run there).
    bool OnWorkerThread() const;

protected:
    CThread() = default;
    // Joins the last worker; the derived class has run the stop handshake before.
    ~CThread();

    virtual uint32_t Run() = 0;

    // Stop handshake: sets stop, then waits without limit for the worker's end. The wait
    // cannot fail (a condition variable, not a kernel handle), so there is no forced
    // termination path.
    void StopWorker(std::atomic<bool>& stop);
    // Waits for the end of a worker that was told to stop.
    void WaitWorkerEnded();

    std::unique_ptr<std::thread> hThread;
    std::unique_ptr<ManualResetEvent> hThreadEnded;

private:
    static void ThreadEntry(CThread* self);
    std::atomic<std::thread::id> workerId_{};
};

}  // namespace tessoral
