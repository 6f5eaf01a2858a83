#include "ControlTestSupport.h"

#include <unistd.h>

#include <fstream>
#include <iterator>

namespace testsupport {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t le64(const uint8_t* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }

void putLe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
void putLe64(std::vector<uint8_t>& out, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<vcam::UsbCall> callsOf(const std::string& function) {
    std::vector<vcam::UsbCall> out;
    for (const vcam::UsbCall& call : vcam::calls())
        if (call.function == function) out.push_back(call);
    return out;
}

std::vector<vcam::UsbCall> bulkReads() {
    std::vector<vcam::UsbCall> out;
    for (const vcam::UsbCall& call : callsOf("libusb_bulk_transfer"))
        if (call.endpoint & 0x80) out.push_back(call);
    return out;
}

std::vector<SentCommand> sentCommands() {
    std::vector<SentCommand> out;
    for (const vcam::UsbCall& call : callsOf("libusb_bulk_transfer")) {
        if (call.endpoint & 0x80) continue;
        const std::vector<uint8_t>& d = call.data;
        EXPECT_GE(d.size(), 20u) << "command transfer too short";
        EXPECT_EQ(std::string(d.begin(), d.begin() + 4), "U3VC");
        if (d.size() < 20) continue;
        SentCommand c;
        c.commandId = static_cast<uint16_t>(d[6] | d[7] << 8);
        c.requestId = static_cast<uint16_t>(d[10] | d[11] << 8);
        c.address = le64(&d[12]);
        if (c.commandId == 0x0800 && d.size() >= 24) c.readLength = static_cast<uint16_t>(d[22] | d[23] << 8);
        if (c.commandId == 0x0802) c.data.assign(d.begin() + 20, d.end());
        out.push_back(c);
    }
    return out;
}

void ControlTest::TearDown() {
    for (void* control : controls_) EXPECT_EQ(U3V_CloseControl(control), U3V_OK);
    controls_.clear();
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
    VcamTest::TearDown();
}

void ControlTest::SetUp() {
    VcamTest::SetUp();
    vcam::setCallRecord(true);
}

void ControlTest::plugCamera(const vcam::CameraConfig& config) {
    camera_ = addCamera(config);
    ASSERT_GE(discover(), 1);
    device_ = openDevice(config.identity.guid);
    ASSERT_NE(device_, nullptr);
}

void* ControlTest::openControl(uint16_t expected) {
    void* control = nullptr;
    EXPECT_EQ(U3V_OpenControl(device_, &control), expected);
    EXPECT_NE(control, nullptr);
    adoptControl(control);
    vcam::clearCalls();
    LogCapture::clear();
    return control;
}

void ControlTest::adoptControl(void* control) {
    if (control != nullptr) controls_.push_back(control);
}

uint16_t ControlTest::closeControl(void* control) {
    std::erase(controls_, control);
    return U3V_CloseControl(control);
}

void ControlTest::poke(uint64_t address, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(vcam::poke(camera_, address, bytes.data(), bytes.size())) << std::hex << address;
}

std::vector<uint8_t> ControlTest::peek(uint64_t address, size_t length) {
    std::vector<uint8_t> bytes(length);
    EXPECT_TRUE(vcam::peek(camera_, address, bytes.data(), length)) << std::hex << address;
    return bytes;
}

void ControlTest::pokeLe64(uint64_t address, uint64_t value) {
    std::vector<uint8_t> bytes(8);
    putLe64(bytes, 0, value);
    poke(address, bytes);
}

void ControlTest::plantManifest(uint64_t tableAddress, uint64_t count, uint64_t fileAddress,
                                uint64_t fileSize, bool zipped) {
    std::vector<uint8_t> table(72);
    putLe64(table, 0, count);
    putLe32(table, 8, 0x00010000);
    putLe32(table, 12, (zipped ? 0x0400u : 0u) | 0x01010000u);
    putLe64(table, 16, fileAddress);
    putLe64(table, 24, fileSize);
    poke(tableAddress, table);
    pokeLe64(0x01D0, tableAddress);
}

std::filesystem::path ControlTest::scratch() {
    if (scratch_.empty()) {
        // No test name in it: the path must not contain "zip" by chance.
        static int serial = 0;
        scratch_ = std::filesystem::temp_directory_path() /
                   ("tessoral-ctl-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(scratch_);
        std::filesystem::create_directories(scratch_);
    }
    return scratch_;
}

std::vector<uint8_t> ControlTest::readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void ControlTest::writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out) << path;
}

}  // namespace testsupport
