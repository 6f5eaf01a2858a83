// The virtual camera driven by an independent USB3 Vision implementation (Aravis, used as a
// black box through its public API): listing, description file, registers, features by
// name, streaming checked byte for byte against the test pattern, and a software trigger.
// Built once on the drop-in libusb and once on the system libusb over the emulated kernel.
#include <arv.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vcam/vcam.h"

namespace {

constexpr uint64_t kWidthRegister = 0x50000;

class Aravis : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // USB only: no discovery packets onto any network.
        arv_disable_interface("GigEVision");
        arv_disable_interface("Fake");
        arv_enable_interface("USB3Vision");
    }

    void SetUp() override {
        vcam::reset();
        vcam::CameraConfig config;
        config.streamBytesPerSecond = 0;  // unpaced
        camera_ = vcam::addCamera(config);
        arv_update_device_list();
        for (unsigned i = 0; i < arv_get_n_devices(); ++i) {
            const char* id = arv_get_device_id(i);
            if (id != nullptr && std::strstr(id, config.identity.guid.c_str()) != nullptr) id_ = id;
        }
        ASSERT_FALSE(id_.empty()) << "Aravis does not list the camera";
        GError* error = nullptr;
        cam_ = arv_camera_new(id_.c_str(), &error);
        ASSERT_NE(cam_, nullptr) << (error ? error->message : "?");
        device_ = arv_camera_get_device(cam_);
    }

    void TearDown() override {
        if (cam_ != nullptr) g_object_unref(cam_);
        arv_shutdown();
        vcam::reset();
    }

    static std::string take(GError*& error) {
        std::string text = error ? error->message : "";
        g_clear_error(&error);
        return text;
    }

    int camera_ = 0;
    std::string id_;
    ArvCamera* cam_ = nullptr;
    ArvDevice* device_ = nullptr;
};

TEST_F(Aravis, ListsTheCameraAndReadsItsDescriptionFile) {
    EXPECT_STREQ(arv_camera_get_vendor_name(cam_, nullptr), "Tessoral Virtual");
    EXPECT_STREQ(arv_camera_get_model_name(cam_, nullptr), "VCam-1");
    size_t size = 0;
    const char* xml = arv_device_get_genicam_xml(device_, &size);
    ASSERT_NE(xml, nullptr);
    EXPECT_GT(size, 1000u);
    EXPECT_NE(std::string(xml, size).find("RegisterDescription"), std::string::npos);
}

TEST_F(Aravis, RegistersAndFeaturesByName) {
    GError* error = nullptr;
    guint32 value = 0;
    ASSERT_TRUE(arv_device_read_register(device_, kWidthRegister, &value, &error)) << take(error);
    EXPECT_EQ(value, 640u);
    ASSERT_TRUE(arv_device_write_register(device_, kWidthRegister, 800, &error)) << take(error);
    EXPECT_EQ(arv_device_get_integer_feature_value(device_, "Width", &error), 800) << take(error);
    arv_device_set_integer_feature_value(device_, "Width", 320, &error);
    EXPECT_EQ(take(error), "");
    ASSERT_TRUE(arv_device_read_register(device_, kWidthRegister, &value, &error)) << take(error);
    EXPECT_EQ(value, 320u);

    arv_device_set_float_feature_value(device_, "ExposureTime", 2500.0, &error);
    EXPECT_EQ(take(error), "");
    EXPECT_DOUBLE_EQ(arv_device_get_float_feature_value(device_, "ExposureTime", &error), 2500.0) << take(error);

    // Enumerations by their entries' names, as the naming convention spells them.
    arv_device_set_string_feature_value(device_, "TriggerMode", "On", &error);
    EXPECT_EQ(take(error), "");
    const char* mode = arv_device_get_string_feature_value(device_, "TriggerMode", &error);
    EXPECT_STREQ(mode, "On") << take(error);
    arv_device_set_string_feature_value(device_, "TriggerSource", "Software", &error);
    EXPECT_EQ(take(error), "");
    EXPECT_STREQ(arv_device_get_string_feature_value(device_, "TriggerSource", &error), "Software") << take(error);
    arv_device_set_string_feature_value(device_, "AcquisitionMode", "Continuous", &error);
    EXPECT_EQ(take(error), "");
    EXPECT_STREQ(arv_device_get_string_feature_value(device_, "AcquisitionMode", &error), "Continuous") << take(error);
}

