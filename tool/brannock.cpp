// brannock: updates the firmware of the first USB3 Vision camera on the machine with an
// image file of the working directory.
#include "brannock.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "Acquisition/AcquisitionUSB3.h"
#include "Fileio.h"
#include "Logging.h"
#include "Printable.h"

using tool::printable;

std::FILE* consoleOut = stdout;
std::FILE* consoleIn = stdin;

namespace {

constexpr const char* kSource = "brannock";
constexpr uint16_t kAttributeWarning = 12;
constexpr uint16_t kAttributeNormal = 7;

void pauseBetweenPolls(std::chrono::milliseconds& pause, const WaitBounds& bounds) {
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, bounds.pause);
}

double clockMs() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A bound U3V_WriteMem, tried up to FW_WRITE_ATTEMPTS times; the last status.
uint16_t writeWithRetry(AcquisitionUSB3& camera, uint32_t address, uint16_t length, const uint8_t* data) {
    uint16_t status = U3V_OK;
    for (int attempt = 0; attempt < FW_WRITE_ATTEMPTS; ++attempt) {
        status = camera.U3V_WriteMem(camera.controlHandle, address, length, data);
        if (status == U3V_OK) break;
    }
    return status;
}

}  // namespace

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(consoleOut, format, args);
    va_end(args);
    std::fflush(consoleOut);
}

// Colour only reaches a terminal; a file or a pipe gets the plain text.
void set_console_attribute(uint16_t attribute) {
    if (!isatty(fileno(consoleOut))) return;
    say("%s", attribute == kAttributeWarning ? "\033[91m" : "\033[0m");
}

