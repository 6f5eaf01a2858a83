// The acquisition engine: the stream worker receiving leader, payload and trailer
// transfers straight into the pool's buffers and queuing the finished images. The reads
// of the next images are queued while the oldest completes, so that the bus's completion
// latency is paid once, not once per transfer.
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "DeviceHandle.h"
#include "DeviceLog.h"
#include "ImageSlots.h"
#include "U3V_Stream.h"
#include "UsbLayer.h"

namespace tessoral {

namespace {
constexpr unsigned kLeaderTimeoutMs = 2000;
constexpr auto kIdleWaitMs = 100;
constexpr uint32_t kRoomWaitMs = 20;  // longest pause for room in a full ready queue
// After a read that failed at once for a reason that may persist (stall, I/O error), so
// that a broken pipe does not become a busy loop.
constexpr auto kErrorBackoff = std::chrono::milliseconds(10);
// A read refused for lack of memory with none of ours in flight is tried again this often.
constexpr int kMemoryWaits = 100;
constexpr auto kMemoryWait = std::chrono::milliseconds(1);
// Images on their way at once, at most: a few hide the bus's completion latency. Fewer
// when each has very many reads, whose requests would cost memory.
constexpr size_t kMaxImagesInFlight = 8;
constexpr size_t kMaxPlannedReads = 4096;
// Reads of the images after the oldest are queued only this far ahead (at least one):
// at 400 MB/s it is about 300 us of the bus, several times a host's completion latency,
// so the bus never waits for a read. Further ahead buys nothing on a bus, and where reads
// complete at once it makes images come in bursts of the queue's size, which a reader
// with few buffers meets asleep: the two threads then take turns instead of overlapping.
constexpr size_t kAheadBytes = 128 * 1024;
}  // namespace

ImageBuffer* U3V_Stream::NextFreeBuffer() {
    // Rotate through the pool, passing over buffers whose images still wait or are locked
    // (neither is ever overwritten) and those already receiving. At most nBufferCount wait
    // or are locked, so with nothing on its way one buffer is always free.
    for (size_t tried = 0; tried < bufferPool.size(); ++tried) {
        ImageBuffer* buffer = bufferPool[nPoolNext].get();
        nPoolNext = (nPoolNext + 1) % bufferPool.size();
        if (!buffer->bReceiving && !readyQueue.busy(buffer)) return buffer;
    }
    return nullptr;
}

uint32_t U3V_Stream::Run() {
    {
        ReadPlan plan;
        plan.transferSize = nPayloadTransferSize;
        plan.transferCount = nPayloadTransferCount;
        plan.final1 = nPayloadFinalTransfer1Size;
        plan.final2 = nPayloadFinalTransfer2Size;
        plan.leaderSize = nMaximumLeaderSize;
        plan.trailerSize = nMaximumTrailerSize;
        const size_t images = std::clamp<size_t>(kMaxPlannedReads / plan.reads(), 1,
                                                 std::min<size_t>(bufferPool.size(), kMaxImagesInFlight));
        // Leaving the scope cancels what is in flight before the slots' buffers go; the
        // pool's outlive the worker.
        ImageSlots slots;
        const bool ready = slots.setup(pDevice->UsbHandle, pDevice->StreamInEndpoint, plan, images);
        if (!ready) DeviceLog(pDevice, U3V_LOG_ERROR, " usb_submit_async Err %d\n", LIBUSB_ERROR_NO_MEM);
        nWindow = nSubmitLimit;
        bWindowShrinkTold = false;
        bInStep = false;
        nMemoryWaits = 0;
        bSubmitsGone = false;

        while (ready && !bStopRequest) {
            if (!bAcquisitionRunning) {
                (void)Resync(slots);
                if (hStartRequest.Wait(kIdleWaitMs)) hStartRequest.Reset();
                continue;
            }
            Step step = Fill(slots);
            if (step == Step::Go) step = ReapOne(slots);
            if (step == Step::Resync) step = Resync(slots);
            if (step == Step::Leave) break;
        }
    }
    EndWorker();
    return 0;
}

void U3V_Stream::ShrinkWindow(size_t accepted) {
    nWindow = std::max<size_t>(accepted, 1);
    if (bWindowShrinkTold) return;
    bWindowShrinkTold = true;
    DeviceLog(pDevice, U3V_LOG_ERROR,
              "USB buffer memory exhausted with %zu bytes submitted: the stream keeps at most that "
              "much in flight from now on. Raise the limit with the usbcore.usbfs_memory_mb "
              "module parameter (/sys/module/usbcore/parameters/usbfs_memory_mb).",
              accepted);
    DebugTrace("USB buffer memory exhausted with %zu bytes submitted; see usbcore.usbfs_memory_mb",
               accepted);
}

void U3V_Stream::EndWorker() {
    bThreadEnded = true;
    hThreadEnded->Set();  // the object may be gone from here on
}

U3V_Stream::Step U3V_Stream::Resync(ImageSlots& slots) {
    (void)slots.abandon();
    bInStep = false;
    nMemoryWaits = 0;
    return Step::Go;
}

// Queues reads in stream order, the oldest image's first, as far as the window of
// submitted bytes and the free buffers allow, and those of later images kAheadBytes ahead
// of the oldest's. Out of step, one leader read goes alone.
U3V_Stream::Step U3V_Stream::Fill(ImageSlots& slots) {
    const ReadPlan& plan = slots.plan();
    for (;;) {
        if (bSubmitsGone) {
            if (slots.readsInFlight() != 0) return Step::Go;
            (void)DeviceGone(LIBUSB_ERROR_NO_DEVICE);
            return Step::Leave;
        }
        if (!bInStep && slots.readsInFlight() != 0) return Step::Go;
        // Only reads of later images count ahead, so the oldest's own always go.
        if (slots.bytesAhead() >= kAheadBytes) return Step::Go;
        ImageSlot* slot = slots.tail();
        if (slot == nullptr || slot->submitted == plan.reads()) {
            // Images are received ahead only into room the ready queue has now, so that
            // none is received only to be dropped. With nothing on its way the queue may
            // be full: a reader that is only a moment behind gets the next image rather
            // than a drop; one that does not read at all keeps the pipe moving, and
            // images are dropped.
            if (slot != nullptr && slots.images() >= readyQueue.room()) return Step::Go;
            if (slot == nullptr) (void)readyQueue.waitForRoom(kRoomWaitMs);
            ImageBuffer* buffer = slots.full() ? nullptr : NextFreeBuffer();
            if (buffer == nullptr) return Step::Go;
            slot = slots.open(buffer);
        }
        const size_t size = static_cast<size_t>(plan.size(slot->submitted));
        const size_t inFlight = slots.bytesInFlight();
        if (inFlight != 0 && inFlight + size > nWindow) return Step::Go;
        const int r = slots.submitNext(*slot);
        if (r == 0) {
            nMemoryWaits = 0;
            continue;
        }
        if (r == LIBUSB_ERROR_NO_MEM && inFlight != 0) {
            ShrinkWindow(inFlight);  // what is in flight completes, then we go on
            return Step::Go;
        }
        if (r == LIBUSB_ERROR_NO_MEM && ++nMemoryWaits <= kMemoryWaits) {
            // Nothing of ours in flight: other programs hold the memory for now.
            ShrinkWindow(size);
            std::this_thread::sleep_for(kMemoryWait);
            if (bStopRequest) return Step::Leave;
            continue;
        }
        DeviceLog(pDevice, U3V_LOG_ERROR, " usb_submit_async Err %d\n", r);
        if (r == LIBUSB_ERROR_NO_DEVICE) {  // unplugged: nothing more will come
            bSubmitsGone = true;
            continue;
        }
        std::this_thread::sleep_for(kErrorBackoff);
        return Step::Resync;
    }
}

// Reaps the oldest read in flight and checks it for what its place in the plan expects.
U3V_Stream::Step U3V_Stream::ReapOne(ImageSlots& slots) {
    ImageSlot* slot = slots.head();
    if (slot == nullptr || slot->reaped == slot->submitted) {
        std::this_thread::sleep_for(kMemoryWait);  // nothing could be queued
        return Step::Go;
    }
    const ReadPlan& plan = slots.plan();
    const size_t i = slot->reaped;
    const int r = slots.reapNext(i == 0 ? kLeaderTimeoutMs : nTimeout, &bStopRequest);
    if (bStopRequest) return Step::Leave;
    if (i == 0) return CheckLeader(slots, *slot, r);
    if (DeviceGone(r)) return Step::Leave;
    if (i == plan.trailerRead()) return Finish(slots, *slot, r);
    const int expected = plan.size(i);
    if (plan.isFullTransfer(i)) {
        if (r != expected) {
            ++slot->missing;
            DeviceLog(pDevice, U3V_LOG_ERROR, "Missing Packet %d  expected -> %d, actual ret -> %d",
                      static_cast<int>(i - 1), expected, r);
        }
        return Step::Go;
    }
    if (r < 0) return Step::Resync;
    if (r != expected) ++slot->missing;
    return Step::Go;
}

U3V_Stream::Step U3V_Stream::CheckLeader(ImageSlots& slots, ImageSlot& slot, int received) {
    if (received < 0) {
        DeviceLog(pDevice, U3V_LOG_ERROR, " get leader Err %d\n", received);
        switch (received) {
            case LIBUSB_ERROR_NO_DEVICE:  // unplugged: nothing will come
                (void)DeviceGone(received);
                return Step::Leave;
            case LIBUSB_ERROR_TIMEOUT:
            case LIBUSB_ERROR_OVERFLOW: break;  // payload of an image we lost track of
            case LIBUSB_ERROR_PIPE:
                (void)slots.abandon();  // no read of ours waits on the pipe while it is cleared
                usb::clearHalt(pDevice->UsbHandle, pDevice->StreamInEndpoint);
                [[fallthrough]];
            default: std::this_thread::sleep_for(kErrorBackoff);
        }
        return Step::Resync;
    }
    switch (stream::decodeLeader(slot.leader.get(), static_cast<size_t>(received), slot.head)) {
        case stream::LeaderCheck::WrongMagic:
            DeviceLog(pDevice, U3V_LOG_ERROR, "(pGenericLeader->nMagicKey != LEADER_MAGIC_KEY %d\n",
                      received);
            break;
        case stream::LeaderCheck::NotAnImage:
            DeviceLog(pDevice, U3V_LOG_ERROR, "check if leader correct %d\n", received);
            break;
        case stream::LeaderCheck::Ok:
            bInStep = true;
            return Step::Go;
    }
    // In step, a bad leader spoils its image only, and its trailer shows whether the
    // stream is still in step. Out of step, the next read may be the leader.
    if (!bInStep) return Step::Resync;
    slot.spoilt = true;
    return Step::Go;
}

U3V_Stream::Step U3V_Stream::Finish(ImageSlots& slots, ImageSlot& slot, int received) {
    stream::Trailer tail;
    if (received < 0 || !stream::decodeTrailer(slot.trailer.get(), static_cast<size_t>(received), tail)) {
        const bool leader = received >= 4 && getLe32(slot.trailer.get()) == stream::LEADER_MAGIC_KEY;
        // Out of step: whatever the reads after this one received is lost with them.
        const bool lost = slots.abandon();
        bInStep = false;
        nMemoryWaits = 0;
        if (!leader || lost) return Step::Go;
        // A camera that lost a trailer goes on with the next leader: when nothing came
        // after it, it starts the next image rather than losing that image too.
        ImageBuffer* buffer = NextFreeBuffer();
        if (buffer == nullptr) return Step::Go;
        const size_t n = std::min<size_t>(static_cast<size_t>(received), slots.plan().leaderSize);
        ImageSlot* next = slots.openWithLeader(buffer, slot.trailer.get(), n);
        if (next == nullptr) return Step::Go;
        return CheckLeader(slots, *next, static_cast<int>(n));
    }
    if (slot.spoilt) {
        slots.close();
        return Step::Go;
    }
    if (tail.nBlockId != slot.head.nBlockId) {
        DeviceLog(pDevice, U3V_LOG_ERROR,
                  "Leader block id != trailer block id. Expected -> %lld, actual -> %lld",
                  static_cast<long long>(slot.head.nBlockId), static_cast<long long>(tail.nBlockId));
        slots.close();
        return Step::Go;
    }
    Deliver(slot, tail.nStatus);
    slots.close();
    return Step::Go;
}

void U3V_Stream::Deliver(ImageSlot& slot, uint16_t status) {
    ImageBuffer& image = *slot.buffer;
    const stream::Leader& head = slot.head;
    U3V_ImageInfo& info = image.info;
    info.BlockId = head.nBlockId;
    info.Timestamp = head.nTimestamp;
    info.PixelFormat = head.nPixelFormat;
    info.SizeX = head.nSizeX;
    info.SizeY = head.nSizeY;
    info.OffsetX = head.nOffsetX;
    info.OffsetY = head.nOffsetY;
    info.PaddingX = head.nPaddingX;
    info.MissingTransfers = slot.missing;
    image.nStatus = status;
    // A full queue drops the image; its buffer is simply received into again.
    (void)readyQueue.push(&image, hImageReady);
}

}  // namespace tessoral
