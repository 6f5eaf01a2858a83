// The control channel of the real library on the virtual camera: transactions, their
// checks, splitting, and the five control exports.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>

#include "support/ControlTestSupport.h"

using namespace testsupport;

namespace {

class ControlChannelTest : public ControlTest {};

std::vector<uint16_t> requestIds(const std::vector<SentCommand>& commands) {
    std::vector<uint16_t> ids;
    for (const SentCommand& c : commands) ids.push_back(c.requestId);
    return ids;
}

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

std::string failureText(const char* operation, uint64_t address, uint16_t status) {
    char text[64];
    std::snprintf(text, sizeof text, "%s [%llX]: %04X", operation,
                  static_cast<unsigned long long>(address), status);
    return text;
}

bool logged(uint8_t level, const std::string& text) {
    const auto messages = LogCapture::messages();
    return std::find(messages.begin(), messages.end(), LogMessage{level, text}) != messages.end();
}

}  // namespace

TEST_F(ControlChannelTest, OpeningClaimsClearsTheHaltsAndStartsAtRequestIdZero) {
    plugCamera();
    vcam::clearCalls();
    void* control = nullptr;
    ASSERT_EQ(U3V_OpenControl(device_, &control), U3V_OK);
    adoptControl(control);

    const auto calls = vcam::calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0].function, "libusb_claim_interface");
    EXPECT_EQ(calls[1].function, "libusb_clear_halt");
    EXPECT_NE(calls[1].endpoint & 0x80, 0) << "IN first";
    EXPECT_EQ(calls[2].function, "libusb_clear_halt");
    EXPECT_EQ(calls[2].endpoint & 0x80, 0);

    // SBRM address, response time, three SBRM registers, capability; then the write of
    // Device Configuration, ids 0..6.
    const uint64_t sbrm = le64(peek(0x01D8, 8).data());
    const std::vector<uint64_t> addresses = {0x01D8,      0x01CC,      sbrm + 0x14, sbrm + 0x18,
                                             sbrm + 0x1C, 0x01C4,      0x01E0};
    const auto commands = sentCommands();
    ASSERT_EQ(commands.size(), addresses.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].address, addresses[i]) << i;
        EXPECT_EQ(commands[i].requestId, i);
    }
    EXPECT_EQ(commands[6].data, std::vector<uint8_t>(8, 0));
    // Before the first command one short look for acknowledges left on the pipe; the
    // first command still waits the default time, later ones the camera's.
    const auto reads = bulkReads();
    ASSERT_EQ(reads.size(), commands.size() + 1);
    EXPECT_LE(reads[0].timeoutMs, 10u);
    EXPECT_LT(reads[0].result, 0) << "nothing was left";
    EXPECT_EQ(reads[1].timeoutMs, 3000u);
    EXPECT_EQ(reads.back().timeoutMs, 200u);
}

TEST_F(ControlChannelTest, RequestIdWrapsToZeroAfter65536Commands) {
    plugCamera();
    void* control = openControl();
    uint8_t value[4];
    // Opening sent commands 0..6; send up to command 65535, keeping the record small.
    for (int command = 7; command <= 65535; ++command) {
        ASSERT_EQ(U3V_ReadMem(control, 0x01CC, 4, value), U3V_OK) << command;
        if ((command & 0xFFF) == 0) vcam::clearCalls();
    }
    vcam::clearCalls();
    ASSERT_EQ(U3V_ReadMem(control, 0x01CC, 4, value), U3V_OK);
    ASSERT_EQ(U3V_ReadMem(control, 0x01CC, 4, value), U3V_OK);
    EXPECT_EQ(requestIds(sentCommands()), (std::vector<uint16_t>{0, 1}));
}

