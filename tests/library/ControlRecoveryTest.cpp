// The control channel against a camera that answers late, asks for time, or declares
// limits no camera could live with: the channel keeps every wait bounded and stays in
// step with the camera afterwards.
#include <chrono>
#include <cstring>
#include <thread>

#include "support/ControlTestSupport.h"

using namespace testsupport;

namespace {

constexpr uint8_t kControlIn = 0x81;

std::vector<uint8_t> ackHeader(uint16_t command, uint16_t requestId, size_t payload) {
    std::vector<uint8_t> ack(12 + payload);
    std::memcpy(ack.data(), "U3VC", 4);
    ack[6] = static_cast<uint8_t>(command);
    ack[7] = static_cast<uint8_t>(command >> 8);
    ack[8] = static_cast<uint8_t>(payload);
    ack[9] = static_cast<uint8_t>(payload >> 8);
    ack[10] = static_cast<uint8_t>(requestId);
    ack[11] = static_cast<uint8_t>(requestId >> 8);
    return ack;
}

std::vector<uint8_t> readAck(uint16_t requestId, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> ack = ackHeader(0x0801, requestId, data.size());
    std::copy(data.begin(), data.end(), ack.begin() + 12);
    return ack;
}

std::vector<uint8_t> writeAck(uint16_t requestId) { return ackHeader(0x0803, requestId, 0); }

class ControlRecoveryTest : public ControlTest {
protected:
    void addFault(vcam::ControlFaultKind kind, std::optional<uint64_t> address,
                  std::vector<uint16_t> pending = {}, int skip = 0) {
        vcam::ControlFault fault;
        fault.kind = kind;
        fault.address = address;
        fault.pendingTimeoutsMs = std::move(pending);
        fault.skip = skip;
        vcam::addControlFault(camera_, fault);
    }

    uint32_t read32(void* control, uint64_t address, uint16_t expected = U3V_OK) {
        uint8_t bytes[4] = {};
        EXPECT_EQ(U3V_ReadMem(control, address, 4, bytes), expected) << std::hex << address;
        return le32(bytes);
    }

    // Points the camera's declared transfer limits at other values than it enforces.
    void declareLimits(uint32_t command, uint32_t ack) {
        const uint64_t sbrm = le64(peek(0x01D8, 8).data());
        std::vector<uint8_t> bytes(4);
        putLe32(bytes, 0, command);
        poke(sbrm + 0x14, bytes);
        putLe32(bytes, 0, ack);
        poke(sbrm + 0x18, bytes);
    }

    // Opens a camera whose response time register holds `responseTimeMs`: every read of
    // the opening, and the read after a pending acknowledge asking for `pendingMs`, waits
    // `expectedWaitMs`. The channel stays open for the caller.
    void* expectWaits(uint32_t responseTimeMs, uint16_t pendingMs, unsigned expectedWaitMs) {
        vcam::CameraConfig config = camera(1);
        config.maxDeviceResponseTimeMs = responseTimeMs;
        plugCamera(config);
        void* control = openControl();
        EXPECT_EQ(read32(control, 0x01CC), responseTimeMs);
        for (const auto& call : callsOf("libusb_bulk_transfer")) EXPECT_EQ(call.timeoutMs, expectedWaitMs);

        vcam::clearCalls();
        addFault(vcam::ControlFaultKind::Pending, kRam, {pendingMs});
        const uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_EQ(U3V_WriteMem(control, kRam, 4, data), U3V_OK);
        const auto reads = bulkReads();
        EXPECT_EQ(reads.size(), 2u);
        if (reads.size() == 2) {
            EXPECT_EQ(reads[1].timeoutMs, expectedWaitMs);
        }
        return control;
    }
};

}  // namespace

// GenCP allows a pending acknowledge for any command: a read waits it out as a write does.
TEST_F(ControlRecoveryTest, PendingAcknowledgeToAReadIsWaitedOut) {
    plugCamera();
    void* control = openControl();
    poke(kRam, {1, 2, 3, 4});
    addFault(vcam::ControlFaultKind::Pending, kRam, {100});
    EXPECT_EQ(read32(control, kRam), 0x04030201u);
    const auto reads = bulkReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].timeoutMs, 100u) << "the wait the camera asked for";
    EXPECT_EQ(read32(control, 0x01CC), 200u) << "the next transaction is in step";

    // The same in the middle of the description file: the third command is its first chunk.
    addFault(vcam::ControlFaultKind::Pending, std::nullopt, {100}, 2);
    uint8_t* xml = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(U3V_ReadXml(control, &xml, &size, 0), U3V_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(xml), 5), "<?xml");
    EXPECT_EQ(U3V_ReadXml(control, &xml, &size, 0), U3V_OK);
    EXPECT_EQ(read32(control, 0x01CC), 200u);
}

