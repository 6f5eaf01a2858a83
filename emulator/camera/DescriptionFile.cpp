#include "camera/DescriptionFile.h"

#include <zip.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "camera/CameraRegisters.h"
#include "camera/ChunkData.h"
#include "platform/Sha1.h"

namespace vcam {

namespace {

std::string escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// A stable GUID per vendor, model and version, so that GenICam clients can cache the file.
std::string guidOf(const std::string& seed) {
    platform::Sha1::Digest d = platform::Sha1::of(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12],
                  d[13], d[14], d[15]);
    return text;
}

// Elements are written as real cameras' files write them: Standard names in the Standard
// namespace, helpers in the Custom one, with tool tips, display names and visibility.
class XmlWriter {
public:
    std::string text;

    void open(std::string_view element, std::string_view name, bool standard) {
        text += "  <";
        text += element;
        text += " Name=\"";
        text += name;
        text += "\" NameSpace=\"";
        text += standard ? "Standard" : "Custom";
        text += "\">\n";
    }
    void close(std::string_view element) {
        text += "  </";
        text += element;
        text += ">\n";
    }
    void field(std::string_view element, std::string_view value, std::string_view attributes = {}) {
        text += "    <";
        text += element;
        if (!attributes.empty()) {
            text += ' ';
            text += attributes;
        }
        text += '>';
        text += value;
        text += "</";
        text += element;
        text += ">\n";
    }
    // What a feature shows a user: tool tip, display name, visibility.
    void shown(std::string_view toolTip, std::string_view displayName, std::string_view visibility) {
        field("ToolTip", toolTip);
        if (!displayName.empty()) field("DisplayName", displayName);
        field("Visibility", visibility);
    }

    void category(std::string_view name, std::string_view toolTip, std::string_view displayName,
                  std::initializer_list<std::string_view> features, bool standard = true) {
        open("Category", name, standard);
        shown(toolTip, displayName, "Beginner");
        for (std::string_view f : features) field("pFeature", f);
        close("Category");
    }

    void stringReg(std::string_view name, std::string_view toolTip, uint64_t address, bool writable) {
        open("StringReg", name, true);
        shown(toolTip, {}, "Beginner");
        field("Address", hex(address));
        field("Length", std::to_string(regs::kStringRegisterSize));
        field("AccessMode", writable ? "RW" : "RO");
        field("pPort", "Device");
        close("StringReg");
    }

    struct Reg {
        uint64_t address = 0;
        std::string_view access = "RW";
        std::string_view cachable = "WriteThrough";
        std::initializer_list<std::string_view> invalidators = {};
        std::string_view port = "Device";
        uint32_t length = 4;
        std::string_view index = {};  // a selector's register: one register per value, 4 bytes apart
    };
    void intReg(std::string_view name, const Reg& r) {
        open("IntReg", name, false);
        field("Visibility", "Invisible");
        field("Address", hex(r.address));
        if (!r.index.empty()) field("pIndex", r.index, "Offset=\"4\"");
        field("Length", std::to_string(r.length));
        field("AccessMode", r.access);
        field("pPort", r.port);
        field("Cachable", r.cachable);
        for (std::string_view i : r.invalidators) field("pInvalidator", i);
        field("Sign", "Unsigned");
        field("Endianess", "LittleEndian");
        close("IntReg");
    }

    // A command register: bit 0 set starts the action, and reads back 0 once it is done.
    void commandBit(std::string_view name, uint64_t address) {
        open("MaskedIntReg", name, false);
        field("Visibility", "Invisible");
        field("Address", hex(address));
        field("Length", "4");
        field("AccessMode", "RW");
        field("pPort", "Device");
        field("Cachable", "NoCache");
        field("Bit", "0");
        field("Endianess", "LittleEndian");
        close("MaskedIntReg");
    }

    void command(std::string_view name, std::string_view toolTip, std::string_view displayName, std::string_view reg) {
        open("Command", name, true);
        shown(toolTip, displayName, "Beginner");
        field("pValue", reg);
        field("CommandValue", "1");
        close("Command");
    }

