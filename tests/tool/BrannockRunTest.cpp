// The whole dialogue in-process with short bounds on its waits, the waits' own verdicts,
// and the reading of the operator's number.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ConsoleCapture.h"
#include "brannock.h"
#include "support/VcamTest.h"

namespace fs = std::filesystem;

namespace {

// Reads one answer from `text`; the character left unread after it, or EOF.
struct Answer {
    bool number;
    int32_t value;
    int next;
};
Answer readFrom(const std::string& text) {
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (in == nullptr) return {false, 0, -2};
    Answer a{false, -7, EOF};
    a.number = read_choice(in, a.value);
    a.next = std::fgetc(in);
    std::fclose(in);
    return a;
}

TEST(ReadChoice, ReadsAsPercentDWithinTheSignedRange) {
    struct Case {
        const char* text;
        bool number;
        int32_t value;
        int next;
    };
    const Case cases[] = {
        {"1\n", true, 1, '\n'},
        {" \n\t 12\n", true, 12, '\n'},
        {"3x\n", true, 3, 'x'},
        {"+5 ", true, 5, ' '},
        {"-7\n", true, -7, '\n'},
        {"2147483647\n", true, INT32_MAX, '\n'},
        {"-2147483648\n", true, INT32_MIN, '\n'},
        // Every digit is taken, so the line end still follows.
        {"2147483648\n", false, -7, '\n'},
        {"-2147483649\n", false, -7, '\n'},
        {"4294967297\n", false, -7, '\n'},
        {"123456789012345678901234567890x", false, -7, 'x'},
        {"two\n", false, -7, 't'},
        {"- 5\n", false, -7, ' '},
        {"", false, -7, EOF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Answer a = readFrom(c.text);
        EXPECT_EQ(a.number, c.number);
        EXPECT_EQ(a.value, c.value);
        EXPECT_EQ(a.next, c.next);
    }
}

TEST(UpdateVerdict, OnlyANewBootLoaderIsAFailure) {
    const CameraIdentity running{"VC1", "1", "VCam-1", "1.0.0"};
    const CameraIdentity updated{"VC1", "1", "VCam-1", "2.0.0"};
    const CameraIdentity loader{"VC1", "1", BOOTLOADER_MODEL, "1.0.0"};
    std::string reason;
    EXPECT_FALSE(update_failed(running, updated, reason));
    EXPECT_FALSE(update_failed(running, running, reason));  // the same version again
    EXPECT_FALSE(update_failed(loader, updated, reason));
    EXPECT_FALSE(update_failed(loader, loader, reason));    // what it was before
    EXPECT_TRUE(reason.empty());
    EXPECT_TRUE(update_failed(running, loader, reason));
    EXPECT_EQ(reason, "The update failed: the camera came back in its boot loader (U3V_Bootloader Version 1.0.0) "
                      "instead of VCam-1.");
}

class BrannockRunTest : public testsupport::VcamTest {
protected:
    void SetUp() override {
        VcamTest::SetUp();
        vcam::setStateDir("");
        home = fs::current_path();
        dir = fs::temp_directory_path() / ("brannock-run-" + std::to_string(getpid()));
        fs::create_directories(dir);
        fs::current_path(dir);
        const std::vector<uint8_t> image = vcam::makeFirmwareImage("VCam-1", "2.0.0", std::vector<uint8_t>(100, 1));
        std::ofstream("VCam-1_2.0.0.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        consoleIn = fmemopen(answers, std::strlen(answers), "r");
    }
    void TearDown() override {
        consoleIn = stdin;
        fs::current_path(home);
        fs::remove_all(dir);
        VcamTest::TearDown();
    }
    std::string printed() const { return console.printed(); }
    static bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }

    // Short waits that still poll the bus several times.
    const WaitBounds brief{std::chrono::milliseconds(400), std::chrono::milliseconds(400),
                           std::chrono::milliseconds(20)};
    char answers[4] = "1\n\n";
    ConsoleCapture console;
    fs::path home, dir;
};

// The waits end at their bounds with statuses of their own: a camera that stays on the bus
// may still be flashing (4, with the warning), one that never comes back is a time-out too
// (4), and one that refused the start and never left did not take the image (3).
TEST_F(BrannockRunTest, CameraThatNeverLeavesMayStillBeFlashing) {
    vcam::CameraConfig slow = camera(1);
    slow.flashTimeMs = 600000;
    addCamera(slow);
    EXPECT_EQ(brannock_run(brief), EXIT_WAIT_TIMEOUT);
    EXPECT_TRUE(endsWith(printed(), "writing to flash...[PLEASE DO NOT DISCONNECT THE DEVICE]\n"
                                    "The camera did not leave the bus within 0 seconds to write its flash; it may "
                                    "still be writing it: do not disconnect the camera.\n"))
        << printed();
}

TEST_F(BrannockRunTest, CameraThatNeverComesBackIsATimeOut) {
    vcam::CameraConfig gone = camera(1);
    gone.flashTimeMs = 0;
    gone.rebootTimeMs = 600000;
    addCamera(gone);
    EXPECT_EQ(brannock_run(brief), EXIT_WAIT_TIMEOUT);
    EXPECT_TRUE(endsWith(printed(), "Please wait, while device rebooting  ... \n\n"
                                    "The camera did not come back within 0 seconds.\n"))
        << printed();
}

TEST_F(BrannockRunTest, RefusedStartThatNeverLeavesDidNotFlash) {
    const int id = addCamera();
    vcam::ControlFault refuse;
    refuse.kind = vcam::ControlFaultKind::Status;
    refuse.address = FW_START_REG;
    refuse.count = -1;
    refuse.status = 0x8006;
    vcam::addControlFault(id, refuse);
    EXPECT_EQ(brannock_run(brief), EXIT_UPLOAD_FAILED);
    EXPECT_TRUE(endsWith(printed(), "The camera did not confirm the start command; it may be writing its flash all "
                                    "the same.\nwriting to flash...[PLEASE DO NOT DISCONNECT THE DEVICE]\n"
                                    "The camera did not leave the bus within 0 seconds: it did not take the start "
                                    "command and did not flash the image.\n"))
        << printed();
    EXPECT_EQ(vcam::firmwareStatus(id).updates, 0u);
}

// A scan that fails says nothing about our camera: with a new camera listed first and a
// broken device after it, the library's entries hold only the new one, yet ours is there.
TEST_F(BrannockRunTest, FailedDiscoveryIsNotADeparture) {
    addCamera(camera(1));
    std::vector<std::string> guids;
    ASSERT_TRUE(cameras_present(guids));
    ASSERT_EQ(guids, std::vector<std::string>{guidOf(1)});

    vcam::reset();
    addCamera(camera(2));
    vcam::CameraConfig broken = camera(3);
    broken.discoveryFault = vcam::DiscoveryFault::OpenFails;
    addCamera(broken);
    addCamera(camera(1));
    EXPECT_FALSE(cameras_present(guids));
    EXPECT_FALSE(wait_for_departure(guidOf(1), brief));
}

TEST_F(BrannockRunTest, IdentificationFindsTheCameraOrSaysItIsGone) {
    const int id = addCamera();
    CameraIdentity back{guidOf(1), "", "", ""};
    EXPECT_TRUE(identify_camera(back));
    EXPECT_EQ(back.model, "VCam-1");
    EXPECT_EQ(back.version, "1.0.0");
    EXPECT_EQ(back.serial, "00000001");
    vcam::unplug(id);
    EXPECT_FALSE(identify_camera(back));
}

}  // namespace
