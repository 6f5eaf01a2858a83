// An independent USB3 Vision client as a stream reader, used as a black box through its
// public API only: it finds the virtual camera by its GUID, sets the image size, and
// streams into N buffers of its own, each popped buffer handed back unchanged (no copy).
// The benchmarks measure it beside the library on the same camera and pacing.
//
//     bench::AravisReader reader;
//     if (!reader.open(guid, 1920, 1200, 4, ARV_UV_USB_MODE_DEFAULT, &error)) ...;
//     const ArvBuffer* image = reader.next(2000);   // the previous one goes back first
//     reader.close();
//
// next() holds the image it returns until the following call, as a viewer holds the
// shown one, so N buffers leave N - 1 for the stream to fill meanwhile.
#pragma once

#include <arv.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace bench {

class AravisReader {
public:
    struct Image {
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t blockId = 0;
        bool complete = false;  // the stream reports it whole
    };

    AravisReader() = default;
    AravisReader(const AravisReader&) = delete;
    AravisReader& operator=(const AravisReader&) = delete;
    ~AravisReader() { close(); }

    bool open(const std::string& guid, uint32_t width, uint32_t height, int buffers, ArvUvUsbMode mode,
              std::string* error) {
        // USB only: no discovery packets onto any network.
        arv_disable_interface("GigEVision");
        arv_disable_interface("Fake");
        arv_enable_interface("USB3Vision");
        arv_update_device_list();
        std::string id;
        for (unsigned i = 0; i < arv_get_n_devices(); ++i) {
            const char* candidate = arv_get_device_id(i);
            if (candidate != nullptr && std::strstr(candidate, guid.c_str()) != nullptr) id = candidate;
        }
        if (id.empty()) return fail(error, "the camera is not listed");
        GError* err = nullptr;
        camera_ = arv_camera_new(id.c_str(), &err);
        if (camera_ == nullptr) return fail(error, err);
        if (!arv_camera_is_uv_device(camera_)) return fail(error, "not a USB3 Vision device");
        arv_camera_uv_set_usb_mode(camera_, mode);
        arv_camera_set_acquisition_mode(camera_, ARV_ACQUISITION_MODE_CONTINUOUS, &err);
        if (err == nullptr) arv_camera_set_region(camera_, 0, 0, static_cast<gint>(width), static_cast<gint>(height), &err);
        if (err != nullptr) return fail(error, err);
        const guint payload = arv_camera_get_payload(camera_, &err);
        if (err != nullptr) return fail(error, err);
        if (payload < guint{width} * height) return fail(error, "payload smaller than the image");
        stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &err);
        if (stream_ == nullptr) return fail(error, err);
        for (int i = 0; i < buffers; ++i) arv_stream_push_buffer(stream_, arv_buffer_new(payload, nullptr));
        arv_camera_start_acquisition(camera_, &err);
        if (err != nullptr) return fail(error, err);
        acquiring_ = true;
        return true;
    }

    // The next image, or an empty one (data null) when none came within timeoutMs.
    Image next(unsigned timeoutMs) {
        giveBack();
        Image image;
        held_ = arv_stream_timeout_pop_buffer(stream_, guint64{timeoutMs} * 1000);
        if (held_ == nullptr) return image;
        size_t size = 0;
        image.data = static_cast<const uint8_t*>(arv_buffer_get_data(held_, &size));
        image.size = size;
        image.blockId = arv_buffer_get_frame_id(held_);
        image.complete = arv_buffer_get_status(held_) == ARV_BUFFER_STATUS_SUCCESS;
        return image;
    }

    void close() {
        giveBack();
        GError* err = nullptr;
        if (acquiring_) arv_camera_stop_acquisition(camera_, &err);
        g_clear_error(&err);
        acquiring_ = false;
        if (stream_ != nullptr) g_object_unref(stream_);
        stream_ = nullptr;
        if (camera_ != nullptr) g_object_unref(camera_);
        camera_ = nullptr;
    }

private:
    void giveBack() {
        if (held_ != nullptr) arv_stream_push_buffer(stream_, held_);
        held_ = nullptr;
    }
    static bool fail(std::string* error, const char* what) {
        if (error != nullptr) *error = what;
        return false;
    }
    static bool fail(std::string* error, GError* err) {
        if (error != nullptr) *error = err != nullptr ? err->message : "unknown error";
        g_clear_error(&err);
        return false;
    }

    ArvCamera* camera_ = nullptr;
    ArvStream* stream_ = nullptr;
    ArvBuffer* held_ = nullptr;
    bool acquiring_ = false;
};

}  // namespace bench
