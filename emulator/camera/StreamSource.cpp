#include "camera/StreamSource.h"

#include <algorithm>
#include <cstring>

#include "camera/StreamPackets.h"

namespace vcam {

namespace {

constexpr uint64_t kPatternShifts = 251;  // images whose payloads are shifted copies
constexpr uint32_t kStampBytes = 8;
constexpr uint32_t kAtLeader = 0xFFFFFFFF;

}  // namespace

uint8_t patternByte(uint64_t index) {
    // A multiplicative hash: no power-of-two period, so a misplaced transfer shows.
    uint32_t h = static_cast<uint32_t>(index) * 0x9E3779B1u ^ static_cast<uint32_t>(index >> 32);
    h ^= h >> 15;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    return static_cast<uint8_t>(h >> 24);
}

uint8_t imageByte(uint64_t blockId, uint64_t offset) {
    if (offset < kStampBytes) return static_cast<uint8_t>(blockId >> (8 * offset));
    return patternByte(offset + blockId % kPatternShifts);
}

std::vector<uint8_t> expectedImage(uint64_t blockId, size_t payloadSize) {
    std::vector<uint8_t> out(payloadSize);
    for (size_t i = 0; i < payloadSize; ++i) out[i] = imageByte(blockId, i);
    return out;
}

long long firstMismatch(uint64_t blockId, const uint8_t* data, size_t payloadSize) {
    for (size_t i = 0; i < payloadSize; ++i) {
        if (data[i] != imageByte(blockId, i)) return static_cast<long long>(i);
    }
    return -1;
}

StreamSource::StreamSource(const CameraConfig& config, SteadyTime powerOn)
    : powerOn_(powerOn),
      bytesPerSecond_(config.streamBytesPerSecond),
      frameRate_(config.frameRate),
      ring_(std::max<uint32_t>(config.imageBuffers, 1)) {}

uint16_t StreamSource::enable(const StreamPlan& plan, uint64_t imageSize, const ImageGeometry& geometry,
                              const chunk::Layout& chunks) {
    std::lock_guard lock(mutex_);
    const uint64_t payloadSize = imageSize + chunk::tailSize(chunks);
    const uint64_t capacity = uint64_t{plan.transferSize} * plan.transferCount + plan.final1 + plan.final2;
    if (capacity < payloadSize) return u3v::kStatusSiRegistersInconsistent;
    if (enabled_) return 0;
    plan_ = plan;
    payload_ = payloadSize;
    image_ = imageSize;
    chunks_ = chunks;
    tail_.resize(payloadSize - imageSize);
    geometry_ = geometry;
    if (pattern_.size() < imageSize + kPatternShifts) {
        // Once per camera and size: every image after this costs one copy of its bytes.
        pattern_.resize(imageSize + kPatternShifts);
        for (size_t k = 0; k < pattern_.size(); ++k) pattern_[k] = patternByte(k);
    }
    enabled_ = true;
    nextBlockId_ = 1;
    recomputePeriod();
    restartSchedule(std::chrono::steady_clock::now());
    return 0;
}

void StreamSource::disable() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
    sending_ = false;
    head_ = count_ = 0;
}

bool StreamSource::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void StreamSource::setAcquisition(bool on, uint64_t frames) {
    std::lock_guard lock(mutex_);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    if (on && !acquiring_) {
        acquiring_ = true;
        limited_ = frames != 0;
        framesLeft_ = frames;
        restartSchedule(now);
    } else if (!on) {
        acquiring_ = false;
    }
}

void StreamSource::setExposure(uint32_t microseconds) {
    std::lock_guard lock(mutex_);
    exposureUs_ = microseconds;
}

void StreamSource::setTriggerMode(bool on) {
    std::lock_guard lock(mutex_);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    if (triggerMode_ && !on) restartSchedule(now);
    triggerMode_ = on;
}

void StreamSource::trigger() {
    std::lock_guard lock(mutex_);
    if (!running() || !triggerMode_) return;  // a camera not acquiring ignores triggers
    SteadyTime at = std::chrono::steady_clock::now();
    if (paced() && at < lastTaken_ + periodCeil()) at = lastTaken_ + periodCeil();
    if (hold(nextBlockId_, at)) {
        ++nextBlockId_;
        lastTaken_ = at;
    }
}

void StreamSource::reset() {
    std::lock_guard lock(mutex_);
    enabled_ = acquiring_ = triggerMode_ = false;
    sending_ = false;
    head_ = count_ = 0;
}

