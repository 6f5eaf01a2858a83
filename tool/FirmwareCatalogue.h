// Which firmware files of a directory listing are offered to a camera. No I/O: the
// dialogue feeds it the listing one name at a time.
#pragma once

#include <vector>

#include "Stringcls.h"

constexpr int MAX_FIRMWARE_FILES = 32;

// The model name a camera in its boot loader reports; it is offered every ".bin" file.
constexpr const char* BOOTLOADER_MODEL = "U3V_Bootloader";

struct FirmwareCatalogue {
    std::vector<String> entries;  // the offered names in listing order, at most MAX_FIRMWARE_FILES
    int skipped = 0;              // candidates found after the catalogue was full
};

// Whether a directory entry's name suits a camera reporting `model`: the name ends in
// ".bin" and, unless the camera is in its boot loader, its part before the first "_" (the
// whole name without one) is the model name. Byte for byte, case-sensitive.
bool firmware_suits(const String& name, const String& model);

// Offers one listed name: the entry's number (1 to MAX_FIRMWARE_FILES) when it was stored,
// 0 when it does not suit the camera or the catalogue was full (then counted as skipped).
int firmware_catalogue_add(FirmwareCatalogue& catalogue, const String& name, const String& model);
