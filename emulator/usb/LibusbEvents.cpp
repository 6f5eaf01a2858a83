// Event handling: the event lock, the waiters, time-outs of asynchronous transfers, and
// the completion callbacks, which run only here, on the thread that handles events.
#include <sys/time.h>

#include <algorithm>
#include <optional>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

constexpr std::chrono::seconds kDefaultEventWait{60};  // what libusb_handle_events waits

bool validTimeval(const timeval* tv) {
    return tv != nullptr && tv->tv_sec >= 0 && tv->tv_usec >= 0 && tv->tv_usec < 1000000;
}

Clock::duration toDuration(const timeval& tv) {
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// Reads whose time-out has passed end as TIMED_OUT.
void expireTimeouts(libusb_context* ctx, Clock::time_point now) {
    while (!ctx->deadlines.empty() && ctx->deadlines.begin()->first <= now) {
        TransferState* state = ctx->deadlines.begin()->second;
        state->spareDeadline = ctx->deadlines.extract(ctx->deadlines.begin());
        state->hasDeadline = false;
        if (state->phase == TransferState::Phase::InFlight && state->endpoint != nullptr &&
            state->endpoint->remove(&*state->read)) {
            completeTransfer(state, IoStatus::TimedOut, 0, {});
        }
    }
}

void acquireEventLock(libusb_context* ctx) {
    ctx->eventLockHeld = true;
    ctx->eventLockOwner = std::this_thread::get_id();
}

void releaseEventLock(libusb_context* ctx) {
    ctx->eventLockHeld = false;
    ctx->eventLockOwner = std::thread::id();
    ctx->eventLockCv.notify_all();
}

}  // namespace

namespace vcam::usb {

void notifyWaiters(libusb_context* ctx) {
    std::lock_guard<std::mutex> waiters(ctx->waitersMutex);
    ctx->waitersCv.notify_all();
}

int handleEventsRound(Lock& lock, libusb_context* ctx, Clock::time_point deadline,
                      int* completed) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        expireTimeouts(ctx, now);
        promoteDue(ctx, now);
        if (!ctx->ready.empty() || !ctx->hotplugEvents.empty() || ctx->interrupted) break;
        if ((completed != nullptr && *completed) || now >= deadline) return LIBUSB_SUCCESS;
        Clock::time_point wake = deadline;
        if (!ctx->deadlines.empty() && ctx->deadlines.begin()->first < wake) {
            wake = ctx->deadlines.begin()->first;
        }
        if (!ctx->deferred.empty() && ctx->deferred.front()->completesAt < wake) {
            wake = ctx->deferred.front()->completesAt;
        }
        ctx->eventCv.wait_until(lock, wake);
    }
    ctx->interrupted = false;
    // The context's spare list, so that a busy stream allocates nothing per round.
    std::vector<TransferState*> finished;
    finished.swap(ctx->spareFinished);
    finished.assign(ctx->ready.begin(), ctx->ready.end());
    ctx->ready.clear();
    World& world = World::raw();
    for (TransferState* state : finished) {
        state->transfer->status = transferStatus(state->status);
        state->transfer->actual_length = state->actual;
        state->phase = TransferState::Phase::Idle;
        world.releaseUsbfs(state->charged);  // reaped: its buffer is the program's again
        state->charged = 0;
    }
    std::optional<std::deque<HotplugEvent>> events;  // an empty deque would allocate
    if (!ctx->hotplugEvents.empty()) events.emplace().swap(ctx->hotplugEvents);

    lock.unlock();
    for (TransferState* state : finished) {
        libusb_transfer* transfer = state->transfer;
        const uint8_t flags = transfer->flags;  // the callback may free the transfer
        if (transfer->callback != nullptr) transfer->callback(transfer);
        if ((flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0) libusb_free_transfer(transfer);
    }
    if (events) deliverHotplug(ctx, std::move(*events));
    lock.lock();
    finished.clear();
    if (ctx->spareFinished.capacity() < finished.capacity()) ctx->spareFinished.swap(finished);
    return LIBUSB_SUCCESS;
}

}  // namespace vcam::usb

