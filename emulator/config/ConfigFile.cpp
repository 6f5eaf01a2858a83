#include "config/ConfigFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace vcam {

namespace {

std::string trim(const std::string& s) {
    const char* space = " \t\r\n";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return {};
    const size_t last = s.find_last_not_of(space);
    return s.substr(first, last - first + 1);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal with 0x; no sign, nothing after the digits.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty()) return false;
    uint64_t value = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const uint64_t base = hex ? 16 : 10;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const int digit = hex ? hexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0) return false;
        if (value > (max - static_cast<uint64_t>(digit)) / base) return false;
        value = value * base + static_cast<uint64_t>(digit);
    }
    out = value;
    return true;
}

bool parseBool(const std::string& text, bool& out) {
    if (text == "true" || text == "yes" || text == "on" || text == "1") {
        out = true;
        return true;
    }
    if (text == "false" || text == "no" || text == "off" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

// Bytes written as hex: separated by blanks or commas ("09 02 0x20"), or run together
// ("090220").
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    std::string token;
    auto flush = [&]() {
        if (token.empty()) return true;
        std::string digits = token;
        token.clear();
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits = digits.substr(2);
        }
        if (digits.empty()) return false;
        if (digits.size() > 2 && digits.size() % 2 != 0) return false;
        if (digits.size() <= 2) {
            int value = 0;
            for (char c : digits) {
                const int d = hexDigit(c);
                if (d < 0) return false;
                value = value * 16 + d;
            }
            out.push_back(static_cast<uint8_t>(value));
            return true;
        }
        for (size_t i = 0; i < digits.size(); i += 2) {
            const int hi = hexDigit(digits[i]), lo = hexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return true;
    };
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!flush()) return false;
        } else {
            token.push_back(c);
        }
    }
    return flush();
}

bool parseFault(const std::string& text, DiscoveryFault& out) {
    static const std::pair<const char*, DiscoveryFault> names[] = {
        {"none", DiscoveryFault::None},
        {"open_fails", DiscoveryFault::OpenFails},
        {"no_configuration", DiscoveryFault::NoConfiguration},
        {"no_interfaces", DiscoveryFault::NoInterfaces},
        {"config_read_fails", DiscoveryFault::ConfigReadFails},
        {"string_read_fails", DiscoveryFault::StringReadFails},
        {"no_device_info", DiscoveryFault::NoDeviceInfo},
    };
    for (const auto& [name, fault] : names) {
        if (text == name) {
            out = fault;
            return true;
        }
    }
    return false;
}

// "kind [at ADDRESS] [skip N] [count N|-1] [pending MS,MS...] [ack HEX]", several separated
// by ';'; the kind status carries its GenCP status right after it ("status 0x8006 at ...").
bool parseControlFaults(const std::string& text, std::vector<ControlFault>& out, std::string& why) {
    static const std::pair<const char*, ControlFaultKind> kinds[] = {
        {"no_ack", ControlFaultKind::NoAck},
        {"short_ack", ControlFaultKind::ShortAck},
        {"long_ack", ControlFaultKind::LongAck},
        {"wrong_prefix", ControlFaultKind::WrongPrefix},
        {"wrong_command", ControlFaultKind::WrongCommand},
        {"wrong_request_id", ControlFaultKind::WrongRequestId},
        {"status", ControlFaultKind::Status},
        {"stall_in", ControlFaultKind::StallIn},
        {"stall_out", ControlFaultKind::StallOut},
        {"pending", ControlFaultKind::Pending},
        {"replace", ControlFaultKind::Replace},
    };
    out.clear();
    std::istringstream faults(text);
    std::string one;
    while (std::getline(faults, one, ';')) {
        std::istringstream words(one);
        std::string kind;
        if (!(words >> kind)) continue;
        ControlFault fault;
        bool known = false;
        for (const auto& [name, k] : kinds) {
            if (kind == name) {
                fault.kind = k;
                known = true;
            }
        }
        if (!known) {
            why = "unknown control fault '" + kind + "'";
            return false;
        }
        if (fault.kind == ControlFaultKind::Status) {
            std::string code;
            uint64_t n = 0;
            if (!(words >> code) || !parseUnsigned(code, UINT16_MAX, n)) {
                why = "control fault 'status' needs a status from 0 to 0xFFFF";
                return false;
            }
            fault.status = static_cast<uint16_t>(n);
        }
        std::string option, value;
        while (words >> option) {
            if (!(words >> value)) {
                why = "control fault option '" + option + "' needs a value";
                return false;
            }
            uint64_t n = 0;
            bool ok = true;
            if (option == "at") {
                ok = parseUnsigned(value, UINT64_MAX, n);
                fault.address = n;
            } else if (option == "skip") {
                ok = parseUnsigned(value, INT32_MAX, n);
                fault.skip = static_cast<int>(n);
            } else if (option == "count") {
                ok = value == "-1" || parseUnsigned(value, INT32_MAX, n);
                fault.count = value == "-1" ? -1 : static_cast<int>(n);
            } else if (option == "pending") {
                std::istringstream list(value);
                std::string ms;
                while (ok && std::getline(list, ms, ',')) {
                    ok = parseUnsigned(ms, UINT16_MAX, n);
                    fault.pendingTimeoutsMs.push_back(static_cast<uint16_t>(n));
                }
            } else if (option == "ack") {
                ok = parseHexBytes(value, fault.ack);
            } else {
                why = "unknown control fault option '" + option + "'";
                return false;
            }
            if (!ok) {
                why = "bad value '" + value + "' for control fault option '" + option + "'";
                return false;
            }
        }
        out.push_back(std::move(fault));
    }
    return true;
}

