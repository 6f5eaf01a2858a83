// tessoralsrc's streaming loop: images from the camera as buffers, in the library's own
// memory where GStreamer's row layout allows, spoiled images counted and dropped.
#include <algorithm>
#include <cstring>

#include "SourceState.h"

#define GST_CAT_DEFAULT tessoral_src_debug

namespace tessoralsrc {

namespace {

// Longest single wait inside the library: a flush or a stop is noticed within it.
constexpr uint32_t kPollMs = 100;

gboolean unlock(GstBaseSrc* base) {
    stateOf(base).flushing = true;
    return TRUE;
}

gboolean unlockStop(GstBaseSrc* base) {
    stateOf(base).flushing = false;
    return TRUE;
}

// A locked image of the library inside a GStreamer buffer: given back when GStreamer frees
// the buffer, from whatever thread. The session (and with it the stream, which frees every
// locked buffer when it closes) lives as long as any of its images is out.
struct Lease {
    std::shared_ptr<CameraSession> session;
    void* data;
};

void releaseLease(gpointer lease) {
    auto* l = static_cast<Lease*>(lease);
    U3V_UnlockImage(l->session->stream(), l->data);
    delete l;
}

// Spoiled images are counted and dropped; a warning says so at most once a second.
void countBadImages(GstTessoralSrc* src, std::atomic<uint64_t>& counter, uint64_t images, const char* what,
                    bool warn) {
    State& st = *src->state;
    counter += images;
    const auto now = std::chrono::steady_clock::now();
    if (!warn || now - st.lastWarning < std::chrono::seconds(1)) return;
    st.lastWarning = now;
    GST_ELEMENT_WARNING(src, STREAM, DECODE, ("Images dropped: %s.", what),
                        ("missing images %" G_GUINT64_FORMAT ", images with missing transfers %" G_GUINT64_FORMAT
                         ", images with a bad status %" G_GUINT64_FORMAT,
                         st.missingImages.load(), st.incompleteImages.load(), st.badImages.load()));
}

GstFlowReturn create(GstPushSrc* push, GstBuffer** out) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(push);
    State& st = *src->state;
    st.props.lock();
    const guint buffers = st.bufferCount, transferSize = st.transferSize, timeoutMs = st.timeoutMs;
    const bool warn = st.warnBadImages;
    st.props.unlock();

    std::lock_guard<std::mutex> guard(st.lock);
    if (!st.session || st.format == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    CameraSession& session = *st.session;
    try {
        if (!session.streaming()) {
            session.start(buffers, transferSize, timeoutMs);
            st.anyImage = false;  // block ids start again
            st.discont = true;
            acquisitionStarted(src);
        }
    } catch (const std::exception& e) {
        postFailure(src, "Cannot start the camera.", e);
        return GST_FLOW_ERROR;
    }
    const PixelFormat& f = *st.format;
    const uint64_t width = static_cast<uint64_t>(st.negotiated.width), height = static_cast<uint64_t>(st.negotiated.height);
    const uint64_t packed = packedStride(f, width), stride = gstStride(f, width);
    const uint64_t payload = session.payloadSize();
    if (payload < packed * height) {
        GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("The camera's images are smaller than the negotiated format."),
                          ("payload %" G_GUINT64_FORMAT " bytes for %" G_GUINT64_FORMAT "x%" G_GUINT64_FORMAT " %s",
                           payload, width, height, f.name));
        return GST_FLOW_ERROR;
    }

