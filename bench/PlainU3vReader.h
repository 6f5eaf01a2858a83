// A USB3 Vision stream reader on plain libusb-1.0, written from the published protocol
// alone: it finds the first camera (or the n-th), claims its interfaces, programs Width/Height and the
// SIRM transfer plan through GenCP register writes, starts acquisition, and receives images
// with several asynchronous bulk reads queued at once, each payload read landing in place
// in one of its own image buffers. It is the floor the benchmarks compare against: what
// any libusb client gets from the same camera.
//
// Use (one thread; completions run inside run()):
//
//     bench::PlainU3vReader reader;
//     bench::PlainU3vReader::Options options;
//     options.width = 1920; options.height = 1200;   // Mono8
//     options.transferSize = 65536;                    // as a host would program it
//     if (!reader.open(&error) || !reader.start(options, &error)) ...;
//     long got = reader.run(100, [&](uint64_t blockId, const uint8_t* payload, size_t size) {
//         std::memcpy(mine, payload, size);   // the payload stays valid during the call only
//     });
//     reader.stop();    // AcquisitionStop, stream disable, pending reads cancelled
//
// run() returns the images delivered, or -1 after a transfer error or a malformed
// leader/trailer (error() says which). It checks leader and trailer magic and that block
// ids match; it does not re-synchronise, since the benchmark camera sends no faults.
#pragma once

#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

class PlainU3vReader {
public:
    struct Options {
        uint32_t width = 640;
        uint32_t height = 480;
        uint32_t transferSize = 65536;
        int queued = 16;       // asynchronous reads in flight (fewer if the buffers need it)
        int imageBuffers = 4;  // payload buffers the reads rotate through
        unsigned timeoutMs = 2000;
    };
    using OnImage = std::function<void(uint64_t blockId, const uint8_t* payload, size_t size)>;

    PlainU3vReader() = default;
    PlainU3vReader(const PlainU3vReader&) = delete;
    PlainU3vReader& operator=(const PlainU3vReader&) = delete;
    ~PlainU3vReader() { close(); }

    // Opens the camera that comes `skip` cameras after the first in the device list, in a
    // libusb context of its own (so readers of several cameras need not share one).
    bool open(std::string* error, int skip = 0) {
        if (libusb_init(&ctx_) != 0) return fail(error, "libusb_init failed");
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n && handle_ == nullptr; ++i) {
            if (!findPipes(list[i]) || skip-- > 0) continue;
            if (libusb_open(list[i], &handle_) != 0) handle_ = nullptr;
        }
        libusb_free_device_list(list, 1);
        if (handle_ == nullptr) return fail(error, "no USB3 Vision camera with a stream interface");
        for (int itf : {controlInterface_, streamInterface_}) {
            if (libusb_claim_interface(handle_, itf) != 0) return fail(error, "cannot claim the interfaces");
        }
        uint64_t sbrm = 0;
        if (!readReg(0x01D8, 8, sbrm) || !readReg(sbrm + 0x20, 8, sirm_)) return fail(error, "cannot read SBRM/SIRM");
        return true;
    }

    bool start(const Options& options, std::string* error) {
        options_ = options;
        uint64_t payload = 0;
        if (!writeReg(0x50000, options.width) || !writeReg(0x50004, options.height) ||
            !readReg(sirm_ + 0x08, 8, payload) || payload == 0 || options.transferSize == 0) {
            return fail(error, "cannot set the image size");
        }
        payload_ = payload;
        count_ = static_cast<uint32_t>(payload / options.transferSize);
        final1_ = static_cast<uint32_t>(payload % options.transferSize);
        const uint32_t plan[] = {1024, options.transferSize, count_, final1_, 0, 1024};
        for (int i = 0; i < 6; ++i) {
            if (!writeReg(sirm_ + 0x18 + 4 * static_cast<uint64_t>(i), plan[i])) return fail(error, "cannot program the plan");
        }
        uint64_t control = 0;
        if (!readReg(sirm_ + 0x04, 4, control) || !writeReg(sirm_ + 0x04, control | 1) || !writeReg(0x40024, 1)) {
            return fail(error, "cannot start streaming");
        }
        perImage_ = count_ + (final1_ != 0 ? 1u : 0u) + 2;
        // Reads in flight may reach at most imageBuffers - 1 images ahead of the one
        // being delivered, or they would write into it.
        const int maxQueued = static_cast<int>(perImage_) * (options.imageBuffers - 1);
        if (options.queued < 1 || options.imageBuffers < 2) return fail(error, "bad queue or buffer count");
        images_.assign(static_cast<size_t>(options.imageBuffers), std::vector<uint8_t>(payload));
        slots_.resize(static_cast<size_t>(std::min(options.queued, maxQueued)));
        for (Slot& slot : slots_) {
            slot.owner = this;
            slot.transfer = libusb_alloc_transfer(0);
            slot.header.resize(1024);
        }
        nextSequence_ = 0;
        return true;
    }

    long run(uint64_t images, const OnImage& onImage) {
        onImage_ = &onImage;
        delivered_ = 0;
        wanted_ = images;
        failed_ = false;
        // Every run ends on an image boundary with no read in flight.
        limitSequence_ = nextSequence_ + images * perImage_;
        for (Slot& slot : slots_) {
            if (failed_ || nextSequence_ >= limitSequence_) break;
            submit(slot);
        }
        while (!failed_ && delivered_ < wanted_) {
            timeval tv{1, 0};
            if (libusb_handle_events_timeout_completed(ctx_, &tv, nullptr) != 0) {
                error_ = "event handling failed";
                failed_ = true;
            }
        }
        onImage_ = nullptr;
        return failed_ ? -1 : static_cast<long>(delivered_);
    }

    void stop() {
        if (handle_ == nullptr) return;
        for (Slot& slot : slots_) {
            if (slot.busy) libusb_cancel_transfer(slot.transfer);
        }
        for (int i = 0; i < 100 && anyBusy(); ++i) {
            timeval tv{0, 10000};
            libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        }
        writeReg(0x40028, 1);
        uint64_t control = 0;
        if (readReg(sirm_ + 0x04, 4, control)) writeReg(sirm_ + 0x04, control & ~uint64_t{1});
        for (Slot& slot : slots_) libusb_free_transfer(slot.transfer);
        slots_.clear();
    }

    void close() {
        if (handle_ != nullptr) {
            stop();
            libusb_close(handle_);
            handle_ = nullptr;
        }
        if (ctx_ != nullptr) {
            libusb_exit(ctx_);
            ctx_ = nullptr;
        }
    }

    uint64_t payloadSize() const { return payload_; }
    const std::string& error() const { return error_; }

