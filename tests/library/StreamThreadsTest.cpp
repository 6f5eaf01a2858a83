// The stream used as viewers and recorders use it: one thread in U3V_GetImage, another
// starting, stopping, restarting, changing settings and closing. Waiting readers are woken
// at once with a status that says why, and nothing is freed under a reader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004;
constexpr uint64_t kAcquisitionStart = 0x40024;
// Longer than any wake-up may take; a reader still waiting after it was never woken.
constexpr uint32_t kLongWaitMs = 20000;
constexpr auto kPrompt = milliseconds(5000);

struct Taken {
    uint16_t status = 0;
    Clock::duration took{};
};

class StreamThreadsTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        openCamera();
        stream_ = openStream();
    }

    // A reader thread in U3V_GetImage; the future holds its status and how long it waited.
    std::future<Taken> reader(uint32_t timeout, size_t size = 1000) {
        return std::async(std::launch::async, [this, timeout, size] {
            std::vector<uint8_t> data(size);
            U3V_ImageInfo info{};
            const auto t0 = Clock::now();
            const uint16_t st = U3V_GetImage(stream_, data.data(), timeout, &info);
            return Taken{st, Clock::now() - t0};
        });
    }

    // Lets a reader thread reach its wait.
    static void settle() { std::this_thread::sleep_for(milliseconds(150)); }

    // The reader must have ended within kPrompt with `expected`.
    static void expectWoken(std::future<Taken>& f, uint16_t expected) {
        ASSERT_EQ(f.wait_for(kPrompt), std::future_status::ready) << "the reader was not woken";
        const Taken t = f.get();
        EXPECT_EQ(t.status, expected) << std::hex << t.status;
        EXPECT_LT(t.took, kPrompt);
    }

    void start(uint64_t payload = 1000) {
        setPayloadSize(payload);
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    }

    void* stream_ = nullptr;
};

// Stop, restart and close each end a wait at once (here a long one and one without limit),
// with U3V_ERR_ACQUISITION_STOPPED; a close returns after the waiter has left.
TEST_F(StreamThreadsTest, StopRestartAndCloseWakeAWaitingReader) {
    for (const uint32_t timeout : {kLongWaitMs, 0xFFFFFFFFu}) {
        SCOPED_TRACE(timeout);
        start();
        auto stopped = reader(timeout);
        settle();
        uint64_t a = 0, b = 0;
        ASSERT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
        expectWoken(stopped, U3V_ERR_ACQUISITION_STOPPED);

        start();
        auto restarted = reader(timeout);
        settle();
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
        expectWoken(restarted, U3V_ERR_ACQUISITION_STOPPED);
        // The restarted acquisition delivers.
        pushImage(WireImage{.blockId = 5, .payload = pattern(5, 1000)});
        std::vector<uint8_t> data(1000);
        U3V_ImageInfo info{};
        ASSERT_EQ(U3V_GetImage(stream_, data.data(), 5000, &info), U3V_OK);
        EXPECT_EQ(data, pattern(5, 1000));
    }
    auto closed = reader(0xFFFFFFFF);
    settle();
    EXPECT_EQ(closeStream(stream_), U3V_OK);
    expectWoken(closed, U3V_ERR_ACQUISITION_STOPPED);
}

// Before any start a reader waits its time-out; a start from another thread meanwhile
// gives it the first image, and a close wakes it.
TEST_F(StreamThreadsTest, ReaderWaitingBeforeTheFirstStartGetsItsFirstImage) {
    auto first = std::async(std::launch::async, [this] {
        std::vector<uint8_t> data(1000);
        U3V_ImageInfo info{};
        const uint16_t st = U3V_GetImage(stream_, data.data(), 10000, &info);
        return std::make_pair(st, data);
    });
    settle();
    start();
    pushImage(WireImage{.blockId = 1, .payload = pattern(1, 1000)});
    ASSERT_EQ(first.wait_for(kPrompt), std::future_status::ready);
    const auto [status, data] = first.get();
    EXPECT_EQ(status, U3V_OK);
    EXPECT_EQ(data, pattern(1, 1000));

    uint64_t a = 0, b = 0;
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    auto closed = reader(kLongWaitMs);
    settle();
    EXPECT_EQ(closeStream(stream_), U3V_OK);
    expectWoken(closed, U3V_ERR_ACQUISITION_STOPPED);
}