class Parser {
public:
    Parser(const std::string& name, WorldConfig& out) : name_(name), out_(out) {}

    bool run(const std::string& text, std::string* error) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            ++line_;
            const std::string content = trim(raw);
            if (content.empty() || content[0] == '#' || content[0] == ';') continue;
            if (!handleLine(content)) {
                if (error) *error = name_ + ":" + std::to_string(line_) + ": " + reason_;
                return false;
            }
        }
        return true;
    }

private:
    enum class Section { Top, Camera, Device };

    bool fail(const std::string& reason) {
        reason_ = reason;
        return false;
    }

    bool handleLine(const std::string& content) {
        if (content.front() == '[') {
            if (content.back() != ']') return fail("malformed section header '" + content + "'");
            const std::string section = trim(content.substr(1, content.size() - 2));
            if (section == "camera") {
                section_ = Section::Camera;
                out_.devices.emplace_back(CameraConfig{});
            } else if (section == "device") {
                section_ = Section::Device;
                out_.devices.emplace_back(DeviceConfig{});
            } else {
                return fail("unknown section [" + section + "]");
            }
            seen_.clear();
            return true;
        }
        const size_t eq = content.find('=');
        if (eq == std::string::npos) return fail("expected 'key = value'");
        const std::string key = trim(content.substr(0, eq));
        std::string value = trim(content.substr(eq + 1));
        if (key.empty()) return fail("missing key before '='");
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (!seen_.insert(key).second) return fail("duplicate key '" + key + "'");
        switch (section_) {
            case Section::Top:
                if (key == "state_dir") {
                    out_.stateDir = value;
                    return true;
                }
                if (key == "call_record") return flag(key, value, out_.callRecord);
                if (key == "usbfs_memory_mb") {
                    uint64_t mb = 0;
                    if (!number(key, value, mb)) return false;
                    if (mb > (uint64_t{1} << 44)) return fail("bad value '" + value + "' for usbfs_memory_mb (too large)");
                    out_.usbfsMemoryBytes = mb << 20;
                    // The same limit for the emulated kernel (whose own default is Linux's 16).
                    out_.kernel.memoryMb = static_cast<uint32_t>(std::min<uint64_t>(mb, UINT32_MAX));
                    return true;
                }
                if (key == "usbfs_capabilities") return capabilities(key, value, out_.kernel.capabilities);
                return fail("unknown key '" + key + "' outside a section");
            case Section::Camera:
                return cameraKey(std::get<CameraConfig>(out_.devices.back()), key, value);
            case Section::Device:
                return deviceKey(std::get<DeviceConfig>(out_.devices.back()), key, value);
        }
        return false;
    }

    // `none`, or names separated by commas: zero_packet, bulk_continuation,
    // no_packet_size_limit, bulk_scatter_gather, reap_after_disconnect.
    bool capabilities(const std::string& key, const std::string& value, uint32_t& out) {
        static const std::pair<const char*, uint32_t> kNames[] = {
            {"zero_packet", kCapZeroPacket},
            {"bulk_continuation", kCapBulkContinuation},
            {"no_packet_size_limit", kCapNoPacketSizeLimit},
            {"bulk_scatter_gather", kCapBulkScatterGather},
            {"reap_after_disconnect", kCapReapAfterDisconnect},
        };
        uint32_t caps = 0;
        if (value == "none") {
            out = 0;
            return true;
        }
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            const std::string name = trim(value.substr(start, comma - start));
            uint32_t bit = 0;
            for (const auto& [n, b] : kNames) {
                if (name == n) bit = b;
            }
            if (bit == 0) return fail("bad capability '" + name + "' for " + key);
            caps |= bit;
            start = comma + 1;
        }
        out = caps;
        return true;
    }

    template <typename T>
    bool number(const std::string& key, const std::string& value, T& out) {
        uint64_t v = 0;
        if (!parseUnsigned(value, std::numeric_limits<T>::max(), v)) {
            return fail("bad value '" + value + "' for " + key + " (expected a number from 0 to " +
                        std::to_string(std::numeric_limits<T>::max()) + ")");
        }
        out = static_cast<T>(v);
        return true;
    }

    bool flag(const std::string& key, const std::string& value, bool& out) {
        if (!parseBool(value, out)) {
            return fail("bad value '" + value + "' for " + key + " (expected true or false)");
        }
        return true;
    }

    bool cameraKey(CameraConfig& c, const std::string& key, const std::string& value) {
        Identity& id = c.identity;
        std::string* text = key == "guid"                ? &id.guid
                            : key == "vendor"            ? &id.vendor
                            : key == "model"             ? &id.model
                            : key == "family"            ? &id.family
                            : key == "device_version"    ? &id.deviceVersion
                            : key == "manufacturer_info" ? &id.manufacturerInfo
                            : key == "serial_number"     ? &id.serialNumber
                            : key == "user_defined_name" ? &id.userDefinedName
                                                         : nullptr;
        if (text) {
            *text = value;
            return true;
        }
        if (key == "vendor_id") return number(key, value, c.vendorId);
        if (key == "product_id") return number(key, value, c.productId);
        if (key == "has_event") return flag(key, value, c.hasEvent);
        if (key == "has_stream") return flag(key, value, c.hasStream);
        if (key == "control_held_elsewhere") return flag(key, value, c.controlHeldElsewhere);
        if (key == "discovery_fault") {
            if (!parseFault(value, c.discoveryFault)) {
                return fail("bad value '" + value +
                            "' for discovery_fault (expected none, open_fails, no_configuration, "
                            "no_interfaces, config_read_fails, string_read_fails or "
                            "no_device_info)");
            }
            return true;
        }
        if (key == "failing_string_index") return number(key, value, c.failingStringIndex);
        if (key == "wire_config_descriptor") {
            std::vector<uint8_t> bytes;
            if (!parseHexBytes(value, bytes)) {
                return fail("bad value for wire_config_descriptor (expected hex bytes)");
            }
            c.wireConfigDescriptor = std::move(bytes);
            return true;
        }
        if (key == "max_device_response_time_ms") return number(key, value, c.maxDeviceResponseTimeMs);
        if (key == "written_length_field") return flag(key, value, c.writtenLengthField);
        if (key == "max_command_transfer_length") return number(key, value, c.maxCommandTransferLength);
        if (key == "max_ack_transfer_length") return number(key, value, c.maxAckTransferLength);
        if (key == "zipped_description") return flag(key, value, c.zippedDescription);
        if (key == "max_event_transfer_length") return number(key, value, c.maxEventTransferLength);
        if (key == "stream_bandwidth") return number(key, value, c.streamBytesPerSecond);
        if (key == "frame_rate") return number(key, value, c.frameRate);
        if (key == "image_buffers") {
            if (!number(key, value, c.imageBuffers)) return false;
            if (c.imageBuffers == 0) return fail("bad value '0' for image_buffers (at least 1)");
            return true;
        }
        if (key == "transfer_latency_us") return number(key, value, c.transferLatencyUs);
        if (key == "payload_alignment_log2") {
            if (!number(key, value, c.payloadAlignmentLog2)) return false;
            if (c.payloadAlignmentLog2 > 31) return fail("bad value '" + value + "' for payload_alignment_log2 (0 to 31)");
            return true;
        }
        if (key == "flash_time_ms") return number(key, value, c.flashTimeMs);
        if (key == "reboot_time_ms") return number(key, value, c.rebootTimeMs);
        if (key == "firmware_window_size") return number(key, value, c.firmwareWindowSize);
        if (key == "boot_loader") return flag(key, value, c.bootLoader);
        if (key == "control_faults") {
            std::string why;
            if (!parseControlFaults(value, c.controlFaults, why)) return fail(why);
            return true;
        }
        if (key == "boot_loader_version") {
            c.bootLoaderVersion = value;
            return true;
        }
        return fail("unknown key '" + key + "' in [camera]");
    }

    bool deviceKey(DeviceConfig& d, const std::string& key, const std::string& value) {
        if (key == "vendor_id") return number(key, value, d.vendorId);
        if (key == "product_id") return number(key, value, d.productId);
        if (key == "device_class") return number(key, value, d.deviceClass);
        if (key == "device_subclass") return number(key, value, d.deviceSubClass);
        if (key == "device_protocol") return number(key, value, d.deviceProtocol);
        if (key == "open_fails") return flag(key, value, d.openFails);
        if (key == "interface_class") return number(key, value, d.interfaceClass);
        return fail("unknown key '" + key + "' in [device]");
    }

    const std::string& name_;
    WorldConfig& out_;
    Section section_ = Section::Top;
    std::set<std::string> seen_;
    int line_ = 0;
    std::string reason_;
};

}  // namespace

bool ConfigFile::parse(const std::string& text, const std::string& name, WorldConfig& out,
                       std::string* error) {
    WorldConfig parsed;
    Parser parser(name, parsed);
    if (!parser.run(text, error)) return false;
    out = std::move(parsed);
    return true;
}

bool ConfigFile::load(const std::string& path, WorldConfig& out, std::string* error) {
    std::error_code ec;
    std::ifstream file(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ec) || !file) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    return parse(text.str(), path, out, error);
}

}  // namespace vcam
