#include "camera/EventSource.h"

#include <algorithm>
#include <cstring>

#include "camera/StreamPackets.h"

namespace vcam {

void EventSource::setEnabled(bool on) {
    std::lock_guard lock(mutex_);
    enabled_ = on;
}

void EventSource::reset() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
    waiting_.clear();
    frontSent_ = 0;
}

void EventSource::addFault(const EventFault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(FaultEntry{fault});
}

void EventSource::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

const EventFault* EventSource::pickFault() {
    const EventFault* chosen = nullptr;
    for (FaultEntry& f : faults_) {
        ++f.seen;
        if (f.seen <= f.fault.skip || (f.fault.count >= 0 && f.applied >= f.fault.count)) continue;
        ++f.applied;
        if (!chosen) chosen = &f.fault;
    }
    return chosen;
}

void EventSource::sendTestEvent(uint64_t timestampNs) {
    using namespace u3v;
    std::lock_guard lock(mutex_);
    if (!enabled_) return;
    const EventFault* fault = pickFault();
    const EventFaultKind kind = fault ? fault->kind : EventFaultKind::Short;
    const bool noData = fault && kind == EventFaultKind::NoData;
    const size_t dataSize = noData ? 0 : 8;

    std::vector<uint8_t> event(kEventFixedSize + dataSize);
    putLe32(event.data(), fault && kind == EventFaultKind::WrongPrefix ? 0x58563355 /* "U3VX" */ : kEventPrefix);
    putLe16(event.data() + 4, 0);  // flags: events are never acknowledged
    putLe16(event.data() + 6, fault && kind == EventFaultKind::WrongCommand ? kEventCommand + 0x10 : kEventCommand);
    putLe16(event.data() + 8, static_cast<uint16_t>(kEventSpecificFixedSize + dataSize));
    putLe16(event.data() + 10, requestId_++);
    putLe16(event.data() + 14, kTestEventId);
    putLe64(event.data() + 16, timestampNs);
    if (!noData) putLe64(event.data() + 24, testEvents_);
    ++testEvents_;
    if (fault && kind == EventFaultKind::Short) event.pop_back();

    if (waiting_.size() == kMaxWaiting) {
        waiting_.pop_front();
        frontSent_ = 0;
    }
    waiting_.push_back(std::move(event));
}

SourceStep EventSource::next(uint8_t* buffer, int room, bool wholePackets, SteadyTime) {
    std::lock_guard lock(mutex_);
    SourceStep step;
    if (waiting_.empty()) return step;
    const std::vector<uint8_t>& event = waiting_.front();
    const TransferPart part = placeTransfer(event.size(), frontSent_, room, wholePackets);
    if (part.copied > 0) std::memcpy(buffer, event.data() + frontSent_, part.copied);
    step.kind = SourceStep::Kind::Served;
    step.status = part.status;
    step.actual = static_cast<int>(part.copied);
    if (part.transferDone) {
        waiting_.pop_front();
        frontSent_ = 0;
    } else {
        frontSent_ += part.copied;
    }
    return step;
}

}  // namespace vcam
