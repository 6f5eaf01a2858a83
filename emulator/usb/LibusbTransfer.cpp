// Asynchronous transfers: allocation, submission, cancellation, and the hand-over of
// finished transfers to event handling.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

// The private state sits before the public transfer in one allocation, as in libusb.
constexpr size_t kStateSpace = (sizeof(TransferState) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

// Length of the data stage of a control transfer.
int requestedLength(const libusb_transfer* t) {
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        return t->length >= static_cast<int>(wire::kSetupSize)
                   ? t->length - static_cast<int>(wire::kSetupSize)
                   : 0;
    }
    return t->length;
}

void submitControl(TransferState* state, libusb_device_handle* h) {
    libusb_transfer* t = state->transfer;
    const uint8_t* b = t->buffer;
    const wire::Setup setup{b[0], b[1], wire::getU16(b, 2), wire::getU16(b, 4),
                            wire::getU16(b, 6)};
    std::vector<uint8_t> answer;
    const int room = requestedLength(t);
    if (!h->dev->device->answerControl(setup, answer)) {
        completeTransfer(state, IoStatus::Stall, 0, {});
        return;
    }
    if ((setup.requestType & LIBUSB_ENDPOINT_IN) == 0) {
        completeTransfer(state, IoStatus::Completed, room, {});
        return;
    }
    IoStatus status = IoStatus::Completed;
    if (answer.size() > static_cast<size_t>(room)) {
        answer.resize(static_cast<size_t>(room));
        status = IoStatus::Overflow;
    }
    if (!answer.empty()) std::memcpy(t->buffer + wire::kSetupSize, answer.data(), answer.size());
    const int actual = static_cast<int>(answer.size());
    completeTransfer(state, status, actual, std::move(answer));
}

}  // namespace

namespace vcam::usb {

TransferState* stateOf(libusb_transfer* transfer) {
    return std::launder(
        reinterpret_cast<TransferState*>(reinterpret_cast<char*>(transfer) - kStateSpace));
}

void AsyncRead::finish(IoStatus status, int actual, std::vector<uint8_t>&& data) {
    completeTransfer(state_, status, actual, std::move(data));
}

void completeTransfer(TransferState* state, IoStatus status, int actual,
                      std::vector<uint8_t>&& data) {
    libusb_transfer* t = state->transfer;
    libusb_context* ctx = state->ctx;
    if (state->hasDeadline) {
        state->spareDeadline = ctx->deadlines.extract(state->deadline);
        state->hasDeadline = false;
    }
    state->endpoint = nullptr;
    if (status == IoStatus::Completed && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) != 0 &&
        actual != requestedLength(t)) {
        status = IoStatus::Error;
    }
    state->status = status;
    state->actual = actual;
    state->phase = TransferState::Phase::Ready;
    if (vcam::callRecordOn()) {
        CallEntry entry;
        entry.function = "transfer_completion";
        entry.device = state->deviceId;
        entry.endpoint = t->endpoint;
        entry.length = t->length;
        entry.timeoutMs = t->timeout;
        entry.data = std::move(data);
        entry.result = static_cast<int>(transferStatus(status));
        entry.transferred = actual;
        World::raw().record(std::move(entry));
    }
    if (state->latency <= Clock::duration::zero()) {
        ctx->ready.push_back(state);
        ctx->eventCv.notify_all();
        return;
    }
    // The bus reports it later; the list stays sorted, and with one latency per device it
    // is appended to almost always.
    state->completesAt = Clock::now() + state->latency;
    state->deferred = true;
    auto& deferred = ctx->deferred;
    auto at = deferred.end();
    while (at != deferred.begin() && (*std::prev(at))->completesAt > state->completesAt) --at;
    const bool earliest = at == deferred.begin();
    deferred.insert(at, state);
    if (earliest) ctx->eventCv.notify_all();  // a handler waiting longer must wake for it
}

void promoteDue(libusb_context* ctx, Clock::time_point now) {
    auto& deferred = ctx->deferred;
    while (!deferred.empty() && deferred.front()->completesAt <= now) {
        deferred.front()->deferred = false;
        ctx->ready.push_back(deferred.front());
        deferred.pop_front();
    }
}

void forgetDeferred(TransferState* state) {
    if (!state->deferred) return;
    auto& deferred = state->ctx->deferred;
    deferred.erase(std::find(deferred.begin(), deferred.end(), state));
    state->deferred = false;
}

}  // namespace vcam::usb

