#include "device/VirtualDevice.h"

#include "device/WakeTimer.h"
#include "device/World.h"

#include <algorithm>
#include <cstddef>

namespace vcam {

VirtualDevice::VirtualDevice(int id, const CameraConfig& config, const std::string& stateDir)
    : id_(id),
      camera_(config),
      firmware_(std::make_unique<CameraFirmware>(config, stateDir)),
      transferLatency_(config.transferLatencyUs) {
    setIdentity(firmware_->identity());
    makeEndpoints();
}

VirtualDevice::VirtualDevice(int id, const DeviceConfig& config) : id_(id), openFails_(config.openFails) {
    descriptorGenerations_.push_back(
        std::make_unique<const DeviceDescriptors>(DeviceDescriptors::forDevice(config)));
    descriptors_.store(descriptorGenerations_.back().get(), std::memory_order_release);
    makeEndpoints();
    // The class driver of the host owns the interface until it is detached; vendor
    // specific interfaces have none.
    for (const InterfaceLayout& itf : descriptors().interfaces) {
        if (itf.interfaceClass != 0xFF) driverDefault_.insert(itf.number);
    }
    driverBound_ = driverDefault_;
}

bool VirtualDevice::openRefused() const {
    return openFails_ || (camera_ && camera_->discoveryFault == DiscoveryFault::OpenFails);
}

void VirtualDevice::makeEndpoints() {
    for (const EndpointLayout& ep : descriptors().endpoints) endpoints_.emplace(ep.address, ep);
}

void VirtualDevice::setIdentity(const Identity& identity) {
    if (!camera_) return;
    if (identity_ && *identity_ == identity) return;
    identity_ = identity;
    CameraConfig config = *camera_;
    config.identity = identity;
    descriptorGenerations_.push_back(
        std::make_unique<const DeviceDescriptors>(DeviceDescriptors::forCamera(config)));
    descriptors_.store(descriptorGenerations_.back().get(), std::memory_order_release);
}

bool VirtualDevice::answerControl(const wire::Setup& setup, std::vector<uint8_t>& out) {
    out.clear();
    if (setup.requestType == wire::kRequestTypeStandardInDevice &&
        setup.request == wire::kReqGetDescriptor) {
        return answerDescriptor(setup, out);
    }
    return answerStandard(setup, out);
}

bool VirtualDevice::answerDescriptor(const wire::Setup& setup, std::vector<uint8_t>& out) const {
    const DeviceDescriptors& d = descriptors();  // one generation for the whole answer
    const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
    const DiscoveryFault fault = camera_ ? camera_->discoveryFault : DiscoveryFault::None;
    const std::vector<uint8_t>* answer = nullptr;
    switch (type) {
        case wire::kDtDevice:
            if (index == 0) answer = &d.device;
            break;
        case wire::kDtConfiguration:
            if (index != 0 || d.configuration.empty()) break;
            if (fault == DiscoveryFault::ConfigReadFails) break;
            answer = d.wireConfiguration ? &*d.wireConfiguration : &d.configuration;
            break;
        case wire::kDtString: {
            if (fault == DiscoveryFault::StringReadFails && index == camera_->failingStringIndex) {
                break;
            }
            auto it = d.strings.find(index);
            if (it != d.strings.end()) answer = &it->second;
            break;
        }
        case wire::kDtBos:
            if (index == 0 && !d.bos.empty()) answer = &d.bos;
            break;
        default:
            break;
    }
    if (answer == nullptr) return false;
    const size_t n = std::min<size_t>(answer->size(), setup.length);
    out.assign(answer->begin(), answer->begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

int VirtualDevice::interfaceHeldElsewhere() const {
    if (!camera_ || !camera_->controlHeldElsewhere) return -1;
    for (const InterfaceLayout& itf : descriptors().interfaces) {
        if (itf.interfaceClass == 0xEF && itf.interfaceSubClass == 0x05 &&
            itf.interfaceProtocol == 0x00) {
            return itf.number;
        }
    }
    return -1;
}

bool VirtualDevice::hasInterface(int number) const {
    for (const InterfaceLayout& itf : descriptors().interfaces) {
        if (itf.number == number) return true;
    }
    return false;
}

Endpoint* VirtualDevice::endpoint(uint8_t address) {
    auto it = endpoints_.find(address);
    return it == endpoints_.end() ? nullptr : &it->second;
}

void VirtualDevice::plug(uint8_t bus, uint8_t address, uint8_t port) {
    // It enumerates with what its firmware reports now (a reboot may still be telling the
    // world about a new identity when a test plugs it back in).
    if (firmware_) setIdentity(firmware_->identity());
    plugged_ = true;
    ++session_;
    bus_ = bus;
    address_ = address;
    port_ = port;
    driverBound_ = driverDefault_;
}

void VirtualDevice::connectSources(std::function<void()> leave) {
    if (!firmware_) return;
    std::weak_ptr<VirtualDevice> self = weak_from_this();
    auto feed = [&](uint8_t address, InSource* source) {
        Endpoint* ep = endpoint(address);
        if (ep == nullptr) return;
        auto wake = [self, address](SteadyTime when) {
            WakeTimer::get().at(when, [self, address] {
                auto device = self.lock();
                if (!device) return;
                std::lock_guard lock(World::raw().mutex());
                if (Endpoint* e = device->endpoint(address)) e->wakeUp();
            });
        };
        ep->attachSource(source, wake, leave);
    };
    feed(DeviceDescriptors::kStreamIn, &firmware_->stream());
    feed(DeviceDescriptors::kEventIn, &firmware_->events());
}

void VirtualDevice::pumpSources() {
    if (!firmware_ || !plugged_) return;
    for (uint8_t address : {DeviceDescriptors::kStreamIn, DeviceDescriptors::kEventIn}) {
        if (Endpoint* ep = endpoint(address)) ep->pump();
    }
}

void VirtualDevice::unplug() {
    if (!plugged_) return;
    plugged_ = false;
    if (firmware_) firmware_->powerLoss();
    for (auto& [address, ep] : endpoints_) {
        ep.failReads(IoStatus::NoDevice);
        ep.dropData();
        ep.clearHalt();
    }
    claims_.clear();
}

void VirtualDevice::setDriverBound(int number, bool bound) {
    if (bound) {
        driverBound_.insert(number);
    } else {
        driverBound_.erase(number);
    }
}

void VirtualDevice::busReset() {
    if (firmware_) firmware_->powerLoss();
    for (auto& [address, ep] : endpoints_) {
        ep.failReads(IoStatus::Cancelled);
        ep.dropData();
        ep.clearHalt();
    }
}

}  // namespace vcam