// Every check on an acknowledge has its own status; the failed command's request id is
// used up, and the channel goes on with the next one.
TEST_F(ControlChannelTest, EachAcknowledgeFaultHasItsOwnStatusAndTheChannelGoesOn) {
    plugCamera();
    void* control = openControl();
    struct Case {
        vcam::ControlFaultKind kind;
        uint16_t cameraStatus;
        uint16_t expected;
        enum { None, In, Out } clearedHalt;
    };
    using K = vcam::ControlFaultKind;
    const Case cases[] = {
        {K::WrongPrefix, 0, U3V_ERR_ACK_PREFIX, Case::None},
        {K::WrongCommand, 0, U3V_ERR_ACK_COMMAND, Case::None},
        {K::WrongRequestId, 0, U3V_ERR_ACK_REQUEST_ID, Case::None},
        {K::Status, 0x8006, 0x8006, Case::None},
        {K::ShortAck, 0, U3V_ERR_ACK_LENGTH, Case::None},
        {K::NoAck, 0, U3V_ERR_USB_TRANSFER, Case::In},
        {K::StallIn, 0, U3V_ERR_USB_TRANSFER, Case::In},
        {K::StallOut, 0, U3V_ERR_USB_TRANSFER, Case::Out},
    };
    const std::vector<uint8_t> original = pattern(8, 1);
    poke(kRam, original);

    for (const bool isRead : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (isRead ? "read" : "write") << " fault "
                                            << static_cast<int>(c.kind));
            vcam::clearCalls();
            vcam::ControlFault fault;
            fault.kind = c.kind;
            fault.address = kRam;
            fault.status = c.cameraStatus;
            vcam::addControlFault(camera_, fault);

            std::vector<uint8_t> buffer(8, 0xEE);
            const std::vector<uint8_t> data = pattern(8, 50);
            const uint16_t status = isRead ? U3V_ReadMem(control, kRam, 8, buffer.data())
                                           : U3V_WriteMem(control, kRam, 8, data.data());
            // A read's error acknowledge carries no data; its status still comes through.
            const uint16_t expected = c.expected;
            EXPECT_EQ(status, expected);
            if (isRead) {
                EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xEE)) << "buffer touched";
            }
            EXPECT_TRUE(logged(U3V_LOG_ERROR, failureText(isRead ? "ReadMem" : "WriteMem", kRam,
                                                          expected)));

            const auto halts = callsOf("libusb_clear_halt");
            if (c.clearedHalt == Case::None) {
                EXPECT_TRUE(halts.empty());
            } else {
                ASSERT_EQ(halts.size(), 1u);
                EXPECT_EQ((halts[0].endpoint & 0x80) != 0, c.clearedHalt == Case::In);
            }

            // The next transaction works and carries the next request id.
            EXPECT_EQ(U3V_ReadMem(control, kRam, 8, buffer.data()), U3V_OK);
            const auto ids = requestIds(sentCommands());
            ASSERT_EQ(ids.size(), 2u);
            EXPECT_EQ(static_cast<uint16_t>(ids[1] - ids[0]), 1);
            poke(kRam, original);
        }
    }
}

TEST_F(ControlChannelTest, ReadAcknowledgeMustBeTwelvePlusTheLengthEvenWithStatusZero) {
    plugCamera();
    void* control = openControl();
    EXPECT_EQ(U3V_ReadMem(control, 0x01CC, 0, nullptr), U3V_OK);
    const auto commands = sentCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].readLength, 0);
    ASSERT_EQ(bulkReads().size(), 1u);
    EXPECT_EQ(bulkReads()[0].transferred, 12);

    vcam::ControlFault fault;
    fault.kind = vcam::ControlFaultKind::ShortAck;
    fault.count = 2;
    vcam::addControlFault(camera_, fault);
    uint32_t value = 0x12345678;
    EXPECT_EQ(U3V_ReadMem(control, 0x01CC, 4, &value), U3V_ERR_ACK_LENGTH);
    EXPECT_EQ(value, 0x12345678u);
    // 11 bytes in answer to a read of 0: shorter than any header.
    EXPECT_EQ(U3V_ReadMem(control, 0x01CC, 0, nullptr), U3V_ERR_ACK_LENGTH);
}