// An acknowledge that comes after its transaction gave up is read past by the next one,
// whatever its size; the failed transaction keeps its own status.
TEST_F(ControlRecoveryTest, LateAcknowledgesAreReadPast) {
    plugCamera();
    void* control = openControl();
    struct Case {
        const char* what;
        bool lateIsRead;
        uint16_t length;  // of the transaction that timed out
    };
    for (const Case& c : {Case{"same read", true, 4}, Case{"longer read", true, 64},
                          Case{"write", false, 4}}) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> old(c.length, 0x11);
        poke(kRam, old);
        addFault(vcam::ControlFaultKind::NoAck, kRam);
        std::vector<uint8_t> buffer(c.length);
        EXPECT_EQ(c.lateIsRead ? U3V_ReadMem(control, kRam, c.length, buffer.data())
                               : U3V_WriteMem(control, kRam, c.length, old.data()),
                  U3V_ERR_USB_TRANSFER);
        const uint16_t lateId = sentCommands().back().requestId;

        poke(kRam, {5, 6, 7, 8});
        vcam::pushIn(camera_, kControlIn, c.lateIsRead ? readAck(lateId, old) : writeAck(lateId));
        vcam::clearCalls();
        EXPECT_EQ(read32(control, kRam), 0x08070605u) << "today's value, not the late one";
        ASSERT_EQ(sentCommands().size(), 1u);
        EXPECT_EQ(sentCommands()[0].requestId, static_cast<uint16_t>(lateId + 1));
        EXPECT_EQ(bulkReads().size(), 2u);
        EXPECT_EQ(read32(control, 0x01CC), 200u);
    }
}

// Whatever a closed channel left on the pipe (here acknowledges of another session's ids),
// the next open starts clean, across closing the device too.
TEST_F(ControlRecoveryTest, OpeningDrainsStaleAcknowledges) {
    plugCamera();
    void* control = openControl();
    vcam::pushIn(camera_, kControlIn, readAck(0x1234, {1, 2, 3, 4}));
    vcam::pushIn(camera_, kControlIn, writeAck(0x2345));
    vcam::pushIn(camera_, kControlIn, readAck(0x3456, std::vector<uint8_t>(200, 9)));
    EXPECT_EQ(closeControl(control), U3V_OK);
    EXPECT_EQ(closeDevice(device_), U3V_OK);

    device_ = openDevice(guidOf(1));
    control = openControl();
    poke(kRam, {9, 8, 7, 6});
    EXPECT_EQ(read32(control, kRam), 0x06070809u);
}

TEST_F(ControlRecoveryTest, WaitsAreBoundedWhateverTheCameraAsks) {
    void* control = expectWaits(0xFFFFFFFF, 65535, 30000);
    uint32_t reported = 0;
    EXPECT_EQ(U3V_MaximumDeviceResponseTime(control, &reported), U3V_OK);
    EXPECT_EQ(reported, 0xFFFFFFFFu) << "the camera's register as it is";
}

// A camera that never stops asking for more time ends the transaction; what it still has
// queued is read past by the next one.
TEST_F(ControlRecoveryTest, EndlessPendingAcknowledgesEndTheTransaction) {
    plugCamera();
    void* control = openControl();
    addFault(vcam::ControlFaultKind::Pending, kRam, std::vector<uint16_t>(1100, 1));
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(U3V_WriteMem(control, kRam, 4, data), U3V_ERR_USB_TRANSFER);
    EXPECT_EQ(bulkReads().size(), 1024u);
    EXPECT_EQ(read32(control, 0x01CC), 200u);
}

// libusb reads a time-out of 0 as "wait for ever"; a camera's 0 means the default.
TEST_F(ControlRecoveryTest, ZeroTimeoutsMeanTheDefaultWait) { expectWaits(0, 0, 3000); }

// Maximum lengths at or just above the packet headers would leave no room or split
// registers into bytes: every piece still carries at least one whole 32-bit word.
TEST_F(ControlRecoveryTest, TransferLengthsAtTheHeaderSizeStillCarryWholeWords) {
    for (const uint32_t extra : {0u, 1u, 3u}) {
        SCOPED_TRACE(extra);
        vcam::reset();
        plugCamera();
        declareLimits(20 + extra, 12 + extra);
        void* control = openControl();

        const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        ASSERT_EQ(U3V_WriteMem(control, kRam, 10, data.data()), U3V_OK);
        std::vector<uint8_t> back(16);
        ASSERT_EQ(U3V_ReadMem(control, kRam, 16, back.data()), U3V_OK);
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 10), data);

        std::vector<size_t> writes, reads;
        for (const SentCommand& c : sentCommands()) {
            if (c.commandId == 0x0802) writes.push_back(c.data.size());
            else reads.push_back(c.readLength);
        }
        EXPECT_EQ(writes, (std::vector<size_t>{4, 4, 2}));
        EXPECT_EQ(reads, (std::vector<size_t>{4, 4, 4, 4}));
        EXPECT_EQ(closeControl(control), U3V_OK);
        EXPECT_EQ(closeDevice(device_), U3V_OK);
    }
}

// Discovery briefly claims each camera's control interface; an open that meets such a
// claim waits it out.
TEST_F(ControlRecoveryTest, OpenWaitsOutABriefClaimElsewhere) {
    plugCamera();
    void* holder = openDevice(guidOf(1));
    void* held = nullptr;
    ASSERT_EQ(U3V_OpenControl(holder, &held), U3V_OK);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(U3V_CloseControl(held), U3V_OK);
    });
    void* control = nullptr;
    EXPECT_EQ(U3V_OpenControl(device_, &control), U3V_OK);
    release.join();
    adoptControl(control);
}
