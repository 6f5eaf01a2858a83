// Everything a device answers to standard descriptor requests, built once from its
// configuration, plus the interface and endpoint layout the pipes are made from.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace vcam {

enum class DeviceSpeed { Low, Full, High, Super };

struct InterfaceLayout {
    uint8_t number = 0;
    uint8_t interfaceClass = 0, interfaceSubClass = 0, interfaceProtocol = 0;
};

struct EndpointLayout {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interfaceNumber = 0;
};

struct DeviceDescriptors {
    std::vector<uint8_t> device;         // 18 bytes
    std::vector<uint8_t> configuration;  // the regular layout; empty without configuration
    // Bytes answered to GET_DESCRIPTOR(configuration) when they differ from the layout.
    std::optional<std::vector<uint8_t>> wireConfiguration;
    std::vector<uint8_t> bos;                       // empty: no BOS descriptor
    std::map<uint8_t, std::vector<uint8_t>> strings;  // index -> string descriptor; 0 = langids
    std::vector<InterfaceLayout> interfaces;
    std::vector<EndpointLayout> endpoints;
    DeviceSpeed speed = DeviceSpeed::Full;

    // USB3 Vision endpoint addresses; the event and stream ones are kept even when an
    // interface is left out, so that a pipe always has the same address.
    static constexpr uint8_t kControlOut = 0x01;
    static constexpr uint8_t kControlIn = 0x81;
    static constexpr uint8_t kEventIn = 0x82;
    static constexpr uint8_t kStreamIn = 0x83;

    static DeviceDescriptors forCamera(const CameraConfig& config);
    static DeviceDescriptors forDevice(const DeviceConfig& config);
};

// A string descriptor for text given in UTF-8, cut at the 126 code units a descriptor holds.
std::vector<uint8_t> stringDescriptor(const std::string& utf8);

}  // namespace vcam
