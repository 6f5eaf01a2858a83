// The camera's firmware driven directly with command bytes built here, independently of the
// firmware's own packet code.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/CameraFirmware.h"
#include "platform/Sha1.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vcam::CameraConfig;
using vcam::CameraFirmware;
using vcam::ControlFault;
using vcam::ControlFaultKind;

void le(Bytes& out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t le(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

Bytes command(uint16_t id, const Bytes& data, uint16_t requestId, uint16_t flags = 0x4000) {
    Bytes out{'U', '3', 'V', 'C'};
    le(out, flags, 2);
    le(out, id, 2);
    le(out, data.size(), 2);
    le(out, requestId, 2);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
Bytes readCommand(uint64_t address, uint16_t count, uint16_t requestId = 1, uint16_t flags = 0x4000) {
    Bytes data;
    le(data, address, 8);
    le(data, 0, 2);
    le(data, count, 2);
    return command(0x0800, data, requestId, flags);
}
Bytes writeCommand(uint64_t address, const Bytes& bytes, uint16_t requestId = 1, uint16_t flags = 0x4000) {
    Bytes data;
    le(data, address, 8);
    data.insert(data.end(), bytes.begin(), bytes.end());
    return command(0x0802, data, requestId, flags);
}
ControlFault fault(ControlFaultKind kind) {
    ControlFault f;
    f.kind = kind;
    return f;
}
Bytes u32(uint32_t v) {
    Bytes b;
    le(b, v, 4);
    return b;
}

struct Ack {
    std::string prefix;
    uint16_t status = 0, id = 0, length = 0, requestId = 0;
    Bytes payload;
};
Ack parse(const Bytes& b) {
    Ack a;
    EXPECT_GE(b.size(), 12u);
    if (b.size() < 12) return a;
    a.prefix.assign(b.begin(), b.begin() + 4);
    a.status = static_cast<uint16_t>(le(&b[4], 2));
    a.id = static_cast<uint16_t>(le(&b[6], 2));
    a.length = static_cast<uint16_t>(le(&b[8], 2));
    a.requestId = static_cast<uint16_t>(le(&b[10], 2));
    a.payload.assign(b.begin() + 12, b.end());
    return a;
}

// A camera together with the host side of single transactions.
struct Camera {
    CameraFirmware fw;
    uint16_t nextId = 0;

    explicit Camera(const CameraConfig& config = {}) : fw(config) {}

    vcam::ControlAnswer send(const Bytes& cmd) { return fw.onControlCommand(cmd.data(), cmd.size()); }
    Ack transact(const Bytes& cmd) {
        vcam::ControlAnswer answer = send(cmd);
        EXPECT_EQ(answer.acks.size(), 1u);
        EXPECT_FALSE(answer.stallIn || answer.stallOut);
        return answer.acks.empty() ? Ack{} : parse(answer.acks.front());
    }
    Ack read(uint64_t address, uint16_t count) { return transact(readCommand(address, count, ++nextId)); }
    uint16_t write(uint64_t address, const Bytes& bytes) {
        return transact(writeCommand(address, bytes, ++nextId)).status;
    }
    uint64_t value(uint64_t address, uint16_t width = 4) {
        Ack a = read(address, width);
        EXPECT_EQ(a.status, 0) << std::hex << address;
        return a.payload.size() == width ? le(a.payload.data(), width) : ~0ull;
    }
    std::string text(uint64_t address) {
        Ack a = read(address, 64);
        return std::string(reinterpret_cast<const char*>(a.payload.data()),
                           strnlen(reinterpret_cast<const char*>(a.payload.data()), a.payload.size()));
    }
    // The description file as a host reads it: manifest, then 256-byte chunks (rounded up to 4).
    struct Description {
        uint32_t type = 0;
        uint64_t address = 0, size = 0;
        Bytes digest, bytes;
    };
    Description description() {
        Description d;
        uint64_t manifest = value(0x01D0, 8);
        Ack m = read(manifest, 72);
        EXPECT_EQ(m.status, 0);
        if (m.payload.size() != 72) return d;
        EXPECT_EQ(le(&m.payload[0], 8), 1u);
        d.type = static_cast<uint32_t>(le(&m.payload[12], 4));
        d.address = le(&m.payload[16], 8);
        d.size = le(&m.payload[24], 8);
        d.digest.assign(m.payload.begin() + 32, m.payload.begin() + 52);
        for (uint64_t at = 0; at < d.size;) {
            uint16_t chunk = static_cast<uint16_t>((std::min<uint64_t>(256, d.size - at) + 3) & ~3u);
            Ack c = read(d.address + at, chunk);
            EXPECT_EQ(c.status, 0);
            if (c.status != 0) break;
            d.bytes.insert(d.bytes.end(), c.payload.begin(), c.payload.end());
            at += chunk;
        }
        d.bytes.resize(d.size);
        return d;
    }
};

// Runs a shell command on the bytes stored in a temporary file; its output and exit status.
std::pair<std::string, int> runOn(const std::string& program, const Bytes& bytes) {
    char path[] = "/tmp/vcam-firmware-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return {"", -1};
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    std::string out;
    int rc = -1;
    if (FILE* p = popen((program + " " + path + " 2>&1").c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof line, p)) out += line;
        rc = pclose(p);
    }
    unlink(path);
    return {out, rc};
}
std::string sha1sum(const Bytes& bytes) {
    std::string out = runOn("sha1sum", bytes).first;
    return out.substr(0, out.find(' '));
}
std::string hex(const Bytes& b) {
    std::string s;
    char t[3];
    for (uint8_t v : b) {
        std::snprintf(t, sizeof t, "%02x", v);
        s += t;
    }
    return s;
}

vcam::Identity customIdentity() {
    vcam::Identity id;
    id.vendor = "Acme & Sons <Optics>";
    id.model = "Hawk-12M";
    id.family = "Hawk";
    id.deviceVersion = "2.3.1";
    id.manufacturerInfo = "Built for \"tests\"";
    id.serialNumber = "SN-000042";
    id.userDefinedName = "left";
    return id;
}

TEST(CameraFirmware, BootstrapRegistersDescribeTheCamera) {
    CameraConfig config;
    config.identity = customIdentity();
    config.maxDeviceResponseTimeMs = 750;
    config.maxCommandTransferLength = 2048;
    config.maxAckTransferLength = 512;
    Camera cam(config);

    EXPECT_EQ(cam.text(0x0004), "Acme & Sons <Optics>");
    EXPECT_EQ(cam.text(0x0044), "Hawk-12M");
    EXPECT_EQ(cam.text(0x0084), "Hawk");
    EXPECT_EQ(cam.text(0x00C4), "2.3.1");
    EXPECT_EQ(cam.text(0x0104), "Built for \"tests\"");
    EXPECT_EQ(cam.text(0x0144), "SN-000042");
    EXPECT_EQ(cam.text(0x0184), "left");
    EXPECT_EQ(cam.value(0x0000), 0x00010000u);
    // user name, event channel, timestamp, family name, SBRM, endianess register; ASCII
    EXPECT_EQ(cam.value(0x01C4, 8), 0x70Du);
    EXPECT_EQ(cam.value(0x01CC), 750u);
    EXPECT_EQ(cam.value(0x01D0, 8), 0x80000u);
    EXPECT_EQ(cam.value(0x0208), 0xFFFFFFFFu);

    uint64_t sbrm = cam.value(0x01D8, 8);
    EXPECT_EQ(sbrm, 0x10000u);
    EXPECT_EQ(cam.value(sbrm + 0x04, 8), 0x3u);  // SIRM and EIRM available
    EXPECT_EQ(cam.value(sbrm + 0x14), 2048u);
    EXPECT_EQ(cam.value(sbrm + 0x18), 512u);
    EXPECT_EQ(cam.value(sbrm + 0x1C), 1u);
    EXPECT_EQ(cam.value(sbrm + 0x20, 8), 0x20000u);
    EXPECT_EQ(cam.value(sbrm + 0x2C, 8), 0x30000u);
    EXPECT_EQ(cam.value(0x20008, 8), 640u * 480u);  // SI_RequiredPayloadSize
    EXPECT_GT(cam.value(0x30004), 0u);               // Maximum Event Transfer Length

    // Whole maps read in one go, as generic clients do.
    EXPECT_EQ(cam.read(0x0000, 0x100).status, 0);
    EXPECT_EQ(cam.read(0x0100, 0x110).status, 0);
    EXPECT_EQ(cam.read(sbrm, 0x44).status, 0);
}

TEST(CameraFirmware, InterfacesItLacksAreNotAnnounced) {
    CameraConfig config;
    config.hasEvent = false;
    config.hasStream = false;
    config.writtenLengthField = true;
    Camera cam(config);
    EXPECT_EQ(cam.value(0x01C4, 8), 0x709u | 0x800u);  // no message channel, written length
    EXPECT_EQ(cam.value(0x10004, 8), 0u);
    EXPECT_EQ(cam.value(0x1001C), 0u);
    EXPECT_EQ(cam.value(0x10020, 8), 0u);
    EXPECT_EQ(cam.value(0x1002C, 8), 0u);
    EXPECT_EQ(cam.read(0x20000, 4).status, 0x8003);
    EXPECT_EQ(cam.read(0x30000, 4).status, 0x8003);
}

TEST(CameraFirmware, ReadsAndWritesRoundTrip) {
    Camera cam;
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);

    Ack w = cam.transact(writeCommand(0x100100, data, 0x1234));
    EXPECT_EQ(w.prefix, "U3VC");
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.id, 0x0803);
    EXPECT_EQ(w.length, 0);
    EXPECT_EQ(w.requestId, 0x1234);
    EXPECT_TRUE(w.payload.empty());

    Ack r = cam.transact(readCommand(0x100100, 1000, 0xFFFF));
    EXPECT_EQ(r.id, 0x0801);
    EXPECT_EQ(r.length, 1000);
    EXPECT_EQ(r.requestId, 0xFFFF);
    EXPECT_EQ(r.payload, data);

    // RAM ends at 0x1FFFFF; the manifest area is writable too.
    EXPECT_EQ(cam.write(0x1FFFFC, u32(0xCAFEF00D)), 0);
    EXPECT_EQ(cam.value(0x1FFFFC), 0xCAFEF00Du);
    EXPECT_EQ(cam.write(0x80100, u32(5)), 0);

    EXPECT_EQ(cam.write(0x0184, Bytes{'c', 'a', 'm', '2', 0}), 0);
    EXPECT_EQ(cam.text(0x0184), "cam2");
    EXPECT_EQ(cam.write(0x01E0, Bytes(8, 0)), 0);  // Device Configuration, as a host clears it

    // A read of nothing is answered with a bare header.
    Ack empty = cam.read(0x50000, 0);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.length, 0);
    EXPECT_TRUE(empty.payload.empty());
}