    struct Int {
        std::string_view reg;
        std::string_view minimum = {}, maximum = {};
        std::string_view visibility = "Beginner";
        std::string_view locked = {};  // pIsLocked
    };
    void integer(std::string_view name, std::string_view toolTip, std::string_view displayName, const Int& i) {
        open("Integer", name, true);
        shown(toolTip, displayName, i.visibility);
        if (!i.locked.empty()) field("pIsLocked", i.locked);
        field("pValue", i.reg);
        if (!i.minimum.empty()) field("Min", i.minimum);
        if (!i.maximum.empty()) field("Max", i.maximum);
        field("Inc", "1");
        close("Integer");
    }

    struct Enum {
        std::string_view reg;
        std::initializer_list<std::pair<std::string_view, uint64_t>> entries;
        std::initializer_list<std::string_view> selected = {};  // for a selector: what it selects
        std::string_view visibility = "Beginner";
        std::string_view locked = {};
    };
    void enumeration(std::string_view name, std::string_view toolTip, std::string_view displayName, const Enum& e) {
        open("Enumeration", name, true);
        shown(toolTip, displayName, e.visibility);
        if (!e.locked.empty()) field("pIsLocked", e.locked);
        for (const auto& [entry, value] : e.entries) enumEntry(entry, value);
        field("pValue", e.reg);
        for (std::string_view s : e.selected) field("pSelected", s);
        close("Enumeration");
    }
    // Entry names are local to their enumeration, as in cameras' own files.
    void enumEntry(std::string_view entry, uint64_t value) {
        text += "    <EnumEntry Name=\"";
        text += entry;
        text += "\" NameSpace=\"Standard\">\n      <DisplayName>";
        text += entry;
        text += "</DisplayName>\n      <Value>";
        text += std::to_string(value);
        text += "</Value>\n    </EnumEntry>\n";
    }

    void boolean(std::string_view name, std::string_view toolTip, std::string_view displayName, std::string_view reg,
                 std::string_view locked = {}) {
        open("Boolean", name, true);
        shown(toolTip, displayName, "Expert");
        if (!locked.empty()) field("pIsLocked", locked);
        field("pValue", reg);
        field("OnValue", "1");
        field("OffValue", "0");
        close("Boolean");
    }

    // A floating-point feature over an integer register holding the same number.
    void converter(std::string_view name, std::string_view toolTip, std::string_view displayName,
                   std::string_view reg, std::string_view unit, std::string_view visibility = "Beginner") {
        open("Converter", name, true);
        shown(toolTip, displayName, visibility);
        field("FormulaTo", "FROM");
        field("FormulaFrom", "TO");
        field("pValue", reg);
        field("Unit", unit);
        field("Slope", "Increasing");
        close("Converter");
    }

