// The test-side control calls of vcam.h.
#include "device/World.h"
#include "vcam/vcam.h"

namespace vcam {

namespace {

// The camera with this id, or null; its firmware is used outside the world lock (it has
// a lock of its own) and lives as long as the returned reference.
std::shared_ptr<VirtualDevice> camera(int id) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    auto device = world.find(id);
    return device && device->isCamera() ? device : nullptr;
}

}  // namespace

void reset() { World::raw().reset(); }

bool loadConfig(const std::string& path, std::string* error) {
    WorldConfig config;
    if (!ConfigFile::load(path, config, error)) return false;
    World::raw().replace(config);
    setCallRecordOn(config.callRecord);
    return true;
}

int addCamera(const CameraConfig& config) { return World::get().addCamera(config); }
int addDevice(const DeviceConfig& config) { return World::get().addDevice(config); }
void unplug(int id) { World::get().unplug(id); }
void replug(int id) { World::get().replug(id); }
bool plugged(int id) { return World::get().plugged(id); }

bool peek(int id, uint64_t address, void* out, size_t length) {
    auto device = camera(id);
    return device && device->firmware()->peek(address, out, length);
}

bool poke(int id, uint64_t address, const void* data, size_t length) {
    auto device = camera(id);
    return device && device->firmware()->poke(address, data, length);
}

void setKernel(const KernelConfig& kernel) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    world.setKernel(kernel);
}

KernelConfig kernel() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.kernel();
}

void setStateDir(const std::string& path) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    world.setStateDir(path);
}

std::string stateDir() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.stateDir();
}

FirmwareStatus firmwareStatus(int id) {
    auto device = camera(id);
    return device ? device->firmware()->status() : FirmwareStatus{};
}

void addControlFault(int id, const ControlFault& fault) {
    if (auto device = camera(id)) device->firmware()->addFault(fault);
}

void clearControlFaults(int id) {
    if (auto device = camera(id)) device->firmware()->clearFaults();
}

void pushIn(int id, uint8_t endpoint, const std::vector<uint8_t>& transfer) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    auto device = world.find(id);
    if (!device || !device->plugged()) return;  // nobody on the bus to send it
    Endpoint* ep = device->endpoint(endpoint);
    if (ep && ep->isIn()) ep->push(std::vector<uint8_t>(transfer));
}

StreamStats streamStats(int id) {
    auto device = camera(id);
    return device ? device->firmware()->stream().stats() : StreamStats{};
}

// Changes that may let a waiting read go on.
template <typename Change>
void changeCamera(int id, Change change) {
    auto device = camera(id);
    if (!device) return;
    change(*device->firmware());
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    device->pumpSources();
}

void setStreamPacing(int id, uint64_t bytesPerSecond, uint32_t frameRate) {
    changeCamera(id, [&](CameraFirmware& f) { f.stream().setPacing(bytesPerSecond, frameRate); });
}

void setImageBuffers(int id, uint32_t images) {
    changeCamera(id, [&](CameraFirmware& f) { f.stream().setImageBuffers(images); });
}

void addStreamFault(int id, const StreamFault& fault) {
    changeCamera(id, [&](CameraFirmware& f) { f.stream().addFault(fault); });
}

void clearStreamFaults(int id) {
    changeCamera(id, [&](CameraFirmware& f) { f.stream().clearFaults(); });
}

void addEventFault(int id, const EventFault& fault) {
    changeCamera(id, [&](CameraFirmware& f) { f.events().addFault(fault); });
}

void clearEventFaults(int id) {
    changeCamera(id, [&](CameraFirmware& f) { f.events().clearFaults(); });
}

void setTransferLatency(int id, uint32_t microseconds) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    if (auto device = world.find(id)) device->setTransferLatency(std::chrono::microseconds(microseconds));
}

void setUsbfsMemoryLimit(uint64_t bytes) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    world.setUsbfsLimit(bytes);
}

uint64_t usbfsMemoryLimit() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.usbfsLimit();
}

uint64_t usbfsMemoryInUse() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.usbfsInUse();
}

void setCallRecord(bool on) { setCallRecordOn(on); }
bool callRecord() { return callRecordOn(); }

std::vector<UsbCall> calls() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    return world.callRecord().snapshot();
}

void clearCalls() {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    world.callRecord().clear();
}

}  // namespace vcam