TEST(CameraFirmware, RefusedAccessesChangeNothing) {
    Camera cam;
    // Read-only registers and the description file.
    EXPECT_EQ(cam.write(0x01CC, u32(1)), 0x8004);
    EXPECT_EQ(cam.value(0x01CC), 200u);
    EXPECT_EQ(cam.write(0x0004, Bytes{'X'}), 0x8004);
    EXPECT_EQ(cam.write(0x90000, Bytes{'X'}), 0x8004);
    EXPECT_EQ(cam.write(0x5000C, u32(1)), 0x8004);
    // A write over a writable and a read-only register: all or nothing.
    Bytes both(8, 0x11);
    EXPECT_EQ(cam.write(0x01DC, both), 0x8004);  // SBRM Address high half + Device Configuration
    EXPECT_EQ(cam.value(0x01E0, 8), 0u);

    // Unmapped, and straddling the end of a map.
    EXPECT_EQ(cam.read(0x0210, 4).status, 0x8003);
    EXPECT_EQ(cam.read(0x020C, 8).status, 0x8003);
    EXPECT_EQ(cam.read(0x1FFFFE, 4).status, 0x8003);
    EXPECT_EQ(cam.read(0xFFFFFFFFFFFFFFFEull, 4).status, 0x8003);
    EXPECT_EQ(cam.write(0x50010, u32(1)), 0x8003);
    EXPECT_EQ(cam.write(0x80000000, u32(1)), 0x8003);  // past the firmware window
    Ack refused = cam.read(0x0210, 4);
    EXPECT_EQ(refused.id, 0x0801);
    EXPECT_EQ(refused.length, 0);
    EXPECT_TRUE(refused.payload.empty());

    // Values the camera cannot take.
    EXPECT_EQ(cam.write(0x50000, u32(0)), 0x8002);
    EXPECT_EQ(cam.write(0x50004, u32(100000)), 0x8002);
    EXPECT_EQ(cam.write(0x50008, u32(0x01100007)), 0x8002);
    EXPECT_EQ(cam.write(0x40104, u32(2)), 0x8002);
    EXPECT_EQ(cam.value(0x50000), 640u);
    EXPECT_EQ(cam.value(0x50004), 480u);
    EXPECT_EQ(cam.value(0x50008), 0x01080001u);
}

