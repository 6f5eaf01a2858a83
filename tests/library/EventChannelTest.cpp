// The event channel on the virtual camera: events pushed on the event pipe reach the
// callback with their fields, malformed ones never do, and the worker ends cleanly.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

struct Received {
    uint16_t id;
    uint64_t timestamp;
    uint32_t length;
    uint64_t data;
    bool operator==(const Received&) const = default;
};

std::mutex receivedMutex;
std::condition_variable receivedCv;
std::vector<Received> received;
std::atomic<int> callbackDelayMs{0};
std::atomic<bool> callbackDone{false};

void onEvent(uint16_t id, uint64_t timestamp, uint32_t length, uint64_t data) {
    if (int delay = callbackDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    {
        std::lock_guard<std::mutex> lock(receivedMutex);
        received.push_back({id, timestamp, length, data});
    }
    callbackDone = true;
    receivedCv.notify_all();
}

class EventChannelTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        std::lock_guard<std::mutex> lock(receivedMutex);
        received.clear();
        callbackDelayMs = 0;
        callbackDone = false;
    }
    void TearDown() override {
        if (event_ != nullptr) {
            EXPECT_EQ(U3V_CloseEvent(event_), U3V_OK);
        }
        ChannelTest::TearDown();
    }

    void open(U3V_EventCallback callback = &onEvent, uint32_t timeout = 200) {
        ASSERT_EQ(U3V_OpenEvent(device_, control_, &event_, callback, timeout), U3V_OK);
        ASSERT_NE(event_, nullptr);
    }

    void push(const std::vector<uint8_t>& transfer) { vcam::pushIn(camera_, kEventEndpoint, transfer); }

    // Waits until `count` events have reached the callback.
    std::vector<Received> waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(receivedMutex);
        receivedCv.wait_for(lock, limit, [&] { return received.size() >= count; });
        return received;
    }

    void* event_ = nullptr;
};

TEST_F(EventChannelTest, EventsReachTheCallbackWithTheirFields) {
    openCamera();
    open();
    push(eventBytes(0x4FFF, 0x1122334455667788, {}));
    push(eventBytes(0x9001, 42, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    push(eventBytes(0x9002, 43, {0xAA, 0xBB}));
    EXPECT_EQ(waitFor(3), (std::vector<Received>{{0x4FFF, 0x1122334455667788, 0, 0},
                                                 {0x9001, 42, 10, 0x0807060504030201},
                                                 {0x9002, 43, 2, 0xBBAA}}));
}

// An event without data reports 0 whatever an earlier event left in the read buffer; a
// transfer that is not a whole event command never reaches the callback.
TEST_F(EventChannelTest, MalformedEventsAreDroppedAndNothingStaleIsPassedOn) {
    openCamera();
    open();
    push(eventBytes(0x9001, 1, {1, 2, 3, 4, 5, 6, 7, 8}));
    push(eventBytes(0x9002, 2, {}, 0x0C02));  // another command
    std::vector<uint8_t> wrongPrefix = eventBytes(0x9003, 3, {});
    wrongPrefix[3] = 'C';
    push(wrongPrefix);
    std::vector<uint8_t> cut = eventBytes(0x9004, 4, {1, 2, 3, 4});
    cut.resize(20);  // ends inside the timestamp
    push(cut);
    std::vector<uint8_t> claimsMore = eventBytes(0x9005, 5, {1, 2, 3, 4});
    claimsMore.resize(26);  // length field says 4 data bytes, 2 arrived
    push(claimsMore);
    std::vector<uint8_t> tooShortLength = eventBytes(0x9006, 6, {});
    tooShortLength[8] = 4;  // length field below the fixed part
    push(tooShortLength);
    push(eventBytes(0x9007, 7, {}));
    EXPECT_EQ(waitFor(2), (std::vector<Received>{{0x9001, 1, 8, 0x0807060504030201}, {0x9007, 7, 0, 0}}));
}

TEST_F(EventChannelTest, TestEventWritesEventTestControlOnce) {
    openCamera();
    open();
    vcam::clearCalls();
    ASSERT_EQ(U3V_TestEvent(event_), U3V_OK);
    const std::vector<SentCommand> sent = sentCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].commandId, 0x0802);
    EXPECT_EQ(sent[0].address, eirm() + 0x08);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(U3V_TestEvent(nullptr), U3V_ERR_INVALID_HANDLE);
}

// A C caller finds the test event function under the documented symbol.
TEST(EventExportTest, TestEventIsFoundUnderItsDecoratedName) {
    void* library = dlopen("libTessoral.so.1", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    auto fn = reinterpret_cast<U3V_TestEventFunction>(dlsym(library, U3V_TEST_EVENT_SYMBOL));
    EXPECT_EQ(fn, &U3V_TestEvent);
    EXPECT_EQ(dlsym(library, "U3V_TestEvent"), nullptr);
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(nullptr), U3V_ERR_INVALID_HANDLE);
    dlclose(library);
}

TEST_F(EventChannelTest, NullCallbackReadsAndDropsEvents) {
    openCamera();
    open(nullptr);
    push(eventBytes(0x9001, 1, {}));
    EXPECT_TRUE(waitForReads(kEventEndpoint, 1));
}