void StreamSource::setPacing(uint64_t bytesPerSecond, uint32_t frameRate) {
    std::lock_guard lock(mutex_);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    bytesPerSecond_ = bytesPerSecond;
    frameRate_ = frameRate;
    recomputePeriod();
    start_ = now + periodCeil();  // the next image one new period after now
    nextTick_ = 0;
}

void StreamSource::setImageBuffers(uint32_t images) {
    std::lock_guard lock(mutex_);
    advance(std::chrono::steady_clock::now());
    std::vector<Held> ring(std::max<uint32_t>(images, 1));
    // Keep the oldest images that still fit (the one being sent first).
    const size_t keep = std::min(count_, ring.size());
    for (size_t i = 0; i < keep; ++i) ring[i] = ring_[(head_ + i) % ring_.size()];
    ring_.swap(ring);
    head_ = 0;
    count_ = keep;
    if (keep == 0) sending_ = false;
}

StreamStats StreamSource::stats() {
    std::lock_guard lock(mutex_);
    advance(std::chrono::steady_clock::now());
    StreamStats out = stats_;
    out.streaming = running();
    out.buffered = static_cast<uint32_t>(count_);
    return out;
}

void StreamSource::addFault(const StreamFault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(FaultEntry{fault});
}

void StreamSource::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void StreamSource::recomputePeriod() {
    using Wide = unsigned __int128;
    uint64_t ns = 0, div = 1;
    if (frameRate_ != 0) {
        ns = 1000000000ull;
        div = frameRate_;
    }
    if (bytesPerSecond_ != 0) {
        const uint64_t bytes = u3v::kLeaderSize + payload_ + u3v::kTrailerSize;
        const uint64_t byteNs = bytes * 1000000000ull;  // below 2^64 for any image of 2^32 bytes
        // The slower of the two limits wins.
        if (ns == 0 || Wide{byteNs} * div > Wide{ns} * bytesPerSecond_) {
            ns = byteNs;
            div = bytesPerSecond_;
        }
    }
    periodNs_ = ns;
    periodDiv_ = div;
}

SteadyTime StreamSource::tickTime(uint64_t k) const {
    using Wide = unsigned __int128;
    const Wide ns = Wide{k} * periodNs_ / periodDiv_;
    return start_ + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

uint64_t StreamSource::lastTickDue(SteadyTime now) const {
    using Wide = unsigned __int128;
    const auto elapsed = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count());
    // The largest k with floor(k * periodNs_ / periodDiv_) <= elapsed, that is
    // k * periodNs_ < (elapsed + 1) * periodDiv_.
    return static_cast<uint64_t>(((Wide{elapsed} + 1) * periodDiv_ - 1) / periodNs_);
}

std::chrono::nanoseconds StreamSource::periodCeil() const {
    if (periodNs_ == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<int64_t>((periodNs_ + periodDiv_ - 1) / periodDiv_));
}

void StreamSource::restartSchedule(SteadyTime now) {
    start_ = now;
    nextTick_ = 0;
    lastTaken_ = now - periodCeil();
}

void StreamSource::advance(SteadyTime now) {
    if (!running() || triggerMode_ || !paced() || now < start_) return;
    const uint64_t due = lastTickDue(now);
    while (nextTick_ <= due) {
        if (count_ == ring_.size()) {
            stats_.dropped += due - nextTick_ + 1;  // full until someone reads
            nextTick_ = due + 1;
            break;
        }
        const SteadyTime at = tickTime(nextTick_);
        hold(nextBlockId_++, at);
        lastTaken_ = at;
        ++nextTick_;
        if (!acquiring_) break;  // the last image of a limited acquisition
    }
}

bool StreamSource::hold(uint64_t blockId, SteadyTime at) {
    if (count_ == ring_.size()) {
        ++stats_.dropped;
        return false;
    }
    ring_[(head_ + count_) % ring_.size()] = Held{blockId, at};
    ++count_;
    ++stats_.taken;
    stats_.lastBlockId = blockId;
    if (limited_ && --framesLeft_ == 0) acquiring_ = false;  // SingleFrame, MultiFrame: done
    return true;
}

void StreamSource::dropFront() {
    if (count_ == 0) return;
    head_ = (head_ + 1) % ring_.size();
    --count_;
}

uint32_t StreamSource::plannedTransfers() const {
    return plan_.transferCount + (plan_.final1 != 0 ? 1 : 0) + (plan_.final2 != 0 ? 1 : 0);
}