TEST(CameraFirmware, FeatureRegistersBehave) {
    Camera cam;
    EXPECT_EQ(cam.value(0x5000C), 640u * 480u);
    EXPECT_EQ(cam.write(0x50000, u32(320)), 0);
    EXPECT_EQ(cam.write(0x50004, u32(200)), 0);
    EXPECT_EQ(cam.value(0x5000C), 320u * 200u);
    EXPECT_EQ(cam.value(0x20008, 8), 320u * 200u);

    EXPECT_EQ(cam.write(0x50058, u32(25000)), 0);
    EXPECT_EQ(cam.value(0x50058), 25000u);
    EXPECT_EQ(cam.write(0x50064, u32(12)), 0);
    EXPECT_EQ(cam.value(0x50064), 12u);
    EXPECT_EQ(cam.write(0x40104, u32(1)), 0);
    EXPECT_EQ(cam.write(0x40144, u32(0)), 0);

    // Commands are accepted and read back as done.
    for (uint64_t reg : {0x40024ull, 0x50014ull, 0x40184ull, 0x40028ull}) {
        EXPECT_EQ(cam.write(reg, u32(1)), 0) << std::hex << reg;
        EXPECT_EQ(cam.value(reg), 0u) << std::hex << reg;
    }

    // Latching the timestamp moves it forward.
    EXPECT_EQ(cam.write(0x01F8, u32(1)), 0);
    uint64_t first = cam.value(0x01F0, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(cam.write(0x01F8, u32(1)), 0);
    EXPECT_GT(cam.value(0x01F0, 8), first);
    EXPECT_EQ(cam.write(0x01F0, Bytes(8, 0)), 0x8004);
}

TEST(CameraFirmware, MalformedCommands) {
    Camera cam;
    Bytes good = readCommand(0x50000, 4, 9);

    EXPECT_TRUE(cam.send(Bytes(good.begin(), good.begin() + 11)).acks.empty());
    Bytes prefix = good;
    prefix[3] = 'X';
    EXPECT_TRUE(cam.send(prefix).acks.empty());
    EXPECT_TRUE(cam.fw.onControlCommand(nullptr, 0).acks.empty());

    Bytes truncated(good.begin(), good.end() - 1);  // length field says 12, 11 follow
    Ack a = cam.transact(truncated);
    EXPECT_EQ(a.status, 0x800E);
    EXPECT_EQ(a.requestId, 9);
    EXPECT_TRUE(a.payload.empty());

    Bytes badLength = command(0x0800, Bytes(10, 0), 10);  // a read must carry 12 bytes
    EXPECT_EQ(cam.transact(badLength).status, 0x800E);
    EXPECT_EQ(cam.transact(command(0x0802, Bytes(7, 0), 11)).status, 0x800E);

    Ack unknown = cam.transact(command(0x0804, Bytes{}, 12));  // EVENT_ACK is not a command here
    EXPECT_EQ(unknown.status, 0x8001);
    EXPECT_EQ(unknown.id, 0x0805);
    EXPECT_EQ(unknown.requestId, 12);

    // Without the ack flag a command is carried out silently.
    vcam::ControlAnswer quiet = cam.send(writeCommand(0x50058, u32(777), 13, 0x0000));
    EXPECT_TRUE(quiet.acks.empty());
    EXPECT_EQ(cam.value(0x50058), 777u);
    EXPECT_TRUE(cam.send(readCommand(0x50000, 4, 14, 0x0000)).acks.empty());
}

TEST(CameraFirmware, TransferLengthsAreEnforced) {
    CameraConfig config;
    config.maxCommandTransferLength = 64;
    config.maxAckTransferLength = 256;
    Camera cam(config);

    EXPECT_EQ(cam.read(0x100000, 244).status, 0);
    Ack tooLong = cam.read(0x100000, 245);
    EXPECT_EQ(tooLong.status, 0x8002);
    EXPECT_TRUE(tooLong.payload.empty());

    EXPECT_EQ(cam.write(0x100000, Bytes(44, 0xAB)), 0);  // 20 + 44 = 64
    EXPECT_EQ(cam.write(0x100100, Bytes(45, 0xAB)), 0x8002);
    EXPECT_EQ(cam.value(0x100100), 0u);
}

TEST(CameraFirmware, WrittenLengthField) {
    CameraConfig config;
    config.writtenLengthField = true;
    Camera cam(config);
    EXPECT_EQ(cam.value(0x01C4) & 0x800, 0x800u);

    vcam::ControlAnswer answer = cam.send(writeCommand(0x100000, Bytes(300, 1), 5));
    ASSERT_EQ(answer.acks.size(), 1u);
    ASSERT_EQ(answer.acks[0].size(), 16u);
    Ack a = parse(answer.acks[0]);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.length, 4);
    EXPECT_EQ(le(&a.payload[0], 2), 0u);
    EXPECT_EQ(le(&a.payload[2], 2), 300u);

    Ack refused = cam.transact(writeCommand(0x0000, u32(1), 6));
    EXPECT_EQ(refused.status, 0x8004);
    ASSERT_EQ(refused.payload.size(), 4u);
    EXPECT_EQ(le(&refused.payload[2], 2), 0u);

    Camera plain;
    EXPECT_EQ(plain.value(0x01C4) & 0x800, 0u);
    EXPECT_EQ(plain.send(writeCommand(0x100000, u32(1), 7)).acks.at(0).size(), 12u);
}

