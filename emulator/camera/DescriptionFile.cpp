#include "camera/DescriptionFile.h"

#include <zip.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "camera/CameraRegisters.h"
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

class XmlWriter {
public:
    std::string text;

    void open(std::string_view element, std::string_view name, bool standard) {
        text += "  <";
        text += element;
        text += " Name=\"";
        text += name;
        text += '"';
        if (standard) text += " NameSpace=\"Standard\"";
        text += ">\n";
    }
    void close(std::string_view element) {
        text += "  </";
        text += element;
        text += ">\n";
    }
    void field(std::string_view element, std::string_view value) {
        text += "    <";
        text += element;
        text += '>';
        text += value;
        text += "</";
        text += element;
        text += ">\n";
    }

    void category(std::string_view name, std::string_view toolTip,
                  std::initializer_list<std::string_view> features, bool standard = true) {
        open("Category", name, standard);
        field("ToolTip", toolTip);
        for (std::string_view f : features) field("pFeature", f);
        close("Category");
    }

    void stringReg(std::string_view name, std::string_view toolTip, uint64_t address, bool writable) {
        open("StringReg", name, true);
        field("ToolTip", toolTip);
        field("Address", hex(address));
        field("Length", std::to_string(regs::kStringRegisterSize));
        field("AccessMode", writable ? "RW" : "RO");
        field("pPort", "Device");
        close("StringReg");
    }

    void intReg(std::string_view name, uint64_t address, std::string_view access,
                std::string_view cachable, std::initializer_list<std::string_view> invalidators = {}) {
        open("IntReg", name, false);
        field("Address", hex(address));
        field("Length", "4");
        field("AccessMode", access);
        field("pPort", "Device");
        field("Cachable", cachable);
        for (std::string_view i : invalidators) field("pInvalidator", i);
        field("Sign", "Unsigned");
        field("Endianess", "LittleEndian");
        close("IntReg");
    }

    // A command register: bit 0 set starts the action, and reads back 0 once it is done.
    void commandBit(std::string_view name, uint64_t address) {
        open("MaskedIntReg", name, false);
        field("Address", hex(address));
        field("Length", "4");
        field("AccessMode", "RW");
        field("pPort", "Device");
        field("Cachable", "NoCache");
        field("Bit", "0");
        field("Endianess", "LittleEndian");
        close("MaskedIntReg");
    }

    void command(std::string_view name, std::string_view toolTip, std::string_view reg) {
        open("Command", name, true);
        field("ToolTip", toolTip);
        field("pValue", reg);
        field("CommandValue", "1");
        close("Command");
    }

    void integer(std::string_view name, std::string_view toolTip, std::string_view reg,
                 std::string_view minimum, std::string_view maximum) {
        open("Integer", name, true);
        field("ToolTip", toolTip);
        field("pValue", reg);
        if (!minimum.empty()) field("Min", minimum);
        if (!maximum.empty()) field("Max", maximum);
        field("Inc", "1");
        close("Integer");
    }

    void enumeration(std::string_view name, std::string_view toolTip, std::string_view reg,
                     std::initializer_list<std::pair<std::string_view, uint64_t>> entries) {
        open("Enumeration", name, true);
        field("ToolTip", toolTip);
        for (const auto& [entry, value] : entries) {
            text += "    <EnumEntry Name=\"";
            text += name;
            text += '_';
            text += entry;
            text += "\" NameSpace=\"Standard\">\n      <Value>";
            text += hex(value);
            text += "</Value>\n    </EnumEntry>\n";
        }
        field("pValue", reg);
        close("Enumeration");
    }

