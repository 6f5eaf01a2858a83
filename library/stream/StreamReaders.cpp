// U3V_GetImage and the door that keeps it out of the pool while a stop, restart or close
// changes it.
#include <chrono>
#include <cstring>

#include "DeviceHandle.h"
#include "DeviceLog.h"
#include "U3V_Stream.h"

namespace tessoral {

namespace {
using Clock = std::chrono::steady_clock;

// What is left of a caller's time-out; kInfinite stays without limit.
class Deadline {
public:
    explicit Deadline(uint32_t timeoutMs)
        : infinite_(timeoutMs == ManualResetEvent::kInfinite),
          end_(Clock::now() + std::chrono::milliseconds(infinite_ ? 0 : timeoutMs)) {}
    uint32_t left() const {
        if (infinite_) return ManualResetEvent::kInfinite;
        const auto now = Clock::now();
        if (now >= end_) return 0;
        return static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(end_ - now).count());
    }
    bool infinite() const { return infinite_; }
    Clock::time_point end() const { return end_; }

private:
    bool infinite_;
    Clock::time_point end_;
};
}  // namespace

// Every notify of the readers' condition happens under its lock: the last reader to leave
// a closing stream must be done with the object before the closer can see it gone.
U3V_Stream::ReadersOut::ReadersOut(U3V_Stream& stream, bool closing) : s_(stream) {
    std::unique_lock<std::mutex> lock(s_.mReaders);
    s_.bReadersOut = true;
    if (closing) {
        s_.bClosing = true;
        s_.cvReaders.notify_all();  // those at the door leave
    }
    // Under the readers' lock: a reader inside has read the interrupt count before this.
    s_.hImageReady.Interrupt();
    // A close also waits for those at the door; a stop or restart lets them wait there.
    s_.cvReaders.wait(lock, [this, closing] {
        return s_.nReaders == 0 && (!closing || s_.nAtDoor == 0);
    });
}

U3V_Stream::ReadersOut::~ReadersOut() {
    std::lock_guard<std::mutex> lock(s_.mReaders);
    s_.bReadersOut = false;
    s_.cvReaders.notify_all();
}

bool U3V_Stream::EnterReader(uint32_t timeoutMs, uint16_t& st, uint64_t& since) {
    const Deadline deadline(timeoutMs);
    std::unique_lock<std::mutex> lock(mReaders);
    const auto open = [this] { return bClosing || !bReadersOut; };
    ++nAtDoor;
    bool in = true;
    if (deadline.infinite()) {
        cvReaders.wait(lock, open);
    } else {
        in = cvReaders.wait_until(lock, deadline.end(), open);
    }
    --nAtDoor;
    if (bClosing) cvReaders.notify_all();
    if (!in || bClosing) {
        st = bClosing ? U3V_ERR_ACQUISITION_STOPPED : U3V_ERR_IMAGE_TIMEOUT;
        return false;
    }
    ++nReaders;
    since = hImageReady.Interrupts();
    return true;
}

void U3V_Stream::LeaveReader() {
    std::lock_guard<std::mutex> lock(mReaders);
    --nReaders;
    cvReaders.notify_all();
}

bool U3V_Stream::DeviceGone(int usbResult) {
    if (!noteGone(*pDevice, usbResult)) return false;
    bEngineSawGone = true;  // before the interrupt: a reader woken by it must see this
    hImageReady.Interrupt();
    return true;
}

// The control channel may hear of the camera's leaving first, while images it sent
// before are still being reaped: those come out before the camera is reported gone.
bool U3V_Stream::NothingMoreComes() const {
    return pDevice->bGone && (bEngineSawGone || !bAcquisitionRunning || bThreadEnded);
}