TEST(CameraFirmware, EachFaultShapesTheAnswer) {
    const Bytes normal = {'U', '3', 'V', 'C', 0, 0, 0x01, 0x08, 4, 0, 7, 0, 0x80, 0x02, 0, 0};
    auto faulted = [&](ControlFault f) {
        Camera cam;
        cam.fw.addFault(f);
        return cam.send(readCommand(0x50000, 4, 7));
    };
    auto only = [](const vcam::ControlAnswer& a) { return a.acks.size() == 1 ? a.acks[0] : Bytes{}; };

    vcam::ControlAnswer none = faulted(fault(ControlFaultKind::NoAck));
    EXPECT_TRUE(none.acks.empty());
    EXPECT_FALSE(none.stallIn || none.stallOut);

    Bytes shortAck = only(faulted(fault(ControlFaultKind::ShortAck)));
    EXPECT_EQ(shortAck, Bytes(normal.begin(), normal.end() - 1));

    Bytes longAck = only(faulted(fault(ControlFaultKind::LongAck)));
    ASSERT_EQ(longAck.size(), normal.size() + 4);
    EXPECT_EQ(Bytes(longAck.begin(), longAck.begin() + 16), normal);

    Bytes expected = normal;
    expected[3] = 'X';
    EXPECT_EQ(only(faulted(fault(ControlFaultKind::WrongPrefix))), expected);
    expected = normal;
    expected[6] = 0x11;
    EXPECT_EQ(only(faulted(fault(ControlFaultKind::WrongCommand))), expected);
    expected = normal;
    expected[10] = 8;
    EXPECT_EQ(only(faulted(fault(ControlFaultKind::WrongRequestId))), expected);

    ControlFault status = fault(ControlFaultKind::Status);
    status.status = 0x8006;
    EXPECT_EQ(only(faulted(status)), (Bytes{'U', '3', 'V', 'C', 0x06, 0x80, 0x01, 0x08, 0, 0, 7, 0}));

    vcam::ControlAnswer stallIn = faulted(fault(ControlFaultKind::StallIn));
    EXPECT_TRUE(stallIn.stallIn && !stallIn.stallOut && stallIn.acks.empty());
    vcam::ControlAnswer stallOut = faulted(fault(ControlFaultKind::StallOut));
    EXPECT_TRUE(stallOut.stallOut && !stallOut.stallIn && stallOut.acks.empty());

    ControlFault pending = fault(ControlFaultKind::Pending);
    pending.pendingTimeoutsMs = {500, 2000};
    vcam::ControlAnswer p = faulted(pending);
    ASSERT_EQ(p.acks.size(), 3u);
    EXPECT_EQ(p.acks[0], (Bytes{'U', '3', 'V', 'C', 0, 0, 0x05, 0x08, 4, 0, 7, 0, 0, 0, 0xF4, 0x01}));
    EXPECT_EQ(p.acks[1], (Bytes{'U', '3', 'V', 'C', 0, 0, 0x05, 0x08, 4, 0, 7, 0, 0, 0, 0xD0, 0x07}));
    EXPECT_EQ(p.acks[2], normal);
}

