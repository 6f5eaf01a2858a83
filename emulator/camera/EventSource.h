// The camera's event side: event commands waiting for the host's reads on the event pipe,
// written straight into the buffer of the read that takes them. Thread-safe; its lock is
// one of the innermost of the emulator.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "device/Endpoint.h"
#include "vcam/vcam.h"

namespace vcam {

class EventSource final : public InSource {
public:
    static constexpr size_t kMaxWaiting = 64;  // unread events kept; older ones go

    void setEnabled(bool on);
    // The test event (id 0x4FFF) with the given device timestamp, if events are enabled.
    void sendTestEvent(uint64_t timestampNs);
    void reset();  // power loss: disabled, nothing waiting

    void addFault(const EventFault& fault);
    void clearFaults();

    SourceStep next(uint8_t* buffer, int room, bool wholePackets, SteadyTime now) override;

private:
    struct FaultEntry {
        EventFault fault;
        int seen = 0;
        int applied = 0;
    };
    const EventFault* pickFault();

    std::mutex mutex_;
    bool enabled_ = false;
    uint16_t requestId_ = 0;
    uint64_t testEvents_ = 0;
    std::deque<std::vector<uint8_t>> waiting_;
    size_t frontSent_ = 0;  // bytes of waiting_.front() already read
    std::vector<FaultEntry> faults_;
};

}  // namespace vcam
