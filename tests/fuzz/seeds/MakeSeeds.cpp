// Writes the seed inputs of the fuzz targets from real traffic: the library runs on the
// virtual camera, and what the camera sent (descriptors, strings, acknowledges, memory)
// is recorded in each target's input format.
//   cmake --build build/release --target fuzz_make_seeds && build/release/bin/fuzz_make_seeds tests/fuzz
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tessoral/tessoral.h"
#include "vcam/vcam.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string outDir;

void write(const std::string& target, const std::string& name, const Bytes& b) {
    const std::string path = outDir + "/" + target + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
    std::printf("%s: %zu bytes\n", path.c_str(), b.size());
}

int dropMessage(uint8_t, const char*) { return 0; }

void fail(const char* what, uint16_t s) {
    std::fprintf(stderr, "%s: %04X\n", what, s);
    std::exit(1);
}

// Raw acknowledges (mode 0) for every bulk IN transfer recorded from index `from` on.
void appendAcks(Bytes& b, const std::vector<vcam::UsbCall>& calls, size_t from = 0) {
    for (size_t i = from; i < calls.size(); ++i) {
        const vcam::UsbCall& c = calls[i];
        if (c.function != "libusb_bulk_transfer" || (c.endpoint & 0x80) == 0 || c.result < 0)
            continue;
        b.push_back(0);
        put16(b, static_cast<uint16_t>(c.data.size()));
        b.insert(b.end(), c.data.begin(), c.data.end());
    }
}

void discoverySeed(const char* name, const vcam::CameraConfig& config) {
    vcam::reset();
    vcam::addCamera(config);
    uint16_t count = 0;
    vcam::clearCalls();
    if (const uint16_t s = U3V_DiscoveryDevices(&count)) fail("discovery", s);
    Bytes config_bytes;
    std::map<uint8_t, std::string> strings;
    uint16_t total = 0;
    for (const vcam::UsbCall& c : vcam::calls()) {
        if (c.function == "libusb_control_transfer" && c.result > 9) {
            config_bytes = c.data;
            total = static_cast<uint16_t>(c.length);
        }
    }
    // The string indices come from the device info descriptor; the texts from the identity.
    for (size_t at = 0; at + 20 <= config_bytes.size(); at += config_bytes[at] ? config_bytes[at] : 1) {
        if (config_bytes[at + 1] != 0x24) continue;
        const vcam::Identity& id = config.identity;
        const std::string* texts[] = {&id.guid, &id.vendor, &id.model, &id.family,
                                      &id.deviceVersion, &id.manufacturerInfo,
                                      &id.serialNumber, &id.userDefinedName};
        for (int i = 0; i < 8; ++i) strings[config_bytes[at + 11 + i]] = *texts[i];
    }
    Bytes b;
    put16(b, total);
    b.push_back(0);  // flags
    b.push_back(0);  // no failing string
    put16(b, static_cast<uint16_t>(config_bytes.size()));
    b.insert(b.end(), config_bytes.begin(), config_bytes.end());
    const int count_strings = strings.empty() ? 0 : strings.rbegin()->first + 1;
    for (int i = 0; i < count_strings; ++i) {
        const std::string t = strings.count(static_cast<uint8_t>(i)) ? strings[static_cast<uint8_t>(i)] : "";
        b.push_back(static_cast<uint8_t>(t.size()));
        b.insert(b.end(), t.begin(), t.end());
    }
    write("config_descriptor", name, b);
}

struct Opened {
    int camera = 0;
    void* device = nullptr;
    void* control = nullptr;
};

Opened open(const vcam::CameraConfig& config) {
    vcam::reset();
    Opened o;
    o.camera = vcam::addCamera(config);
    uint16_t count = 0;
    if (const uint16_t s = U3V_DiscoveryDevices(&count)) fail("discovery", s);
    if (const uint16_t s = U3V_OpenDevice(config.identity.guid.c_str(), &o.device, dropMessage, 0))
        fail("open device", s);
    vcam::clearCalls();
    if (const uint16_t s = U3V_OpenControl(o.device, &o.control)) fail("open control", s);
    return o;
}

void close(Opened& o) {
    U3V_CloseControl(o.control);
    U3V_CloseDevice(o.device);
}