// A camera unplugged while a reader waits for an image that never comes: the reader
// learns it at once, and so does the next one.
TEST_F(StreamThreadsTest, UnplugWakesAWaitingReader) {
    start();
    auto waiting = reader(kLongWaitMs);
    settle();
    vcam::unplug(camera_);
    expectWoken(waiting, U3V_ERR_DEVICE_GONE);
    auto later = reader(kLongWaitMs);
    expectWoken(later, U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(closeStream(stream_), U3V_OK);
}

// A stop returns at once when no image is coming: the engine's leader read gives way to it.
TEST_F(StreamThreadsTest, StopWithNoImageComingReturnsPromptly) {
    start();
    settle();
    uint64_t a = 0, b = 0;
    const auto t0 = Clock::now();
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    EXPECT_LT(Clock::now() - t0, milliseconds(1000)) << "the stop waited for the leader read";
}

// The camera's own image source at full speed with a reader that never stops, while this
// thread restarts, stops and changes the settings in a loop, then closes under the reader.
// Every image delivered is intact; nothing is freed under the reader (ASan, TSan).
TEST_F(StreamThreadsTest, RestartLoopAgainstAReaderThread) {
    constexpr uint32_t width = 512, height = 512;
    constexpr size_t payload = size_t{width} * height;
    for (const auto& [address, v] : {std::pair{kWidth, width}, std::pair{kHeight, height}})
        ASSERT_EQ(U3V_WriteMem(control_, address, 4, &v), U3V_OK);
    vcam::setStreamPacing(camera_, 0);  // unpaced: an image whenever a leader is read
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    const uint32_t one = 1;
    ASSERT_EQ(U3V_WriteMem(control_, kAcquisitionStart, 4, &one), U3V_OK);

    std::atomic<bool> done{false}, lastCall{false};
    std::atomic<int> good{0}, corrupt{0}, unexpected{0};
    std::thread reading([&] {
        std::vector<uint8_t> data(payload);
        for (int i = 0; !done; ++i) {
            U3V_ImageInfo info{};
            // Every other call without info: the image is copied and stays queued.
            const uint16_t st = U3V_GetImage(stream_, data.data(), 200, i % 2 ? &info : nullptr);
            if (st == U3V_OK) {
                ++good;
                if (vcam::firstMismatch(info.BlockId, data.data(), payload) != -1) ++corrupt;
            } else if (st != U3V_ERR_ACQUISITION_STOPPED && st != U3V_ERR_IMAGE_TIMEOUT &&
                       st != U3V_ERR_NO_IMAGE && st != U3V_ERR_MISSING_PACKETS) {
                ++unexpected;
            }
        }
        // Closed under this wait: woken, not left behind.
        lastCall = true;
        std::vector<uint8_t> last(payload);
        U3V_ImageInfo info{};
        // An image event left set by the stop answers once with a time-out at once.
        uint16_t st = U3V_GetImage(stream_, last.data(), 0xFFFFFFFF, &info);
        if (st == U3V_ERR_IMAGE_TIMEOUT) st = U3V_GetImage(stream_, last.data(), 0xFFFFFFFF, &info);
        if (st != U3V_ERR_ACQUISITION_STOPPED && st != U3V_OK) ++unexpected;
    });
    uint64_t a = 0, b = 0;
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(U3V_SetBufferCount(stream_, 1 + i % 4), U3V_OK);
        EXPECT_EQ(U3V_SetTransferSize(stream_, i % 2 ? 65536 : 16384), U3V_OK);
        if (i % 5 == 4) {
            EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
        }
        EXPECT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
        std::this_thread::sleep_for(milliseconds(i % 3 * 5));
    }
    // Stopped, so that the reader's last call waits until the close.
    EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    done = true;
    while (!lastCall) std::this_thread::sleep_for(milliseconds(5));
    settle();
    EXPECT_EQ(closeStream(stream_), U3V_OK);
    reading.join();
    EXPECT_GT(good.load(), 0);
    EXPECT_EQ(corrupt.load(), 0);
    EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
}  // namespace testsupport
