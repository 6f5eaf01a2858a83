// A large description file in the shape cameras send: categories of features, each
// feature with its tool tip, description, display name and visibility, integers with
// limits in registers, floats through converters, enumerations with short entry names
// shared across them, booleans on bit fields, commands, strings, selectors with indexed
// values, raw registers, chunk ports, caching hints and invalidators, written on few and
// very long lines as some cameras do. Registers lie in 0x10000..0x1FFFF, 0x40 bytes a block.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace genfile {

constexpr uint64_t kRegisterBase = 0x10000;
constexpr uint64_t kBlockBytes = 0x40;

inline std::string hex(uint64_t v) {
    char t[24];
    std::snprintf(t, sizeof t, "0x%llX", static_cast<unsigned long long>(v));
    return t;
}

class Writer {
public:
    std::string out;
    void open(const std::string& type, const std::string& name, const std::string& ns = "Custom") {
        out.append("<").append(type).append(" Name=\"").append(name).append("\" NameSpace=\"").append(ns).append("\">");
    }
    void close(const std::string& type) { out.append("</").append(type).append(">"); }
    void element(const std::string& e, const std::string& text) {
        out.append("<").append(e).append(">").append(text).append("</").append(e).append(">");
    }
    void describe(const std::string& name, const std::string& visibility) {
        element("ToolTip", "Sets or reads " + name + " of the camera; see the manual for the units and ranges.");
        element("Description", name + " controls one aspect of the sensor or of the image pipeline. Changing it while "
                                      "the camera streams may be refused when the camera locks its parameters.");
        element("DisplayName", name);
        element("Visibility", visibility);
    }
    void reg(const std::string& type, const std::string& name, uint64_t address, int length, const char* access,
             const std::string& extra = "") {
        open(type, name);
        element("Visibility", "Invisible");
        element("Address", hex(address));
        element("Length", std::to_string(length));
        element("AccessMode", access);
        element("pPort", "Device");
        out.append(extra);
        if (type != "StringReg" && type != "Register") {
            if (type != "FloatReg") element("Sign", "Unsigned");
            element("Endianess", "LittleEndian");
        }
        close(type);
    }
};