    const uint64_t size = stride * height;
    // Zero copy: the library's own buffer goes downstream when its rows are laid out as
    // GStreamer lays them; otherwise one copy into a buffer of ours, re-laid in place.
    const bool zeroCopy = stride == packed;
    GstBuffer* copy = nullptr;
    GstMapInfo map{};
    if (!zeroCopy) {
        copy = gst_buffer_new_allocate(nullptr, std::max(payload, size), nullptr);
        gst_buffer_map(copy, &map, GST_MAP_WRITE);
    }
    auto dropCopy = [&] {
        if (copy == nullptr) return;
        gst_buffer_unmap(copy, &map);
        gst_buffer_unref(copy);
        copy = nullptr;
    };
    auto lastImage = std::chrono::steady_clock::now();
    for (;;) {
        if (st.flushing) {
            dropCopy();
            return GST_FLOW_FLUSHING;
        }
        U3V_ImageInfo info{};
        void* locked = nullptr;
        uint32_t lockedSize = 0;
        const uint16_t status =
            zeroCopy ? session.lock(&locked, &lockedSize, kPollMs, info) : session.grab(map.data, kPollMs, info);
        if (status == U3V_ERR_IMAGE_TIMEOUT || status == U3V_ERR_NO_IMAGE || status == U3V_ERR_ACQUISITION_STOPPED) {
            if (st.trigger != TriggerMode::Off) {
                noImageYet(src, timeoutMs);
                continue;
            }
            if (std::chrono::steady_clock::now() - lastImage < std::chrono::milliseconds(timeoutMs)) continue;
            dropCopy();
            GST_ELEMENT_ERROR(src, RESOURCE, READ, ("No image came from the camera within %u ms.", timeoutMs),
                              (nullptr));
            return GST_FLOW_ERROR;
        }
        if (status == U3V_ERR_DEVICE_GONE || ((status & 0xFF00u) == 0xC000u && status != U3V_ERR_MISSING_PACKETS)) {
            dropCopy();
            const bool gone = status == U3V_ERR_DEVICE_GONE;
            try {
                session.stop(gone);
            } catch (const std::exception&) {
                // The error below is the one to report.
            }
            if (gone)
                GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("The camera is gone."),
                                  ("%s", tool::statusText(status).c_str()));
            else
                GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Taking an image failed."),
                                  ("%s", tool::statusText(status).c_str()));
            return GST_FLOW_ERROR;
        }
        // An image came (zero copy: it is locked until given back). A dropped one still
        // shows the camera alive: the wait for the next starts again.
        auto drop = [&] {
            if (locked != nullptr) U3V_UnlockImage(session.stream(), locked);
            lastImage = std::chrono::steady_clock::now();
        };
        imageCame(st);
        // Block ids the camera skipped are images that never arrived.
        const bool skipped = st.anyImage && info.BlockId > st.lastBlockId + 1;
        st.discont = st.discont || (st.anyImage && info.BlockId != st.lastBlockId + 1);
        if (skipped) countBadImages(src, st.missingImages, info.BlockId - st.lastBlockId - 1, "block ids skipped", warn);
        st.anyImage = true;
        st.lastBlockId = info.BlockId;
        if (status == U3V_ERR_MISSING_PACKETS) {
            drop();
            countBadImages(src, st.incompleteImages, 1, "missing transfers", warn);
            st.discont = true;
            continue;
        }
        if (status != U3V_OK || info.PixelFormat != f.code || info.SizeX != width || info.SizeY != height ||
            (zeroCopy && lockedSize < size)) {
            drop();
            countBadImages(src, st.badImages, 1, "bad status or another format than negotiated", warn);
            st.discont = true;
            continue;
        }
        GstBuffer* buffer = nullptr;
        if (zeroCopy) {
            buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, locked, lockedSize, 0, size,
                                                 new Lease{st.session, locked}, releaseLease);
        } else {
            // Rows padded to 4 bytes: in place, from the last row backwards.
            for (uint64_t row = height; row-- > 0;) std::memmove(map.data + row * stride, map.data + row * packed, packed);
            gst_buffer_unmap(copy, &map);
            gst_buffer_set_size(copy, static_cast<gssize>(size));
            buffer = copy;
            copy = nullptr;
        }
        if (st.discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        st.discont = false;
        GST_BUFFER_OFFSET(buffer) = info.BlockId;        // the camera's block id
        GST_BUFFER_OFFSET_END(buffer) = info.Timestamp;  // the camera's timestamp (its clock, ns)
        // Arrival on the pipeline clock, as running time.
        if (GstClock* clock = gst_element_get_clock(GST_ELEMENT(src))) {
            const GstClockTime now = gst_clock_get_time(clock);
            const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(src));
            GST_BUFFER_PTS(buffer) = now > baseTime ? now - baseTime : 0;
            gst_object_unref(clock);
        }
        *out = buffer;
        return GST_FLOW_OK;
    }
}

}  // namespace

void installStreaming(GstBaseSrcClass* base, GstPushSrcClass* push) {
    base->unlock = unlock;
    base->unlock_stop = unlockStop;
    push->create = create;
}

}  // namespace tessoralsrc
