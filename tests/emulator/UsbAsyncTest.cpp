// Asynchronous transfers and event handling: completions in submission order, only inside
// the event-handling calls and on their thread; cancellation, time-outs, unplug, flags,
// several threads handling events; hotplug notification.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;
using Async = UsbWorld;

struct Completion {
    int order = -1;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    int actual = -1;
    std::thread::id thread;
};

struct Tracker {
    std::atomic<int> done{0};
    std::vector<Completion> seen;  // by transfer index
    explicit Tracker(size_t n) : seen(n) {}
};

struct Slot {
    Tracker* tracker;
    size_t index;
};

void LIBUSB_CALL onDone(libusb_transfer* t) {
    auto* slot = static_cast<Slot*>(t->user_data);
    Completion& c = slot->tracker->seen[slot->index];
    c.order = slot->tracker->done.fetch_add(1);
    c.status = t->status;
    c.actual = t->actual_length;
    c.thread = std::this_thread::get_id();
}

// Transfers of one test, freed at the end.
struct Transfers {
    std::vector<libusb_transfer*> all;
    std::vector<Bytes> buffers;
    std::vector<Slot> slots;
    Tracker tracker;

    explicit Transfers(size_t n) : buffers(n), slots(n), tracker(n) {
        for (size_t i = 0; i < n; ++i) {
            all.push_back(libusb_alloc_transfer(0));
            slots[i] = {&tracker, i};
        }
    }
    ~Transfers() {
        for (libusb_transfer* t : all) libusb_free_transfer(t);
    }
    int submit(size_t i, libusb_device_handle* h, uint8_t ep, int size, unsigned timeout = 0) {
        buffers[i].assign(static_cast<size_t>(size), 0);
        libusb_fill_bulk_transfer(all[i], h, ep, buffers[i].data(), size, onDone, &slots[i], timeout);
        return libusb_submit_transfer(all[i]);
    }
};

void handleUntil(libusb_context* ctx, const std::function<bool()>& done, int maxRounds = 200) {
    timeval tv{0, 20000};
    for (int i = 0; i < maxRounds && !done(); ++i) libusb_handle_events_timeout(ctx, &tv);
}

TEST_F(Async, CompletionsComeInOrderOnlyFromEventHandling) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    Transfers t(4);
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(t.submit(i, h, 0x83, 64), LIBUSB_SUCCESS);
    vcam::pushIn(id, 0x83, Bytes(64, 0xA0));
    vcam::pushIn(id, 0x83, Bytes(5, 0xA1));
    vcam::pushIn(id, 0x83, Bytes(80, 0xA2));
    vcam::pushIn(id, 0x83, Bytes(1, 0xA3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.tracker.done.load(), 0) << "callbacks wait for event handling";

    handleUntil(ctx, [&] { return t.tracker.done == 4; });
    ASSERT_EQ(t.tracker.done.load(), 4);
    const libusb_transfer_status statuses[] = {LIBUSB_TRANSFER_COMPLETED, LIBUSB_TRANSFER_COMPLETED,
                                               LIBUSB_TRANSFER_OVERFLOW, LIBUSB_TRANSFER_COMPLETED};
    const int actual[] = {64, 5, 64, 1};
    for (size_t i = 0; i < 4; ++i) {
        const Completion& c = t.tracker.seen[i];
        EXPECT_EQ(c.order, static_cast<int>(i));
        EXPECT_EQ(c.status, statuses[i]) << i;
        EXPECT_EQ(c.actual, actual[i]) << i;
        EXPECT_EQ(c.thread, std::this_thread::get_id());
        EXPECT_EQ(t.buffers[i][0], 0xA0 + i);
    }

    int submits = 0, completions = 0;
    for (const vcam::UsbCall& c : vcam::calls()) {
        submits += c.function == "libusb_submit_transfer";
        if (c.function == "transfer_completion") {
            EXPECT_EQ(c.endpoint, 0x83);
            EXPECT_EQ(c.transferred, actual[completions]);
            EXPECT_EQ(c.data.size(), static_cast<size_t>(actual[completions]));
            ++completions;
        }
    }
    EXPECT_EQ(submits, 4);
    EXPECT_EQ(completions, 4);
}

