// The camera's stream side: the images it takes and how it sends each one on the stream
// pipe (leader, payload transfers of the programmed plan, trailer), written straight into
// the buffer of the host's waiting read. The device-side buffer is a ring of the images
// taken and not yet sent (block id and capture time only: the payload is the test
// pattern, computed once). Pacing is a schedule of capture times evaluated when someone
// looks, not a thread. Thread-safe; its lock is the innermost of the emulator.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "device/Endpoint.h"
#include "vcam/vcam.h"

namespace vcam {

struct StreamPlan {
    uint32_t transferSize = 0;
    uint32_t transferCount = 0;
    uint32_t final1 = 0;
    uint32_t final2 = 0;
};

struct ImageGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pixelFormat = 0;
};

class StreamSource final : public InSource {
public:
    StreamSource(const CameraConfig& config, SteadyTime powerOn);

    // Stream enable going on: takes the plan; a GenCP or stream status (0 = enabled).
    uint16_t enable(const StreamPlan& plan, uint64_t payloadSize, const ImageGeometry& geometry);
    void disable();  // discards the image being sent and every held image
    bool enabled() const;
    void setAcquisition(bool on);
    void setTriggerMode(bool on);
    void trigger();  // one TriggerSoftware
    void reset();    // power loss: off, nothing held

    void setPacing(uint64_t bytesPerSecond, uint32_t frameRate);
    void setImageBuffers(uint32_t images);
    StreamStats stats();

    void addFault(const StreamFault& fault);
    void clearFaults();

    SourceStep next(uint8_t* buffer, int room, bool wholePackets, SteadyTime now) override;

private:
    struct Held {
        uint64_t blockId;
        SteadyTime takenAt;  // capture time; the image may be sent from then on
    };
    struct FaultEntry {
        StreamFault fault;
        int seen = 0;
        int applied = 0;
    };
    enum class Phase { Leader, Payload, Trailer };

    bool running() const { return enabled_ && acquiring_; }
    bool paced() const { return period_.count() > 0; }
    void recomputePeriod();
    void restartSchedule(SteadyTime now);
    void advance(SteadyTime now);  // takes the free-running images due by now
    bool hold(uint64_t blockId, SteadyTime at);
    void dropFront();
    uint32_t plannedTransfers() const;
    uint32_t plannedSize(uint32_t index) const;
    void chooseFaults();
    const StreamFault* fault(StreamFaultKind kind) const;
    void writeLeader(uint8_t* out) const;
    void writeTrailer(uint8_t* out) const;
    // Place the current transfer (or its next part) into a read; partSent_ follows it.
    SourceStep sendBytes(uint8_t* buffer, int room, bool wholePackets, const uint8_t* bytes, size_t size);
    SourceStep sendPayload(uint8_t* buffer, int room, bool wholePackets, uint32_t size, uint32_t cut);
    void finishImage(bool complete);

    mutable std::mutex mutex_;
    const SteadyTime powerOn_;
    uint64_t bytesPerSecond_;
    uint32_t frameRate_;
    std::chrono::nanoseconds period_{0};

    bool enabled_ = false;
    bool acquiring_ = false;
    bool triggerMode_ = false;
    StreamPlan plan_;
    uint64_t payload_ = 0;
    ImageGeometry geometry_;
    std::vector<uint8_t> pattern_;  // patternByte(k) for every k an image may use

    // Free-running schedule: image k is taken at start_ + k * period_.
    SteadyTime start_{};
    uint64_t nextTick_ = 0;
    SteadyTime lastTaken_{};

    std::vector<Held> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t nextBlockId_ = 1;

    // The image being sent (the ring's head).
    bool sending_ = false;
    Phase phase_ = Phase::Leader;
    uint32_t transferIndex_ = 0;
    uint64_t offset_ = 0;
    size_t partSent_ = 0;  // bytes of the current transfer already read
    std::vector<StreamFault> active_;  // faults that apply to the image being sent

    std::vector<FaultEntry> faults_;
    StreamStats stats_;
};

}  // namespace vcam