String firmware_select() {
    FirmwareCatalogue catalogue;
    catalogue.entries.reserve(MAX_FIRMWARE_FILES);
    std::unique_ptr<AcquisitionUSB3> camera = std::make_unique<AcquisitionUSB3>();
    const String model = camera->getModelName();
    say("discover: %s Version %s %s\n\n", printable(camera->getModelName()).c_str(),
        printable(camera->getDeviceVersion()).c_str(), printable(camera->getManufacturerInfo()).c_str());

    if (DIR* dir = opendir(".")) {
        while (const dirent* entry = readdir(dir)) {
            const String name = entry->d_name;
            if (const int number = firmware_catalogue_add(catalogue, name, model))
                say("\t%2.2d) %s\n", number, printable(name.c_str()).c_str());
        }
        closedir(dir);
        say("\n");
        // The catalogue has room for 32; further files are counted and named once here.
        if (catalogue.skipped > 0)
            say("%d more firmware files found; only the first %d can be chosen.\n\n", catalogue.skipped,
                MAX_FIRMWARE_FILES);
    }

    if (catalogue.entries.empty()) {
        say("no firmware for %s available !!\n\n", printable(model.c_str()).c_str());
        say("Programm exiting.\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        return String(0);
    }

    say("choose your firmware to be uploaded:  ");
    int answer = 0;
    if (std::fscanf(consoleIn, "%d", &answer) != 1) answer = 0;
    say("\n");
    std::fgetc(consoleIn);
    if (answer >= 1 && answer <= static_cast<int>(catalogue.entries.size())) {
        const String& chosen = catalogue.entries[static_cast<size_t>(answer - 1)];
        say("Upload firmware -> %s\n", printable(chosen.c_str()).c_str());
        camera.reset();
        return chosen;
    }
    say("no coresponding firmware to your choice. \n");
    return String(0);
}

bool firmware_upload(String name, std::string* guid) {
    int64_t fileLength = 0;
    std::vector<uint8_t> image;
    {
        FileIO file(name, FIO_READ);
        fileLength = file.length();
        if (fileLength < 0) {
            say("The size of %s cannot be told; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
            return false;
        }
        // Refused before anything is printed or written: the length register takes a
        // signed 32-bit count and the window ends with the 32-bit register space.
        const int32_t padded = firmware_padded_length(fileLength);
        if (padded < 0) {
            say("%s is too large for the camera's download window (at most %lld bytes); nothing was sent.\n",
                printable(name.c_str()).c_str(), static_cast<long long>(FW_MAX_IMAGE));
            return false;
        }
        say("Upload %d bytes to camera ...\n", padded);
        image.assign(static_cast<size_t>(padded), 0);
        if (file.read(image.data(), static_cast<int32_t>(fileLength)) != 1) {
            say("Reading %s failed; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
            return false;
        }
    }
    const int32_t padded = static_cast<int32_t>(image.size());
    toolLog.write(3, kSource, "firmware_upload", "checksum %08x", firmware_checksum(image.data(), image.size()));

    AcquisitionUSB3 camera;
    if (guid != nullptr) *guid = camera.getDeviceGUID();
    bool lengthWritten = false;
    for (int attempt = 0; attempt < FW_WRITE_ATTEMPTS && !lengthWritten; ++attempt)
        lengthWritten = camera.writereg(FW_SIZE_REG, padded) == 0;
    if (!lengthWritten) {
        say("Writing the image length to the camera failed; the camera was not told to flash.\n");
        return false;
    }

    FirmwareTransfer transfer(padded);
    FirmwareTransfer::Piece piece{};
    while (transfer.next(piece)) {
        const uint16_t status = writeWithRetry(camera, piece.address, static_cast<uint16_t>(piece.length),
                                               image.data() + piece.offset);
        if (status != U3V_OK) {
            // The progress line stays; the failure gets a line of its own.
            say("%sWriting %d bytes at 0x%08X failed (status 0x%04X); the camera was not told to flash.\n",
                piece.offset > 0 ? "\n" : "", piece.length, piece.address, status);
            return false;
        }
        if (piece.progress >= 0) say("\rUploading %d%% ", piece.progress);
    }
    say("\rUploading 100%% \n");

    // Not repeated: a start command whose answer was lost may already be flashing.
    if (camera.writereg(FW_START_REG, FW_START_MAGIC) != 0) {
        say("The start command failed; the camera may not flash the image.\n");
        return false;
    }
    return true;
}

bool cameras_present(std::vector<std::string>& guids) {
    guids.clear();
    uint16_t count = 0;
    AcquisitionUSB3 probe(&count);
    for (uint16_t n = 1; n <= count; ++n) {
        U3V_DEVICE_INFO info;
        std::memset(&info, 0, sizeof info);
        if (probe.U3V_GetDeviceInfo(n, &info) != U3V_OK) return false;
        info.DeviceGUID[sizeof info.DeviceGUID - 1] = '\0';
        guids.emplace_back(info.DeviceGUID);
    }
    return true;
}

bool wait_for_departure(const std::string& guid, const WaitBounds& bounds, std::vector<std::string>* others) {
    const auto deadline = std::chrono::steady_clock::now() + bounds.departure;
    std::vector<std::string> seen;
    auto pause = std::min(bounds.firstPause, bounds.pause);
    for (;;) {
        if (cameras_present(seen) && std::find(seen.begin(), seen.end(), guid) == seen.end()) {
            if (others != nullptr) *others = seen;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pauseBetweenPolls(pause, bounds);
    }
}

bool wait_for_device(const std::string& guid, const std::vector<std::string>& others, const WaitBounds& bounds) {
    const auto deadline = std::chrono::steady_clock::now() + bounds.reboot;
    std::vector<std::string> seen;
    auto pause = std::min(bounds.firstPause, bounds.pause);
    for (;;) {
        // The camera may come back under another identity (a boot loader), so any camera
        // that was not on the bus while it was away counts as well.
        if (cameras_present(seen))
            for (const std::string& g : seen)
                if (g == guid || std::find(others.begin(), others.end(), g) == others.end()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pauseBetweenPolls(pause, bounds);
    }
}

std::string failure_text(int code) {
    switch (code) {
        case 0: return "The firmware file cannot be opened.";
        case 1: return std::string("The camera library ") + TESSORAL_LIBRARY_FILE + " cannot be loaded.";
        case -1: return "Searching for cameras failed.";
        case -2: return "No camera found.";
        case -3: return "The camera's device information cannot be read.";
        case -4: return "The camera cannot be opened.";
        case -5: return "The camera's control channel cannot be opened.";
        default: break;
    }
    if (const char* name = boundFunctionName(code - 10))
        return std::string("The camera library ") + TESSORAL_LIBRARY_FILE + " lacks " + name + ".";
    return "Camera access failed (" + std::to_string(code) + ").";
}

int brannock_run(const WaitBounds& bounds) {
    try {
        say("-----------------------\n");
        say(" USB3 Firmware Upload.\n");
        say("-----------------------\n");
        const String choice = firmware_select();
        if (choice.equals("0")) return EXIT_NO_CHOICE;

        const double start = clockMs();
        std::string guid;
        if (!firmware_upload(choice, &guid)) return EXIT_UPLOAD_FAILED;

        say("writing to flash...");
        set_console_attribute(kAttributeWarning);
        say("[PLEASE DO NOT DISCONNECT THE DEVICE]\n");
        set_console_attribute(kAttributeNormal);
        std::vector<std::string> others;
        if (!wait_for_departure(guid, bounds, &others)) {
            say("The camera did not leave the bus within %lld seconds to write its flash.\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(bounds.departure).count()));
            return EXIT_WAIT_TIMEOUT;
        }
        say("Please wait, while device rebooting  ... \n\n");
        if (!wait_for_device(guid, others, bounds)) {
            say("The camera did not come back within %lld seconds.\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(bounds.reboot).count()));
            return EXIT_WAIT_TIMEOUT;
        }
        say("Firmware Upload done.\n\n");
        say("Elasped time: %.2lf seconds.\n", (clockMs() - start) * 0.001);
        say("\n");
        say("\t**************************************************************\n");
        say("\t* QUORVANTIS U3V Update Tool, v1.2.0 (Nov  2 2016, 08:11:27) *\n");
        say("\t**************************************************************\n");
        say("\n");
        say("\n");
        std::fgetc(consoleIn);
        return 0;
    } catch (int code) {
        say("%s\n", failure_text(code).c_str());
        return EXIT_SETUP_FAILED;
    } catch (const std::bad_alloc&) {
        say("Out of memory.\n");
        return EXIT_SETUP_FAILED;
    }
}
