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

#include "camera/ChunkData.h"
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

    // Stream enable going on: takes the plan; a GenCP or stream status (0 = enabled). The
    // payload is the image's bytes and, with chunk mode active, the chunks after them.
    uint16_t enable(const StreamPlan& plan, uint64_t imageSize, const ImageGeometry& geometry,
                    const chunk::Layout& chunks = {});
    void disable();  // discards the image being sent and every held image
    bool enabled() const;
    // Acquisition start takes `frames` images and ends by itself (0: until stopped).
    void setAcquisition(bool on, uint64_t frames = 0);
    void setExposure(uint32_t microseconds);  // what the exposure chunk reports
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
    bool paced() const { return periodNs_ != 0; }
    void recomputePeriod();
    // Capture time of free-running tick k, and the last tick due by `now` (exact: the
    // period is kept as a fraction, so that 30000 images a second are 30000, not 30000.3).
    SteadyTime tickTime(uint64_t k) const;
    uint64_t lastTickDue(SteadyTime now) const;
    std::chrono::nanoseconds periodCeil() const;
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
    template <typename Copy>
    SourceStep sendTransfer(uint8_t* buffer, int room, bool wholePackets, size_t size, Copy copy);
    SourceStep sendBytes(uint8_t* buffer, int room, bool wholePackets, const uint8_t* bytes, size_t size);
    SourceStep sendPayload(uint8_t* buffer, int room, bool wholePackets, uint32_t size, uint32_t cut);
    void stampBlockId(uint8_t* out, uint64_t at, uint64_t written, uint64_t blockId) const;
    void writeChunks();
    uint64_t timestampOf(const Held& image) const;
    void finishImage(bool complete);

    mutable std::mutex mutex_;
    const SteadyTime powerOn_;
    uint64_t bytesPerSecond_;
    uint32_t frameRate_;
    uint64_t periodNs_ = 0;   // the period is periodNs_ / periodDiv_ nanoseconds; 0 = unpaced
    uint64_t periodDiv_ = 1;

    bool enabled_ = false;
    bool acquiring_ = false;
    bool triggerMode_ = false;
    StreamPlan plan_;
    uint64_t payload_ = 0;  // image and chunks
    uint64_t image_ = 0;
    chunk::Layout chunks_;
    std::vector<uint8_t> tail_;  // the chunks of the image being sent
    uint32_t exposureUs_ = 0;
    uint64_t framesLeft_ = 0;  // of a limited acquisition
    bool limited_ = false;
    ImageGeometry geometry_;
    std::vector<uint8_t> pattern_;  // patternByte(k) for every k an image may use

    // Free-running schedule: image k is taken at tickTime(k), start_ + k periods.
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
