// The acquisition engine: the stream worker receiving leader, payload and trailer
// transfers straight into the pool's buffers and queuing the finished images.
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "DeviceHandle.h"
#include "DeviceLog.h"
#include "U3V_Stream.h"
#include "UsbLayer.h"

namespace tessoral {

namespace {
constexpr unsigned kLeaderTimeoutMs = 2000;
constexpr auto kIdleWaitMs = 100;
constexpr uint32_t kRoomWaitMs = 20;  // longest pause for room in a full ready queue
// After a leader read that failed at once for a reason that may persist (stall, I/O
// error), so that a broken pipe does not become a busy loop.
constexpr auto kErrorBackoff = std::chrono::milliseconds(10);
// A read refused for lack of memory with none of ours in flight is tried again this often.
constexpr int kMemoryWaits = 100;
constexpr auto kMemoryWait = std::chrono::milliseconds(1);

// Cancels and waits for every request still outstanding, so that none is queued again
// while it is in flight.
void abandon(usb::AsyncRead* requests, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (requests[i].outstanding()) (void)requests[i].reap(0);
    }
}
}  // namespace

ImageBuffer* U3V_Stream::NextFreeBuffer() {
    // Rotate through the pool, passing over buffers whose images still wait or are locked:
    // neither is ever overwritten. At most nBufferCount are, so one buffer is always free.
    for (size_t tried = 0; tried < bufferPool.size(); ++tried) {
        ImageBuffer* buffer = bufferPool[nPoolNext].get();
        nPoolNext = (nPoolNext + 1) % bufferPool.size();
        if (!readyQueue.busy(buffer)) return buffer;
    }
    return nullptr;
}