// A camera reporting a Maximum Event Transfer Length of 0 still has its events read whole.
TEST_F(EventChannelTest, TinyMaximumEventTransferLengthStillReadsEvents) {
    openCamera();
    pokeLe32(eirm() + 0x04, 0);
    open();
    push(eventBytes(0x9001, 9, {5, 6}));
    EXPECT_EQ(waitFor(1), (std::vector<Received>{{0x9001, 9, 2, 0x0605}}));
}

TEST_F(EventChannelTest, CloseReturnsOnlyAfterTheWorkerEnded) {
    openCamera();
    open(&onEvent, 50);
    callbackDelayMs = 300;
    push(eventBytes(0x9001, 1, {}));
    ASSERT_TRUE(waitForReads(kEventEndpoint, 1));
    EXPECT_EQ(U3V_CloseEvent(event_), U3V_OK);
    event_ = nullptr;
    EXPECT_TRUE(callbackDone) << "close returned while the callback still ran";
}

TEST_F(EventChannelTest, UnplugWhileEventsRunEndsCleanly) {
    openCamera();
    open(&onEvent, 100);
    push(eventBytes(0x9001, 1, {}));
    ASSERT_EQ(waitFor(1).size(), 1u);
    vcam::unplug(camera_);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(U3V_CloseEvent(event_), U3V_OK);
    event_ = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

// After an unplug the worker ends instead of reading a dead pipe, and the test event says
// the camera is gone.
TEST_F(EventChannelTest, WorkerStopsReadingAfterAnUnplug) {
    openCamera();
    open(&onEvent, 20);
    push(eventBytes(0x9001, 1, {}));
    ASSERT_EQ(waitFor(1).size(), 1u);
    vcam::unplug(camera_);
    const auto eventReads = [] {
        size_t n = 0;
        for (const vcam::UsbCall& call : vcam::calls())
            n += call.function == "libusb_bulk_transfer" && call.endpoint == kEventEndpoint;
        return n;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t before = eventReads();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(eventReads(), before) << "the worker still reads the pipe of a camera that left";
    EXPECT_EQ(U3V_TestEvent(event_), U3V_ERR_DEVICE_GONE);
}

std::atomic<void*> selfClosed{nullptr};
std::atomic<uint16_t> selfCloseStatus{0};
void closeFromCallback(uint16_t, uint64_t, uint32_t, uint64_t) {
    selfCloseStatus = U3V_CloseEvent(selfClosed.load());
    callbackDone = true;
    receivedCv.notify_all();
}

// A close from the channel's own callback would wait for itself: it is refused, the
// channel stays open and delivering, and another thread closes it.
TEST_F(EventChannelTest, CloseFromItsOwnCallbackIsRefused) {
    openCamera();
    open(&closeFromCallback, 50);
    selfClosed = event_;
    push(eventBytes(0x9001, 1, {}));
    {
        std::unique_lock<std::mutex> lock(receivedMutex);
        ASSERT_TRUE(receivedCv.wait_for(lock, std::chrono::seconds(5), [] { return callbackDone.load(); }));
    }
    EXPECT_EQ(selfCloseStatus.load(), U3V_ERR_CALLED_FROM_CALLBACK);
    callbackDone = false;
    push(eventBytes(0x9002, 2, {}));
    ASSERT_TRUE(waitForReads(kEventEndpoint, 2));
    EXPECT_EQ(U3V_CloseEvent(event_), U3V_OK);
    event_ = nullptr;
}

// One event channel per device handle; the first keeps working. The library writes
// nothing to the program's standard output, also when the worker ends.
TEST_F(EventChannelTest, SecondOpenIsRefusedAndNothingGoesToStandardOutput) {
    openCamera();
    testing::internal::CaptureStdout();
    open();
    void* second = &event_;
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &second, &onEvent, 100), U3V_ERR_EVENT_CLAIM_FAILED);
    EXPECT_EQ(second, nullptr);
    push(eventBytes(0x9001, 1, {}));
    EXPECT_EQ(waitFor(1).size(), 1u);
    EXPECT_EQ(U3V_CloseEvent(event_), U3V_OK);
    event_ = nullptr;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> trace = SyslogCapture::texts();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "end thread\r\n"), trace.end());
    open();  // free again after the close
}

TEST_F(EventChannelTest, OpenFailuresLeaveNoHandle) {
    vcam::CameraConfig config = camera(1);
    config.hasEvent = false;
    openCamera(config);
    void* event = &config;
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &event, &onEvent, 100), U3V_ERR_NO_EVENT_INTERFACE);
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(LogCapture::texts().back(), "No event interface available.");
    EXPECT_EQ(U3V_OpenEvent(nullptr, control_, &event, &onEvent, 100), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_OpenEvent(device_, nullptr, &event, &onEvent, 100), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_CloseEvent(nullptr), U3V_ERR_INVALID_HANDLE);
}

TEST_F(EventChannelTest, OpenFailsWhenTheCameraDoesNotAnnounceItsEventRegisters) {
    openCamera();
    const uint64_t sbrm = le64(peek(0x01D8, 8).data());
    pokeLe64(sbrm + 0x04, 0x1);  // stream register map only
    void* event = &event_;
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &event, &onEvent, 100), U3V_ERR_EIRM_NOT_AVAILABLE);
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(LogCapture::texts().back(),
              "Event interface is available but EIRM_AVAILABLE has not been set (not supported).");
}

}  // namespace
}  // namespace testsupport