TEST(CameraFirmware, FaultedWritesExecuteUnlessRefusedOrLost) {
    for (ControlFaultKind kind : {ControlFaultKind::NoAck, ControlFaultKind::ShortAck,
                                  ControlFaultKind::WrongRequestId, ControlFaultKind::StallIn,
                                  ControlFaultKind::Pending, ControlFaultKind::Status,
                                  ControlFaultKind::StallOut}) {
        Camera cam;
        ControlFault f = fault(kind);
        f.status = 0x8007;
        cam.fw.addFault(f);
        cam.send(writeCommand(0x50058, u32(4321), 1));
        bool executes = kind != ControlFaultKind::Status && kind != ControlFaultKind::StallOut;
        EXPECT_EQ(cam.value(0x50058), executes ? 4321u : 10000u) << static_cast<int>(kind);
    }
}

TEST(CameraFirmware, FaultsPickTheirCommands) {
    Camera cam;
    ControlFault f = fault(ControlFaultKind::Status);
    f.status = 0x8007;
    f.address = 0x50004;
    f.skip = 1;
    f.count = 2;
    cam.fw.addFault(f);

    EXPECT_EQ(cam.read(0x50004, 4).status, 0);       // skipped
    EXPECT_EQ(cam.read(0x50000, 4).status, 0);       // other address: no match
    EXPECT_EQ(cam.read(0x50004, 4).status, 0x8007);
    EXPECT_EQ(cam.write(0x50004, u32(16)), 0x8007);  // writes match by address too
    EXPECT_EQ(cam.read(0x50004, 4).status, 0);       // count used up
    EXPECT_EQ(cam.value(0x50004), 480u);

    ControlFault forever = fault(ControlFaultKind::Status);
    forever.status = 0x8006;
    forever.count = -1;
    cam.fw.addFault(forever);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cam.read(0x0000, 4).status, 0x8006);
    cam.fw.clearFaults();
    EXPECT_EQ(cam.read(0x0000, 4).status, 0);
}