TEST_F(Aravis, StreamsImagesThatMatchThePatternByteForByte) {
    GError* error = nullptr;
    arv_camera_set_acquisition_mode(cam_, ARV_ACQUISITION_MODE_CONTINUOUS, &error);
    ASSERT_EQ(take(error), "");
    const guint payload = arv_camera_get_payload(cam_, &error);
    ASSERT_EQ(take(error), "");
    ASSERT_EQ(payload, 640u * 480u);
    ArvStream* stream = arv_camera_create_stream(cam_, nullptr, nullptr, &error);
    ASSERT_NE(stream, nullptr) << take(error);
    for (int i = 0; i < 8; ++i) arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(cam_, &error);
    ASSERT_EQ(take(error), "");

    int good = 0;
    uint64_t last = 0;
    for (int i = 0; i < 20; ++i) {
        ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 2000000);
        ASSERT_NE(buffer, nullptr) << "image " << i << " did not come";
        EXPECT_EQ(arv_buffer_get_status(buffer), ARV_BUFFER_STATUS_SUCCESS);
        size_t size = 0;
        const auto* data = static_cast<const uint8_t*>(arv_buffer_get_data(buffer, &size));
        const uint64_t block = arv_buffer_get_frame_id(buffer);
        EXPECT_GT(block, last);
        last = block;
        ASSERT_EQ(size, payload);
        EXPECT_EQ(vcam::firstMismatch(block, data, size), -1) << "image " << block;
        good += arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS;
        arv_stream_push_buffer(stream, buffer);
    }
    arv_camera_stop_acquisition(cam_, &error);
    EXPECT_EQ(take(error), "");
    g_object_unref(stream);
    EXPECT_EQ(good, 20);
}

TEST_F(Aravis, ASoftwareTriggerGivesExactlyOneImage) {
    GError* error = nullptr;
    arv_camera_set_acquisition_mode(cam_, ARV_ACQUISITION_MODE_CONTINUOUS, &error);
    ASSERT_EQ(take(error), "");
    arv_camera_set_trigger(cam_, "Software", &error);
    ASSERT_EQ(take(error), "");
    const guint payload = arv_camera_get_payload(cam_, &error);
    ArvStream* stream = arv_camera_create_stream(cam_, nullptr, nullptr, &error);
    ASSERT_NE(stream, nullptr) << take(error);
    for (int i = 0; i < 4; ++i) arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(cam_, &error);
    ASSERT_EQ(take(error), "");

    EXPECT_EQ(arv_stream_timeout_pop_buffer(stream, 300000), nullptr) << "no image before the trigger";
    arv_camera_software_trigger(cam_, &error);
    ASSERT_EQ(take(error), "");
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 2000000);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(arv_buffer_get_status(buffer), ARV_BUFFER_STATUS_SUCCESS);
    size_t size = 0;
    const auto* data = static_cast<const uint8_t*>(arv_buffer_get_data(buffer, &size));
    EXPECT_EQ(vcam::firstMismatch(arv_buffer_get_frame_id(buffer), data, size), -1);
    arv_stream_push_buffer(stream, buffer);
    EXPECT_EQ(arv_stream_timeout_pop_buffer(stream, 500000), nullptr) << "one trigger, one image";

    arv_camera_stop_acquisition(cam_, &error);
    g_clear_error(&error);
    g_object_unref(stream);
}

}  // namespace
