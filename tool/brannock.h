// The update dialogue of brannock, in pieces that tests can drive one by one.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FirmwareCatalogue.h"
#include "FirmwareTransfer.h"
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
    EXIT_UPLOAD_FAILED = 3,  // the image did not reach the camera; no start command sent
    EXIT_WAIT_TIMEOUT = 4,   // the camera did not leave or did not come back in time
};

// How long the camera may take to leave the bus after the start command and to come back.
// The pause between two looks at the bus starts short, so that a quick camera is seen at
// once, and doubles up to `pause`, so that a slow one is not rescanned needlessly often.
struct WaitBounds {
    std::chrono::milliseconds departure{std::chrono::minutes(3)};
    std::chrono::milliseconds reboot{std::chrono::minutes(5)};
    std::chrono::milliseconds pause{100};
    std::chrono::milliseconds firstPause{1};
};

// Prints to consoleOut and flushes at once, so each message reaches the operator whole.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void set_console_attribute(uint16_t attribute);

// The chosen file name, or "0" for no choice. Throws the camera object's integers.
String firmware_select();
// True when the image went into the camera and the start command was accepted; otherwise
// it has said in one line what failed. Throws 0 when the file cannot be opened.
// The GUID of the camera that received the image goes to *guid when given.
bool firmware_upload(String name, std::string* guid = nullptr);

// The cameras on the bus by GUID, as one discovery sees them; false when discovery failed.
bool cameras_present(std::vector<std::string>& guids);
// Waits until the camera with this GUID has left the bus. False on time-out.
// The other cameras seen on the way go to *others when given.
bool wait_for_departure(const std::string& guid, const WaitBounds& bounds, std::vector<std::string>* others = nullptr);
// Waits until that camera, or a camera not among `others`, is on the bus. False on time-out.
bool wait_for_device(const std::string& guid, const std::vector<std::string>& others, const WaitBounds& bounds);

// The one-line text for an integer the camera object or the file class threw.
std::string failure_text(int code);
// The whole run, banner to final key press; the process's exit status.
int brannock_run(const WaitBounds& bounds = {});
