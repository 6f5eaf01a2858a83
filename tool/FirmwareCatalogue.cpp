#include "FirmwareCatalogue.h"

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
