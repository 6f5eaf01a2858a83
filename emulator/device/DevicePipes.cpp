// What a device does with the standard requests of its default pipe and with the transfers
// written to its OUT pipes: the same for every way a host reaches it.
#include <algorithm>

#include "device/VirtualDevice.h"

namespace vcam {

namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kFeatureRemoteWakeup = 1;

// bmRequestType of standard requests: direction bit 7, recipient bits 0..4.
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kToDevice = 0, kToInterface = 1, kToEndpoint = 2;

void answerBytes(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes, uint16_t room) {
    out.assign(bytes);
    if (out.size() > room) out.resize(room);
}

}  // namespace

bool VirtualDevice::answerStandard(const wire::Setup& setup, std::vector<uint8_t>& out) {
    if ((setup.requestType & kTypeMask) != 0) return false;  // class and vendor requests stall
    const bool in = (setup.requestType & kDirIn) != 0;
    const uint8_t recipient = setup.requestType & kRecipientMask;
    const std::vector<uint8_t>& config = descriptors().configuration;
    const uint8_t configValue = config.size() >= wire::kConfigDescriptorSize ? config[5] : 0;
    // An endpoint addressed by wIndex; endpoint 0 (either direction) is the default pipe.
    const uint8_t epAddress = static_cast<uint8_t>(setup.index & 0xFF);
    Endpoint* ep = recipient == kToEndpoint ? endpoint(epAddress) : nullptr;
    const bool defaultPipe = recipient == kToEndpoint && (epAddress & 0x7F) == 0;
    const int interfaceNumber = setup.index & 0xFF;

    switch (setup.request) {
        case kGetStatus:
            if (!in || setup.value != 0) return false;
            if (recipient == kToDevice) {
                answerBytes(out, {0, 0}, setup.length);  // bus-powered, no remote wake-up
                return true;
            }
            if (recipient == kToInterface && hasInterface(interfaceNumber)) {
                answerBytes(out, {0, 0}, setup.length);
                return true;
            }
            if (recipient == kToEndpoint && (ep != nullptr || defaultPipe)) {
                answerBytes(out, {static_cast<uint8_t>(ep != nullptr && ep->halted()), 0}, setup.length);
                return true;
            }
            return false;
        case kClearFeature:
        case kSetFeature: {
            if (in) return false;
            const bool set = setup.request == kSetFeature;
            if (recipient == kToEndpoint && setup.value == kFeatureEndpointHalt) {
                if (defaultPipe) return !set;  // the default pipe cannot be halted for good
                if (ep == nullptr) return false;
                if (set) {
                    ep->halt();
                } else {
                    ep->clearHalt();
                }
                return true;
            }
            // Remote wake-up only where the configuration offers it (bmAttributes bit 5).
            return recipient == kToDevice && setup.value == kFeatureRemoteWakeup &&
                   config.size() >= wire::kConfigDescriptorSize && (config[7] & 0x20) != 0;
        }
        case kGetConfiguration:
            if (!in || recipient != kToDevice) return false;
            answerBytes(out, {configValue}, setup.length);
            return true;
        case kSetConfiguration:
            // One configuration: choosing it again (or none, which this device ignores) is
            // accepted, anything else stalls.
            return !in && recipient == kToDevice && configValue != 0 &&
                   (setup.value == configValue || setup.value == 0);
        case kGetInterface:
            if (!in || recipient != kToInterface || !hasInterface(interfaceNumber)) return false;
            answerBytes(out, {0}, setup.length);
            return true;
        case kSetInterface:
            if (in || recipient != kToInterface || !hasInterface(interfaceNumber) || setup.value != 0) {
                return false;
            }
            // Selecting a setting resets its pipes: halts go.
            for (const EndpointLayout& layout : descriptors().endpoints) {
                if (layout.interfaceNumber == interfaceNumber) {
                    if (Endpoint* e = endpoint(layout.address)) e->clearHalt();
                }
            }
            return true;
        default:
            return false;
    }
}

bool VirtualDevice::writeOut(std::unique_lock<std::mutex>& lock, Endpoint& ep, const uint8_t* data,
                             size_t length) {
    if (ep.halted()) return false;
    if (!firmware_ || ep.layout().address != DeviceDescriptors::kControlOut) return true;
    const uint64_t session = session_;
    lock.unlock();
    ControlAnswer answer = firmware_->onControlCommand(data, length);
    lock.lock();
    if (plugged_ && session_ == session) {  // else nobody is left to answer
        Endpoint* out = endpoint(DeviceDescriptors::kControlOut);
        Endpoint* in = endpoint(DeviceDescriptors::kControlIn);
        if (answer.stallOut && out != nullptr) out->halt();
        if (in != nullptr) {
            if (answer.stallIn) in->halt();
            for (auto& ack : answer.acks) in->push(std::move(ack));
        }
        pumpSources();  // the command may have started a stream or sent an event
    }
    if (answer.then) answer.then();
    return !ep.halted();
}

}  // namespace vcam