TEST(CameraFirmware, PeekAndPokeReachEveryMappedByte) {
    Camera cam;
    uint32_t v = 0;
    EXPECT_TRUE(cam.fw.peek(0x01CC, &v, 4));
    EXPECT_EQ(v, 200u);
    v = 999;
    EXPECT_TRUE(cam.fw.poke(0x01CC, &v, 4));  // read-only to hosts, not to tests
    EXPECT_EQ(cam.value(0x01CC), 999u);
    EXPECT_FALSE(cam.fw.peek(0x0210, &v, 4));
    EXPECT_FALSE(cam.fw.poke(0x020E, &v, 4));
    EXPECT_FALSE(cam.fw.poke(0x80000000, &v, 4));
    EXPECT_TRUE(cam.fw.poke(0x7F000000, &v, 4)) << "the firmware window is memory too";

    // Plant a 1000-byte description file in RAM and a manifest pointing at it.
    Bytes file(1000);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>('a' + i % 26);
    Bytes manifest;
    le(manifest, 1, 8);
    le(manifest, 0x01000000, 4);
    le(manifest, 0x01010000, 4);
    le(manifest, 0x100000, 8);
    le(manifest, file.size(), 8);
    manifest.resize(72, 0);
    ASSERT_TRUE(cam.fw.poke(0x100000, file.data(), file.size()));
    ASSERT_TRUE(cam.fw.poke(0x80000, manifest.data(), manifest.size()));
    Camera::Description d = cam.description();
    EXPECT_EQ(d.address, 0x100000u);
    EXPECT_EQ(d.bytes, file);
}

