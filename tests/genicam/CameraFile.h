// Description files in the shape cameras send them (schema namespaces, tool tips,
// visibility, one very long line), and a register space in memory that counts its reads.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "genicam/NodeMap.h"

namespace testfile {

// 64 KiB of registers from 0x10000; anything else fails as a camera would.
class CountingPort : public genicam::Port {
public:
    static constexpr uint64_t kBase = 0x10000;
    static constexpr size_t kSize = 0x10000;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kSize, 0);
    int reads = 0, writes = 0;
    std::set<uint64_t> readAddresses;

    void read(uint64_t address, uint8_t* data, size_t length) override {
        check(address, length);
        ++reads;
        readAddresses.insert(address);
        std::memcpy(data, bytes.data() + (address - kBase), length);
    }
    void write(uint64_t address, const uint8_t* data, size_t length) override {
        check(address, length);
        ++writes;
        std::memcpy(bytes.data() + (address - kBase), data, length);
    }
    void set32(uint64_t address, uint32_t v) {  // little-endian, as the files below say
        for (int i = 0; i < 4; ++i) bytes[address - kBase + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    uint32_t get32(uint64_t address) const {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{bytes[address - kBase + i]} << (8 * i);
        return v;
    }
    void resetCounts() {
        reads = writes = 0;
        readAddresses.clear();
    }

private:
    static void check(uint64_t address, size_t length) {
        if (address < kBase || address + length > kBase + kSize || address + length < address)
            throw genicam::Error("no register at 0x" + std::to_string(address));
    }
};

// The header and closing of a file, namespace given: cameras send Version_1_0 and
// Version_1_1 files, some with a prefixed default namespace.
inline std::string cameraFile(const std::string& body, const std::string& ns = "http://www.genicam.org/GenApi/Version_1_1") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Written by hand for the engine's tests in the layout cameras use. -->\n"
           "<RegisterDescription ModelName=\"TestModel\" VendorName=\"TestVendor\" ToolTip=\"A test camera\" "
           "StandardNameSpace=\"GEV\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" "
           "MajorVersion=\"2\" MinorVersion=\"4\" SubMinorVersion=\"17\" ProductGuid=\"8F1B2C7A-0000-4000-8000-000000000001\" "
           "VersionGuid=\"8F1B2C7A-0000-4000-8000-000000000002\" xmlns=\"" + ns + "\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:schemaLocation=\"" + ns + " GenApiSchema.xsd\">\n" + body +
           "\n  <Port Name=\"Device\" NameSpace=\"Standard\">\n    <ToolTip>Port to the camera's registers.</ToolTip>\n"
           "  </Port>\n</RegisterDescription>\n";
}

// An integer register as cameras write them: 4 bytes, little-endian, Device port.
inline std::string intReg(const std::string& name, uint64_t address, const std::string& access = "RW",
                          const std::string& extra = "") {
    char addr[32];
    std::snprintf(addr, sizeof addr, "0x%llX", static_cast<unsigned long long>(address));
    return "  <IntReg Name=\"" + name + "\" NameSpace=\"Custom\">\n    <Visibility>Invisible</Visibility>\n"
           "    <Address>" + addr + "</Address>\n    <Length>4</Length>\n    <AccessMode>" + access +
           "</AccessMode>\n    <pPort>Device</pPort>\n" + extra +
           "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n";
}

// The message of the Error that f throws, or "(no error)".
template <class F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const genicam::Error& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace testfile
