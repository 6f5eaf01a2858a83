#include "VcamTest.h"

#include <algorithm>
#include <cstdio>

namespace testsupport {

void VcamTest::SetUp() {
    vcam::reset();
    vcam::setCallRecord(false);  // the default; tests that read the record turn it on
    LogCapture::clear();
    SyslogCapture::clear();
}

void VcamTest::TearDown() {
    for (void* device : openDevices_) EXPECT_EQ(U3V_CloseDevice(device), U3V_OK);
    openDevices_.clear();
}

std::string VcamTest::guidOf(int n) {
    char guid[16];
    std::snprintf(guid, sizeof guid, "VC%010d", n);
    return guid;
}

vcam::CameraConfig VcamTest::camera(int n) {
    vcam::CameraConfig config;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08d", n);
    config.identity.guid = guidOf(n);
    config.identity.serialNumber = serial;
    config.identity.userDefinedName = "Camera " + std::to_string(n);
    return config;
}

int VcamTest::addCamera(const vcam::CameraConfig& config) { return vcam::addCamera(config); }

std::vector<int> VcamTest::addCameras(int count) {
    std::vector<int> ids;
    for (int n = 1; n <= count; ++n) ids.push_back(addCamera(camera(n)));
    return ids;
}

uint16_t VcamTest::discover(uint16_t* status) {
    uint16_t count = 0xFFFF;
    const uint16_t result = U3V_DiscoveryDevices(&count);
    if (status != nullptr) *status = result;
    else EXPECT_EQ(result, U3V_OK) << "discovery failed";
    return count;
}

U3V_DEVICE_INFO VcamTest::deviceInfo(uint16_t n) {
    U3V_DEVICE_INFO info{};
    EXPECT_EQ(U3V_GetDeviceInfo(n, &info), U3V_OK) << "device " << n;
    return info;
}

void* VcamTest::openDevice(const std::string& guid, uint8_t mask, uint16_t* status) {
    void* device = nullptr;
    const uint16_t result = U3V_OpenDevice(guid.c_str(), &device, &LogCapture::callback, mask);
    if (status != nullptr) *status = result;
    else EXPECT_EQ(result, U3V_OK) << "open of " << guid;
    if (device != nullptr) openDevices_.push_back(device);
    return device;
}

uint16_t VcamTest::closeDevice(void* device) {
    openDevices_.erase(std::remove(openDevices_.begin(), openDevices_.end(), device),
                       openDevices_.end());
    return U3V_CloseDevice(device);
}

}  // namespace testsupport
