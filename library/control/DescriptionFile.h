// The camera's GenICam description file: read through the manifest table (unzipping a
// zipped one), written back with a new one-entry manifest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "U3V_Control.h"

namespace tessoral {

// Sizes come from the device; beyond these the file is refused instead of allocated.
constexpr uint64_t kMaxRawXmlSize = 16u << 20;    // as stored in the camera
constexpr uint64_t kMaxUnzippedXmlSize = 64u << 20;

uint16_t ReadXml(U3V_Control& control, uint8_t** buffer, uint32_t* size, uint8_t save);
uint16_t WriteXml(U3V_Control& control, const char* path, uint32_t dataAddress,
                  uint32_t manifestAddress, uint32_t fileVersion, uint16_t schemaVersion,
                  U3V_ProgressCallback progress);

// A device string (at most maxLength bytes, NUL-terminated or not) made harmless as part
// of a file name: no separators, no control characters, never empty, "." or "..".
std::string safeFileNamePart(const char* text, size_t maxLength);

// "<directory>/<vendor>-<model>.xml" into path; false when it does not fit.
bool descriptionFilePath(const char* directory, const char* vendor, const char* model,
                         char (&path)[260]);

// Unpacks the first member of the zip archive in data. Returns 0, U3V_ERR_XML_EMPTY for an
// empty member or a directory, or U3V_ERR_XML_UNZIP; on success out holds size bytes plus
// a terminating NUL. Failures are told to the debug trace and to the device's log.
uint16_t unzipFirstMember(const uint8_t* data, size_t length, std::unique_ptr<uint8_t[]>& out,
                          uint32_t& size, const DeviceHandle* device = nullptr);

}  // namespace tessoral