// faults: applied to the operations after the opening.
void controlSeed(const char* name, const vcam::CameraConfig& config,
                 const std::vector<vcam::ControlFault>& faults = {}) {
    Opened o = open(config);
    Bytes b;
    b.push_back(static_cast<uint8_t>(2 | (config.writtenLengthField ? 1 : 0)));  // open first
    appendAcks(b, vcam::calls());
    // Then a read and a write of a register, with the camera's answers.
    struct Op {
        uint8_t kind;
        uint16_t length;
        uint64_t address;
    };
    const Op ops[] = {{0, 64, 0x0048}, {1, 4, 0x100000}, {0, 4, 0x100000}};
    for (const vcam::ControlFault& f : faults) vcam::addControlFault(o.camera, f);
    for (const Op& op : ops) {
        vcam::clearCalls();
        uint8_t data[64] = {1, 2, 3, 4};
        const uint16_t s = op.kind ? U3V_WriteMem(o.control, op.address, op.length, data)
                                   : U3V_ReadMem(o.control, op.address, op.length, data);
        if (s && faults.empty()) fail("op", s);
        b.push_back(op.kind);
        put16(b, op.length);
        put64(b, op.address);
        appendAcks(b, vcam::calls());
    }
    write("control_ack", name, b);
    close(o);
}

void manifestSeed(const char* name, const vcam::CameraConfig& config) {
    Opened o = open(config);
    const int camera = o.camera;
    uint8_t tableAddress[8], table[72];
    vcam::peek(camera, 0x01D0, tableAddress, 8);
    vcam::peek(camera, le64(tableAddress), table, 72);
    const uint64_t fileAddress = le64(table + 16), fileSize = le64(table + 24);
    Bytes file(fileSize);
    vcam::peek(camera, fileAddress, file.data(), file.size());

    vcam::clearCalls();
    uint8_t* xml = nullptr;
    uint32_t size = 0;
    if (const uint16_t s = U3V_ReadXml(o.control, &xml, &size, 0)) fail("read xml", s);

    Bytes b;
    for (const vcam::UsbCall& c : vcam::calls()) {
        if (c.function == "libusb_bulk_transfer" && (c.endpoint & 0x80) == 0 && c.data.size() >= 12) {
            b.push_back(c.data[10]);  // the channel's next request id, from the first command
            b.push_back(c.data[11]);
            break;
        }
    }
    b.insert(b.end(), tableAddress, tableAddress + 8);
    b.insert(b.end(), table, table + 72);
    put16(b, static_cast<uint16_t>(file.size()));
    b.insert(b.end(), file.begin(), file.end());
    appendAcks(b, vcam::calls());
    write("manifest", name, b);
    if (config.zippedDescription) write("xml_unzip", name, file);
    close(o);
}

void noEvent(uint16_t, uint64_t, uint32_t, uint64_t) {}

// Transfers the camera sent on an IN endpoint other than the control pipe (what the record
// keeps of them: up to 64 bytes, enough for events, leaders and trailers).
std::vector<Bytes> inTransfers(uint8_t endpoint) {
    std::vector<Bytes> out;
    for (const vcam::UsbCall& c : vcam::calls()) {
        if (c.endpoint != endpoint || c.transferred <= 0 || c.data.empty()) continue;
        if (c.function != "transfer_completion" && c.function != "libusb_bulk_transfer") continue;
        out.push_back(c.data);
    }
    return out;
}

// Test events as they come, and as the camera's event faults bend them.
void eventSeeds() {
    const std::pair<const char*, int> variants[] = {
        {"vcam-test-event", -1},
        {"vcam-short-event", static_cast<int>(vcam::EventFaultKind::Short)},
        {"vcam-event-without-data", static_cast<int>(vcam::EventFaultKind::NoData)},
    };
    for (const auto& [name, fault] : variants) {
        Opened o = open(vcam::CameraConfig{});
        if (fault >= 0) {
            vcam::EventFault f;
            f.kind = static_cast<vcam::EventFaultKind>(fault);
            vcam::addEventFault(o.camera, f);
        }
        void* event = nullptr;
        if (const uint16_t s = U3V_OpenEvent(o.device, o.control, &event, noEvent, 200))
            fail("open event", s);
        const uint8_t enable[4] = {1, 0, 0, 0};  // EI_Control: the library leaves it to the caller
        if (const uint16_t s = U3V_WriteMem(o.control, 0x30000, 4, enable)) fail("event enable", s);
        vcam::clearCalls();
        if (const uint16_t s = U3V_TestEvent(event)) fail("test event", s);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        U3V_CloseEvent(event);
        const std::vector<Bytes> events = inTransfers(0x82);
        if (events.empty()) fail("no event recorded", 0);
        write("event_message", name, events.front());
        close(o);
    }
}