// `blocks` groups of about 17 nodes and 0x40 bytes of registers each.
inline std::string cameraFile(int blocks) {
    Writer w;
    w.out = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
            "<RegisterDescription ModelName=\"Generated\" VendorName=\"Bench\" ToolTip=\"A generated camera\" "
            "StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" "
            "MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" ProductGuid=\"0B7E3C2A-1111-4000-8000-000000000001\" "
            "VersionGuid=\"0B7E3C2A-1111-4000-8000-000000000002\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"http://www.genicam.org/GenApi/"
            "Version_1_1 http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\r\n";
    const int categories = blocks / 10 + 1;
    w.open("Category", "Root", "Standard");
    for (int c = 0; c < categories; ++c) w.element("pFeature", "Control" + std::to_string(c));
    w.close("Category");
    w.out.append("\r\n");
    w.open("Port", "Device", "Standard");
    w.element("ToolTip", "The camera's register space.");
    w.close("Port");
    w.open("Port", "ChunkPort", "Custom");
    w.element("ChunkID", "4000A001");
    w.close("Port");
    w.open("Integer", "SelectorLimit");
    w.element("Value", "3");
    w.close("Integer");
    for (int c = 0; c < categories; ++c) {
        w.open("Category", "Control" + std::to_string(c), "Standard");
        w.describe("Control" + std::to_string(c), "Beginner");
        for (int b = c * 10; b < std::min(blocks, c * 10 + 10); ++b) {
            const std::string n = std::to_string(b);
            for (const char* f : {"Width", "Gain", "Mode", "Enable", "Apply", "Label", "Delay", "Table", "Stamp"})
                w.element("pFeature", f + n);
        }
        w.close("Category");
        w.out.append("\r\n");
    }
    for (int b = 0; b < blocks; ++b) {
        const std::string n = std::to_string(b);
        const uint64_t a = kRegisterBase + static_cast<uint64_t>(b) * kBlockBytes;
        // Width: an integer in a register, its maximum in another that the binning invalidates.
        w.open("Integer", "Width" + n, "Standard");
        w.describe("Width" + n, "Beginner");
        w.element("pValue", "WidthReg" + n);
        w.element("Min", "0");
        w.element("pMax", "WidthMaxReg" + n);
        w.element("Inc", "1");
        w.element("Unit", "px");
        w.close("Integer");
        w.reg("IntReg", "WidthReg" + n, a, 4, "RW");
        w.reg("IntReg", "WidthMaxReg" + n, a + 4, 4, "RO", "<pInvalidator>Mode" + n + "</pInvalidator>");
        // Gain: a float through a converter over a raw register.
        w.open("Converter", "Gain" + n, "Standard");
        w.describe("Gain" + n, "Beginner");
        w.element("FormulaTo", "FROM * 10");
        w.element("FormulaFrom", "TO / 10");
        w.element("pValue", "GainRaw" + n);
        w.element("Unit", "dB");
        w.element("Slope", "Increasing");
        w.close("Converter");
        w.open("Integer", "GainRaw" + n);
        w.element("Visibility", "Guru");
        w.element("pValue", "GainReg" + n);
        w.element("Min", "0");
        w.element("Max", "480");
        w.close("Integer");
        w.reg("IntReg", "GainReg" + n, a + 8, 4, "RW");
        // Mode: an enumeration with entry names many enumerations share.
        w.open("Enumeration", "Mode" + n, "Standard");
        w.describe("Mode" + n, "Expert");
        int value = 0;
        for (const char* e : {"Off", "Once", "Continuous", "Line1", "Line2", "Software"}) {
            w.open("EnumEntry", e, "Standard");
            w.element("ToolTip", std::string("Mode ") + e + ".");
            w.element("Value", std::to_string(value++));
            w.close("EnumEntry");
        }
        w.element("pValue", "ModeReg" + n);
        w.close("Enumeration");
        w.reg("IntReg", "ModeReg" + n, a + 12, 4, "RW");
        // Enable: a boolean on a bit; Apply: a command on another bit of the same word.
        w.open("Boolean", "Enable" + n, "Standard");
        w.describe("Enable" + n, "Expert");
        w.element("pValue", "EnableBit" + n);
        w.close("Boolean");
        w.reg("MaskedIntReg", "EnableBit" + n, a + 16, 4, "RW", "<Bit>0</Bit>");
        w.open("Command", "Apply" + n, "Standard");
        w.describe("Apply" + n, "Expert");
        w.element("pValue", "ApplyBit" + n);
        w.element("CommandValue", "1");
        w.close("Command");
        w.reg("MaskedIntReg", "ApplyBit" + n, a + 16, 4, "WO", "<Bit>1</Bit><Cachable>NoCache</Cachable>");
        // Label: a string register.
        w.reg("StringReg", "Label" + n, a + 20, 12, "RW");
        // Delay: an integer indexed by a selector, with a default.
        w.open("Integer", "Delay" + n, "Standard");
        w.describe("Delay" + n, "Guru");
        w.element("pIndex", "GainRaw" + n);
        w.out.append("<pValueIndexed Index=\"0\">DelayReg" + n + "</pValueIndexed>");
        w.out.append("<ValueIndexed Index=\"1\">5</ValueIndexed>");
        w.element("pValueDefault", "DelayReg" + n);
        w.close("Integer");
        w.reg("IntReg", "DelayReg" + n, a + 32, 4, "RW", "<Cachable>WriteAround</Cachable>");
        // Table: raw bytes; Stamp: a value in chunk data.
        w.reg("Register", "Table" + n, a + 36, 16, "RW");
        w.open("IntReg", "Stamp" + n);
        w.element("Address", std::to_string(b % 8 * 8));
        w.element("Length", "8");
        w.element("AccessMode", "RO");
        w.element("pPort", "ChunkPort");
        w.close("IntReg");
        // A formula over the block, as cameras derive payload sizes.
        w.open("IntSwissKnife", "Area" + n);
        w.element("Visibility", "Invisible");
        w.out.append("<pVariable Name=\"W\">Width" + n + "</pVariable><pVariable Name=\"G\">GainRaw" + n +
                     "</pVariable><Formula>(W * (G + 1)) &amp; 0xFFFF</Formula>");
        w.close("IntSwissKnife");
        if (b % 40 == 39) w.out.append("\r\n");  // long lines, as some cameras write them
    }
    w.out.append("\r\n</RegisterDescription>\r\n");
    return w.out;
}

}  // namespace genfile
