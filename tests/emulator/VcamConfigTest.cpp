// The world configuration file: the sample files, the accepted forms of values, the
// errors with their line numbers, and the start-up load from VCAM_CONFIG.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "config/ConfigFile.h"
#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;
using ConfigFiles = UsbWorld;

const std::string kData = TEST_DATA_DIR "/vcam/";

// A temporary file holding `text`, removed with the object.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/vcam-config-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        if (fd >= 0) ::close(fd);
        path = name;
        std::ofstream(path) << text;
    }
    ~TempFile() { std::remove(path.c_str()); }
};

std::string productModel(libusb_device_handle* h) {
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(libusb_get_device(h), &dd);
    std::vector<unsigned char> buf(64);
    const int r = libusb_get_string_descriptor_ascii(h, dd.iProduct, buf.data(), 64);
    return r < 0 ? "" : std::string(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(r));
}

TEST_F(ConfigFiles, SampleFilesDescribeTheirWorlds) {
    std::string error;
    ASSERT_TRUE(vcam::loadConfig(kData + "one-camera.ini", &error)) << error;
    libusb_device_handle* h = open(only());
    EXPECT_EQ(productModel(h), "VCam-Mono");

    ASSERT_TRUE(vcam::loadConfig(kData + "two-cameras-and-mouse.ini", &error)) << error;
    std::vector<libusb_device*> all = devices();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(productModel(open(all[0])), "VCam-A");
    EXPECT_EQ(productModel(open(all[1])), "VCam-B");
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(all[2], &dd);
    EXPECT_EQ(dd.idProduct, 0xc077);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(all[1], 0, &config), LIBUSB_SUCCESS);
    EXPECT_EQ(config->bNumInterfaces, 2) << "no event interface";
    libusb_free_config_descriptor(config);
    EXPECT_NE(libusb_get_bus_number(all[0]), libusb_get_bus_number(all[2]))
        << "cameras on the SuperSpeed bus";
    EXPECT_NE(libusb_get_device_address(all[0]), libusb_get_device_address(all[1]));
}

