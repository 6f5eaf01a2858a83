#include "FirmwareWaits.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "Acquisition/AcquisitionUSB3.h"
#include "FirmwareCatalogue.h"

namespace {

void pauseBetweenPolls(std::chrono::milliseconds& pause, const WaitBounds& bounds) {
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, bounds.pause);
}

template <size_t N>
std::string field(const char (&text)[N]) {
    return std::string(text, strnlen(text, N));
}

bool listed(const std::vector<CameraIdentity>& cameras, const std::string& guid) {
    return std::any_of(cameras.begin(), cameras.end(), [&](const CameraIdentity& c) { return c.guid == guid; });
}

}  // namespace

bool cameras_present(std::vector<CameraIdentity>& cameras) {
    cameras.clear();
    uint16_t count = 0;
    AcquisitionUSB3 probe(&count);
    // After a failed scan the count is the last good one's and the entries may be fewer
    // or others: neither says whether a camera is there.
    if (probe.discoveryStatus() != U3V_OK) return false;
    for (uint16_t n = 1; n <= count; ++n) {
        U3V_DEVICE_INFO info;
        std::memset(&info, 0, sizeof info);
        if (probe.U3V_GetDeviceInfo(n, &info) != U3V_OK) return false;
        cameras.push_back({field(info.DeviceGUID), field(info.SerialNumber), field(info.ModelName),
                           field(info.DeviceVersion)});
    }
    return true;
}

bool cameras_present(std::vector<std::string>& guids) {
    std::vector<CameraIdentity> cameras;
    guids.clear();
    if (!cameras_present(cameras)) return false;
    for (const CameraIdentity& c : cameras) guids.push_back(c.guid);
    return true;
}

bool wait_for_departure(const std::string& guid, const WaitBounds& bounds, std::vector<std::string>* others) {
    const auto deadline = std::chrono::steady_clock::now() + bounds.departure;
    std::vector<CameraIdentity> seen;
    auto pause = std::min(bounds.firstPause, bounds.pause);
    for (;;) {
        if (cameras_present(seen) && !listed(seen, guid)) {
            if (others != nullptr) {
                others->clear();
                for (const CameraIdentity& c : seen) others->push_back(c.guid);
            }
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pauseBetweenPolls(pause, bounds);
    }
}

bool wait_for_device(const std::string& guid, const std::vector<std::string>& others, const WaitBounds& bounds,
                     CameraIdentity* back) {
    const auto deadline = std::chrono::steady_clock::now() + bounds.reboot;
    std::vector<CameraIdentity> seen;
    auto pause = std::min(bounds.firstPause, bounds.pause);
    for (;;) {
        // The camera may come back under another identity (a boot loader), so any camera
        // that was not on the bus while it was away counts as well; our own GUID first.
        if (cameras_present(seen)) {
            auto found = std::find_if(seen.begin(), seen.end(), [&](const CameraIdentity& c) { return c.guid == guid; });
            if (found == seen.end())
                found = std::find_if(seen.begin(), seen.end(), [&](const CameraIdentity& c) {
                    return std::find(others.begin(), others.end(), c.guid) == others.end();
                });
            if (found != seen.end()) {
                if (back != nullptr) *back = *found;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pauseBetweenPolls(pause, bounds);
    }
}

bool identify_camera(CameraIdentity& camera) {
    std::vector<CameraIdentity> seen;
    if (!cameras_present(seen)) return true;
    const auto found = std::find_if(seen.begin(), seen.end(), [&](const CameraIdentity& c) { return c.guid == camera.guid; });
    if (found == seen.end()) return false;
    camera = *found;
    return true;
}

bool update_failed(const CameraIdentity& before, const CameraIdentity& after, std::string& reason) {
    if (after.model != BOOTLOADER_MODEL || before.model == BOOTLOADER_MODEL) return false;
    reason = "The update failed: the camera came back in its boot loader (" + after.model + " Version " +
             after.version + ") instead of " + before.model + ".";
    return true;
}