    // A floating-point feature over an integer register holding the same number.
    void converter(std::string_view name, std::string_view toolTip, std::string_view reg,
                   std::string_view unit) {
        open("Converter", name, true);
        field("ToolTip", toolTip);
        field("FormulaTo", "FROM");
        field("FormulaFrom", "TO");
        field("pValue", reg);
        field("Unit", unit);
        field("Slope", "Increasing");
        close("Converter");
    }
};

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
        "  MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\"\n"
        "  ProductGuid=\"" + guidOf(id.vendor + '\n' + id.model) + "\"\n"
        "  VersionGuid=\"" + guidOf(id.vendor + '\n' + id.model + '\n' + id.deviceVersion + "\n1.0.0") + "\"\n"
        "  xmlns=\"http://www.genicam.org/GenApi/Version_1_1\"\n"
        "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
        "  xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
        "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";

    w.category("Root", "The camera's features", {"DeviceControl", "ImageFormatControl",
               "AcquisitionControl", "AnalogControl", "TransportLayerControl"}, false);
    w.category("DeviceControl", "Identity of the device",
               {"DeviceVendorName", "DeviceModelName", "DeviceFamilyName", "DeviceVersion",
                "DeviceManufacturerInfo", "DeviceSerialNumber", "DeviceUserID"});
    w.category("ImageFormatControl", "Size and format of the image",
               {"Width", "Height", "PixelFormat"});
    w.category("AcquisitionControl", "Acquisition, triggering and exposure",
               {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "TriggerMode",
                "TriggerSource", "TriggerSoftware", "ExposureTime"});
    w.category("AnalogControl", "Analog amplification", {"Gain"});
    w.category("TransportLayerControl", "Transfer of images", {"PayloadSize"});

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
    w.integer("Width", "Width of the image in pixels", "WidthReg", minSide, maxSide);
    w.intReg("WidthReg", regs::kWidth, "RW", "WriteThrough");
    w.integer("Height", "Height of the image in pixels", "HeightReg", minSide, maxSide);
    w.intReg("HeightReg", regs::kHeight, "RW", "WriteThrough");
    w.enumeration("PixelFormat", "Format of the pixels", "PixelFormatReg",
                  {{"Mono8", regs::kPixelFormatMono8}});
    w.intReg("PixelFormatReg", regs::kPixelFormat, "RW", "WriteThrough");
    w.integer("PayloadSize", "Bytes of image data per frame", "PayloadSizeReg", "", "");
    w.intReg("PayloadSizeReg", regs::kPayloadSize, "RO", "WriteThrough",
             {"WidthReg", "HeightReg", "PixelFormatReg"});

    w.enumeration("AcquisitionMode", "Number of frames one acquisition takes", "AcquisitionModeReg",
                  {{"Continuous", 0}, {"SingleFrame", 1}, {"MultiFrame", 2}});
    w.intReg("AcquisitionModeReg", regs::kAcquisitionMode, "RW", "WriteThrough");
    w.command("AcquisitionStart", "Starts the acquisition", "AcquisitionStartReg");
    w.commandBit("AcquisitionStartReg", regs::kAcquisitionStart);
    w.command("AcquisitionStop", "Stops the acquisition", "AcquisitionStopReg");
    w.commandBit("AcquisitionStopReg", regs::kAcquisitionStop);
    w.enumeration("TriggerMode", "Whether frames wait for a trigger", "TriggerModeReg",
                  {{"Off", 0}, {"On", 1}});
    w.intReg("TriggerModeReg", regs::kTriggerMode, "RW", "WriteThrough");
    w.enumeration("TriggerSource", "Source of the trigger", "TriggerSourceReg",
                  {{"Software", 0}, {"Line0", 1}});
    w.intReg("TriggerSourceReg", regs::kTriggerSource, "RW", "WriteThrough");
    w.command("TriggerSoftware", "Triggers one frame", "TriggerSoftwareReg");
    w.commandBit("TriggerSoftwareReg", regs::kTriggerSoftware);
    w.converter("ExposureTime", "Exposure time in microseconds", "ExposureTimeReg", "us");
    w.intReg("ExposureTimeReg", regs::kExposureTime, "RW", "WriteThrough");
    w.converter("Gain", "Gain in dB", "GainReg", "dB");
    w.intReg("GainReg", regs::kGain, "RW", "WriteThrough");

    w.text += "  <Port Name=\"Device\">\n    <ToolTip>The camera's register space</ToolTip>\n  </Port>\n";
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
