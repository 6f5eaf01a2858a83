// The camera's GenICam description file: an XML document (GenApi schema 1.1) naming the
// camera's features under the Standard Features Naming Convention, stored either plain or
// as a one-member zip archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace vcam {

class DescriptionFile {
public:
    static constexpr uint32_t kFileVersion = 0x01010000;  // 1.1.0 (major.minor.subminor)
    static constexpr uint8_t kSchemaMajor = 1;
    static constexpr uint8_t kSchemaMinor = 1;

    DescriptionFile(const Identity& identity, bool zipped);

    const std::string& xml() const { return xml_; }
    // What the camera stores: the XML itself, or the zip archive holding it.
    const std::vector<uint8_t>& stored() const { return stored_; }
    bool zipped() const { return zipped_; }
    const std::string& memberName() const { return memberName_; }

private:
    std::string xml_;
    std::string memberName_;
    std::vector<uint8_t> stored_;
    bool zipped_;
};

}  // namespace vcam