uint32_t U3V_Stream::Run() {
    {
        const size_t count = static_cast<size_t>(nPayloadTransferCount) + 2 +
                             (nPayloadFinalTransfer1Size != 0 ? 1 : 0) +
                             (nPayloadFinalTransfer2Size != 0 ? 1 : 0);
        // The buffers before the requests: leaving the scope frees the requests first, and a
        // request freed while in flight is cancelled and waited for, so no read still owns a
        // buffer when it goes. A cancelled read may complete with data all the same, and a
        // kernel copies that data out only when the read is reaped.
        std::unique_ptr<uint8_t[]> leader(new (std::nothrow) uint8_t[nMaximumLeaderSize]);
        std::unique_ptr<uint8_t[]> trailer(new (std::nothrow) uint8_t[nMaximumTrailerSize]);
        std::unique_ptr<usb::AsyncRead[]> requests(new (std::nothrow) usb::AsyncRead[count]);
        bool ready = requests != nullptr && leader != nullptr && trailer != nullptr;
        for (size_t i = 0; ready && i < count; ++i) {
            ready = requests[i].setup(pDevice->UsbHandle, pDevice->StreamInEndpoint);
        }
        if (!ready) DeviceLog(pDevice, U3V_LOG_ERROR, " usb_submit_async Err %d\n", LIBUSB_ERROR_NO_MEM);
        nWindow = nSubmitLimit;
        bWindowShrinkTold = false;

        while (ready && !bStopRequest) {
            if (!bAcquisitionRunning) {
                if (hStartRequest.Wait(kIdleWaitMs)) hStartRequest.Reset();
                continue;
            }
            // A reader that is only a moment behind gets the next image rather than a drop;
            // one that does not read at all keeps the pipe moving, and images are dropped.
            (void)readyQueue.waitForRoom(kRoomWaitMs);
            ImageBuffer* current = NextFreeBuffer();
            if (current == nullptr) break;  // cannot happen with a pool of count + 1
            Cycle cycle;
            do {
                cycle = ImageCycle(*current, requests.get(), count, leader.get(), trailer.get());
            } while (cycle == Cycle::Restart);
            if (cycle == Cycle::Leave) break;
        }
        // Leaving the scope cancels what is in flight, then frees the buffers.
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

U3V_Stream::Cycle U3V_Stream::ImageCycle(ImageBuffer& current, usb::AsyncRead* requests,
                                         size_t count, uint8_t* leader, uint8_t* trailer) {
    const auto restart = [&] {
        abandon(requests, count);
        return Cycle::Restart;
    };
    const auto leave = [&] {
        abandon(requests, count);
        return Cycle::Leave;
    };
    if (bStopRequest) return Cycle::Leave;
    int r = 0;
    if (nCarriedLeader != 0) {
        // The previous image's trailer read brought this leader: start from it.
        r = static_cast<int>(nCarriedLeader);
        nCarriedLeader = 0;
    } else {
        r = requests[0].submit(leader, static_cast<int>(nMaximumLeaderSize));
        if (r < 0) {
            DeviceLog(pDevice, U3V_LOG_ERROR, " usb_submit_async Err %d\n", r);
            if (DeviceGone(r)) return Cycle::Leave;  // unplugged: nothing will come
        }
        if (bStopRequest) return Cycle::Leave;
        r = requests[0].reap(kLeaderTimeoutMs, &bStopRequest);
    }
    if (r < 0) {
        if (bStopRequest) return Cycle::Leave;
        DeviceLog(pDevice, U3V_LOG_ERROR, " get leader Err %d\n", r);
        switch (r) {
            case LIBUSB_ERROR_NO_DEVICE:  // unplugged: nothing will come
                (void)DeviceGone(r);
                return Cycle::Leave;
            case LIBUSB_ERROR_TIMEOUT:
            case LIBUSB_ERROR_OVERFLOW: break;  // payload of an image we lost track of
            case LIBUSB_ERROR_PIPE:
                usb::clearHalt(pDevice->UsbHandle, pDevice->StreamInEndpoint);
                [[fallthrough]];
            default: std::this_thread::sleep_for(kErrorBackoff);
        }
        return Cycle::Restart;
    }
    stream::Leader head;
    switch (stream::decodeLeader(leader, static_cast<size_t>(r), head)) {
        case stream::LeaderCheck::WrongMagic:
            DeviceLog(pDevice, U3V_LOG_ERROR, "(pGenericLeader->nMagicKey != LEADER_MAGIC_KEY %d\n", r);
            return Cycle::Restart;
        case stream::LeaderCheck::NotAnImage:
            DeviceLog(pDevice, U3V_LOG_ERROR, "check if leader correct %d\n", r);
            return Cycle::Restart;
        case stream::LeaderCheck::Ok:
            break;
    }

    // The image's reads in stream order: the payload transfers into their planned places,
    // then the trailer. They are queued ahead of the one being reaped as far as the window
    // of submitted bytes allows, so that an image larger than the window is received too.
    const uint32_t full = nPayloadTransferCount;
    const int transferSize = static_cast<int>(nPayloadTransferSize);
    const uint32_t finals[2] = {nPayloadFinalTransfer1Size, nPayloadFinalTransfer2Size};
    const size_t finalCount = (finals[0] != 0 ? 1 : 0) + (finals[1] != 0 ? 1 : 0);
    const size_t reads = full + finalCount + 1;
    const size_t trailerRead = reads - 1;
    const auto sizeOf = [&](size_t i) -> int {
        if (i < full) return transferSize;
        if (i == trailerRead) return static_cast<int>(nMaximumTrailerSize);
        return static_cast<int>(finals[0] != 0 && i == full ? finals[0] : finals[1]);
    };
    uint8_t* place = current.pData.get();
    size_t submitted = 0;
    size_t inFlight = 0;  // bytes
    int memoryWaits = 0;
    // Queues what the window allows; < 0 when a read could not be queued at all.
    const auto fill = [&]() -> int {
        while (submitted < reads) {
            const int size = sizeOf(submitted);
            if (inFlight != 0 && inFlight + static_cast<size_t>(size) > nWindow) return 0;
            uint8_t* into = submitted == trailerRead ? trailer : place;
            const int s = requests[1 + submitted].submit(into, size);
            if (s == LIBUSB_ERROR_NO_MEM && inFlight != 0) {
                ShrinkWindow(inFlight);  // what is in flight completes, then we go on
                return 0;
            }
            if (s == LIBUSB_ERROR_NO_MEM && ++memoryWaits <= kMemoryWaits) {
                // Nothing of ours in flight: other programs hold the memory for now.
                ShrinkWindow(static_cast<size_t>(size));
                std::this_thread::sleep_for(kMemoryWait);
                continue;
            }
            if (s < 0) return s;
            if (submitted != trailerRead) place += size;
            inFlight += static_cast<size_t>(size);
            ++submitted;
        }
        return 0;
    };

    uint32_t missing = 0;
    for (size_t i = 0; i < reads; ++i) {
        if (const int s = fill(); s < 0) return DeviceGone(s) ? leave() : restart();
        r = requests[1 + i].reap(nTimeout, &bStopRequest);
        inFlight -= static_cast<size_t>(sizeOf(i));
        if (bStopRequest) return Cycle::Leave;
        if (DeviceGone(r)) return leave();
        if (i == trailerRead) break;
        if (i < full) {
            if (r != transferSize) {
                ++missing;
                DeviceLog(pDevice, U3V_LOG_ERROR, "Missing Packet %d  expected -> %d, actual ret -> %d",
                          static_cast<int>(i), transferSize, r);
            }
            continue;
        }
        if (r < 0) return restart();
        if (r != sizeOf(i)) ++missing;
    }
    stream::Trailer tail;
    if (r < 0 || !stream::decodeTrailer(trailer, static_cast<size_t>(r), tail)) {
        // A camera that lost a trailer goes on with the next leader: keep it rather than
        // losing that image too.
        if (r >= 4 && getLe32(trailer) == stream::LEADER_MAGIC_KEY) {
            nCarriedLeader = std::min<size_t>(static_cast<size_t>(r), nMaximumLeaderSize);
            std::memcpy(leader, trailer, nCarriedLeader);
        }
        return Cycle::Restart;
    }
    if (tail.nBlockId != head.nBlockId) {
        DeviceLog(pDevice, U3V_LOG_ERROR,
                  "Leader block id != trailer block id. Expected -> %lld, actual -> %lld",
                  static_cast<long long>(head.nBlockId), static_cast<long long>(tail.nBlockId));
        return Cycle::Restart;
    }

    U3V_ImageInfo& info = current.info;
    info.BlockId = head.nBlockId;
    info.Timestamp = head.nTimestamp;
    info.PixelFormat = head.nPixelFormat;
    info.SizeX = head.nSizeX;
    info.SizeY = head.nSizeY;
    info.OffsetX = head.nOffsetX;
    info.OffsetY = head.nOffsetY;
    info.PaddingX = head.nPaddingX;
    info.MissingTransfers = missing;
    current.nStatus = tail.nStatus;
    // A full queue drops the image; its buffer is simply received into again.
    (void)readyQueue.push(&current, hImageReady);
    return Cycle::Done;
}

}  // namespace tessoral