uint32_t StreamSource::plannedSize(uint32_t index) const {
    if (index < plan_.transferCount) return plan_.transferSize;
    if (index == plan_.transferCount && plan_.final1 != 0) return plan_.final1;
    return plan_.final2;
}

void StreamSource::chooseFaults() {
    active_.clear();
    for (FaultEntry& f : faults_) {
        ++f.seen;
        if (f.seen <= f.fault.skip) continue;
        if (f.fault.count >= 0 && f.applied >= f.fault.count) continue;
        ++f.applied;
        active_.push_back(f.fault);
    }
}

const StreamFault* StreamSource::fault(StreamFaultKind kind) const {
    for (const StreamFault& f : active_) {
        if (f.kind == kind) return &f;
    }
    return nullptr;
}

void StreamSource::writeLeader(uint8_t* out) const {
    using namespace u3v;
    const Held& image = ring_[head_];
    std::memset(out, 0, kLeaderSize);
    const StreamFault* magic = fault(StreamFaultKind::WrongLeaderMagic);
    putLe32(out + kLeaderOffMagic, magic ? 0x58563355 /* "U3VX" */ : kLeaderMagic);
    putLe16(out + kLeaderOffSize, kLeaderSize);
    putLe64(out + kLeaderOffBlockId, image.blockId);
    const StreamFault* type = fault(StreamFaultKind::WrongPayloadType);
    const uint16_t payloadType = chunks_.active ? chunk::kPayloadTypeImageExtendedChunk : kPayloadTypeImage;
    putLe16(out + kLeaderOffPayloadType, type ? type->payloadType : payloadType);
    putLe64(out + kLeaderOffTimestamp, timestampOf(image));
    putLe32(out + kLeaderOffPixelFormat, geometry_.pixelFormat);
    putLe32(out + kLeaderOffSizeX, geometry_.width);
    putLe32(out + kLeaderOffSizeY, geometry_.height);
}

void StreamSource::writeTrailer(uint8_t* out) const {
    using namespace u3v;
    const Held& image = ring_[head_];
    std::memset(out, 0, kTrailerSize);
    putLe32(out + kTrailerOffMagic, kTrailerMagic);
    putLe16(out + kTrailerOffSize, kTrailerSize);
    const bool otherId = fault(StreamFaultKind::TrailerBlockId) != nullptr;
    putLe64(out + kTrailerOffBlockId, image.blockId + (otherId ? 1 : 0));
    const StreamFault* status = fault(StreamFaultKind::TrailerStatus);
    putLe16(out + kTrailerOffStatus, status ? status->status : 0);
    putLe64(out + kTrailerOffValidPayloadSize, payload_);
    putLe32(out + kTrailerOffSizeY, geometry_.height);
}

// The current transfer of `size` bytes, from partSent_ on, into a read of `room` bytes
// (see placeTransfer); partSent_ is 0 again once the transfer is done. `copy(out, from, n)`
// writes bytes [from, from + n) of the transfer.
template <typename Copy>
SourceStep StreamSource::sendTransfer(uint8_t* buffer, int room, bool wholePackets, size_t size, Copy copy) {
    const TransferPart part = placeTransfer(size, partSent_, room, wholePackets);
    if (part.copied > 0) copy(buffer, partSent_, part.copied);
    partSent_ = part.transferDone ? 0 : partSent_ + part.copied;
    SourceStep step;
    step.kind = SourceStep::Kind::Served;
    step.status = part.status;
    step.actual = static_cast<int>(part.copied);
    return step;
}

SourceStep StreamSource::sendBytes(uint8_t* buffer, int room, bool wholePackets, const uint8_t* bytes,
                                   size_t size) {
    return sendTransfer(buffer, room, wholePackets, size,
                        [bytes](uint8_t* out, size_t from, size_t n) { std::memcpy(out, bytes + from, n); });
}

// Payload bytes [offset_, offset_ + size - cut) of the image being sent: the pattern up to
// the image's end, its chunks after it.
SourceStep StreamSource::sendPayload(uint8_t* buffer, int room, bool wholePackets, uint32_t size, uint32_t cut) {
    const uint64_t blockId = ring_[head_].blockId;
    const size_t sent = size - std::min(cut, size);
    const uint8_t* pattern = pattern_.data() + blockId % kPatternShifts;
    return sendTransfer(buffer, room, wholePackets, sent, [&](uint8_t* out, size_t from, size_t n) {
        const uint64_t at = offset_ + from;  // where in the payload this part starts
        const size_t fromImage = at < image_ ? std::min(n, static_cast<size_t>(image_ - at)) : 0;
        if (fromImage > 0) std::memcpy(out, pattern + at, fromImage);
        if (n > fromImage) std::memcpy(out + fromImage, tail_.data() + (at + fromImage - image_), n - fromImage);
        stampBlockId(out, at, fromImage, blockId);
    });
}