TEST_F(ControlChannelTest, CameraStatusIsPassedOnAndLogged) {
    plugCamera();
    void* control = openControl();
    vcam::ControlFault fault;
    fault.kind = vcam::ControlFaultKind::Status;
    fault.status = 0x8003;
    fault.address = kRam + 0x40;
    vcam::addControlFault(camera_, fault);

    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(U3V_WriteMem(control, kRam + 0x40, 4, data), 0x8003);
    EXPECT_EQ(LogCapture::messages(),
              (std::vector<LogMessage>{{U3V_LOG_ERROR, "WriteMem [100040]: 8003"}}));

    // A real refusal from the camera, not an injected one: an unmapped address.
    LogCapture::clear();
    uint32_t value = 0x12345678;
    EXPECT_EQ(U3V_ReadMem(control, 0x7000'0000, 4, &value), 0x8003);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(LogCapture::messages(),
              (std::vector<LogMessage>{{U3V_LOG_ERROR, "ReadMem [70000000]: 8003"}}));
}

// A camera that asks for more time with pending acknowledges gets it, whether or not it
// declares the written-length field (the pending ack is 16 bytes either way: every read
// offers room for the largest acknowledge).
TEST_F(ControlChannelTest, WriteFollowsPendingAcknowledgesWithTheirTimeouts) {
    for (const bool writtenLength : {false, true}) {
        SCOPED_TRACE(writtenLength ? "with written-length field" : "without");
        vcam::reset();
        vcam::CameraConfig config = camera(1);
        config.writtenLengthField = writtenLength;
        plugCamera(config);
        void* control = openControl();

        vcam::ControlFault fault;
        fault.kind = vcam::ControlFaultKind::Pending;
        fault.pendingTimeoutsMs = {500, 2000};
        vcam::addControlFault(camera_, fault);
        const std::vector<uint8_t> data = pattern(12, 9);
        EXPECT_EQ(U3V_WriteMem(control, kRam, 12, data.data()), U3V_OK);
        EXPECT_EQ(peek(kRam, 12), data);

        const auto reads = bulkReads();
        ASSERT_EQ(reads.size(), 3u);
        EXPECT_EQ(reads[0].timeoutMs, 200u);
        EXPECT_EQ(reads[1].timeoutMs, 500u);
        EXPECT_EQ(reads[2].timeoutMs, 2000u);
        EXPECT_EQ(reads[2].transferred, writtenLength ? 16 : 12);

        EXPECT_EQ(closeControl(control), U3V_OK);
        EXPECT_EQ(closeDevice(device_), U3V_OK);
    }
}

TEST_F(ControlChannelTest, ControlInterfaceHeldElsewhere) {
    vcam::CameraConfig config = camera(1);
    config.controlHeldElsewhere = true;
    plugCamera(config);
    vcam::clearCalls();
    LogCapture::clear();

    void* control = nullptr;
    EXPECT_EQ(U3V_OpenControl(device_, &control), U3V_ERR_CONTROL_CLAIM);
    ASSERT_NE(control, nullptr) << "the handle is stored whatever the open yields";
    EXPECT_TRUE(logged(U3V_LOG_ERROR, "Can't open/claiming control interface."));
    EXPECT_TRUE(callsOf("libusb_bulk_transfer").empty());

    vcam::clearCalls();
    uint8_t buffer[4] = {};
    uint8_t* xml = nullptr;
    uint32_t size = 77;
    EXPECT_EQ(U3V_ReadMem(control, 0x01CC, 4, buffer), U3V_ERR_CONTROL_NOT_OPEN);
    EXPECT_EQ(U3V_WriteMem(control, kRam, 4, buffer), U3V_ERR_CONTROL_NOT_OPEN);
    EXPECT_EQ(U3V_ReadXml(control, &xml, &size, 1), U3V_ERR_CONTROL_NOT_OPEN);
    EXPECT_EQ(U3V_WriteXml(control, "/dev/null", kRam, kRam + 0x10000, 0, 0, nullptr),
              U3V_ERR_CONTROL_NOT_OPEN);
    EXPECT_TRUE(vcam::calls().empty()) << "no USB traffic at all";
    EXPECT_EQ(xml, nullptr);
    EXPECT_EQ(size, 77u);
    uint32_t timeout = 0;
    EXPECT_EQ(U3V_MaximumDeviceResponseTime(control, &timeout), U3V_OK);
    EXPECT_EQ(timeout, 3000u);
    EXPECT_EQ(U3V_CloseControl(control), U3V_OK);
}

TEST_F(ControlChannelTest, MaximumDeviceResponseTimeIsTheCamerasRegisterAndGovernsTransfers) {
    vcam::CameraConfig config = camera(1);
    config.maxDeviceResponseTimeMs = 1234;
    plugCamera(config);
    void* control = openControl();
    uint32_t timeout = 0;
    EXPECT_EQ(U3V_MaximumDeviceResponseTime(control, &timeout), U3V_OK);
    EXPECT_EQ(timeout, le32(peek(0x01CC, 4).data()));
    EXPECT_EQ(timeout, 1234u);

    uint8_t value[4];
    ASSERT_EQ(U3V_ReadMem(control, 0x01CC, 4, value), U3V_OK);
    for (const auto& call : callsOf("libusb_bulk_transfer")) EXPECT_EQ(call.timeoutMs, 1234u);
}

TEST_F(ControlChannelTest, NullHandlesAndArguments) {
    plugCamera();
    void* control = openControl();
    void* untouched = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(U3V_OpenControl(nullptr, &untouched), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(U3V_OpenControl(device_, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_CloseControl(nullptr), U3V_ERR_INVALID_HANDLE);

    uint8_t buffer[4] = {};
    uint32_t timeout = 99;
    EXPECT_EQ(U3V_ReadMem(nullptr, 0x01CC, 4, buffer), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_WriteMem(nullptr, kRam, 4, buffer), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_MaximumDeviceResponseTime(nullptr, &timeout), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(timeout, 99u);
    EXPECT_EQ(U3V_MaximumDeviceResponseTime(control, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_ReadMem(control, 0x01CC, 4, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_WriteMem(control, kRam, 4, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_TRUE(vcam::calls().empty());
}

// Large accesses go in pieces that fit both the camera's declared maximum transfer
// lengths and the library's own buffers, each piece a full transaction.
TEST_F(ControlChannelTest, AccessesAreSplitAtTheCamerasMaximumLengths) {
    vcam::CameraConfig config = camera(1);
    config.maxAckTransferLength = 140;    // 128 data bytes a read
    config.maxCommandTransferLength = 86;  // 66 -> 64 data bytes a write (whole words)
    plugCamera(config);
    void* control = openControl();

    const std::vector<uint8_t> data = pattern(300, 3);
    ASSERT_EQ(U3V_WriteMem(control, kRam, 300, data.data()), U3V_OK);
    EXPECT_EQ(peek(kRam, 300), data);
    auto commands = sentCommands();
    ASSERT_EQ(commands.size(), 5u);
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].address, kRam + 64 * i);
        EXPECT_EQ(commands[i].data.size(), i < 4 ? 64u : 44u);
    }

    vcam::clearCalls();
    std::vector<uint8_t> back(300);
    ASSERT_EQ(U3V_ReadMem(control, kRam, 300, back.data()), U3V_OK);
    EXPECT_EQ(back, data);
    commands = sentCommands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].readLength, 128);
    EXPECT_EQ(commands[1].readLength, 128);
    EXPECT_EQ(commands[2].readLength, 44);
    EXPECT_EQ(commands[2].address, kRam + 256);
    const auto ids = requestIds(commands);
    EXPECT_EQ(static_cast<uint16_t>(ids[2] - ids[0]), 2) << "each piece has its own request id";

    // A piece that fails leaves the caller's buffer as it was.
    vcam::ControlFault fault;
    fault.kind = vcam::ControlFaultKind::WrongRequestId;
    fault.address = kRam + 128;
    vcam::addControlFault(camera_, fault);
    std::vector<uint8_t> untouched(300, 0xEE);
    EXPECT_EQ(U3V_ReadMem(control, kRam, 300, untouched.data()), U3V_ERR_ACK_REQUEST_ID);
    EXPECT_EQ(untouched, std::vector<uint8_t>(300, 0xEE));
}

TEST_F(ControlChannelTest, AccessesAreSplitAtTheLibrarysBuffers) {
    vcam::CameraConfig config = camera(1);
    config.maxAckTransferLength = 4096;
    config.maxCommandTransferLength = 4096;
    plugCamera(config);
    void* control = openControl();

    const std::vector<uint8_t> data = pattern(3000, 5);
    ASSERT_EQ(U3V_WriteMem(control, kRam, 3000, data.data()), U3V_OK);
    std::vector<uint8_t> back(3000);
    ASSERT_EQ(U3V_ReadMem(control, kRam, 3000, back.data()), U3V_OK);
    EXPECT_EQ(back, data);

    std::vector<size_t> writes, reads;
    for (const SentCommand& c : sentCommands())
        (c.commandId == 0x0802 ? writes : reads).push_back(c.commandId == 0x0802 ? c.data.size() : c.readLength);
    EXPECT_EQ(writes, (std::vector<size_t>{1036, 1036, 928}));
    EXPECT_EQ(reads, (std::vector<size_t>{1012, 1012, 976}));
}

TEST_F(ControlChannelTest, ClosingReleasesTheControlInterfaceForOthers) {
    plugCamera();
    void* control = openControl();
    void* second = openDevice(guidOf(1));
    void* other = nullptr;
    EXPECT_EQ(U3V_OpenControl(second, &other), U3V_ERR_CONTROL_CLAIM) << "claimed by the first";
    EXPECT_EQ(U3V_CloseControl(other), U3V_OK);

    EXPECT_EQ(closeControl(control), U3V_OK);
    other = nullptr;
    EXPECT_EQ(U3V_OpenControl(second, &other), U3V_OK);
    adoptControl(other);
}

// Whatever bytes a camera answers with, the channel checks them in its order, never reads
// beyond what arrived, hands out data only from a fully valid acknowledge and stays
// usable. Acknowledges of every length, half of them with a valid header to get past the
// first checks, the same ones every run.
TEST_F(ControlChannelTest, ArbitraryAcknowledgesAreCheckedInOrder) {
    plugCamera();
    void* control = openControl();
    const std::vector<uint8_t> original = pattern(16, 3);
    poke(kRam, original);
    std::vector<uint8_t> buffer(16);
    ASSERT_EQ(U3V_ReadMem(control, kRam, 16, buffer.data()), U3V_OK);
    uint16_t nextId = static_cast<uint16_t>(sentCommands().back().requestId + 1);

    std::mt19937 random(4711);
    auto below = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
    for (int round = 0; round < 300; ++round, ++nextId) {
        const bool isRead = below(2) == 0;
        const uint16_t length = static_cast<uint16_t>(below(17));
        const size_t asked = isRead ? 12u + length : 16u;

        // The answer: a length around what is asked, random bytes, often a plausible header.
        const size_t sizes[] = {asked, asked - 1, asked + 1, 12, 11, 16, below(12), below(40)};
        std::vector<uint8_t> ack(sizes[below(8)]);
        for (uint8_t& b : ack) b = static_cast<uint8_t>(below(256));
        if (ack.size() >= 12 && below(2) == 0) {
            std::memcpy(ack.data(), "U3VC", 4);
            const uint16_t status = below(3) == 0 ? static_cast<uint16_t>(0x8000 + below(16)) : 0;
            const uint16_t ids[] = {static_cast<uint16_t>(isRead ? 0x0801 : 0x0803),
                                    static_cast<uint16_t>(isRead ? 0x0803 : 0x0801)};
            ack[4] = static_cast<uint8_t>(status);
            ack[5] = static_cast<uint8_t>(status >> 8);
            ack[6] = static_cast<uint8_t>(ids[below(4) == 0]);
            ack[7] = static_cast<uint8_t>(ids[0] >> 8);
            const uint16_t id = below(4) == 0 ? static_cast<uint16_t>(nextId + 1) : nextId;
            ack[10] = static_cast<uint8_t>(id);
            ack[11] = static_cast<uint8_t>(id >> 8);
        }
        SCOPED_TRACE(testing::Message() << "round " << round << (isRead ? " read " : " write ")
                                        << length << ", answer of " << ack.size());

        // What the acknowledge must give, check by check.
        uint16_t expected = 0;
        const uint16_t status = ack.size() >= 6 ? static_cast<uint16_t>(ack[4] | ack[5] << 8) : 0;
        const uint16_t command = ack.size() >= 8 ? static_cast<uint16_t>(ack[6] | ack[7] << 8) : 0;
        const uint16_t id = ack.size() >= 12 ? static_cast<uint16_t>(ack[10] | ack[11] << 8) : 0;
        const bool refusal = isRead && ack.size() == 12 && status != 0;
        const bool prefixed = ack.size() >= 4 && std::memcmp(ack.data(), "U3VC", 4) == 0;
        const bool pending = ack.size() >= 12 && prefixed && command == 0x0805;
        if (pending) expected = U3V_ERR_USB_TRANSFER;  // waits, nothing comes
        else if (ack.size() < 12) expected = U3V_ERR_ACK_LENGTH;
        else if (isRead && !refusal && ack.size() != asked) expected = U3V_ERR_ACK_LENGTH;
        else if (!isRead && ack.size() > 16) expected = U3V_ERR_ACK_LENGTH;
        else if (!prefixed) expected = U3V_ERR_ACK_PREFIX;
        else if (command != (isRead ? 0x0801 : 0x0803)) expected = U3V_ERR_ACK_COMMAND;
        else if (id != nextId) expected = U3V_ERR_ACK_REQUEST_ID;
        else expected = status;
        if (pending && ack.size() >= 16) {
            ack[14] = 5;  // a short wait for the acknowledge that never comes
            ack[15] = 0;
        }

        vcam::ControlFault fault;
        fault.kind = vcam::ControlFaultKind::Replace;
        fault.ack = ack;
        vcam::addControlFault(camera_, fault);
        std::vector<uint8_t> data(16, 0xEE);
        const uint16_t got = isRead ? U3V_ReadMem(control, kRam, length, data.data())
                                    : U3V_WriteMem(control, kRam, length, original.data());
        vcam::clearControlFaults(camera_);
        ASSERT_EQ(got, expected);
        if (isRead) {
            std::vector<uint8_t> want(16, 0xEE);
            if (got == U3V_OK) std::copy(ack.begin() + 12, ack.end(), want.begin());
            EXPECT_EQ(data, want);
        }
    }
    // Still usable, with the next request id.
    vcam::clearCalls();
    ASSERT_EQ(U3V_ReadMem(control, kRam, 16, buffer.data()), U3V_OK);
    EXPECT_EQ(buffer, original);
    EXPECT_EQ(sentCommands().back().requestId, nextId);
}
