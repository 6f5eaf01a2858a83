// Firmware updates through the download window, as a host drives them over libusb: the
// window's rules, flashing and rebooting, the boot loader, and the flash that persists in
// the state directory.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;
using Clock = std::chrono::steady_clock;
using FirmwareUpdate = UsbWorld;

constexpr uint64_t kSizeReg = 0x7EFFFFF8, kStartReg = 0x7EFFFFFC, kData = 0x7F000000;
constexpr uint16_t kNoAck = 0xFFFF;

Bytes le32(uint32_t v) {
    Bytes b;
    putLe(b, v, 4);
    return b;
}

// A USB3 Vision host on the camera's control pipes.
struct Host {
    libusb_device_handle* h;
    uint16_t requestId = 0;

    Bytes transact(Bytes cmd, uint16_t& status) {
        int moved = 0;
        status = kNoAck;
        if (libusb_bulk_transfer(h, 0x01, cmd.data(), static_cast<int>(cmd.size()), &moved, 500) != 0) return {};
        Bytes ack(1024 + 12);
        int got = 0;
        if (libusb_bulk_transfer(h, 0x81, ack.data(), static_cast<int>(ack.size()), &got, 500) != 0 || got < 12)
            return {};
        status = static_cast<uint16_t>(ack[4] | (ack[5] << 8));
        return Bytes(ack.begin() + 12, ack.begin() + got);
    }
    uint16_t write(uint64_t address, const Bytes& data) {
        Bytes cmd{'U', '3', 'V', 'C'};
        putLe(cmd, 0x4000, 2);
        putLe(cmd, 0x0802, 2);
        putLe(cmd, 8 + data.size(), 2);
        putLe(cmd, ++requestId, 2);
        putLe(cmd, address, 8);
        cmd.insert(cmd.end(), data.begin(), data.end());
        uint16_t status;
        transact(cmd, status);
        return status;
    }
    Bytes read(uint64_t address, uint16_t count, uint16_t* statusOut = nullptr) {
        uint16_t status;
        Bytes data = transact(readMemCommand(address, count, ++requestId), status);
        if (statusOut) *statusOut = status;
        return data;
    }
    std::string text(uint64_t address) {
        Bytes b = read(address, 64);
        return std::string(reinterpret_cast<const char*>(b.data()), strnlen(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    // What a host does: length rounded up to 4, 256-byte pieces, then the start magic.
    // Every status must be 0.
    void upload(const Bytes& image) {
        Bytes padded = image;
        padded.resize((image.size() + 3) / 4 * 4, 0);
        ASSERT_EQ(write(kSizeReg, le32(static_cast<uint32_t>(padded.size()))), 0);
        for (size_t at = 0; at < padded.size(); at += 256) {
            const size_t n = std::min<size_t>(256, padded.size() - at);
            ASSERT_EQ(write(kData + at, Bytes(padded.begin() + at, padded.begin() + at + n)), 0) << at;
        }
        ASSERT_EQ(write(kStartReg, le32(0xAFFE)), 0);
    }
};

vcam::CameraConfig quickCamera(const std::string& guid = "VC0000000001") {
    vcam::CameraConfig c;
    c.identity.guid = guid;
    c.flashTimeMs = 0;
    c.rebootTimeMs = 0;
    return c;
}

Bytes payload(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// A fresh state directory for one test, removed afterwards; the world forgets it too.
struct StateDir {
    std::string path;
    StateDir() {
        char name[] = "/tmp/vcam-state-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        path = name;
        vcam::setStateDir(path);
    }
    ~StateDir() {
        vcam::setStateDir("");
        std::filesystem::remove_all(path);
    }
};

class Update : public FirmwareUpdate {
protected:
    void SetUp() override {
        FirmwareUpdate::SetUp();
        vcam::setStateDir("");
    }
    // Polls the bus as a host does until the camera count is `count` (bounded).
    bool waitForCount(size_t count, int timeoutMs = 5000) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < until) {
            libusb_device** list = nullptr;
            const ssize_t n = libusb_get_device_list(ctx, &list);
            libusb_free_device_list(list, 1);
            if (n == static_cast<ssize_t>(count)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    // Uploads, lets the camera go and come back; the host of the returned camera.
    Host updateAndReturn(const Bytes& image) {
        Host host{open(only())};
        host.upload(image);
        close(host.h);
        EXPECT_TRUE(waitForCount(0)) << "the camera never left";
        EXPECT_TRUE(waitForCount(1)) << "the camera never came back";
        return Host{open(only())};
    }
};

TEST_F(Update, GoodImageComesBackWithTheNewVersionInDescriptorsRegistersAndDescription) {
    const int id = vcam::addCamera(quickCamera());
    const Bytes image = vcam::makeFirmwareImage("VCam-1", "2.1.0", payload(1001));
    Bytes before(4096);
    ASSERT_TRUE(vcam::peek(id, 0x90000, before.data(), before.size()));

    Host host = updateAndReturn(image);
    EXPECT_EQ(ascii(host.h, 6), "2.1.0") << "device version string";
    EXPECT_EQ(ascii(host.h, 2), "VCam-1");
    EXPECT_EQ(host.text(0x00C4), "2.1.0") << "ABRM DeviceVersion";
    Bytes after(4096);
    ASSERT_TRUE(vcam::peek(id, 0x90000, after.data(), after.size()));
    EXPECT_NE(before, after) << "the description file names the new version";

    vcam::FirmwareStatus s = vcam::firmwareStatus(id);
    EXPECT_EQ(s.deviceVersion, "2.1.0");
    EXPECT_FALSE(s.bootLoader || s.updating);
    EXPECT_EQ(s.startCommands, 1u);
    EXPECT_EQ(s.updates, 1u);
    Bytes padded = image;
    padded.resize((image.size() + 3) / 4 * 4, 0);
    EXPECT_EQ(s.flash, padded) << "the flash holds the image as the host sent it, padding included";
    EXPECT_EQ(host.read(kSizeReg, 4), le32(0)) << "the window starts empty after the reboot";
}

TEST_F(Update, BadImagesLeaveTheBootLoaderWhichTakesAnyGoodImage) {
    const int id = vcam::addCamera(quickCamera());

    Host host = updateAndReturn(vcam::makeFirmwareImage("VCam-2", "9.0.0", payload(100)));
    EXPECT_EQ(ascii(host.h, 2), "U3V_Bootloader") << "an image for another model is refused";
    EXPECT_EQ(host.text(0x0044), "U3V_Bootloader");
    EXPECT_EQ(vcam::firmwareStatus(id).lastProblem, "image for model VCam-2, not VCam-1");
    close(host.h);

    Bytes damaged = vcam::makeFirmwareImage("VCam-2", "9.0.0", payload(300));
    damaged[200] ^= 1;
    host = updateAndReturn(damaged);
    EXPECT_EQ(ascii(host.h, 2), "U3V_Bootloader") << "the boot loader checks too";
    EXPECT_EQ(vcam::firmwareStatus(id).lastProblem, "checksum mismatch");
    close(host.h);

    host = updateAndReturn(vcam::makeFirmwareImage("VCam-2", "9.0.0", payload(300)));
    EXPECT_EQ(ascii(host.h, 2), "VCam-2");
    EXPECT_EQ(ascii(host.h, 6), "9.0.0");
    EXPECT_FALSE(vcam::firmwareStatus(id).bootLoader);
}

TEST_F(Update, ImageChecksCatchDamage) {
    const Bytes good = vcam::makeFirmwareImage("M", "1", payload(10));
    EXPECT_TRUE(vcam::inspectFirmwareImage(good).valid);
    Bytes padded = good;
    padded.resize(good.size() + 3, 0);
    EXPECT_TRUE(vcam::inspectFirmwareImage(padded).valid) << "host padding";

    auto problem = [](Bytes b) { return vcam::inspectFirmwareImage(b).problem; };
    Bytes tooLong = padded;
    tooLong.push_back(0);
    EXPECT_EQ(problem(tooLong), "data after the image");
    Bytes nonZeroPad = good;
    nonZeroPad.push_back(1);
    EXPECT_EQ(problem(nonZeroPad), "data after the image");
    EXPECT_EQ(problem(Bytes(good.begin(), good.end() - 1)), "image cut short");
    EXPECT_EQ(problem(Bytes(good.begin(), good.begin() + 100)), "shorter than an image header");
    Bytes renamed = good;
    renamed[12] = 'N';  // the model field is covered by the checksum
    EXPECT_EQ(problem(renamed), "checksum mismatch");
    Bytes unterminated = good;
    std::memset(unterminated.data() + 12, 'x', 64);
    EXPECT_EQ(problem(unterminated), "malformed model name");
    Bytes hugePayload = good;
    hugePayload[11] = 0xFF;  // payload size far beyond the bytes there
    EXPECT_EQ(problem(hugePayload), "image cut short");

    EXPECT_THROW(vcam::makeFirmwareImage("", "1", {}), std::invalid_argument);
    EXPECT_THROW(vcam::makeFirmwareImage(std::string(64, 'm'), "1", {}), std::invalid_argument);
    EXPECT_THROW(vcam::makeFirmwareImage("M", "1\n", {}), std::invalid_argument);
}

TEST_F(Update, TheWindowRefusesWhatItCannotHold) {
    vcam::CameraConfig c = quickCamera();
    c.firmwareWindowSize = 1024;
    c.flashTimeMs = 60000;  // stays on the bus, busy, for the rest of the test
    const int id = vcam::addCamera(c);
    Host host{open(only())};

    EXPECT_EQ(host.write(kSizeReg, le32(1025)), 0x8002) << "longer than the data area";
    EXPECT_EQ(host.write(kSizeReg, le32(1024)), 0);
    EXPECT_EQ(host.read(kSizeReg, 4), le32(1024));
    EXPECT_EQ(host.write(kSizeReg, Bytes{1, 0}), 0x8005) << "registers take 4 bytes";
    EXPECT_EQ(host.write(kSizeReg + 2, le32(0)), 0x8005);
    EXPECT_EQ(host.write(kStartReg, le32(0xAFFF)), 0x8002) << "only the magic starts";
    EXPECT_EQ(host.write(kData + 1020, Bytes(8, 1)), 0x8003) << "beyond the data area";
    EXPECT_EQ(host.write(kData + 1020, Bytes{1, 2, 3, 4}), 0);
    EXPECT_EQ(host.read(kData + 1016, 8), (Bytes{0, 0, 0, 0, 1, 2, 3, 4})) << "unwritten bytes read 0";
    EXPECT_EQ(vcam::firmwareStatus(id).startCommands, 0u);

    EXPECT_EQ(host.write(kStartReg, le32(0xAFFE)), 0);
    EXPECT_TRUE(vcam::firmwareStatus(id).updating);
    EXPECT_EQ(host.write(kData, Bytes(4, 0)), 0x8007) << "busy while flashing";
    EXPECT_EQ(host.write(kStartReg, le32(0xAFFE)), 0x8007);
    EXPECT_EQ(host.text(0x0044), "VCam-1") << "still answering while it flashes";
    EXPECT_EQ(vcam::firmwareStatus(id).startCommands, 1u);
}

TEST_F(Update, StaysForTheFlashTimeAndAwayForTheRebootTime) {
    vcam::CameraConfig c = quickCamera();
    c.flashTimeMs = 300;
    c.rebootTimeMs = 300;
    vcam::addCamera(c);
    Host host{open(only())};
    host.upload(vcam::makeFirmwareImage("VCam-1", "3.0", payload(10)));
    const auto start = Clock::now();
    close(host.h);
    ASSERT_TRUE(waitForCount(0));
    const double leftAfter = msSince(start);
    const auto left = Clock::now();
    ASSERT_TRUE(waitForCount(1));
    const double awayFor = msSince(left);
    // Lower bounds only: a busy machine may make either phase longer, never shorter.
    EXPECT_GE(leftAfter, 290);
    EXPECT_GE(awayFor, 290);
}

TEST_F(Update, ACameraNobodyLooksForStillComesBack) {
    const int id = vcam::addCamera(quickCamera());
    Host host{open(only())};
    host.upload(vcam::makeFirmwareImage("VCam-1", "3.0", payload(10)));
    close(host.h);
    // No device list and no vcam::plugged, which would count as seeing it gone: only the
    // time limit brings it back.
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (vcam::firmwareStatus(id).updating && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(vcam::firmwareStatus(id).updating);
    EXPECT_EQ(vcam::firmwareStatus(id).deviceVersion, "3.0");
    EXPECT_TRUE(waitForCount(1, 100));
}

TEST_F(Update, TheFlashPersistsInTheStateDirectory) {
    StateDir dir;
    const int id = vcam::addCamera(quickCamera("VC/../0001"));
    const Bytes image = vcam::makeFirmwareImage("VCam-1", "4.0.0", payload(64));
    updateAndReturn(image);

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        files.push_back(entry.path().filename().string());
    ASSERT_EQ(files, std::vector<std::string>{"VC%2F%2E%2E%2F0001.flash"}) << "one file, no temporaries, inside the directory";

    // A later process: a new world with the same camera and one that was never updated.
    vcam::reset();
    const int again = vcam::addCamera(quickCamera("VC/../0001"));
    const int other = vcam::addCamera(quickCamera("VC0000000002"));
    EXPECT_EQ(vcam::firmwareStatus(again).deviceVersion, "4.0.0");
    EXPECT_EQ(vcam::firmwareStatus(again).flash, image);
    EXPECT_EQ(vcam::firmwareStatus(other).deviceVersion, "1.0.0");
    std::vector<libusb_device*> all = devices();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(ascii(open(all[0]), 6), "4.0.0");
    (void)id;

    // A damaged flash boots the boot loader, which the next good image replaces.
    std::ofstream(dir.path + "/VC0000000002.flash", std::ios::binary) << "garbage";
    vcam::reset();
    const int damaged = vcam::addCamera(quickCamera("VC0000000002"));
    EXPECT_TRUE(vcam::firmwareStatus(damaged).bootLoader);
    EXPECT_EQ(vcam::firmwareStatus(damaged).model, "U3V_Bootloader");
    updateAndReturn(vcam::makeFirmwareImage("VCam-7", "1.2", payload(8)));
    vcam::reset();
    EXPECT_EQ(vcam::firmwareStatus(vcam::addCamera(quickCamera("VC0000000002"))).model, "VCam-7");
}

TEST_F(Update, ConcurrentSavesLeaveOneCompleteImage) {
    StateDir dir;
    // Two processes' cameras with the same GUID flashing at once: whichever saves last
    // wins, and the file is never a mixture or a torn write.
    const Bytes a = vcam::makeFirmwareImage("VCam-1", "5.0.0", payload(200000));
    const Bytes b = vcam::makeFirmwareImage("VCam-1", "6.0.0", payload(300000));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, seen{0};
    std::thread reader([&] {
        while (!stop) {
            std::ifstream in(dir.path + "/VC0000000001.flash", std::ios::binary);
            if (!in) continue;
            Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++seen;
            if (got != a && got != b) ++torn;
        }
    });
    for (int round = 0; round < 5; ++round) {
        vcam::CameraConfig c = quickCamera();
        c.flashTimeMs = 60000;  // no reboots needed: the save happens on the start command
        vcam::reset();
        const int x = vcam::addCamera(c);
        const int y = vcam::addCamera(c);
        std::vector<libusb_device*> all = devices();
        ASSERT_EQ(all.size(), 2u);
        Host hx{open(all[0])}, hy{open(all[1])};
        std::thread tx([&] { hx.upload(a); });
        hy.upload(b);
        tx.join();
        (void)x;
        (void)y;
    }
    stop = true;
    reader.join();
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
