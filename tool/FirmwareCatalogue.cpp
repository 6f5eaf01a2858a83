#include "FirmwareCatalogue.h"

#include <cstring>
#include <string>

bool firmware_suits(const String& name, const String& model) {
    if (!name.ends_with(".bin")) return false;
    if (model.equals(BOOTLOADER_MODEL)) return true;
    return name.substring(0, name.find("_")).equals(model.c_str());
}

int firmware_catalogue_add(FirmwareCatalogue& catalogue, const String& name, const String& model) {
    if (!firmware_suits(name, model)) return 0;
    if (static_cast<int>(catalogue.entries.size()) == MAX_FIRMWARE_FILES) {
        ++catalogue.skipped;
        return 0;
    }
    catalogue.entries.push_back(name);
    return static_cast<int>(catalogue.entries.size());
}

String printable(const char* text) {
    if (text == nullptr) return String("");
    std::string shown(text);
    for (size_t i = 0; i < shown.size(); ++i) {
        const auto byte = static_cast<unsigned char>(shown[i]);
        if (byte < 0x20 || byte == 0x7F) {
            shown[i] = '?';
        } else if (byte == 0xC2 && i + 1 < shown.size() &&
                   static_cast<unsigned char>(shown[i + 1]) >= 0x80 && static_cast<unsigned char>(shown[i + 1]) <= 0x9F) {
            // U+0080 to U+009F in UTF-8: the C1 controls, CSI among them.
            shown.replace(i, 2, "?");
        }
    }
    return String(shown.c_str());
}
