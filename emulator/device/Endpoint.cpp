#include "device/Endpoint.h"

#include <algorithm>
#include <cstring>

namespace vcam {

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

void Endpoint::pump() {
    while (!halted_ && !readers_.empty() && !fifo_.empty()) {
        InRequest* request = readers_.front();
        readers_.pop_front();
        std::vector<uint8_t> transfer = std::move(fifo_.front());
        fifo_.pop_front();
        const size_t room = static_cast<size_t>(std::max(request->length(), 0));
        IoStatus status = IoStatus::Completed;
        if (transfer.size() > room) {
            // Babble: the read gets what fits, the rest of the transfer is lost.
            transfer.resize(room);
            status = IoStatus::Overflow;
        }
        if (!transfer.empty()) std::memcpy(request->buffer(), transfer.data(), transfer.size());
        const int actual = static_cast<int>(transfer.size());
        request->finish(status, actual, std::move(transfer));
    }
}

}  // namespace vcam