extern "C" {

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    const size_t size = kStateSpace + sizeof(libusb_transfer) +
                        static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    void* block = ::operator new(size, std::nothrow);
    if (block == nullptr) return nullptr;
    std::memset(block, 0, size);
    auto* state = new (block) TransferState;
    auto* transfer = new (static_cast<char*>(block) + kStateSpace) libusb_transfer();
    transfer->num_iso_packets = iso_packets;
    state->transfer = transfer;
    return transfer;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr) return;
    TransferState* state = stateOf(transfer);
    if (state->phase != TransferState::Phase::Idle) {
        // Freeing an active transfer is not allowed; still, leave nothing dangling.
        std::lock_guard<std::mutex> lock(World::raw().mutex());
        if (state->endpoint != nullptr) state->endpoint->remove(&*state->read);
        if (state->hasDeadline) state->ctx->deadlines.erase(state->deadline);
        auto& ready = state->ctx->ready;
        for (auto it = ready.begin(); it != ready.end();) {
            it = *it == state ? ready.erase(it) : it + 1;
        }
        forgetDeferred(state);
        World::raw().releaseUsbfs(state->charged);
        state->charged = 0;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) std::free(transfer->buffer);
    state->~TransferState();
    ::operator delete(static_cast<void*>(state));
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr || transfer->dev_handle == nullptr || transfer->length < 0 ||
        (transfer->length > 0 && transfer->buffer == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    TransferState* state = stateOf(transfer);
    libusb_device_handle* h = transfer->dev_handle;
    World& world = World::get();
    Lock lock(world.mutex());
    CallEntry entry = entryFor("libusb_submit_transfer", h);
    entry.endpoint = transfer->endpoint;
    entry.length = transfer->length;
    entry.timeoutMs = transfer->timeout;
    auto refuse = [&](int result) {
        entry.result = result;
        world.record(std::move(entry));
        return result;
    };
    if (state->phase != TransferState::Phase::Idle) return refuse(LIBUSB_ERROR_BUSY);
    if (!h->dev->present()) return refuse(LIBUSB_ERROR_NO_DEVICE);
    state->ctx = h->dev->ctx;
    state->deviceId = entry.device;
    state->status = IoStatus::Completed;
    state->actual = 0;
    state->latency = Clock::duration::zero();
    // What the kernel would refuse to pin for it (the limit is checked before the rest, as
    // usbfs does when it copies the request in).
    auto charge = [&] {
        if (!world.chargeUsbfs(static_cast<uint64_t>(transfer->length))) return false;
        state->charged = static_cast<uint64_t>(transfer->length);
        return true;
    };

    switch (transfer->type) {
        case LIBUSB_TRANSFER_TYPE_CONTROL: {
            if (transfer->length < static_cast<int>(wire::kSetupSize)) {
                return refuse(LIBUSB_ERROR_INVALID_PARAM);
            }
            const uint8_t* b = transfer->buffer;
            if (wire::kSetupSize + wire::getU16(b, 6) > static_cast<size_t>(transfer->length)) {
                return refuse(LIBUSB_ERROR_INVALID_PARAM);
            }
            if ((b[0] & LIBUSB_ENDPOINT_IN) == 0) {
                entry.data.assign(b, b + transfer->length);
            }
            entry.endpoint = 0;
            if (!charge()) return refuse(LIBUSB_ERROR_NO_MEM);
            world.record(std::move(entry));
            state->phase = TransferState::Phase::InFlight;
            submitControl(state, h);
            return LIBUSB_SUCCESS;
        }
        case LIBUSB_TRANSFER_TYPE_BULK:
        case LIBUSB_TRANSFER_TYPE_INTERRUPT:
            break;
        default:
            return refuse(LIBUSB_ERROR_NOT_SUPPORTED);
    }

    Endpoint* ep = h->dev->device->endpoint(transfer->endpoint);
    if (ep == nullptr) return refuse(LIBUSB_ERROR_NOT_FOUND);
    if (!charge()) return refuse(LIBUSB_ERROR_NO_MEM);
    state->latency = h->dev->device->transferLatency();
    const bool in = (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (!in && transfer->length > 0 && vcam::callRecordOn()) {
        entry.data.assign(transfer->buffer, transfer->buffer + transfer->length);
    }
    entry.result = LIBUSB_SUCCESS;
    world.record(std::move(entry));
    state->phase = TransferState::Phase::InFlight;

    if (in) {
        if (transfer->timeout != 0) {
            auto& deadlines = state->ctx->deadlines;
            if (state->spareDeadline) {
                state->spareDeadline.key() = deadlineAfter(transfer->timeout);
                state->spareDeadline.mapped() = state;
                state->deadline = deadlines.insert(std::move(state->spareDeadline));
            } else {
                state->deadline = deadlines.emplace(deadlineAfter(transfer->timeout), state);
            }
            state->hasDeadline = true;
            // An event handler already waiting must wake up for the earlier time-out.
            if (state->deadline == deadlines.begin()) state->ctx->eventCv.notify_all();
        }
        state->read.emplace(state, transfer->buffer, transfer->length, h);
        state->endpoint = ep;
        ep->submit(&*state->read);  // may complete at once
        return LIBUSB_SUCCESS;
    }

    if (ep->halted()) {
        completeTransfer(state, IoStatus::Stall, 0, {});
        return LIBUSB_SUCCESS;
    }
    // Bytes the device took count as sent even if it leaves the bus right after.
    if (writeOut(lock, h, ep, transfer->buffer, transfer->length)) {
        completeTransfer(state, IoStatus::Completed, transfer->length, {});
    } else {
        completeTransfer(state, IoStatus::Stall, 0, {});
    }
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    TransferState* state = stateOf(transfer);
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    int result = LIBUSB_ERROR_NOT_FOUND;
    // Only a read still waiting on its pipe can be cancelled; anything else has finished
    // (or is finishing) on the bus already.
    if (state->phase == TransferState::Phase::InFlight && state->endpoint != nullptr &&
        state->endpoint->remove(&*state->read)) {
        completeTransfer(state, IoStatus::Cancelled, 0, {});
        result = LIBUSB_SUCCESS;
    }
    CallEntry entry;
    entry.function = "libusb_cancel_transfer";
    entry.device = state->deviceId;
    entry.endpoint = transfer->endpoint;
    entry.result = result;
    world.record(std::move(entry));
    return result;
}

void LIBUSB_CALL libusb_transfer_set_stream_id(struct libusb_transfer* transfer,
                                               uint32_t stream_id) {
    if (transfer != nullptr) stateOf(transfer)->streamId = stream_id;
}

uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(struct libusb_transfer* transfer) {
    return transfer ? stateOf(transfer)->streamId : 0;
}

}  // extern "C"
