// One control handle shared by several threads, as GUI and acquisition threads share it:
// every transaction gets its own answer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

class ControlThreadsTest : public ChannelTest {};

// Each thread reads and writes its own word; a transaction answered with another
// thread's acknowledge shows as a failure or as a foreign value.
TEST_F(ControlThreadsTest, ConcurrentAccessesOnOneHandleAllSucceed) {
    openCamera();
    vcam::setCallRecord(false);  // the record would serialise the threads itself
    constexpr int kThreads = 4, kRounds = 10000;
    std::atomic<int> failed{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const uint64_t address = kRam + 64 * t;
            for (int i = 0; i < kRounds; ++i) {
                const uint32_t written = static_cast<uint32_t>(t << 24 | i);
                if (U3V_WriteMem(control_, address, 4, &written) != U3V_OK) ++failed;
                uint32_t read = 0;
                if (U3V_ReadMem(control_, address, 4, &read) != U3V_OK) {
                    ++failed;
                } else if (read != written) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

// The event channel's test event shares the control channel with the caller's reads.
TEST_F(ControlThreadsTest, TestEventBesideReadsOnTheSameChannel) {
    openCamera();
    vcam::setCallRecord(false);
    void* event = nullptr;
    ASSERT_EQ(U3V_OpenEvent(device_, control_, &event, nullptr, 100), U3V_OK);
    std::atomic<int> failed{0};
    std::thread testing([&] {
        for (int i = 0; i < 3000; ++i) failed += U3V_TestEvent(event) != U3V_OK;
    });
    for (int i = 0; i < 3000; ++i) {
        uint32_t value = 0;
        failed += U3V_ReadMem(control_, 0x01CC, 4, &value) != U3V_OK || value != 200;
    }
    testing.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(U3V_CloseEvent(event), U3V_OK);
}

}  // namespace
}  // namespace testsupport
