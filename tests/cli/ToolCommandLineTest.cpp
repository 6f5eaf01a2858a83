// What every command-line tool promises alike: --help, one-line failures, the choice of a
// camera, output that reached its destination, and device text that cannot drive a terminal.
#include <gtest/gtest.h>

#include "ToolRunner.h"

using namespace tooltest;

namespace {

const char* const kTools[] = {"u3v-list", "u3v-xml", "u3v-reg", "u3v-feature", "u3v-grab"};

// The arguments that make each tool read the camera and write to standard output.
std::vector<std::string> outputArgs(const std::string& tool) {
    if (tool == "u3v-reg") return {"0x0"};
    if (tool == "u3v-grab") return {"--no-save", "--count", "2"};
    if (tool == "u3v-feature") return {"Width"};
    return {};
}

// Each tool: --help succeeds, a bad command line is one line and status 2, an unknown
// camera one line and status 1.
TEST(ToolCommandLineTest, HelpUsageErrorsAndCameraChoice) {
    for (const std::string tool : kTools) {
        SCOPED_TRACE(tool);
        const Outcome help = run(tool, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: " + tool, 0), 0u);
        EXPECT_NE(help.out.find("--camera ID"), std::string::npos);

        const Outcome bad = run(tool, {"--no-such-option"});
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(lines(bad.err).size(), 1u) << bad.err;
        EXPECT_EQ(bad.err.rfind(tool + ": ", 0), 0u) << bad.err;

        std::vector<std::string> args{"--camera", "XX"};
        if (tool == "u3v-reg") args.push_back("0x0");
        const Outcome unknown = run(tool, args, {camera(1)});
        EXPECT_EQ(unknown.status, 1);
        EXPECT_EQ(unknown.out, "");
        EXPECT_EQ(unknown.err, tool + ": no camera with GUID or serial number 'XX' among the 1 found\n");

        if (tool == "u3v-list") continue;  // no camera is a listing of none
        args.erase(args.begin(), args.begin() + 2);
        const Outcome none = runWithIni(tool, args, "[device]\ninterface_class = 3\n");
        EXPECT_EQ(none.status, 1);
        EXPECT_EQ(none.err, tool + ": no USB3 Vision camera found\n");
    }
}

// A full disk (or a closed pipe) loses the output: the tool says so and fails.
TEST(ToolCommandLineTest, OutputThatCannotBeWrittenFails) {
    for (const std::string tool : kTools) {
        SCOPED_TRACE(tool);
        Launch how;
        how.stdoutPath = "/dev/full";
        const Outcome r = launch(tool, outputArgs(tool), how);
        EXPECT_EQ(r.status, 1);
        // The reason is known when the last flush failed, not after an earlier one.
        EXPECT_EQ(r.err.rfind(tool + ": cannot write to standard output", 0), 0u) << r.err;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;

        const Outcome help = launch(tool, {"--help"}, how);
        EXPECT_EQ(help.status, 1);
    }
}

// A camera's identity strings are the camera's to choose (the user-defined name is a
// writable register): escape sequences, line ends and C1 controls reach no terminal.
TEST(ToolCommandLineTest, DeviceTextIsShownWithoutControlCharacters) {
    const std::string ini =
        "[camera]\n"
        "guid = VC0000000077\n"
        "serial_number = 00000077\n"
        "model = \"Model\x1b[2J\"\n"
        "user_defined_name = \"line\x1b]0;owned\x07 \xc2\x9b" "31mred\x7f\"\n";

    const Outcome list = runWithIni("u3v-list", {}, ini);
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("   Model:         Model?[2J\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("   User name:     line?]0;owned? ?31mred?\n"), std::string::npos) << list.out;
    for (const char c : list.out) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7F && byte != 0xC2)) << int{byte};
    }

    const Outcome feature = runWithIni("u3v-feature", {"DeviceUserID"}, ini);
    ASSERT_EQ(feature.status, 0) << feature.err;
    EXPECT_EQ(feature.out, "DeviceUserID = line?]0;owned? ?31mred?\n");
}

TEST(ListToolTest, ListsEveryCameraOrTheOneChosen) {
    const std::vector<vcam::CameraConfig> world{camera(1), camera(2)};
    const Outcome all = run("u3v-list", {}, world);
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err, "");
    const std::vector<std::string> shown = lines(all.out);
    ASSERT_EQ(shown.size(), 19u) << all.out;
    EXPECT_EQ(shown[0], "2 USB3 Vision camera(s) found.");
    EXPECT_EQ(shown[1], "1: GUID TT0000000001");
    EXPECT_EQ(shown[2], "   Vendor:        Acme & <Optics>");
    EXPECT_EQ(shown[8], "   User name:     camera 1");
    EXPECT_EQ(shown[10], "2: GUID TT0000000002");

    for (const std::string id : {"TT0000000002", "SN-00002"}) {
        const Outcome one = run("u3v-list", {"--camera", id}, world);
        ASSERT_EQ(one.status, 0) << one.err;
        const std::vector<std::string> chosen = lines(one.out);
        ASSERT_EQ(chosen.size(), 9u) << one.out;
        EXPECT_EQ(chosen[0], "2: GUID TT0000000002");
        EXPECT_EQ(chosen[6], "   Serial number: SN-00002");
    }

    const Outcome none = runWithIni("u3v-list", {}, "[device]\ninterface_class = 3\n");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "0 USB3 Vision camera(s) found.\n");
}

// A failed discovery is an error on standard error, not a listing on standard output.
TEST(ListToolTest, FailedDiscoveryIsAnErrorLine) {
    const Outcome r = runWithIni("u3v-list", {}, "[camera]\ndiscovery_fault = config_read_fails\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "u3v-list: discovery failed: 0xC004 (the configuration descriptor could not be read); 0 camera(s) "
              "from the last complete discovery\n");
}

}  // namespace