private:
    struct Slot {
        PlainU3vReader* owner = nullptr;
        libusb_transfer* transfer = nullptr;
        std::vector<uint8_t> header;  // leader or trailer
        uint64_t sequence = 0;        // position in the stream of transfers
        bool busy = false;
    };

    static uint64_t le(const uint8_t* p, int width) {
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
        return v;
    }

    bool fail(std::string* error, const char* what) {
        error_ = what;
        if (error != nullptr) *error = what;
        return false;
    }

    bool findPipes(libusb_device* dev) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(dev, 0, &config) != 0) return false;
        controlInterface_ = streamInterface_ = -1;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            if (config->interface[i].num_altsetting < 1) continue;
            const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
            if (alt.bInterfaceClass != 0xEF || alt.bInterfaceSubClass != 0x05) continue;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const uint8_t address = alt.endpoint[e].bEndpointAddress;
                if (alt.bInterfaceProtocol == 0) {
                    controlInterface_ = alt.bInterfaceNumber;
                    (address & 0x80 ? controlIn_ : controlOut_) = address;
                } else if (alt.bInterfaceProtocol == 2 && (address & 0x80)) {
                    streamInterface_ = alt.bInterfaceNumber;
                    streamIn_ = address;
                }
            }
        }
        libusb_free_config_descriptor(config);
        return controlInterface_ >= 0 && streamInterface_ >= 0;
    }

    bool command(uint16_t id, uint64_t address, const uint8_t* tail, size_t tailSize, uint8_t* ack, int ackSize,
                 int& got) {
        uint8_t cmd[64] = {'U', '3', 'V', 'C', 0x00, 0x40};
        cmd[6] = static_cast<uint8_t>(id);
        cmd[7] = static_cast<uint8_t>(id >> 8);
        const size_t length = 8 + tailSize;
        cmd[8] = static_cast<uint8_t>(length);
        cmd[9] = static_cast<uint8_t>(length >> 8);
        ++requestId_;
        cmd[10] = static_cast<uint8_t>(requestId_);
        cmd[11] = static_cast<uint8_t>(requestId_ >> 8);
        for (int i = 0; i < 8; ++i) cmd[12 + i] = static_cast<uint8_t>(address >> (8 * i));
        std::memcpy(cmd + 20, tail, tailSize);
        int sent = 0;
        if (libusb_bulk_transfer(handle_, controlOut_, cmd, static_cast<int>(12 + length), &sent, 1000) != 0) return false;
        return libusb_bulk_transfer(handle_, controlIn_, ack, ackSize, &got, 1000) == 0 && got >= 12 &&
               le(ack + 4, 2) == 0 && le(ack + 10, 2) == requestId_;
    }

    bool writeReg(uint64_t address, uint32_t value) {
        uint8_t data[4];
        for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
        uint8_t ack[64];
        int got = 0;
        return command(0x0802, address, data, 4, ack, sizeof ack, got);
    }

    bool readReg(uint64_t address, int width, uint64_t& value) {
        const uint8_t tail[4] = {0, 0, static_cast<uint8_t>(width), 0};
        uint8_t ack[64];
        int got = 0;
        if (!command(0x0800, address, tail, 4, ack, sizeof ack, got) || got != 12 + width) return false;
        value = le(ack + 12, width);
        return true;
    }

    bool anyBusy() const {
        for (const Slot& slot : slots_) {
            if (slot.busy) return true;
        }
        return false;
    }

    // Queues the next transfer of the stream into the slot.
    bool submit(Slot& slot) {
        const uint64_t sequence = nextSequence_++;
        const uint64_t image = sequence / perImage_;
        const uint32_t index = static_cast<uint32_t>(sequence % perImage_);
        uint8_t* buffer = slot.header.data();
        int size = 1024;
        if (index > 0 && index + 1 < perImage_) {
            const uint64_t offset = uint64_t{index - 1} * options_.transferSize;
            buffer = images_[image % images_.size()].data() + offset;
            size = static_cast<int>(index - 1 < count_ ? options_.transferSize : final1_);
        }
        slot.sequence = sequence;
        libusb_fill_bulk_transfer(slot.transfer, handle_, streamIn_, buffer, size, &PlainU3vReader::done, &slot,
                                  options_.timeoutMs);
        slot.busy = libusb_submit_transfer(slot.transfer) == 0;
        if (!slot.busy) {
            error_ = "libusb_submit_transfer failed";
            failed_ = true;
        }
        return slot.busy;
    }

    static void LIBUSB_CALL done(libusb_transfer* transfer) {
        auto* slot = static_cast<Slot*>(transfer->user_data);
        slot->busy = false;
        slot->owner->completed(*slot);
    }

    void completed(Slot& slot) {
        libusb_transfer* t = slot.transfer;
        if (failed_ || t->status == LIBUSB_TRANSFER_CANCELLED) return;
        if (t->status != LIBUSB_TRANSFER_COMPLETED) {
            error_ = "stream transfer failed: " + std::string(libusb_error_name(t->status));
            failed_ = true;
            return;
        }
        const uint32_t index = static_cast<uint32_t>(slot.sequence % perImage_);
        const uint64_t image = slot.sequence / perImage_;
        if (index == 0) {
            if (t->actual_length < 16 || le(t->buffer, 4) != 0x4C563355) return failTransfer("bad leader");
            leaderBlockId_ = le(t->buffer + 8, 8);
        } else if (index + 1 == perImage_) {
            if (t->actual_length < 16 || le(t->buffer, 4) != 0x54563355 || le(t->buffer + 8, 8) != leaderBlockId_) {
                return failTransfer("bad trailer");
            }
            if (delivered_ < wanted_) {
                ++delivered_;
                (*onImage_)(leaderBlockId_, images_[image % images_.size()].data(), payload_);
            }
        }
        // Keep the pipe busy only as far as the images still wanted.
        if (nextSequence_ < limitSequence_) submit(slot);
    }

    void failTransfer(const char* what) {
        error_ = what;
        failed_ = true;
    }

    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    int controlInterface_ = -1, streamInterface_ = -1;
    uint8_t controlOut_ = 0, controlIn_ = 0, streamIn_ = 0;
    uint16_t requestId_ = 0;
    uint64_t sirm_ = 0;
    Options options_;
    uint64_t payload_ = 0;
    uint32_t count_ = 0, final1_ = 0, perImage_ = 0;
    std::vector<std::vector<uint8_t>> images_;
    std::vector<Slot> slots_;
    uint64_t nextSequence_ = 0;
    uint64_t limitSequence_ = 0;
    uint64_t leaderBlockId_ = 0;
    uint64_t delivered_ = 0, wanted_ = 0;
    bool failed_ = false;
    std::string error_;
    const OnImage* onImage_ = nullptr;
};

}  // namespace bench
