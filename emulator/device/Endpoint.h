// One pipe of a virtual device. IN pipes hold the transfers the device offers, in order,
// and the reads waiting for them, in submission order; a read takes one transfer, or the
// part of it that fills the read (see placeTransfer). All members are guarded by the world
// lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "device/DeviceDescriptors.h"

namespace vcam {

// Outcome of one transfer, numbered as libusb numbers its transfer statuses.
enum class IoStatus { Completed = 0, Error, TimedOut, Cancelled, Stall, NoDevice, Overflow };

// A read waiting on an IN pipe: a synchronous call blocked on it, or an asynchronous
// transfer in flight.
class InRequest {
public:
    InRequest(uint8_t* buffer, int length, const void* owner)
        : buffer_(buffer), length_(length), owner_(owner) {}
    virtual ~InRequest() = default;
    InRequest(const InRequest&) = delete;
    InRequest& operator=(const InRequest&) = delete;

    uint8_t* buffer() const { return buffer_; }
    int length() const { return length_; }
    const void* owner() const { return owner_; }  // the handle that issued it

    // Called once, under the world lock. `data` holds the bytes that landed in the buffer.
    virtual void finish(IoStatus status, int actual, std::vector<uint8_t>&& data) = 0;

private:
    uint8_t* buffer_;
    int length_;
    const void* owner_;
};

using SteadyTime = std::chrono::steady_clock::time_point;

// What a device-side source does for the read at the head of its pipe.
struct SourceStep {
    enum class Kind {
        Served,   // wrote `actual` bytes into the read's buffer; the read ends with `status`
        Later,    // the next transfer exists from `readyAt` on
        Nothing,  // nothing to send until the device's state changes
        Stall,    // the device halts the pipe
        Unplug,   // the device leaves the bus
    };
    Kind kind = Kind::Nothing;
    IoStatus status = IoStatus::Completed;
    int actual = 0;
    SteadyTime readyAt{};
};

// How much of a device transfer of `size` bytes, `sent` of them already read, goes into a
// read of `room` bytes. A transfer ends on a short packet or when the read is full: a read
// that is a whole number of packets (`wholePackets`) takes what fits and leaves the rest of
// the transfer for the next read; any other read shorter than the rest overflows (babble),
// and the rest of that transfer is lost.
struct TransferPart {
    size_t copied = 0;
    bool transferDone = true;
    IoStatus status = IoStatus::Completed;
};
TransferPart placeTransfer(size_t size, size_t sent, int room, bool wholePackets);

// A device part that writes its transfers straight into the buffer of the read that waits
// for them (the stream and event pipes), so that no transfer is queued or copied twice.
// It places each transfer into reads as placeTransfer says. Called under the world lock;
// it must not take that lock.
class InSource {
public:
    virtual SourceStep next(uint8_t* buffer, int room, bool wholePackets, SteadyTime now) = 0;

protected:
    ~InSource() = default;
};

class Endpoint {
public:
    explicit Endpoint(const EndpointLayout& layout) : layout_(layout) {}

    const EndpointLayout& layout() const { return layout_; }
    bool isIn() const { return (layout_.address & 0x80) != 0; }
    bool halted() const { return halted_; }

    // Queues a read; a halted pipe fails it at once with a stall.
    void submit(InRequest* request);
    // Takes a waiting read off the pipe; false when it is not waiting here.
    bool remove(InRequest* request);
    // The device offers one transfer.
    void push(std::vector<uint8_t>&& transfer);

    void halt();       // fails every waiting read with a stall
    void clearHalt();  // serves what was held back by the halt
    // Ends every waiting read (of `owner` only, when given) with `status`.
    void failReads(IoStatus status, const void* owner = nullptr);
    void dropData() {
        fifo_.clear();
        frontSent_ = 0;
    }
    size_t pending() const { return fifo_.size(); }

    // Transfers pushed on the pipe go first; when there are none, the source is asked.
    // `wake` asks for a pump at the given time, `leave` takes the device off the bus.
    void attachSource(InSource* source, std::function<void(SteadyTime)> wake,
                      std::function<void()> leave);
    // Serves waiting reads from what the device has now (after its state changed).
    void pump();
    // A wake asked for earlier has come.
    void wakeUp();

private:
    bool wholePackets(int room) const;

    EndpointLayout layout_;
    bool halted_ = false;
    InSource* source_ = nullptr;
    std::function<void(SteadyTime)> wake_;
    std::function<void()> leave_;
    bool wakePending_ = false;
    SteadyTime wakeAt_{};
    std::deque<std::vector<uint8_t>> fifo_;
    size_t frontSent_ = 0;  // bytes of fifo_.front() already read
    std::deque<InRequest*> readers_;
};

}  // namespace vcam
