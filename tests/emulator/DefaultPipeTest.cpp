// What a device does on the bus whichever way a host reaches it (the drop-in libusb, or the
// system libusb over the emulated kernel): the standard requests of the default pipe, a
// bus reset, and where one device transfer ends when the host's reads are shorter or longer.
#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;
using DefaultPipe = UsbWorld;
using ReadSemantics = UsbWorld;

constexpr uint8_t kStreamIn = 0x83, kEventIn = 0x82;

struct Answer {
    int result;
    Bytes data;
};

Answer request(libusb_device_handle* h, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
               uint16_t length = 0) {
    Bytes buf(size_t{length} + 1);
    const int r = libusb_control_transfer(h, type, req, value, index, buf.data(), length, 500);
    buf.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return {r, buf};
}

Answer read(libusb_device_handle* h, uint8_t ep, int size, unsigned timeout = 500) {
    Bytes buf(static_cast<size_t>(size) + 1);
    int got = -1;
    const int r = libusb_bulk_transfer(h, ep, buf.data(), size, &got, timeout);
    buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return {r, buf};
}

Bytes counting(size_t n, uint8_t from = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(from + i * 7);
    return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST_F(DefaultPipe, StatusConfigurationAndInterfaceAreAnswered) {
    vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 2), LIBUSB_SUCCESS);

    EXPECT_EQ(request(h, 0x80, LIBUSB_REQUEST_GET_STATUS, 0, 0, 2).data, (Bytes{0, 0})) << "bus-powered";
    EXPECT_EQ(request(h, 0x81, LIBUSB_REQUEST_GET_STATUS, 0, 2, 2).data, (Bytes{0, 0}));
    EXPECT_EQ(request(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, kStreamIn, 2).data, (Bytes{0, 0}));
    // Requests naming an endpoint or interface the device lacks fail: the device stalls them
    // (LIBUSB_ERROR_PIPE), or the Linux kernel refuses them first (LIBUSB_ERROR_IO).
    EXPECT_LT(request(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, 0x85, 2).result, 0);
    EXPECT_EQ(request(h, 0x80, LIBUSB_REQUEST_GET_CONFIGURATION, 0, 0, 1).data, (Bytes{1}));
    EXPECT_EQ(request(h, 0x81, LIBUSB_REQUEST_GET_INTERFACE, 0, 2, 1).data, (Bytes{0}));
    EXPECT_LT(request(h, 0x81, LIBUSB_REQUEST_GET_INTERFACE, 0, 7, 1).result, 0);
    EXPECT_EQ(request(h, 0x01, LIBUSB_REQUEST_SET_INTERFACE, 0, 2).result, 0);
    EXPECT_EQ(request(h, 0x01, LIBUSB_REQUEST_SET_INTERFACE, 1, 2).result, LIBUSB_ERROR_PIPE)
        << "one alternate setting only";
    EXPECT_EQ(request(h, 0x00, LIBUSB_REQUEST_SET_CONFIGURATION, 2, 0).result, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(request(h, 0x40, 0x01, 0, 0).result, LIBUSB_ERROR_PIPE) << "vendor requests stall";
}

TEST_F(DefaultPipe, EndpointHaltIsSetReportedAndClearedEveryWay) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 2), LIBUSB_SUCCESS);
    auto halted = [&] { return request(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, kStreamIn, 2).data; };

    // A host resets a pipe by halting it and clearing the halt.
    ASSERT_EQ(request(h, 0x02, LIBUSB_REQUEST_SET_FEATURE, 0, kStreamIn).result, 0);
    EXPECT_EQ(halted(), (Bytes{1, 0}));
    vcam::pushIn(id, kStreamIn, Bytes(16, 0x5A));
    EXPECT_EQ(read(h, kStreamIn, 1024).result, LIBUSB_ERROR_PIPE);
    ASSERT_EQ(request(h, 0x02, LIBUSB_REQUEST_CLEAR_FEATURE, 0, kStreamIn).result, 0);
    EXPECT_EQ(halted(), (Bytes{0, 0}));
    EXPECT_EQ(read(h, kStreamIn, 1024).data, Bytes(16, 0x5A)) << "data waits behind a halt";

    ASSERT_EQ(request(h, 0x02, LIBUSB_REQUEST_SET_FEATURE, 0, kStreamIn).result, 0);
    EXPECT_EQ(libusb_clear_halt(h, kStreamIn), LIBUSB_SUCCESS);
    EXPECT_EQ(halted(), (Bytes{0, 0}));

    ASSERT_EQ(request(h, 0x02, LIBUSB_REQUEST_SET_FEATURE, 0, kStreamIn).result, 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 2, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(halted(), (Bytes{0, 0})) << "selecting a setting resets its pipes";

    EXPECT_LT(request(h, 0x02, LIBUSB_REQUEST_SET_FEATURE, 0, 0x85).result, 0);
    EXPECT_EQ(request(h, 0x00, LIBUSB_REQUEST_SET_FEATURE, 1, 0).result, LIBUSB_ERROR_PIPE)
        << "no remote wake-up to enable";
}

