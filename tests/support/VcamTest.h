// Fixture for tests of the real library on the virtual camera: every test starts from an
// empty USB world and empty log captures, and builds the devices it needs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "SyslogCapture.h"
#include "tessoral/tessoral.h"
#include "vcam/vcam.h"

namespace testsupport {

class VcamTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;  // closes device handles still open through openDevice

    // A camera with an identity of its own: GUID "VC%010d", serial "%08d" of n.
    static vcam::CameraConfig camera(int n = 1);
    static std::string guidOf(int n);

    int addCamera(const vcam::CameraConfig& config = camera(1));
    std::vector<int> addCameras(int count);  // cameras 1..count, in bus order

    // U3V_DiscoveryDevices; the status goes to *status when given, otherwise it must be 0.
    uint16_t discover(uint16_t* status = nullptr);
    // U3V_GetDeviceInfo of number n, which must succeed.
    U3V_DEVICE_INFO deviceInfo(uint16_t n);

    // U3V_OpenDevice with the log capture as callback. The handle is closed at the end of
    // the test unless closeDevice was called; the status goes to *status when given,
    // otherwise it must be 0.
    void* openDevice(const std::string& guid, uint8_t mask = 7, uint16_t* status = nullptr);
    uint16_t closeDevice(void* device);

private:
    std::vector<void*> openDevices_;
};

}  // namespace testsupport
