// Each update runs on a detached thread of its own: updates are rare, and the world (never
// destroyed) is all it touches besides the camera it keeps alive. A camera taken out of
// the world meanwhile (reset, a new configuration) is left alone.
#include "device/FirmwareUpdate.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/World.h"

namespace vcam {

namespace {

using Clock = std::chrono::steady_clock;

// However short the configured times, the start command's acknowledge gets this long to
// be read before the camera leaves, and a camera nobody looks for stays away this long.
constexpr auto kAckGrace = std::chrono::seconds(1);
constexpr auto kUnseenAway = std::chrono::seconds(1);

bool inWorld(World& world, const std::shared_ptr<VirtualDevice>& camera) {
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.find(camera->id()) == camera;
}

void runUpdate(std::shared_ptr<VirtualDevice> camera) {
    World& world = World::raw();
    const CameraConfig& config = *camera->camera();

    // Flashing: still on the bus, answering (the window is busy).
    const Clock::time_point leaveAt = Clock::now() + std::chrono::milliseconds(config.flashTimeMs);
    std::this_thread::sleep_until(leaveAt);
    uint64_t looksAtLeave = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(world.mutex());
            if (world.find(camera->id()) != camera) return;
            Endpoint* in = camera->endpoint(DeviceDescriptors::kControlIn);
            if (!camera->plugged() || in == nullptr || in->pending() == 0 ||
                Clock::now() >= leaveAt + kAckGrace) {
                looksAtLeave = world.looks();
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    world.unplug(camera->id());
    const Clock::time_point leftAt = Clock::now();

    // Rebooting: off the bus for the reboot time, and until a host has seen it gone.
    const Clock::time_point backAt = leftAt + std::chrono::milliseconds(config.rebootTimeMs);
    std::this_thread::sleep_until(backAt);
    world.waitForLook(looksAtLeave, std::max(backAt, leftAt + kUnseenAway));
    if (!inWorld(world, camera)) return;
    camera->firmware()->reboot();
    const Identity identity = camera->firmware()->identity();
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        if (world.find(camera->id()) != camera) return;
        camera->setIdentity(identity);
    }
    world.replug(camera->id());
}

}  // namespace

void armFirmwareUpdates(const std::shared_ptr<VirtualDevice>& camera) {
    if (!camera->isCamera()) return;
    std::weak_ptr<VirtualDevice> weak = camera;
    camera->firmware()->setUpdateListener([weak] {
        if (std::shared_ptr<VirtualDevice> device = weak.lock()) std::thread(runUpdate, device).detach();
    });
}

}  // namespace vcam