TEST_F(Async, CancelledReadsCompleteAsCancelledAndLeaveTheData) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    Transfers t(2);
    ASSERT_EQ(t.submit(0, h, 0x83, 64), LIBUSB_SUCCESS);
    ASSERT_EQ(t.submit(1, h, 0x83, 64), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_submit_transfer(t.all[0]), LIBUSB_ERROR_BUSY) << "already in flight";
    ASSERT_EQ(libusb_cancel_transfer(t.all[0]), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_cancel_transfer(t.all[0]), LIBUSB_ERROR_NOT_FOUND);
    vcam::pushIn(id, 0x83, Bytes(16, 0x5A));
    handleUntil(ctx, [&] { return t.tracker.done == 2; });
    EXPECT_EQ(t.tracker.seen[0].status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(t.tracker.seen[0].actual, 0);
    EXPECT_EQ(t.tracker.seen[1].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(t.tracker.seen[1].actual, 16);
    EXPECT_EQ(libusb_cancel_transfer(t.all[1]), LIBUSB_ERROR_NOT_FOUND) << "already complete";
}

TEST_F(Async, TimeOutsAndUnplugEndReads) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    libusb_device_handle* h = open(dev);
    Transfers t(3);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(t.submit(0, h, 0x83, 64, 100), LIBUSB_SUCCESS);
    timeval next{};
    EXPECT_EQ(libusb_get_next_timeout(ctx, &next), 1);
    EXPECT_LE(next.tv_sec * 1000 + next.tv_usec / 1000, 100);
    handleUntil(ctx, [&] { return t.tracker.done == 1; });
    EXPECT_EQ(t.tracker.seen[0].status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_GE(msSince(start), 95.0);
    EXPECT_LT(msSince(start), 3000.0);
    EXPECT_EQ(libusb_get_next_timeout(ctx, &next), 0);

    // A handler already waiting wakes up for a time-out that comes sooner than its own.
    std::thread handler([&] {
        while (t.tracker.done < 2) libusb_handle_events(ctx);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto second = std::chrono::steady_clock::now();
    ASSERT_EQ(t.submit(1, h, 0x83, 64, 50), LIBUSB_SUCCESS);
    handler.join();
    EXPECT_EQ(t.tracker.seen[1].status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_LT(msSince(second), 3000.0);

    ASSERT_EQ(t.submit(1, h, 0x82, 64), LIBUSB_SUCCESS);
    vcam::unplug(id);
    handleUntil(ctx, [&] { return t.tracker.done == 3; });
    EXPECT_EQ(t.tracker.seen[1].status, LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(t.submit(2, h, 0x82, 64), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Async, TransferFlags) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    Transfers t(1);
    t.buffers[0].assign(64, 0);
    libusb_fill_bulk_transfer(t.all[0], h, 0x83, t.buffers[0].data(), 64, onDone, &t.slots[0], 0);
    t.all[0]->flags = LIBUSB_TRANSFER_SHORT_NOT_OK;
    ASSERT_EQ(libusb_submit_transfer(t.all[0]), LIBUSB_SUCCESS);
    vcam::pushIn(id, 0x83, Bytes(10, 1));
    handleUntil(ctx, [&] { return t.tracker.done == 1; });
    EXPECT_EQ(t.tracker.seen[0].status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(t.tracker.seen[0].actual, 10);

    // The library frees both the transfer and its buffer after the callback (a leak or a
    // double free shows in the sanitizer build).
    static std::atomic<int> freed{0};
    libusb_transfer* own = libusb_alloc_transfer(0);
    auto* buffer = static_cast<unsigned char*>(std::malloc(32));
    libusb_fill_bulk_transfer(own, h, 0x82, buffer, 32, [](libusb_transfer*) { ++freed; },
                              nullptr, 0);
    own->flags = LIBUSB_TRANSFER_FREE_BUFFER | LIBUSB_TRANSFER_FREE_TRANSFER;
    ASSERT_EQ(libusb_submit_transfer(own), LIBUSB_SUCCESS);
    vcam::pushIn(id, 0x82, Bytes(32, 2));
    handleUntil(ctx, [&] { return freed == 1; });
    EXPECT_EQ(freed.load(), 1);
}

TEST_F(Async, OneThreadHandlesEventsForAll) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    constexpr int kThreads = 3;
    std::vector<std::thread> threads;
    std::atomic<int> finished{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            libusb_transfer* t = libusb_alloc_transfer(0);
            unsigned char buf[16];
            int completed = 0;
            libusb_fill_bulk_transfer(t, h, static_cast<unsigned char>(i == 0 ? 0x82 : 0x83), buf,
                                      sizeof buf,
                                      [](libusb_transfer* x) { *static_cast<int*>(x->user_data) = 1; },
                                      &completed, 2000);
            EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_SUCCESS);
            while (!completed) libusb_handle_events_completed(ctx, &completed);
            EXPECT_EQ(t->status, LIBUSB_TRANSFER_COMPLETED);
            libusb_free_transfer(t);
            ++finished;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    vcam::pushIn(id, 0x82, Bytes(4, 1));
    vcam::pushIn(id, 0x83, Bytes(4, 2));
    vcam::pushIn(id, 0x83, Bytes(4, 3));
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(finished.load(), kThreads);
}

struct HotplugLog {
    std::vector<std::pair<libusb_hotplug_event, int>> events;  // event, product id
    int stopAfter = 0;
};

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event,
                          void* user) {
    auto* log = static_cast<HotplugLog*>(user);
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(dev, &dd);
    log->events.emplace_back(event, dd.idProduct);
    return log->stopAfter != 0 && static_cast<int>(log->events.size()) >= log->stopAfter;
}

TEST_F(Async, HotplugReportsArrivalsAndDepartures) {
    ASSERT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
    vcam::CameraConfig first;
    first.productId = 0x1111;
    const int a = vcam::addCamera(first);
    vcam::addDevice();  // filtered out by vendor

    HotplugLog log;
    libusb_hotplug_callback_handle handle = 0;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                  LIBUSB_HOTPLUG_ENUMERATE, 0x1209, LIBUSB_HOTPLUG_MATCH_ANY,
                  LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, &log, &handle),
              LIBUSB_SUCCESS);
    ASSERT_EQ(log.events.size(), 1u) << "enumerated during registration";
    EXPECT_EQ(log.events[0].first, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);

    vcam::unplug(a);
    vcam::CameraConfig second;
    second.productId = 0x2222;
    vcam::addCamera(second);
    EXPECT_EQ(log.events.size(), 1u) << "delivered by event handling only";
    handleUntil(ctx, [&] { return log.events.size() == 3; });
    ASSERT_EQ(log.events.size(), 3u);
    EXPECT_EQ(log.events[1], std::make_pair(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0x1111));
    EXPECT_EQ(log.events[2], std::make_pair(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0x2222));

    log.stopAfter = 4;  // the next callback asks to be deregistered
    vcam::replug(a);
    handleUntil(ctx, [&] { return log.events.size() == 4; });
    vcam::unplug(a);
    timeval tv{0, 50000};
    libusb_handle_events_timeout(ctx, &tv);
    EXPECT_EQ(log.events.size(), 4u);
    libusb_hotplug_deregister_callback(ctx, handle);  // harmless when already gone
}

}  // namespace
