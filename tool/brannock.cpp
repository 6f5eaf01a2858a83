// brannock: updates the firmware of the first USB3 Vision camera on the machine with an
// image file of the working directory.
#include "brannock.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
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

// Ctrl-C while the camera is being written to: the operator learns in one line whether it
// was told to flash, then the process ends as an interrupted one does.
enum TransferPhase : int { PHASE_NONE, PHASE_SENDING, PHASE_STARTED };
volatile std::sig_atomic_t transferPhase = PHASE_NONE;
int interruptFd = STDOUT_FILENO;

constexpr char kInterruptedSending[] = "\nInterrupted: the camera was not told to flash.\n";
constexpr char kInterruptedStarted[] =
    "\nInterrupted: the camera may be writing its flash; do not disconnect it until it has rebooted.\n";

extern "C" void onInterrupt(int signal) {
    if (transferPhase == PHASE_SENDING) {
        [[maybe_unused]] const ssize_t n = write(interruptFd, kInterruptedSending, sizeof kInterruptedSending - 1);
    } else if (transferPhase == PHASE_STARTED) {
        [[maybe_unused]] const ssize_t n = write(interruptFd, kInterruptedStarted, sizeof kInterruptedStarted - 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Holds the Ctrl-C handler over the transfer and the waits; the previous handler comes
// back afterwards.
class InterruptWatch {
public:
    InterruptWatch() {
        interruptFd = fileno(consoleOut);
        previous = std::signal(SIGINT, onInterrupt);
    }
    ~InterruptWatch() {
        std::signal(SIGINT, previous);
        transferPhase = PHASE_NONE;
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    void (*previous)(int) = SIG_DFL;
};

// Device texts reach the console without control characters.
std::string shown(const std::string& text) { return printable(text.c_str()).c_str(); }

std::string identification(const CameraIdentity& camera) {
    return shown(camera.model) + " Version " + shown(camera.version);
}

long long seconds(std::chrono::milliseconds bound) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(bound).count());
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

String firmware_select(std::string* guid) {
    FirmwareCatalogue catalogue;
    catalogue.entries.reserve(MAX_FIRMWARE_FILES);
    std::unique_ptr<AcquisitionUSB3> camera = std::make_unique<AcquisitionUSB3>();
    const String model = camera->getModelName();
    say("discover: %s Version %s %s\n", printable(camera->getModelName()).c_str(),
        printable(camera->getDeviceVersion()).c_str(), printable(camera->getManufacturerInfo()).c_str());
    // With several cameras attached, which one is meant must not be left to a guess.
    if (const int others = camera->cameraCount() - 1; others > 0)
        say("This is camera %s (serial number %s); %d other camera%s attached and left alone.\n",
            shown(camera->getDeviceGUID()).c_str(), shown(camera->getSerialNumber()).c_str(), others,
            others == 1 ? " is" : "s are");
    say("\n");

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
    int32_t answer = 0;
    if (!read_choice(consoleIn, answer)) answer = 0;
    say("\n");
    std::fgetc(consoleIn);
    if (answer >= 1 && answer <= static_cast<int>(catalogue.entries.size())) {
        const String& chosen = catalogue.entries[static_cast<size_t>(answer - 1)];
        say("Upload firmware -> %s\n", printable(chosen.c_str()).c_str());
        if (guid != nullptr) *guid = camera->getDeviceGUID();
        camera.reset();
        return chosen;
    }
    say("no coresponding firmware to your choice. \n");
    return String(0);
}

bool read_choice(std::FILE* in, int32_t& number) {
    int c = std::fgetc(in);
    while (c != EOF && std::isspace(c)) c = std::fgetc(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::fgetc(in);
    }
    // Every digit is taken, as "%d" takes them; past the range the value stops growing.
    int64_t value = 0;
    bool digits = false;
    for (; c != EOF && std::isdigit(c); c = std::fgetc(in)) {
        digits = true;
        if (value <= int64_t{INT32_MAX} + 1) value = value * 10 + (c - '0');
    }
    if (c != EOF) std::ungetc(c, in);
    if (negative) value = -value;
    if (!digits || value < INT32_MIN || value > INT32_MAX) return false;
    number = static_cast<int32_t>(value);
    return true;
}

UploadOutcome firmware_upload(String name, CameraIdentity* who, const std::string& chosenFor) {
    // A directory, a FIFO (whose open would wait for a writer) or a device is no image.
    // A name that leads nowhere fails below as a file that cannot be opened.
    struct stat info {};
    if (stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        say("%s is not a regular file; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
        return UploadOutcome::Refused;
    }
    int64_t fileLength = 0;
    std::vector<uint8_t> image;
    {
        FileIO file(name, FIO_READ);
        fileLength = file.length();
        if (fileLength < 0) {
            say("The size of %s cannot be told; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
            return UploadOutcome::NotSent;
        }
        // A camera told to flash nothing erases its firmware.
        if (fileLength == 0) {
            say("%s is empty; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
            return UploadOutcome::Refused;
        }
        // Refused before anything is printed or written: the window ends with the 32-bit
        // register space.
        const int64_t padded = firmware_padded_length(fileLength);
        if (padded < 0) {
            say("%s is too large for the camera's download window (at most %lld bytes); nothing was sent.\n",
                printable(name.c_str()).c_str(), static_cast<long long>(FW_MAX_IMAGE));
            return UploadOutcome::NotSent;
        }
        say("Upload %lld bytes to camera ...\n", static_cast<long long>(padded));
        image.assign(static_cast<size_t>(padded), 0);
        // FileIO reads signed 32-bit counts; the largest image takes two reads.
        bool complete = true;
        for (int64_t done = 0; done < fileLength && complete;) {
            const int32_t n = static_cast<int32_t>(std::min<int64_t>(fileLength - done, int64_t{1} << 30));
            complete = file.read(image.data() + done, n) == 1;
            done += n;
        }
        if (!complete) {
            say("Reading %s failed; nothing was sent to the camera.\n", printable(name.c_str()).c_str());
            return UploadOutcome::NotSent;
        }
    }
    const int64_t padded = static_cast<int64_t>(image.size());
    toolLog.write(3, kSource, "firmware_upload", "checksum %08x", firmware_checksum(image.data(), image.size()));

    AcquisitionUSB3 camera;
    // The first camera is opened afresh: with several attached it may no longer be the one
    // the image was chosen for, and another model's image must not reach it.
    if (!chosenFor.empty() && chosenFor != camera.getDeviceGUID()) {
        say("The first camera is now %s, not %s for which the image was chosen; nothing was sent.\n",
            shown(camera.getDeviceGUID()).c_str(), shown(chosenFor).c_str());
        return UploadOutcome::Refused;
    }
    transferPhase = PHASE_SENDING;
    if (who != nullptr)
        *who = {camera.getDeviceGUID(), camera.getSerialNumber(), camera.getModelName(), camera.getDeviceVersion()};
    bool lengthWritten = false;
    for (int attempt = 0; attempt < FW_WRITE_ATTEMPTS && !lengthWritten; ++attempt)
        lengthWritten = camera.writereg(FW_SIZE_REG, static_cast<int32_t>(static_cast<uint32_t>(padded))) == 0;
    if (!lengthWritten) {
        say("Writing the image length to the camera failed; the camera was not told to flash.\n");
        return UploadOutcome::NotSent;
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
            return UploadOutcome::NotSent;
        }
        if (piece.progress >= 0) say("\rUploading %d%% ", piece.progress);
    }
    say("\rUploading 100%% \n");

    // Not repeated, and no failure either: a start command whose answer was lost may well
    // have reached the camera, which then is writing its flash.
    transferPhase = PHASE_STARTED;
    if (camera.writereg(FW_START_REG, FW_START_MAGIC) != 0) {
        say("The camera did not confirm the start command; it may be writing its flash all the same.\n");
        return UploadOutcome::StartUnconfirmed;
    }
    return UploadOutcome::Started;
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
        std::string chosenFor;
        const String choice = firmware_select(&chosenFor);
        if (choice.equals("0")) return EXIT_NO_CHOICE;

        const double start = clockMs();
        CameraIdentity before;
        InterruptWatch interrupts;  // held over the waits: the camera may be flashing
        const UploadOutcome sent = firmware_upload(choice, &before, chosenFor);
        if (sent == UploadOutcome::Refused) return EXIT_SETUP_FAILED;
        if (sent == UploadOutcome::NotSent) return EXIT_UPLOAD_FAILED;
        transferPhase = PHASE_STARTED;

        say("writing to flash...");
        set_console_attribute(kAttributeWarning);
        say("[PLEASE DO NOT DISCONNECT THE DEVICE]\n");
        set_console_attribute(kAttributeNormal);
        std::vector<std::string> others;
        if (!wait_for_departure(before.guid, bounds, &others)) {
            if (sent == UploadOutcome::StartUnconfirmed) {
                say("The camera did not leave the bus within %lld seconds: it did not take the start command "
                    "and did not flash the image.\n", seconds(bounds.departure));
                return EXIT_UPLOAD_FAILED;
            }
            say("The camera did not leave the bus within %lld seconds to write its flash; it may still be "
                "writing it: do not disconnect the camera.\n", seconds(bounds.departure));
            return EXIT_WAIT_TIMEOUT;
        }
        say("Please wait, while device rebooting  ... \n\n");
        CameraIdentity after;
        if (!wait_for_device(before.guid, others, bounds, &after)) {
            say("The camera did not come back within %lld seconds.\n", seconds(bounds.reboot));
            return EXIT_WAIT_TIMEOUT;
        }
        if (!identify_camera(after)) {
            say("The update cannot be confirmed: the camera left the bus again after its reboot.\n");
            return EXIT_UPDATE_FAILED;
        }
        if (std::string reason; update_failed(before, after, reason)) {
            say("%s\n", shown(reason).c_str());
            return EXIT_UPDATE_FAILED;
        }
        transferPhase = PHASE_NONE;
        say("back: %s (before: %s)\n\n", identification(after).c_str(), identification(before).c_str());
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