extern "C" {

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                                       int* completed) {
    if (!validTimeval(tv)) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_context* c = resolve(ctx);
    const Clock::time_point deadline = Clock::now() + toDuration(*tv);
    World& world = World::get();
    Lock lock(world.mutex());
    if (c->eventLockHeld && c->eventLockOwner == std::this_thread::get_id()) {
        return LIBUSB_ERROR_BUSY;  // called from a completion callback
    }
    // Another thread handles events: wait until it is done or our transfer completed.
    while (c->eventLockHeld) {
        if (completed != nullptr && *completed) return LIBUSB_SUCCESS;
        if (c->eventLockCv.wait_until(lock, deadline) == std::cv_status::timeout &&
            c->eventLockHeld) {
            return LIBUSB_SUCCESS;
        }
    }
    if (completed != nullptr && *completed) return LIBUSB_SUCCESS;
    acquireEventLock(c);
    const int result = handleEventsRound(lock, c, deadline, completed);
    releaseEventLock(c);
    lock.unlock();
    notifyWaiters(c);
    return result;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
    timeval tv{std::chrono::duration_cast<std::chrono::seconds>(kDefaultEventWait).count(), 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    timeval tv{std::chrono::duration_cast<std::chrono::seconds>(kDefaultEventWait).count(), 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

int LIBUSB_CALL libusb_handle_events_locked(libusb_context* ctx, struct timeval* tv) {
    if (!validTimeval(tv)) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_context* c = resolve(ctx);
    const Clock::time_point deadline = Clock::now() + toDuration(*tv);
    World& world = World::get();
    Lock lock(world.mutex());
    const int result = handleEventsRound(lock, c, deadline, nullptr);
    lock.unlock();
    notifyWaiters(c);
    return result;
}

int LIBUSB_CALL libusb_try_lock_events(libusb_context* ctx) {
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    if (c->eventLockHeld) return 1;
    acquireEventLock(c);
    return 0;
}

void LIBUSB_CALL libusb_lock_events(libusb_context* ctx) {
    libusb_context* c = resolve(ctx);
    Lock lock(World::get().mutex());
    c->eventLockCv.wait(lock, [c] { return !c->eventLockHeld; });
    acquireEventLock(c);
}

void LIBUSB_CALL libusb_unlock_events(libusb_context* ctx) {
    libusb_context* c = resolve(ctx);
    {
        std::lock_guard<std::mutex> lock(World::get().mutex());
        releaseEventLock(c);
    }
    notifyWaiters(c);
}

int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) {
    return 1;  // no handle is ever waiting to be closed under the event handler
}

int LIBUSB_CALL libusb_event_handler_active(libusb_context* ctx) {
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    return c->eventLockHeld ? 1 : 0;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    c->interrupted = true;
    c->eventCv.notify_all();
}

void LIBUSB_CALL libusb_lock_event_waiters(libusb_context* ctx) {
    resolve(ctx)->waitersMutex.lock();
}

void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context* ctx) {
    resolve(ctx)->waitersMutex.unlock();
}

int LIBUSB_CALL libusb_wait_for_event(libusb_context* ctx, struct timeval* tv) {
    libusb_context* c = resolve(ctx);
    // The caller holds the waiters lock; the wait gives it up and takes it back.
    std::unique_lock<std::mutex> waiters(c->waitersMutex, std::adopt_lock);
    int result = 0;
    if (tv == nullptr) {
        c->waitersCv.wait(waiters);
    } else if (!validTimeval(tv)) {
        result = LIBUSB_ERROR_INVALID_PARAM;
    } else if (c->waitersCv.wait_for(waiters, toDuration(*tv)) == std::cv_status::timeout) {
        result = 1;
    }
    waiters.release();
    return result;
}

int LIBUSB_CALL libusb_get_next_timeout(libusb_context* ctx, struct timeval* tv) {
    if (tv == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    if (c->deadlines.empty() && c->deferred.empty()) return 0;
    // A completion the bus holds back counts as something to wake up for.
    Clock::time_point next = Clock::time_point::max();
    if (!c->deadlines.empty()) next = c->deadlines.begin()->first;
    if (!c->deferred.empty()) next = std::min(next, c->deferred.front()->completesAt);
    Clock::duration left = next - Clock::now();
    if (left < Clock::duration::zero()) left = Clock::duration::zero();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 1;
}

// Events are signalled inside the emulation, not through file descriptors, so there are
// none to poll; libusb documents NULL for platforms without them.
const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) { return nullptr; }

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd**) {}

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb,
                                             libusb_pollfd_removed_cb, void*) {}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 0; }

}  // extern "C"
