// What the command-line tools share: choosing and opening a camera through the public
// interface, camera memory access that fails loudly, and one-line error reporting.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Printable.h"
#include "genicam/NodeMap.h"
#include "tessoral/tessoral.h"

namespace tool {

// A failure the tool reports as one line before it exits with status 1.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A command line the tool does not understand: reported, then exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "0xC006 (the control interface could not be claimed)".
std::string statusText(uint16_t status);

// Runs a tool's body, turning Failure, UsageError, genicam::Error and any other exception
// into "<program>: <message>" on standard error and a non-zero exit status. Standard
// output is flushed last: when any of it could not be written, that is said on standard
// error and a status of 0 becomes 1.
int runTool(const char* program, int (*body)(int argc, char** argv), int argc, char** argv);

// The value of option argv[i], which must follow it; advances i.
std::string optionValue(int argc, char** argv, int& i);

// What every camera tool takes on its command line.
struct CommonOptions {
    std::string camera;    // --camera ID: its GUID or serial number; empty: the first camera
    bool verbose = false;  // --verbose, for the tools that take it
    bool help = false;     // --help or -h: show the usage and do nothing else
};

// Walks argv in order. --help or -h ends the walk; --camera, and --verbose when
// takesVerbose, are taken here; every other argument goes to `other` with its index,
// which takes an option's value through optionValue.
CommonOptions parseCommandLine(int argc, char** argv, bool takesVerbose,
                               const std::function<void(const std::string& arg, int& i)>& other);

// Numbers on the command line: decimal or 0x-hexadecimal, without sign.
bool parseUnsigned(std::string_view text, uint64_t& value);

class Camera {
public:
    // Opens the camera whose GUID or serial number is `id`, or the first camera when `id`
    // is empty. With `verbose` the library's device log goes to standard error.
    Camera(const std::string& id, bool verbose);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    void* device() const { return device_; }
    void* control() const { return control_; }
    const U3V_DEVICE_INFO& info() const { return info_; }

    // Any length; throws Failure naming the address and the status.
    void read(uint64_t address, uint8_t* data, size_t length) const;
    void write(uint64_t address, const uint8_t* data, size_t length) const;
    // The description file, unpacked when the camera zips it.
    std::string descriptionFile() const;

private:
    U3V_DEVICE_INFO info_{};
    void* device_ = nullptr;
    void* control_ = nullptr;
};

// The camera's register space for the feature engine.
class CameraPort : public genicam::Port {
public:
    explicit CameraPort(const Camera& camera) : camera_(camera) {}
    void read(uint64_t address, uint8_t* data, size_t length) override;
    void write(uint64_t address, const uint8_t* data, size_t length) override;

private:
    const Camera& camera_;
};

// Whole files, binary; throw Failure naming the file.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const void* data, size_t length);
void writeStdout(const void* data, size_t length);

}  // namespace tool
