// Running the command-line tools as a user would: the installed-style binaries in their own
// processes on the virtual camera's libusb, with the world described by a VCAM_CONFIG file.
// The test process builds the same world in itself to know what the camera holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace tooltest {

struct Outcome {
    int status = -1;  // exit status; -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

// Runs bin/<tool> with the arguments; the world is the cameras given (none: the default
// camera). Fails the test when the tool runs longer than a minute.
Outcome run(const std::string& tool, const std::vector<std::string>& args,
        const std::vector<vcam::CameraConfig>& cameras = {});

// The same with the world given as VCAM_CONFIG text.
Outcome runWithIni(const std::string& tool, const std::vector<std::string>& args, const std::string& ini);

// Everything a run may change: the world as VCAM_CONFIG text (empty: the default camera),
// where standard output goes (empty: captured in Outcome::out), and more environment.
struct Launch {
    std::string ini;
    std::string stdoutPath;
    std::vector<std::string> env;
};
Outcome launch(const std::string& tool, const std::vector<std::string>& args, const Launch& how);

// Environment that preloads the stream probe: the first camera sends `images` images, then
// leaves the bus in the middle of the next.
std::vector<std::string> unplugAfterImages(int images);

// The VCAM_CONFIG text of a world of these cameras.
std::string iniOf(const std::vector<vcam::CameraConfig>& cameras);

// A scratch directory for one test, removed by its destructor.
class Scratch {
public:
    Scratch();
    ~Scratch();
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& data);

// A camera with an identity of its own, numbered n.
vcam::CameraConfig camera(int n, bool zipped = false);

// Builds the same world in this process (resetting it) and returns the camera ids.
std::vector<int> buildWorld(const std::vector<vcam::CameraConfig>& cameras);
// The description file as camera `id` stores it (through its manifest), and the XML in it.
std::string storedDescription(int id);
std::string unzipSingleMember(const std::string& zip);
uint32_t peek32(int id, uint64_t address);

// Lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

}  // namespace tooltest
