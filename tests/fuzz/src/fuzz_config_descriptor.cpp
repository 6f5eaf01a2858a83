// Discovery's reading of one device: the configuration descriptor walk, the device info
// descriptor and the eight strings it names (ReadDeviceDescriptors).
// Input: u16 total length (as the device declared it), u8 flags (bit 0 the configuration
// read fails, bit 1 the claim fails), u8 index of a failing string (0: none), u16 n and n
// descriptor bytes (the device sends at most the total length), then strings: u8 length
// and text each; string index i reads the (i mod count)-th.
#include <libusb.h>

#include <string>
#include <vector>

#include "Discovery.h"
#include "FuzzInput.h"
#include "ScriptedUsb.h"
#include "tessoral/tessoral.h"

using namespace fuzz;

namespace {

bool verbose() {
    static const bool on = std::getenv("FUZZ_VERBOSE") != nullptr;
    return on;
}

uint32_t le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct Strings {
    std::vector<std::string> texts;
    std::string forIndex(uint8_t index) const {
        if (index == 0 || texts.empty()) return {};  // index 0: no string
        return texts[index % texts.size()];
    }
};

// libusb's ASCII form, cut to what the field holds.
std::string expectedField(const Strings& s, uint8_t index, size_t fieldSize) {
    std::string t = s.forIndex(index);
    for (char& c : t)
        if (static_cast<unsigned char>(c) & 0x80) c = '?';
    t = t.substr(0, t.find('\0'));
    return t.substr(0, fieldSize - 1);
}

bool fieldIs(const char* field, size_t size, const std::string& expected) {
    return strnlen(field, size) < size && std::string(field) == expected;
}

// Does the entry hold what the device info descriptor at `at` says?
bool matchesInfo(const tessoral::DeviceEntry& e, const std::vector<uint8_t>& b, size_t at,
                 const Strings& s) {
    if (e.GenCPVersion != le32At(b, at + 3) || e.U3VVersion != le32At(b, at + 7) ||
        e.SpeedSupport != b[at + 19])
        return false;
    const std::pair<const char*, size_t> fields[] = {
        {e.DeviceGUID, sizeof e.DeviceGUID},       {e.VendorName, sizeof e.VendorName},
        {e.ModelName, sizeof e.ModelName},         {e.FamilyName, sizeof e.FamilyName},
        {e.DeviceVersion, sizeof e.DeviceVersion}, {e.ManufacturerInfo, sizeof e.ManufacturerInfo},
        {e.SerialNumber, sizeof e.SerialNumber},   {e.UserDefinedName, sizeof e.UserDefinedName},
    };
    for (size_t i = 0; i < 8; ++i)
        if (!fieldIs(fields[i].first, fields[i].second,
                     expectedField(s, b[at + 11 + i], fields[i].second)))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    resetUsbScript();
    const uint16_t totalLength = in.u16();
    const uint8_t flags = in.u8();
    const uint8_t failingString = in.u8();
    std::vector<uint8_t> wire(in.u16());
    wire.resize(in.take(wire.data(), wire.size()));
    Strings strings;
    while (!in.exhausted()) {
        std::string t(in.u8(), '\0');
        in.take(reinterpret_cast<uint8_t*>(t.data()), t.size());
        strings.texts.push_back(t);
    }

    UsbScript& usb = usbScript();
    std::vector<uint8_t> received;  // what the device delivered of its configuration
    int descriptorReads = 0;
    usb.descriptor = [&](uint8_t type, uint8_t index, uint8_t* buf, int len) {
        ++descriptorReads;
        FUZZ_CHECK(type == LIBUSB_DT_CONFIG && index == 0, "descriptor %u/%u", type, index);
        FUZZ_CHECK(len == totalLength, "asked for %d of %u bytes", len, totalLength);
        if (flags & 1) return static_cast<int>(LIBUSB_ERROR_PIPE);
        const size_t n = std::min(wire.size(), static_cast<size_t>(len));
        std::copy_n(wire.begin(), n, buf);
        received.assign(wire.begin(), wire.begin() + n);
        return static_cast<int>(n);
    };
    bool stringFailed = false;
    usb.string = [&](uint8_t index, uint8_t* buf, int len) {
        FUZZ_CHECK(index != 0, "string index 0 read from the device");
        if (index == failingString) {
            stringFailed = true;
            return static_cast<int>(LIBUSB_ERROR_PIPE);
        }
        const std::string t = strings.forIndex(index);
        const int n = std::min(static_cast<int>(t.size()), len);
        std::copy_n(t.begin(), n, buf);
        return n;
    };
    usb.claimResult = (flags & 2) ? LIBUSB_ERROR_BUSY : LIBUSB_SUCCESS;

    tessoral::DeviceEntry entry;
    bool listed = true;
    const uint16_t s = tessoral::ReadDeviceDescriptors(entry, scriptedHandle(), totalLength, listed);
    if (verbose())
        std::fprintf(stderr, "ReadDeviceDescriptors: %04X, listed %d, GUID '%s'\n", s, listed,
                     entry.DeviceGUID);
    FUZZ_CHECK(descriptorReads == 1, "%d configuration reads", descriptorReads);

    if (flags & 1) {
        FUZZ_CHECK(s == U3V_ERR_CONFIG_DESCRIPTOR && !listed, "failed read gave %04X", s);
        return 0;
    }
    if (s == U3V_ERR_STRING_DESCRIPTOR) {
        FUZZ_CHECK(stringFailed && !listed, "string error without a failed string read");
        return 0;
    }
    FUZZ_CHECK(s == U3V_OK, "status %04X", s);
    FUZZ_CHECK(!stringFailed, "a failed string read went unreported");

    // Pipes keep their direction whatever the device claims.
    FUZZ_CHECK(entry.ControlInEndpoint == 0 || (entry.ControlInEndpoint & 0x80),
               "control IN %02X", entry.ControlInEndpoint);
    FUZZ_CHECK((entry.ControlOutEndpoint & 0x80) == 0, "control OUT %02X", entry.ControlOutEndpoint);
    if (!listed) return 0;

    FUZZ_CHECK(entry.InUse == ((flags & 2) ? 1 : 0), "InUse %u", entry.InUse);
    FUZZ_CHECK(strnlen(entry.DeviceGUID, sizeof entry.DeviceGUID) <= 12, "GUID too long");
    // Versions, speed and strings all come from one device info descriptor that lies
    // wholly inside the bytes received.
    bool found = false;
    for (size_t at = 0; !found && at + 20 <= received.size(); ++at)
        found = received[at + 1] == 0x24 && received[at] >= 20 &&
                matchesInfo(entry, received, at, strings);
    FUZZ_CHECK(found, "listed entry not taken from a device info descriptor");
    return 0;
}
