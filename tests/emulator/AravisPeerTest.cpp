// An independent USB3 Vision implementation, run as a black box on the drop-in: it must
// find the camera, read its description file and set its features by their names, as it
// would on a real camera. Skipped where that tool is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr const char* kTool = "/usr/bin/arv-tool-0.8";

// Runs the tool with the drop-in first in the library path and one default camera.
std::string aravis(const std::string& arguments, int* status) {
    const std::string command = std::string("env -u VCAM_CONFIG LD_LIBRARY_PATH=") + VCAM_LIBRARY_DIR + " timeout 60 " +
                                kTool + " " + arguments + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = pclose(pipe);
    return out;
}

TEST(AravisPeer, SetsEnumerationsSelectorsAndChunkModeByName) {
    if (access(kTool, X_OK) != 0) GTEST_SKIP() << kTool << " not installed";
    int status = -1;
    const std::string listed = aravis("", &status);
    EXPECT_EQ(status, 0) << listed;
    EXPECT_NE(listed.find("VC0000000001"), std::string::npos) << listed;

    const std::string out = aravis(
        "control AcquisitionMode=Continuous TriggerMode=On AcquisitionMode=SingleFrame AcquisitionMode TriggerMode "
        "GainSelector=DigitalAll Gain=3 GainSelector=AnalogAll Gain GainSelector=DigitalAll Gain "
        "LineSelector=Line1 LineMode=Output LineSelector=Line0 LineMode LineSelector=Line1 LineMode "
        "ChunkModeActive=true PayloadSize",
        &status);
    EXPECT_EQ(status, 0) << out;
    for (const char* line : {"AcquisitionMode = Continuous\n", "TriggerMode = On\n", "AcquisitionMode = SingleFrame\n",
                             "GainSelector = DigitalAll\n", "LineMode = Output\n", "LineMode = Input\n",
                             "ChunkModeActive = true\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
    // The gain of each selector value is its own: 3, 0, 3 again.
    const size_t first = out.find("Gain = 3 dB"), analog = out.find("Gain = 0 dB", first),
                 again = out.find("Gain = 3 dB", analog);
    EXPECT_NE(again, std::string::npos) << out;
    EXPECT_NE(out.find("PayloadSize = 307208"), std::string::npos) << "the image and its chunk tag:\n" << out;
}

}  // namespace
