#include "device/Endpoint.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "device/CallRecord.h"
#include "device/SourceCost.h"

namespace vcam {

TransferPart placeTransfer(size_t size, size_t sent, int room, bool wholePackets) {
    TransferPart part;
    const size_t rest = size - std::min(sent, size);
    const size_t space = static_cast<size_t>(std::max(room, 0));
    if (rest <= space) {
        part.copied = rest;
    } else if (wholePackets) {
        part.copied = space;
        part.transferDone = false;
    } else {
        part.copied = space;
        part.status = IoStatus::Overflow;
    }
    return part;
}

bool Endpoint::wholePackets(int room) const {
    return layout_.maxPacketSize != 0 && room % layout_.maxPacketSize == 0;
}

void Endpoint::submit(InRequest* request) {
    if (halted_) {
        request->finish(IoStatus::Stall, 0, {});
        return;
    }
    readers_.push_back(request);
    pump();
}

bool Endpoint::remove(InRequest* request) {
    auto it = std::find(readers_.begin(), readers_.end(), request);
    if (it == readers_.end()) return false;
    readers_.erase(it);
    return true;
}

void Endpoint::push(std::vector<uint8_t>&& transfer) {
    fifo_.push_back(std::move(transfer));
    pump();
}

void Endpoint::halt() {
    halted_ = true;
    failReads(IoStatus::Stall);
}

void Endpoint::clearHalt() {
    halted_ = false;
    pump();
}

void Endpoint::failReads(IoStatus status, const void* owner) {
    // Off the pipe first, so that the pipe is consistent whatever a finish does.
    std::deque<InRequest*> failing;
    for (auto it = readers_.begin(); it != readers_.end();) {
        if (owner == nullptr || (*it)->owner() == owner) {
            failing.push_back(*it);
            it = readers_.erase(it);
        } else {
            ++it;
        }
    }
    for (InRequest* request : failing) request->finish(status, 0, {});
}

void Endpoint::attachSource(InSource* source, std::function<void(SteadyTime)> wake,
                            std::function<void()> leave) {
    source_ = source;
    wake_ = std::move(wake);
    leave_ = std::move(leave);
}

void Endpoint::wakeUp() {
    wakePending_ = false;
    pump();
}

void Endpoint::pump() {
    while (!halted_ && !readers_.empty() && fifo_.empty() && source_ != nullptr) {
        InRequest* request = readers_.front();
        const int room = std::max(request->length(), 0);
        const bool timed = sourcecost::on();
        const uint64_t t0 = timed ? sourcecost::threadNs() : 0;
        const SourceStep step =
            source_->next(request->buffer(), room, wholePackets(room), std::chrono::steady_clock::now());
        if (timed && step.kind == SourceStep::Kind::Served) {
            sourcecost::add(sourcecost::threadNs() - t0, static_cast<uint64_t>(std::max(step.actual, 0)));
        }
        switch (step.kind) {
            case SourceStep::Kind::Served: {
                readers_.pop_front();
                std::vector<uint8_t> head;
                if (callRecordOn()) {  // lengths and the first bytes only: streams are large
                    const size_t n = std::min<size_t>(static_cast<size_t>(step.actual), kRecordedHead);
                    head.assign(request->buffer(), request->buffer() + n);
                }
                request->finish(step.status, step.actual, std::move(head));
                continue;
            }
            case SourceStep::Kind::Later:
                if (wake_ && (!wakePending_ || step.readyAt < wakeAt_)) {
                    wakePending_ = true;
                    wakeAt_ = step.readyAt;
                    wake_(step.readyAt);
                }
                return;
            case SourceStep::Kind::Nothing:
                return;
            case SourceStep::Kind::Stall:
                halt();
                return;
            case SourceStep::Kind::Unplug:
                if (leave_) leave_();  // ends every read of the device, this one included
                return;
        }
    }
    while (!halted_ && !readers_.empty() && !fifo_.empty()) {
        InRequest* request = readers_.front();
        readers_.pop_front();
        const std::vector<uint8_t>& transfer = fifo_.front();
        const int room = std::max(request->length(), 0);
        const TransferPart part = placeTransfer(transfer.size(), frontSent_, room, wholePackets(room));
        if (part.copied > 0) std::memcpy(request->buffer(), transfer.data() + frontSent_, part.copied);
        std::vector<uint8_t> moved(transfer.begin() + static_cast<std::ptrdiff_t>(frontSent_),
                                   transfer.begin() + static_cast<std::ptrdiff_t>(frontSent_ + part.copied));
        if (part.transferDone) {
            fifo_.pop_front();
            frontSent_ = 0;
        } else {
            frontSent_ += part.copied;
        }
        request->finish(part.status, static_cast<int>(part.copied), std::move(moved));
    }
    // Pushed transfers used up with reads still waiting: the source's turn.
    if (!halted_ && !readers_.empty() && fifo_.empty() && source_ != nullptr) pump();
}

}  // namespace vcam