TEST(CameraFirmware, DescriptionFileMatchesItsManifest) {
    CameraConfig config;
    config.identity = customIdentity();
    Camera cam(config);
    Camera::Description d = cam.description();

    EXPECT_EQ(d.address, 0x90000u);
    EXPECT_EQ(d.type, 0x01010000u);  // schema 1.1, plain XML
    ASSERT_GT(d.size, 1000u);
    EXPECT_EQ(hex(d.digest), sha1sum(d.bytes));

    std::string xml(d.bytes.begin(), d.bytes.end());
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    EXPECT_NE(xml.find("xmlns=\"http://www.genicam.org/GenApi/Version_1_1\""), std::string::npos);
    EXPECT_NE(xml.find("SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\""), std::string::npos);
    EXPECT_NE(xml.find("VendorName=\"Acme &amp; Sons &lt;Optics&gt;\""), std::string::npos);
    EXPECT_NE(xml.find("ModelName=\"Hawk-12M\""), std::string::npos);
    EXPECT_NE(xml.find("<Port Name=\"Device\""), std::string::npos);
    for (const char* feature :
         {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceSerialNumber", "DeviceUserID",
          "Width", "Height", "PixelFormat", "PayloadSize", "AcquisitionMode", "AcquisitionStart",
          "AcquisitionStop", "TriggerMode", "TriggerSource", "TriggerSoftware", "ExposureTime", "Gain",
          "AcquisitionFrameCount", "TLParamsLocked", "GainSelector", "LineSelector", "LineMode", "LUTValueAll",
          "ChunkModeActive", "ChunkSelector", "ChunkEnable", "ChunkTimestamp", "ChunkFrameID"})
        EXPECT_NE(xml.find("Name=\"" + std::string(feature) + "\" NameSpace=\"Standard\""),
                  std::string::npos)
            << feature;
    for (const char* address : {"0x50000", "0x50004", "0x50008", "0x5000C", "0x40004", "0x40008", "0x4000C",
                                "0x40024", "0x40028", "0x40104", "0x40144", "0x40184", "0x50058", "0x50064",
                                "0x50068", "0x5006C", "0x40300", "0x40304", "0x50100", "0x50200", "0x50204",
                                "0x50210"})
        EXPECT_NE(xml.find(std::string("<Address>") + address + "</Address>"), std::string::npos)
            << address;

    // Entry names are local to their enumeration, as cameras write them: a generic client
    // sets AcquisitionMode=Continuous by the entry's own name.
    for (const char* entry : {"Continuous", "SingleFrame", "MultiFrame", "Off", "On", "Software", "Mono8",
                              "AnalogAll", "DigitalAll", "Line0", "Line1", "Input", "Output", "Timestamp"})
        EXPECT_NE(xml.find(std::string("<EnumEntry Name=\"") + entry + "\""), std::string::npos) << entry;
    EXPECT_EQ(xml.find("<EnumEntry Name=\"AcquisitionMode_"), std::string::npos);
    EXPECT_EQ(xml.find("<EnumEntry Name=\"EnumEntry_"), std::string::npos);
    // What generic clients look for beyond the basics.
    for (const char* construct : {"<pIndex>GainSelectorReg</pIndex>", "<pValueIndexed Index=\"1\">GainDigitalReg",
                                  "<ValueIndexed Index=\"0\">0</ValueIndexed>", "<pValueDefault>GainReg",
                                  "<Register Name=\"LUTValueAll\"", "<ChunkID>A5A50002</ChunkID>",
                                  "<pIndex Offset=\"4\">ChunkSelectorReg</pIndex>", "<pIsLocked>TLParamsLocked"})
        EXPECT_NE(xml.find(construct), std::string::npos) << construct;

    if (access("/usr/bin/xmllint", X_OK) != 0) GTEST_SKIP() << "xmllint not installed";
    auto [diagnostics, rc] = runOn("xmllint --noout", d.bytes);
    EXPECT_EQ(rc, 0) << diagnostics;
}

