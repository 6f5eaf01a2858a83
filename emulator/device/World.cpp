#include "device/World.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "device/FirmwareUpdate.h"

namespace vcam {

namespace {

// Cameras sit on the SuperSpeed bus of the host controller, everything else on the
// high-speed one, as on a real xHCI host.
constexpr uint8_t kCameraBus = 2;
constexpr uint8_t kOtherBus = 1;

}  // namespace

World& World::raw() {
    static World* world = new World;  // never destroyed: see the header
    return *world;
}

World& World::get() {
    World& world = raw();
    world.ensureLoaded();
    return world;
}

void World::ensureLoaded() {
    if (loaded_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> load(loadMutex_);
    if (loaded_.load(std::memory_order_relaxed)) return;
    WorldConfig config;
    const char* path = std::getenv("VCAM_CONFIG");
    if (path != nullptr && *path != '\0') {
        std::string error;
        if (!ConfigFile::load(path, config, &error)) {
            std::fprintf(stderr, "vcam: %s (no devices)\n", error.c_str());
            config = WorldConfig{};
        }
        setCallRecordOn(config.callRecord);
    } else {
        config.devices.emplace_back(CameraConfig{});
    }
    install(config);
    loaded_.store(true, std::memory_order_release);
}

void World::settle() {
    std::lock_guard<std::mutex> busy(settling_);
    std::vector<PlugListener*> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners = listeners_;
    }
    for (PlugListener* listener : listeners) listener->settle();
}

void World::markLoaded() {
    std::lock_guard<std::mutex> load(loadMutex_);
    loaded_.store(true, std::memory_order_release);
}

std::shared_ptr<VirtualDevice> World::find(int id) const {
    for (const auto& device : devices_) {
        if (device->id() == id) return device;
    }
    return nullptr;
}

void World::addListener(PlugListener* listener) { listeners_.push_back(listener); }

void World::removeListener(PlugListener* listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener),
                     listeners_.end());
}

int World::addCamera(const CameraConfig& config) {
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dir = stateDir_;
    }
    auto device = std::make_shared<VirtualDevice>(nextId(), config, dir);
    armFirmwareUpdates(device);
    return add(device);
}

int World::addDevice(const DeviceConfig& config) {
    return add(std::make_shared<VirtualDevice>(nextId(), config));
}

// Devices are built before the lock is taken: a camera's firmware may take a while.
int World::add(const std::shared_ptr<VirtualDevice>& device) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        addLocked(device);
    }
    settle();
    return device->id();
}

void World::addLocked(const std::shared_ptr<VirtualDevice>& device) {
    std::weak_ptr<VirtualDevice> weak = device;
    device->connectSources([this, weak] {
        if (auto d = weak.lock()) unplugLocked(d);
    });
    devices_.push_back(device);
    plugLocked(device);
}

void World::unplug(int id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto device = find(id)) unplugLocked(device);
    }
    settle();
}

void World::replug(int id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto device = find(id);
        if (!device) return;
        unplugLocked(device);  // a plugged device re-enumerates
        plugLocked(device);
    }
    settle();
}

bool World::plugged(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    noteLook();
    auto device = find(id);
    return device && device->plugged();
}

void World::noteLook() {
    looks_.fetch_add(1);
    if (lookWaiters_.load() > 0) {
        std::lock_guard<std::mutex> lock(lookMutex_);
        lookSignal_.notify_all();
    }
}

void World::waitForLook(uint64_t since, std::chrono::steady_clock::time_point deadline) {
    lookWaiters_.fetch_add(1);
    {
        std::unique_lock<std::mutex> lock(lookMutex_);
        lookSignal_.wait_until(lock, deadline, [&] { return looks_.load() > since; });
    }
    lookWaiters_.fetch_sub(1);
}

void World::reset() {
    markLoaded();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removeAllLocked();
        calls_.clear();
        usbfsLimit_ = 0;  // what transfers in flight hold stays theirs
    }
    settle();
}

void World::replace(const WorldConfig& config) {
    markLoaded();  // after a start-up load still running has finished
    install(config);
}

void World::install(const WorldConfig& config) {
    std::vector<std::shared_ptr<VirtualDevice>> fresh;
    for (const auto& entry : config.devices) {
        if (const auto* camera = std::get_if<CameraConfig>(&entry)) {
            fresh.push_back(std::make_shared<VirtualDevice>(nextId(), *camera, config.stateDir));
            armFirmwareUpdates(fresh.back());
        } else {
            fresh.push_back(std::make_shared<VirtualDevice>(nextId(), std::get<DeviceConfig>(entry)));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removeAllLocked();
        calls_.clear();
        stateDir_ = config.stateDir;
        kernel_ = config.kernel;
        usbfsLimit_ = config.usbfsMemoryBytes;
        for (const auto& device : fresh) addLocked(device);
    }
    settle();
}

void World::removeAllLocked() {
    for (auto& device : devices_) unplugLocked(device);
    devices_.clear();
}

void World::plugLocked(const std::shared_ptr<VirtualDevice>& device) {
    if (device->plugged()) return;
    const uint8_t bus = device->isCamera() ? kCameraBus : kOtherBus;
    uint8_t port = device->port();
    if (port == 0) port = static_cast<uint8_t>(std::min(++portsUsed_[bus], uint8_t{255}));
    // A new address on every enumeration, skipping the ones in use on this bus.
    uint8_t address = lastAddress_[bus];
    for (int tries = 0; tries < 127; ++tries) {
        address = address >= 127 ? 2 : static_cast<uint8_t>(address + 1);
        const bool taken = std::any_of(devices_.begin(), devices_.end(), [&](const auto& d) {
            return d->plugged() && d->bus() == bus && d->address() == address;
        });
        if (!taken) break;
    }
    lastAddress_[bus] = address;
    device->plug(bus, address, port);
    for (PlugListener* listener : listeners_) listener->deviceArrived(device);
}

void World::unplugLocked(const std::shared_ptr<VirtualDevice>& device) {
    if (!device->plugged()) return;
    device->unplug();
    for (PlugListener* listener : listeners_) listener->deviceLeft(device);
}

}  // namespace vcam