TEST_F(ConfigFiles, EveryKeyAndValueForm) {
    const std::string text =
        "; comment\n"
        "state_dir = /var/tmp/vcam state\n"
        "[camera]\n"
        "  guid = VC1  \n"
        "user_defined_name = \"  padded  \"\n"
        "vendor =\n"
        "vendor_id = 4660\n"
        "product_id = 0xBEEF\n"
        "has_event = no\n"
        "has_stream = off\n"
        "control_held_elsewhere = yes\n"
        "discovery_fault = string_read_fails\n"
        "failing_string_index = 7\n"
        "wire_config_descriptor = 09 02, 0x0b 00 0a0b0c\n"
        "max_device_response_time_ms = 4294967295\n"
        "written_length_field = 1\n"
        "max_command_transfer_length = 512\n"
        "max_ack_transfer_length = 256\n"
        "zipped_description = true\r\n"
        "[device]\n"
        "device_class = 0x09\n"
        "interface_class = 255\n";
    vcam::WorldConfig world;
    std::string error;
    ASSERT_TRUE(vcam::ConfigFile::parse(text, "t", world, &error)) << error;
    EXPECT_EQ(world.stateDir, "/var/tmp/vcam state");
    ASSERT_EQ(world.devices.size(), 2u);
    const auto& c = std::get<vcam::CameraConfig>(world.devices[0]);
    EXPECT_EQ(c.identity.guid, "VC1");
    EXPECT_EQ(c.identity.userDefinedName, "  padded  ");
    EXPECT_EQ(c.identity.vendor, "");
    EXPECT_EQ(c.identity.model, vcam::Identity{}.model) << "unset keys keep their defaults";
    EXPECT_EQ(c.vendorId, 4660);
    EXPECT_EQ(c.productId, 0xBEEF);
    EXPECT_FALSE(c.hasEvent);
    EXPECT_FALSE(c.hasStream);
    EXPECT_TRUE(c.controlHeldElsewhere);
    EXPECT_EQ(c.discoveryFault, vcam::DiscoveryFault::StringReadFails);
    EXPECT_EQ(c.failingStringIndex, 7);
    EXPECT_EQ(c.wireConfigDescriptor, (Bytes{0x09, 0x02, 0x0B, 0x00, 0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(c.maxDeviceResponseTimeMs, 4294967295u);
    EXPECT_TRUE(c.writtenLengthField);
    EXPECT_EQ(c.maxCommandTransferLength, 512u);
    EXPECT_EQ(c.maxAckTransferLength, 256u);
    EXPECT_TRUE(c.zippedDescription);
    const auto& d = std::get<vcam::DeviceConfig>(world.devices[1]);
    EXPECT_EQ(d.deviceClass, 0x09);
    EXPECT_EQ(d.interfaceClass, 255);
}

TEST_F(ConfigFiles, ErrorsNameTheirLineAndLeaveTheWorld) {
    const std::pair<const char*, const char*> bad[] = {
        {"[camera]\nguid = X\ncolour = red\n", ":3: unknown key 'colour'"},
        {"[camera]\n\nvendor_id = 0x10000\n", ":3: bad value '0x10000' for vendor_id"},
        {"[camera]\nhas_event = maybe\n", ":2: bad value 'maybe' for has_event"},
        {"[camera]\ndiscovery_fault = sometimes\n", ":2: bad value 'sometimes' for discovery_fault"},
        {"[camera]\nwire_config_descriptor = 09 0g\n", ":2: bad value for wire_config_descriptor"},
        {"[camera]\nwire_config_descriptor = 123\n", ":2: bad value for wire_config_descriptor"},
        {"[camera]\nguid = A\nguid = B\n", ":3: duplicate key 'guid'"},
        {"guid = A\n", ":1: unknown key 'guid' outside a section"},
        {"[camera]\n[printer]\n", ":2: unknown section [printer]"},
        {"[camera\n", ":1: malformed section header"},
        {"[camera]\njust words\n", ":2: expected 'key = value'"},
        {"[device]\ndevice_class = -1\n", ":2: bad value '-1' for device_class"},
        {"[device]\nguid = VC1\n", ":2: unknown key 'guid' in [device]"},
    };
    const int id = vcam::addCamera();
    for (const auto& [text, message] : bad) {
        TempFile file(text);
        std::string error;
        EXPECT_FALSE(vcam::loadConfig(file.path, &error)) << text;
        EXPECT_EQ(error.rfind(file.path, 0), 0u) << error;
        EXPECT_NE(error.find(message), std::string::npos) << "got: " << error;
    }
    std::string error;
    EXPECT_FALSE(vcam::loadConfig("/nonexistent/vcam.ini", &error));
    EXPECT_NE(error.find("/nonexistent/vcam.ini"), std::string::npos);
    EXPECT_FALSE(vcam::loadConfig("/tmp", &error)) << "a directory is no file";
    EXPECT_TRUE(vcam::plugged(id)) << "a failed load changes nothing";
    EXPECT_EQ(devices().size(), 1u);
}

TEST_F(ConfigFiles, StreamEventAndRecordKeys) {
    vcam::WorldConfig world;
    std::string error;
    ASSERT_TRUE(vcam::ConfigFile::parse("call_record = on\n[camera]\nstream_bandwidth = 0\nframe_rate = 30\n"
                                        "image_buffers = 2\npayload_alignment_log2 = 4\n"
                                        "max_event_transfer_length = 0x40\n",
                                        "t", world, &error))
        << error;
    EXPECT_TRUE(world.callRecord);
    const auto& c = std::get<vcam::CameraConfig>(world.devices.at(0));
    EXPECT_EQ(c.streamBytesPerSecond, 0u);
    EXPECT_EQ(c.frameRate, 30u);
    EXPECT_EQ(c.imageBuffers, 2u);
    EXPECT_EQ(c.payloadAlignmentLog2, 4u);
    EXPECT_EQ(c.maxEventTransferLength, 0x40u);
    EXPECT_EQ(vcam::CameraConfig{}.streamBytesPerSecond, 400000000u) << "paced at SuperSpeed rate by default";

    for (const char* bad : {"[camera]\nimage_buffers = 0\n", "[camera]\npayload_alignment_log2 = 32\n",
                            "call_record = maybe\n"}) {
        EXPECT_FALSE(vcam::ConfigFile::parse(bad, "t", world, &error)) << bad;
        EXPECT_NE(error.find("t:"), std::string::npos);
    }

    // loadConfig takes the file's setting of the record, off when the file says nothing.
    TempFile on("call_record = yes\n[camera]\n");
    ASSERT_TRUE(vcam::loadConfig(on.path, &error)) << error;
    EXPECT_TRUE(vcam::callRecord());
    TempFile silent("[camera]\n");
    ASSERT_TRUE(vcam::loadConfig(silent.path, &error)) << error;
    EXPECT_FALSE(vcam::callRecord());
}

// The start-up world comes from VCAM_CONFIG in a process of its own.
TEST(VcamStartup, WorldComesFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto countDevices = [] {
        libusb_context* ctx = nullptr;
        libusb_init(&ctx);
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        libusb_free_device_list(list, 1);
        libusb_exit(ctx);
        std::fprintf(stderr, "devices: %zd\n", n);
        std::exit(0);
    };
    setenv("VCAM_CONFIG", (kData + "two-cameras-and-mouse.ini").c_str(), 1);
    EXPECT_EXIT(countDevices(), ::testing::ExitedWithCode(0), "^devices: 3\n$");

    TempFile bad("[camera]\nflavour = salty\n");
    setenv("VCAM_CONFIG", bad.path.c_str(), 1);
    EXPECT_EXIT(countDevices(), ::testing::ExitedWithCode(0),
                "^vcam: [^\n]*:2: unknown key 'flavour'[^\n]*\ndevices: 0\n$");

    unsetenv("VCAM_CONFIG");
    EXPECT_EXIT(countDevices(), ::testing::ExitedWithCode(0), "^devices: 1\n$");
}

}  // namespace
