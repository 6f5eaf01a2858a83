// The watch over the bus after the start command: the camera leaving to write its flash,
// coming back, and what it came back as.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// How long the camera may take to leave the bus after the start command and to come back.
// The pause between two looks at the bus starts short, so that a quick camera is seen at
// once, and doubles up to `pause`, so that a slow one is not rescanned needlessly often.
struct WaitBounds {
    std::chrono::milliseconds departure{std::chrono::minutes(3)};
    std::chrono::milliseconds reboot{std::chrono::minutes(5)};
    std::chrono::milliseconds pause{100};
    std::chrono::milliseconds firstPause{1};
};

// One camera as discovery reports it.
struct CameraIdentity {
    std::string guid, serial, model, version;
};

// The cameras on the bus, as one discovery sees them; false when the discovery failed or
// its entries cannot be read, which tells nothing about any camera.
bool cameras_present(std::vector<CameraIdentity>& cameras);
bool cameras_present(std::vector<std::string>& guids);

// Waits until the camera with this GUID has left the bus. False on time-out; a failed
// discovery does not count as gone. The GUIDs of the other cameras then seen go to *others.
bool wait_for_departure(const std::string& guid, const WaitBounds& bounds, std::vector<std::string>* others = nullptr);
// Waits until that camera, or a camera not among `others`, is on the bus. False on time-out.
// The camera found goes to *back when given.
bool wait_for_device(const std::string& guid, const std::vector<std::string>& others, const WaitBounds& bounds,
                     CameraIdentity* back = nullptr);

// A fresh look at the camera that came back: false when the bus is seen without it. A
// failed discovery leaves *camera as the wait found it.
bool identify_camera(CameraIdentity& camera);

// Whether a camera that came back shows the update failed: true, with the reason in one
// line, when it is now in its boot loader and was not before.
bool update_failed(const CameraIdentity& before, const CameraIdentity& after, std::string& reason);