TEST_F(DefaultPipe, ResetStartsTheDeviceOverAtItsAddress) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    const uint8_t address = libusb_get_device_address(dev);
    libusb_device_handle* h = open(dev);
    ASSERT_EQ(libusb_claim_interface(h, 2), LIBUSB_SUCCESS);
    uint32_t on = 1;
    ASSERT_TRUE(vcam::poke(id, 0x20004, &on, 4));  // SI_Control: streaming enabled
    ASSERT_EQ(request(h, 0x02, LIBUSB_REQUEST_SET_FEATURE, 0, kStreamIn).result, 0);
    vcam::pushIn(id, kEventIn, Bytes(8, 1));

    ASSERT_EQ(libusb_reset_device(h), LIBUSB_SUCCESS);
    EXPECT_EQ(request(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, kStreamIn, 2).data, (Bytes{0, 0}));
    uint32_t control = 7;
    ASSERT_TRUE(vcam::peek(id, 0x20004, &control, 4));
    EXPECT_EQ(control, 0u) << "streaming is off after a reset";
    EXPECT_EQ(read(h, kEventIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT) << "queued data went";
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(h)), address);
    EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_SUCCESS) << "the handle still works";
}

TEST_F(ReadSemantics, WholePacketReadsTakePartsOfALongerTransfer) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 1), LIBUSB_SUCCESS);
    const Bytes long1 = counting(3000), long2 = counting(2048, 3);
    vcam::pushIn(id, kEventIn, long1);
    vcam::pushIn(id, kEventIn, Bytes(10, 0xE1));
    vcam::pushIn(id, kEventIn, long2);
    vcam::pushIn(id, kEventIn, Bytes(5, 0xE2));

    Answer r = read(h, kEventIn, 1024);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.data, slice(long1, 0, 1024)) << "a full read ends there";
    r = read(h, kEventIn, 8192);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.data, slice(long1, 1024, 3000)) << "the rest, ending on its short packet";
    EXPECT_EQ(read(h, kEventIn, 8192).data, Bytes(10, 0xE1)) << "transfers never merge";
    EXPECT_EQ(read(h, kEventIn, 2048).data, long2) << "exactly full";
    EXPECT_EQ(read(h, kEventIn, 2048).data, Bytes(5, 0xE2));

    vcam::pushIn(id, kEventIn, counting(1500));
    r = read(h, kEventIn, 1100);  // not a whole number of packets: babble
    EXPECT_EQ(r.result, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(r.data, slice(counting(1500), 0, 1100));
    EXPECT_EQ(read(h, kEventIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT) << "the rest is lost";
}

TEST_F(ReadSemantics, StreamPayloadContinuesInTheNextWholePacketRead) {
    vcam::addCamera([] {
        vcam::CameraConfig c;
        c.streamBytesPerSecond = 0;
        return c;
    }());
    libusb_device_handle* h = open(only());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(libusb_claim_interface(h, i), LIBUSB_SUCCESS);
    // GenCP WriteMem of one register.
    uint16_t requestId = 0;
    auto command = [&](uint64_t address, uint32_t value) {
        Bytes cmd{'U', '3', 'V', 'C'};
        putLe(cmd, 0x4000, 2);
        putLe(cmd, 0x0802, 2);
        putLe(cmd, 12, 2);
        putLe(cmd, ++requestId, 2);
        putLe(cmd, address, 8);
        putLe(cmd, value, 4);
        int moved = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, 0x01, cmd.data(), static_cast<int>(cmd.size()), &moved, 500), 0);
        Answer ack = read(h, 0x81, 1024);
        ASSERT_GE(ack.data.size(), 12u);
        EXPECT_EQ(ack.data[4] | ack.data[5] << 8, 0) << "status of the write to " << address;
    };
    // 100 x 30 Mono8 in one payload transfer of 3000 bytes.
    const uint32_t regs[][2] = {{0x50000, 100}, {0x50004, 30}, {0x20018, 1024}, {0x2001C, 4096},
                                {0x20020, 1},   {0x20024, 0},  {0x20028, 0},    {0x2002C, 1024},
                                {0x20004, 1},   {0x40024, 1}};
    for (const auto& [address, value] : regs) command(address, value);

    EXPECT_EQ(read(h, kStreamIn, 1024).data.size(), 52u) << "leader";
    Bytes payload;
    for (int size : {1024, 1024, 4096}) {
        Answer r = read(h, kStreamIn, size);
        EXPECT_EQ(r.result, 0);
        payload.insert(payload.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(payload, vcam::expectedImage(1, 3000));
    EXPECT_EQ(read(h, kStreamIn, 1024).data.size(), 32u) << "trailer";
    EXPECT_EQ(read(h, kStreamIn, 1024).data.size(), 52u) << "the next image";
}

}  // namespace