uint16_t U3V_Stream::AwaitImage(uint32_t timeoutMs, uint64_t since, ImageBuffer*& image) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        image = readyQueue.frontAndReset(hImageReady);
        if (image != nullptr) return U3V_OK;
        // Images received before the camera left are still delivered; then it is gone.
        if (NothingMoreComes()) return U3V_ERR_DEVICE_GONE;
        switch (hImageReady.Wait(deadline.left(), since)) {
            case ManualResetEvent::Woken::Interrupted:
                if (!pDevice->bGone) return U3V_ERR_ACQUISITION_STOPPED;
                // The camera may leave just after the engine queued its last images: those
                // are still delivered first.
                image = readyQueue.frontAndReset(hImageReady);
                return image != nullptr ? U3V_OK : U3V_ERR_DEVICE_GONE;
            case ManualResetEvent::Woken::TimedOut: return U3V_ERR_IMAGE_TIMEOUT;
            case ManualResetEvent::Woken::Set: break;
        }
        image = readyQueue.frontAndReset(hImageReady);
        if (image != nullptr) return U3V_OK;
        // Set with nothing queued: a stop emptied the queue after the event was set, or
        // another reader took the image. Stopped, that is the answer at once; running,
        // wait on for what is left of the time-out (an image queued before the reset is
        // seen at the top of the loop, one queued after it sets the event again).
        hImageReady.Reset();
        if (bStopRequest || deadline.left() == 0) return U3V_ERR_IMAGE_TIMEOUT;
    }
}

uint16_t U3V_Stream::DeliveryStatus(const ImageBuffer& image) {
    if (image.info.MissingTransfers != 0) {
        DeviceLog(pDevice, U3V_LOG_WARNING, "Missing data packets in the image.");
        return U3V_ERR_MISSING_PACKETS;
    }
    return image.nStatus;
}

template <class Delivery>
uint16_t U3V_Stream::TakeOldest(uint32_t timeout, Delivery deliver) {
    if (pDevice->bGone && !bStreamOpen) return U3V_ERR_DEVICE_GONE;
    if (!bStreamOpen) return U3V_ERR_STREAM_NOT_OPEN;
    const Deadline deadline(timeout);
    uint16_t st = U3V_OK;
    uint64_t since = 0;
    if (!EnterReader(timeout, st, since)) return st;
    struct Leave {
        U3V_Stream& s;
        ~Leave() { s.LeaveReader(); }
    } leave{*this};

    ImageBuffer* image = nullptr;
    if (const uint16_t waited = AwaitImage(deadline.left(), since, image); waited != U3V_OK)
        return waited;
    // The image is still queued, so the engine keeps off its buffer, and this reader is
    // inside, so no stop, restart or close frees it meanwhile.
    return deliver(*image);
}

uint16_t U3V_Stream::GetImage(uint8_t* destination, uint32_t timeout, U3V_ImageInfo* info) {
    return TakeOldest(timeout, [&](ImageBuffer& image) -> uint16_t {
        std::memcpy(destination, image.pData.get(), image.nSize);
        if (info == nullptr) return U3V_ERR_NO_IMAGE;  // copied, and left queued
        std::memcpy(info, &image.info, sizeof(U3V_ImageInfo));
        const uint16_t status = DeliveryStatus(image);
        readyQueue.pop();
        return status;
    });
}

uint16_t U3V_Stream::LockImage(uint8_t*& data, uint32_t& size, uint32_t timeout,
                               U3V_ImageInfo* info) {
    return TakeOldest(timeout, [&](ImageBuffer& image) -> uint16_t {
        if (info != nullptr) std::memcpy(info, &image.info, sizeof(U3V_ImageInfo));
        const uint16_t status = DeliveryStatus(image);
        readyQueue.popLocked();
        data = image.pData.get();
        size = image.nSize;
        return status;
    });
}

uint16_t U3V_Stream::UnlockImage(const uint8_t* data) {
    std::lock_guard<std::mutex> lock(mPool);
    for (const auto& buffer : bufferPool) {
        if (buffer->pData.get() == data)
            return readyQueue.unlock(buffer.get()) ? U3V_OK : U3V_ERR_INVALID_HANDLE;
    }
    for (auto it = retiredBuffers.begin(); it != retiredBuffers.end(); ++it) {
        if ((*it)->pData.get() != data) continue;
        if (!readyQueue.unlock(it->get())) return U3V_ERR_INVALID_HANDLE;
        retiredBuffers.erase(it);
        return U3V_OK;
    }
    return U3V_ERR_INVALID_HANDLE;
}

}  // namespace tessoral
