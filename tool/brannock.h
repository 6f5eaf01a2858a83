// The update dialogue of brannock, in pieces that tests can drive one by one.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FirmwareCatalogue.h"
#include "FirmwareTransfer.h"
#include "FirmwareWaits.h"
#include "Stringcls.h"

// Where the dialogue talks and listens; stdout and stdin unless a test says otherwise.
extern std::FILE* consoleOut;
extern std::FILE* consoleIn;

// Each failed length or data write is tried this often in all before the update stops.
constexpr int FW_WRITE_ATTEMPTS = 3;

// Exit statuses besides 0 for a completed update.
enum ExitStatus : int {
    EXIT_NO_CHOICE = 1,      // no suitable file, or an answer outside the catalogue
    EXIT_SETUP_FAILED = 2,   // library, camera or firmware file not usable
    EXIT_UPLOAD_FAILED = 3,  // the image did not reach the camera, or the camera did not take the start
    EXIT_WAIT_TIMEOUT = 4,   // the camera did not leave or did not come back in time
    EXIT_UPDATE_FAILED = 5,  // the camera came back in its boot loader, or was gone again
};

// How far firmware_upload got.
enum class UploadOutcome {
    Refused,           // the file or the camera cannot be used; nothing was written to the camera
    NotSent,           // the image did not reach the camera; it was not told to flash
    Started,           // the image is in the camera and it accepted the start command
    StartUnconfirmed,  // the image is in the camera; the start command got no good answer,
                       // yet may have reached it
};

// Prints to consoleOut and flushes at once, so each message reaches the operator whole.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void set_console_attribute(uint16_t attribute);

// The chosen file name, or "0" for no choice. Throws the camera object's integers. The
// GUID of the camera identified goes to *guid when given.
String firmware_select(std::string* guid = nullptr);
// Sends the image; on every outcome but Started it has said in one line what happened.
// Throws 0 when the file cannot be opened. The camera that received the image goes to
// *camera when given. With `chosenFor` set, the camera opened must have that GUID.
UploadOutcome firmware_upload(String name, CameraIdentity* camera = nullptr, const std::string& chosenFor = "");

// Reads the operator's number as scanf's "%d" does (white space skipped, an optional sign,
// the digits; the first character after them stays unread). False when there is no number
// or it lies outside the signed 32-bit range, which then is no choice.
bool read_choice(std::FILE* in, int32_t& number);

// The one-line text for an integer the camera object or the file class threw.
std::string failure_text(int code);
// The whole run, banner to final key press; the process's exit status.
int brannock_run(const WaitBounds& bounds = {});