// One image's leader and trailer.
void streamSeeds() {
    Opened o = open(vcam::CameraConfig{});
    uint8_t size[8];
    if (const uint16_t s = U3V_ReadMem(o.control, 0x50000, 8, size)) fail("image size", s);
    const uint32_t width = size[0] | (size[1] << 8) | (size[2] << 16) | (size[3] << 24);
    const uint32_t height = size[4] | (size[5] << 8) | (size[6] << 16) | (size[7] << 24);
    void* stream = nullptr;
    if (const uint16_t s = U3V_OpenStream(o.device, o.control, &stream, 1000)) fail("open stream", s);
    vcam::clearCalls();
    if (const uint16_t s = U3V_AcquisitionStart(stream, 0)) fail("start", s);
    const uint8_t one[4] = {1, 0, 0, 0};  // the camera's AcquisitionStart command register
    if (const uint16_t s = U3V_WriteMem(o.control, 0x40024, 4, one)) fail("acquisition start", s);
    std::vector<uint8_t> image(size_t{width} * height);
    U3V_ImageInfo info{};
    if (const uint16_t s = U3V_GetImage(stream, image.data(), 2000, &info)) fail("image", s);
    uint64_t a = 0, b = 0;
    U3V_AcquisitionStop(stream, &a, &b);
    U3V_CloseStream(stream);
    bool leader = false, trailer = false;
    for (const Bytes& t : inTransfers(0x83)) {
        if (!leader && t.size() >= 4 && std::memcmp(t.data(), "U3VL", 4) == 0) {
            write("leader_trailer", "vcam-leader", t);
            leader = true;
        } else if (!trailer && t.size() >= 4 && std::memcmp(t.data(), "U3VT", 4) == 0) {
            write("leader_trailer", "vcam-trailer", t);
            trailer = true;
        }
    }
    if (!leader || !trailer) fail("no leader or trailer recorded", 0);
    close(o);
}

// brannock's inputs: directory listings of firmware images the virtual camera takes, as
// the demo lays them out, and such images themselves.
void listingEntry(Bytes& b, const std::string& name, uint64_t size) {
    b.push_back(static_cast<uint8_t>(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    put64(b, size);
}

void firmwareSeeds() {
    std::vector<uint8_t> payload(1000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const Bytes image = vcam::makeFirmwareImage("VCam-1", "2.1.0", payload);
    const Bytes small = vcam::makeFirmwareImage("VCam-9", "1.0.0", Bytes(37, 0xA5));

    const std::pair<std::string, uint64_t> demo[] = {
        {".", 4096}, {"..", 4096}, {"VCam-1_2.0.0.bin", 300160}, {"VCam-1_2.1.0.bin", 450161},
        {"VCam-9_1.0.0.bin", 65696}, {"notes.txt", 12}, {"VCam-1_big.bin", 0x7FFFFFFD}};
    for (const char* model : {"VCam-1", "U3V_Bootloader"}) {
        Bytes b;
        b.push_back(static_cast<uint8_t>(std::strlen(model)));
        for (const char* c = model; *c != '\0'; ++c) b.push_back(static_cast<uint8_t>(*c));
        for (const auto& [name, size] : demo) listingEntry(b, name, size);
        write("firmware_catalogue", std::string("demo-") + model, b);
    }
    Bytes full;
    full.push_back(6);
    for (char c : std::string("VCam-1")) full.push_back(static_cast<uint8_t>(c));
    for (int i = 0; i < 34; ++i) listingEntry(full, "VCam-1_" + std::to_string(100 + i) + ".bin", 4u * i);
    write("firmware_catalogue", "more-than-32", full);

    for (const auto& [name, file] : {std::pair{"vcam-image", image}, {"vcam-image-odd", small}}) {
        Bytes b;
        put16(b, static_cast<uint16_t>(file.size()));
        put16(b, 0);
        b.insert(b.end(), file.begin(), file.end());
        write("firmware_transfer", name, b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s tests/fuzz\n", argv[0]);
        return 2;
    }
    outDir = argv[1];
    vcam::setCallRecord(true);
    vcam::CameraConfig plain;
    discoverySeed("vcam-default", plain);
    vcam::CameraConfig bare;
    bare.hasEvent = false;
    bare.hasStream = false;
    bare.controlHeldElsewhere = true;
    discoverySeed("vcam-control-only", bare);

    controlSeed("vcam-open-read-write", plain);
    vcam::CameraConfig withLength;
    withLength.writtenLengthField = true;
    withLength.maxAckTransferLength = 128;
    withLength.maxCommandTransferLength = 64;
    controlSeed("vcam-written-length-small-limits", withLength);
    vcam::ControlFault pending;
    pending.kind = vcam::ControlFaultKind::Pending;
    pending.address = 0x100000;
    pending.pendingTimeoutsMs = {500, 0, 2000};
    vcam::ControlFault refused;
    refused.kind = vcam::ControlFaultKind::Status;
    refused.address = 0x0048;
    refused.status = 0x8003;
    controlSeed("vcam-pending-and-refused", withLength, {pending, refused});

    manifestSeed("vcam-plain", plain);
    vcam::CameraConfig zipped;
    zipped.zippedDescription = true;
    manifestSeed("vcam-zipped", zipped);

    eventSeeds();
    streamSeeds();
    firmwareSeeds();
    return 0;
}