// The first bytes of every image hold its block id; `out` holds payload bytes from `at` on.
void StreamSource::stampBlockId(uint8_t* out, uint64_t at, uint64_t written, uint64_t blockId) const {
    for (uint64_t i = at; i < kStampBytes && i < at + written && i < image_; ++i) {
        out[i - at] = static_cast<uint8_t>(blockId >> (8 * i));
    }
}

void StreamSource::writeChunks() {
    const Held& image = ring_[head_];
    chunk::Values v;
    v.timestamp = timestampOf(image);
    v.frameId = image.blockId;
    v.width = geometry_.width;
    v.height = geometry_.height;
    v.exposureUs = exposureUs_;
    chunk::writeTail(chunks_, image_, v, tail_.data());
}

uint64_t StreamSource::timestampOf(const Held& image) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(image.takenAt - powerOn_).count();
    return static_cast<uint64_t>(std::max<int64_t>(ns, 0));
}

void StreamSource::finishImage(bool complete) {
    if (complete) ++stats_.completed;
    dropFront();
    sending_ = false;
}

SourceStep StreamSource::next(uint8_t* buffer, int room, bool wholePackets, SteadyTime now) {
    std::lock_guard lock(mutex_);
    SourceStep step;
    if (!enabled_) return step;
    if (!sending_) {
        advance(now);
        if (count_ == 0) {
            if (!running() || triggerMode_) return step;
            if (paced()) {
                step.kind = SourceStep::Kind::Later;
                step.readyAt = tickTime(nextTick_);
                return step;
            }
            hold(nextBlockId_++, now);  // unpaced: taken the moment it is asked for
        }
        if (ring_[head_].takenAt > now) {
            step.kind = SourceStep::Kind::Later;
            step.readyAt = ring_[head_].takenAt;
            return step;
        }
        sending_ = true;
        partSent_ = 0;
        phase_ = Phase::Leader;
        transferIndex_ = 0;
        offset_ = 0;
        chooseFaults();
        if (chunks_.active) writeChunks();
    }

    auto interrupted = [&](uint32_t position) {
        for (const StreamFault& f : active_) {
            if ((f.kind == StreamFaultKind::Stall || f.kind == StreamFaultKind::Unplug) && f.transfer == position) {
                finishImage(false);
                step.kind = f.kind == StreamFaultKind::Stall ? SourceStep::Kind::Stall : SourceStep::Kind::Unplug;
                return true;
            }
        }
        return false;
    };

    // Faults that cut an image short strike at the start of a transfer.
    if (phase_ == Phase::Leader) {
        if (partSent_ == 0 && interrupted(kAtLeader)) return step;
        uint8_t leader[u3v::kLeaderSize];
        writeLeader(leader);
        step = sendBytes(buffer, room, wholePackets, leader, sizeof leader);
        if (partSent_ == 0) phase_ = plannedTransfers() > 0 && payload_ > 0 ? Phase::Payload : Phase::Trailer;
        return step;
    }
    if (phase_ == Phase::Payload) {
        if (partSent_ == 0 && interrupted(transferIndex_)) return step;
        const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(plannedSize(transferIndex_), payload_ - offset_));
        const StreamFault* shortened = fault(StreamFaultKind::ShortPayload);
        const uint32_t cut = shortened && shortened->transfer == transferIndex_ ? shortened->shortBy : 0;
        step = sendPayload(buffer, room, wholePackets, size, cut);
        if (partSent_ != 0) return step;  // the rest of this transfer goes to the next read
        offset_ += size;
        ++transferIndex_;
        if (offset_ >= payload_ || transferIndex_ >= plannedTransfers()) {
            if (fault(StreamFaultKind::MissingTrailer)) {
                finishImage(false);
            } else {
                phase_ = Phase::Trailer;
            }
        }
        return step;
    }
    uint8_t trailer[u3v::kTrailerSize];
    writeTrailer(trailer);
    step = sendBytes(buffer, room, wholePackets, trailer, sizeof trailer);
    if (partSent_ == 0) finishImage(true);
    return step;
}

}  // namespace vcam