TEST(CameraFirmware, ZippedDescriptionUnpacksToThePlainOne) {
    CameraConfig config;
    config.identity = customIdentity();
    config.zippedDescription = true;
    Camera zipped(config);
    config.zippedDescription = false;
    Camera plain(config);

    Camera::Description z = zipped.description();
    EXPECT_EQ(z.type, 0x01010400u);
    EXPECT_EQ(hex(z.digest), sha1sum(z.bytes));

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(z.bytes.data(), z.bytes.size(), 0, &error);
    ASSERT_NE(source, nullptr);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr) << zip_error_strerror(&error);
    EXPECT_EQ(zip_get_num_entries(archive, 0), 1);
    zip_stat_t st;
    ASSERT_EQ(zip_stat_index(archive, 0, 0, &st), 0);
    EXPECT_STREQ(st.name, "Hawk-12M.xml");
    EXPECT_EQ(st.comp_method, ZIP_CM_DEFLATE);
    Bytes unpacked(st.size);
    zip_file_t* member = zip_fopen_index(archive, 0, 0);
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(zip_fread(member, unpacked.data(), unpacked.size()), static_cast<zip_int64_t>(st.size));
    zip_fclose(member);
    zip_close(archive);

    EXPECT_EQ(unpacked, plain.description().bytes);
    EXPECT_LT(z.size, unpacked.size());
}

TEST(CameraFirmware, Sha1KnownAnswers) {
    auto digest = [](const std::string& s) {
        platform::Sha1::Digest d = platform::Sha1::of(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        return hex(Bytes(d.begin(), d.end()));
    };
    EXPECT_EQ(digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // Fed in pieces that straddle block boundaries.
    platform::Sha1 pieces;
    std::string text(200, 'q');
    for (size_t at = 0; at < text.size(); at += 63)
        pieces.update(reinterpret_cast<const uint8_t*>(text.data()) + at, std::min<size_t>(63, text.size() - at));
    platform::Sha1::Digest d = pieces.finish();
    EXPECT_EQ(hex(Bytes(d.begin(), d.end())), digest(text));
}

}  // namespace