    void port(std::string_view name, std::string_view toolTip, std::string_view chunkId = {}) {
        open("Port", name, false);
        field("ToolTip", toolTip);
        field("Visibility", "Invisible");
        if (!chunkId.empty()) field("ChunkID", chunkId);
        close("Port");
    }
};

std::string chunkIdText(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", id);
    return text;
}

void writeChunkFeatures(XmlWriter& w) {
    w.boolean("ChunkModeActive", "Appends the enabled chunks to each image's payload", "Chunk Mode Active",
              "ChunkModeActiveReg", "TLParamsLocked");
    w.intReg("ChunkModeActiveReg", {regs::kChunkModeActive});
    w.enumeration("ChunkSelector", "Chunk that ChunkEnable turns on or off", "Chunk Selector",
                  {"ChunkSelectorReg",
                   {{chunk::kKinds[0].name, 0}, {chunk::kKinds[1].name, 1}, {chunk::kKinds[2].name, 2},
                    {chunk::kKinds[3].name, 3}, {chunk::kKinds[4].name, 4}},
                   {"ChunkEnable"},
                   "Expert"});
    w.intReg("ChunkSelectorReg", {regs::kChunkSelector});
    w.boolean("ChunkEnable", "Whether the selected chunk is appended to the payload", "Chunk Enable",
              "ChunkEnableReg", "TLParamsLocked");
    // One register per chunk: the selector moves the address, so nothing is cached.
    w.intReg("ChunkEnableReg", {regs::kChunkEnable, "RW", "NoCache", {}, "Device", 4, "ChunkSelectorReg"});

    for (uint32_t i = 0; i < chunk::kCount; ++i) {
        const chunk::Kind& k = chunk::kKinds[i];
        const std::string feature = std::string("Chunk") + k.name;
        const std::string reg = feature + "Reg", port = feature + "Port";
        if (i == chunk::kExposureTime)
            w.converter(feature, "Exposure time of the image, from its chunk", "Chunk Exposure Time", reg, "us",
                        "Expert");
        else
            w.integer(feature, std::string(k.name) + " of the image, from its chunk", {}, {reg, {}, {}, "Expert"});
        w.intReg(reg, {0, "RO", "NoCache", {}, port, k.size});
        w.port(port, "The image's " + std::string(k.name) + " chunk", chunkIdText(k.id));
    }
}

std::string buildXml(const Identity& id) {
    const std::string vendor = escape(id.vendor);
    const std::string model = escape(id.model);
    XmlWriter w;
    w.text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<RegisterDescription\n"
        "  ModelName=\"" + model + "\"\n"
        "  VendorName=\"" + vendor + "\"\n"
        "  ToolTip=\"" + escape(id.manufacturerInfo) + "\"\n"
        "  StandardNameSpace=\"None\"\n"
        "  SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\"\n"
        "  MajorVersion=\"1\" MinorVersion=\"1\" SubMinorVersion=\"0\"\n"
        "  ProductGuid=\"" + guidOf(id.vendor + '\n' + id.model) + "\"\n"
        "  VersionGuid=\"" + guidOf(id.vendor + '\n' + id.model + '\n' + id.deviceVersion + "\n1.1.0") + "\"\n"
        "  xmlns=\"http://www.genicam.org/GenApi/Version_1_1\"\n"
        "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
        "  xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
        "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";

    w.category("Root", "The camera's features", {}, {"DeviceControl", "ImageFormatControl",
               "AcquisitionControl", "AnalogControl", "DigitalIOControl", "LUTControl", "ChunkDataControl",
               "TransportLayerControl"}, false);
    w.category("DeviceControl", "Identity of the device", "Device Control",
               {"DeviceVendorName", "DeviceModelName", "DeviceFamilyName", "DeviceVersion",
                "DeviceManufacturerInfo", "DeviceSerialNumber", "DeviceUserID"});
    w.category("ImageFormatControl", "Size and format of the image", "Image Format Control",
               {"Width", "Height", "PixelFormat"});
    w.category("AcquisitionControl", "Acquisition, triggering and exposure", "Acquisition Control",
               {"AcquisitionMode", "AcquisitionFrameCount", "AcquisitionStart", "AcquisitionStop", "TriggerMode",
                "TriggerSource", "TriggerSoftware", "ExposureTime"});
    w.category("AnalogControl", "Analog and digital amplification", "Analog Control", {"GainSelector", "Gain"});
    w.category("DigitalIOControl", "The camera's input and output lines", "Digital IO Control",
               {"LineSelector", "LineMode"});
    w.category("LUTControl", "The look-up table", "LUT Control", {"LUTValueAll"});
    w.category("ChunkDataControl", "Data appended to each image", "Chunk Data Control",
               {"ChunkModeActive", "ChunkSelector", "ChunkEnable", "ChunkTimestamp", "ChunkFrameID", "ChunkWidth",
                "ChunkHeight", "ChunkExposureTime"});
    w.category("TransportLayerControl", "Transfer of images", "Transport Layer Control",
               {"PayloadSize", "TLParamsLocked"});

    w.stringReg("DeviceVendorName", "Manufacturer of the device", regs::kManufacturerName, false);
    w.stringReg("DeviceModelName", "Model of the device", regs::kModelName, false);
    w.stringReg("DeviceFamilyName", "Product family of the device", regs::kFamilyName, false);
    w.stringReg("DeviceVersion", "Version of the device", regs::kDeviceVersion, false);
    w.stringReg("DeviceManufacturerInfo", "Further information from the manufacturer",
                regs::kManufacturerInfo, false);
    w.stringReg("DeviceSerialNumber", "Serial number of the device", regs::kSerialNumber, false);
    w.stringReg("DeviceUserID", "Name given to the device by its user", regs::kUserDefinedName, true);

    const std::string minSide = std::to_string(regs::kMinImageSide);
    const std::string maxSide = std::to_string(regs::kMaxImageSide);
    w.integer("Width", "Width of the image in pixels", "Width", {"WidthReg", minSide, maxSide, "Beginner", "TLParamsLocked"});
    w.intReg("WidthReg", {regs::kWidth});
    w.integer("Height", "Height of the image in pixels", "Height", {"HeightReg", minSide, maxSide, "Beginner", "TLParamsLocked"});
    w.intReg("HeightReg", {regs::kHeight});
    w.enumeration("PixelFormat", "Format of the pixels", "Pixel Format",
                  {"PixelFormatReg", {{"Mono8", kPixelFormatMono8}, {"RGB8", kPixelFormatRGB8}}, {}, "Beginner",
                   "TLParamsLocked"});
    w.intReg("PixelFormatReg", {regs::kPixelFormat});
    w.integer("PayloadSize", "Bytes of image and chunk data per frame", "Payload Size", {"PayloadSizeReg", {}, {}, "Expert"});
    w.intReg("PayloadSizeReg", {regs::kPayloadSize, "RO", "WriteThrough",
                                {"WidthReg", "HeightReg", "PixelFormatReg", "ChunkModeActiveReg", "ChunkEnableReg"}});
    w.integer("TLParamsLocked", "Locks what the transport layer depends on during acquisition", {},
              {"TLParamsLockedReg", "0", "1", "Invisible"});
    w.intReg("TLParamsLockedReg", {regs::kTLParamsLocked});

    w.enumeration("AcquisitionMode", "Number of frames one acquisition takes", "Acquisition Mode",
                  {"AcquisitionModeReg", {{"Continuous", regs::kAcquisitionContinuous},
                   {"SingleFrame", regs::kAcquisitionSingleFrame}, {"MultiFrame", regs::kAcquisitionMultiFrame}}});
    w.intReg("AcquisitionModeReg", {regs::kAcquisitionMode});
    w.integer("AcquisitionFrameCount", "Frames one acquisition takes in MultiFrame mode", "Acquisition Frame Count",
              {"AcquisitionFrameCountReg", "1", std::to_string(regs::kMaxFrameCount), "Expert"});
    w.intReg("AcquisitionFrameCountReg", {regs::kAcquisitionFrameCount});
    w.command("AcquisitionStart", "Starts the acquisition", "Acquisition Start", "AcquisitionStartReg");
    w.commandBit("AcquisitionStartReg", regs::kAcquisitionStart);
    w.command("AcquisitionStop", "Stops the acquisition", "Acquisition Stop", "AcquisitionStopReg");
    w.commandBit("AcquisitionStopReg", regs::kAcquisitionStop);
    w.enumeration("TriggerMode", "Whether frames wait for a trigger", "Trigger Mode",
                  {"TriggerModeReg", {{"Off", 0}, {"On", 1}}});
    w.intReg("TriggerModeReg", {regs::kTriggerMode});
    w.enumeration("TriggerSource", "Source of the trigger", "Trigger Source",
                  {"TriggerSourceReg", {{"Software", 0}, {"Line0", 1}}});
    w.intReg("TriggerSourceReg", {regs::kTriggerSource});
    w.command("TriggerSoftware", "Triggers one frame", "Trigger Software", "TriggerSoftwareReg");
    w.commandBit("TriggerSoftwareReg", regs::kTriggerSoftware);
    w.converter("ExposureTime", "Exposure time in microseconds", "Exposure Time", "ExposureTimeReg", "us");
    w.intReg("ExposureTimeReg", {regs::kExposureTime});

    // Gain per selector: each selector value has a register of its own.
    w.enumeration("GainSelector", "Which gain Gain controls", "Gain Selector",
                  {"GainSelectorReg", {{"AnalogAll", 0}, {"DigitalAll", 1}}, {"Gain"}});
    w.intReg("GainSelectorReg", {regs::kGainSelector});
    w.converter("Gain", "Gain in dB of the selected amplifier", "Gain", "GainValue", "dB");
    w.open("Integer", "GainValue", false);
    w.field("Visibility", "Invisible");
    w.field("pIndex", "GainSelectorReg");
    w.field("pValueIndexed", "GainReg", "Index=\"0\"");
    w.field("pValueIndexed", "GainDigitalReg", "Index=\"1\"");
    w.field("pValueDefault", "GainReg");
    w.close("Integer");
    w.intReg("GainReg", {regs::kGain});
    w.intReg("GainDigitalReg", {regs::kGainDigital});

    // Line0 is an input only: a fixed value for it, a register for Line1.
    w.enumeration("LineSelector", "Line that LineMode applies to", "Line Selector",
                  {"LineSelectorReg", {{"Line0", 0}, {"Line1", 1}}, {"LineMode"}, "Expert"});
    w.intReg("LineSelectorReg", {regs::kLineSelector});
    w.enumeration("LineMode", "Whether the selected line is an input or an output", "Line Mode",
                  {"LineModeValue", {{"Input", 0}, {"Output", 1}}, {}, "Expert", "LineModeLocked"});
    w.open("Integer", "LineModeValue", false);
    w.field("Visibility", "Invisible");
    w.field("pIndex", "LineSelectorReg");
    w.field("ValueIndexed", "0", "Index=\"0\"");
    w.field("pValueIndexed", "Line1ModeReg", "Index=\"1\"");
    w.field("ValueDefault", "0");
    w.close("Integer");
    w.open("IntSwissKnife", "LineModeLocked", false);
    w.field("Visibility", "Invisible");
    w.field("pVariable", "LineSelectorReg", "Name=\"SEL\"");
    w.field("Formula", "SEL = 0");
    w.close("IntSwissKnife");
    w.intReg("Line1ModeReg", {regs::kLine1Mode});

    w.open("Register", "LUTValueAll", true);
    w.shown("The whole look-up table: output value for each 8-bit input value", "LUT Value All", "Guru");
    w.field("Address", hex(regs::kLut));
    w.field("Length", std::to_string(regs::kLutSize));
    w.field("AccessMode", "RW");
    w.field("pPort", "Device");
    w.field("Cachable", "NoCache");
    w.close("Register");

    writeChunkFeatures(w);

    w.port("Device", "The camera's register space");
    w.text += "</RegisterDescription>\n";
    return w.text;
}

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct SourceFree {
    void operator()(zip_source_t* s) const { zip_source_free(s); }
};

std::vector<uint8_t> buildZip(const std::string& xml, const std::string& memberName) {
    zip_error_t error;
    zip_error_init(&error);
    std::unique_ptr<zip_source_t, SourceFree> archive(zip_source_buffer_create(nullptr, 0, 0, &error));
    if (!archive) throw std::runtime_error("zip: no archive buffer");
    std::unique_ptr<zip_t, ZipCloser> z(zip_open_from_source(archive.get(), ZIP_TRUNCATE, &error));
    zip_error_fini(&error);
    if (!z) throw std::runtime_error("zip: cannot open archive");
    zip_source_keep(archive.get());  // the archive's bytes must outlive zip_close

    zip_source_t* member = zip_source_buffer(z.get(), xml.data(), xml.size(), 0);
    if (!member) throw std::runtime_error("zip: no member buffer");
    zip_int64_t index = zip_file_add(z.get(), memberName.c_str(), member, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(member);
        throw std::runtime_error("zip: cannot add member");
    }
    auto i = static_cast<zip_uint64_t>(index);
    // A fixed date keeps the archive, and so its digest, the same on every start.
    if (zip_set_file_compression(z.get(), i, ZIP_CM_DEFLATE, 9) != 0 ||
        zip_file_set_dostime(z.get(), i, 0x0000, 0x5821, 0) != 0)  // 2024-01-01 00:00
        throw std::runtime_error("zip: cannot set member attributes");
    if (zip_close(z.get()) != 0) throw std::runtime_error("zip: cannot write archive");
    (void)z.release();

    zip_source_t* s = archive.get();
    if (zip_source_open(s) != 0) throw std::runtime_error("zip: cannot reopen archive");
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    zip_int64_t n;
    while ((n = zip_source_read(s, chunk, sizeof chunk)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    zip_source_close(s);
    if (n < 0 || bytes.empty()) throw std::runtime_error("zip: cannot read archive");
    return bytes;
}

}  // namespace

DescriptionFile::DescriptionFile(const Identity& identity, bool zipped)
    : xml_(buildXml(identity)), zipped_(zipped) {
    memberName_ = identity.model.empty() ? std::string("camera") : identity.model;
    for (char& c : memberName_)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    memberName_ += ".xml";
    if (zipped_)
        stored_ = buildZip(xml_, memberName_);
    else
        stored_.assign(xml_.begin(), xml_.end());
}

}  // namespace vcam
