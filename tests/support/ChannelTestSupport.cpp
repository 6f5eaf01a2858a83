#include "ChannelTestSupport.h"

#include <thread>

namespace testsupport {

namespace {
void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out.at(at) = static_cast<uint8_t>(v);
    out.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
}  // namespace

std::vector<uint8_t> leaderBytes(const WireImage& image) {
    std::vector<uint8_t> b(52, 0);
    b[0] = 'U', b[1] = '3', b[2] = 'V', b[3] = 'L';
    put16(b, 6, 52);
    putLe64(b, 8, image.blockId);
    put16(b, 18, image.payloadType);
    putLe64(b, 20, image.timestamp);
    putLe32(b, 28, image.pixelFormat);
    putLe32(b, 32, image.sizeX);
    putLe32(b, 36, image.sizeY);
    putLe32(b, 40, image.offsetX);
    putLe32(b, 44, image.offsetY);
    put16(b, 48, image.paddingX);
    return b;
}

std::vector<uint8_t> trailerBytes(const WireImage& image) {
    std::vector<uint8_t> b(32, 0);
    b[0] = 'U', b[1] = '3', b[2] = 'V', b[3] = 'T';
    put16(b, 6, 32);
    putLe64(b, 8, image.trailerBlockId != 0 ? image.trailerBlockId : image.blockId);
    put16(b, 16, image.status);
    putLe64(b, 20, image.payload.size());
    putLe32(b, 28, image.sizeY);
    return b;
}

uint8_t patternByte(uint64_t blockId, size_t i) {
    return static_cast<uint8_t>((i * 7 + (i >> 8) * 13 + blockId * 31) & 0xFF);
}

std::vector<uint8_t> pattern(uint64_t blockId, size_t size) {
    std::vector<uint8_t> p(size);
    for (size_t i = 0; i < size; ++i) p[i] = patternByte(blockId, i);
    return p;
}

std::vector<uint8_t> eventBytes(uint16_t eventId, uint64_t timestamp,
                                const std::vector<uint8_t>& data, uint16_t commandId) {
    std::vector<uint8_t> b(24 + data.size(), 0);
    b[0] = 'U', b[1] = '3', b[2] = 'V', b[3] = 'E';
    put16(b, 6, commandId);
    put16(b, 8, static_cast<uint16_t>(12 + data.size()));
    put16(b, 14, eventId);
    putLe64(b, 16, timestamp);
    std::copy(data.begin(), data.end(), b.begin() + 24);
    return b;
}

void ChannelTest::SetUp() { ControlTest::SetUp(); }

void ChannelTest::TearDown() {
    for (void* stream : streams_) EXPECT_EQ(U3V_CloseStream(stream), U3V_OK);
    streams_.clear();
    ControlTest::TearDown();
}

void ChannelTest::openCamera(const vcam::CameraConfig& config) {
    plugCamera(config);
    control_ = openControl();
}

void* ChannelTest::openStream(uint16_t expected, uint32_t timeout) {
    void* stream = nullptr;
    EXPECT_EQ(U3V_OpenStream(device_, control_, &stream, timeout), expected);
    EXPECT_NE(stream, nullptr);
    if (stream != nullptr) streams_.push_back(stream);
    return stream;
}

uint16_t ChannelTest::closeStream(void* stream) {
    std::erase(streams_, stream);
    return U3V_CloseStream(stream);
}

uint64_t ChannelTest::sirm() {
    const uint64_t sbrm = le64(peek(0x01D8, 8).data());
    return le64(peek(sbrm + 0x20, 8).data());
}

uint64_t ChannelTest::eirm() {
    const uint64_t sbrm = le64(peek(0x01D8, 8).data());
    return le64(peek(sbrm + 0x2C, 8).data());
}

uint32_t ChannelTest::peekLe32(uint64_t address) { return le32(peek(address, 4).data()); }

void ChannelTest::pokeLe32(uint64_t address, uint32_t value) {
    std::vector<uint8_t> bytes(4);
    putLe32(bytes, 0, value);
    poke(address, bytes);
}

void ChannelTest::setPayloadSize(uint64_t size) { pokeLe64(sirm() + 0x08, size); }

void ChannelTest::pushStream(const std::vector<uint8_t>& transfer) {
    vcam::pushIn(camera_, kStreamEndpoint, transfer);
}

void ChannelTest::pushImage(const WireImage& image, uint32_t transferSize) {
    pushStream(leaderBytes(image));
    for (size_t at = 0; at < image.payload.size(); at += transferSize) {
        const size_t n = std::min<size_t>(transferSize, image.payload.size() - at);
        pushStream(std::vector<uint8_t>(image.payload.begin() + static_cast<std::ptrdiff_t>(at),
                                        image.payload.begin() + static_cast<std::ptrdiff_t>(at + n)));
    }
    pushStream(trailerBytes(image));
}

bool ChannelTest::waitForReads(uint8_t endpoint, size_t count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t read = 0;
        for (const vcam::UsbCall& call : vcam::calls()) {
            const bool done = call.function == "transfer_completion" ||
                              call.function == "libusb_bulk_transfer";
            if (done && call.endpoint == endpoint && call.result == 0 && call.transferred > 0) ++read;
        }
        if (read >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testsupport
