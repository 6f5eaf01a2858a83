#include "device/CallRecord.h"

#include <atomic>

namespace vcam {

namespace {
std::atomic<bool> recordOn{false};
}

bool callRecordOn() { return recordOn.load(std::memory_order_relaxed); }
void setCallRecordOn(bool on) { recordOn.store(on, std::memory_order_relaxed); }

void CallRecord::add(CallEntry&& entry) {
    if (!callRecordOn()) return;
    dataBytes_ += entry.data.size();
    entries_.push_back(std::move(entry));
    while (!entries_.empty() && (entries_.size() > kMaxEntries || dataBytes_ > kMaxDataBytes)) {
        dataBytes_ -= entries_.front().data.size();
        entries_.pop_front();
    }
}

std::vector<UsbCall> CallRecord::snapshot() const {
    std::vector<UsbCall> out;
    out.reserve(entries_.size());
    for (const CallEntry& e : entries_) {
        UsbCall call;
        call.function = e.function;
        call.device = e.device;
        call.endpoint = e.endpoint;
        call.interface = e.interface;
        call.length = e.length;
        call.timeoutMs = e.timeoutMs;
        call.data = e.data;
        call.result = e.result;
        call.transferred = e.transferred;
        out.push_back(std::move(call));
    }
    return out;
}

void CallRecord::clear() {
    entries_.clear();
    dataBytes_ = 0;
}

}  // namespace vcam
