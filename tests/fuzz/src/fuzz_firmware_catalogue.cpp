// A directory listing as brannock's catalogue sees it: the camera's model name, then
// names with the sizes their files report. Each name is judged, offered, shown, and its
// size turned into the length announced to the camera.
//   input: u8 model length, model; then per entry: u8 name length, name, i64 size
#include <cstring>
#include <string>

#include "FirmwareCatalogue.h"
#include "FirmwareTransfer.h"
#include "FuzzInput.h"
#include "Printable.h"

namespace {

std::string text(fuzz::FuzzInput& in, size_t n) {
    std::string s(n, '\0');
    in.take(reinterpret_cast<uint8_t*>(s.data()), n);
    return s.substr(0, std::strlen(s.c_str()));  // a listed name ends at its first NUL
}

// The rule as stated, independently of the tool's String class.
bool suits(const std::string& name, const std::string& model) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bin") != 0) return false;
    if (model == BOOTLOADER_MODEL) return true;
    return name.substr(0, name.find('_')) == model;
}

void checkShown(const std::string& raw) {
    const std::string s = tool::printable(raw.c_str());
    FUZZ_CHECK(std::strlen(s.c_str()) == s.size() && s.size() <= raw.size(), "shown length");
    bool control = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        FUZZ_CHECK(b >= 0x20 && b != 0x7F, "control byte %02X shown from '%s'", b, raw.c_str());
        FUZZ_CHECK(!(b == 0xC2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0x80),
                   "C1 control shown");
    }
    for (unsigned char b : raw) control = control || b < 0x20 || b == 0x7F || b == 0xC2;
    FUZZ_CHECK(control || s == raw, "a name without controls was changed");
}

void checkPadding(int64_t size) {
    const int64_t padded = firmware_padded_length(size);
    if (size < 0 || size > FW_MAX_IMAGE) {
        FUZZ_CHECK(padded == -1, "size %lld gave %lld", static_cast<long long>(size), static_cast<long long>(padded));
        return;
    }
    FUZZ_CHECK(padded % 4 == 0 && padded >= size && padded - size < 4, "size %lld padded to %lld",
               static_cast<long long>(size), static_cast<long long>(padded));
    // The window ends with the 32-bit register space.
    FUZZ_CHECK(uint64_t{FW_DATA_BASE} + static_cast<uint64_t>(padded) <= 0x100000000ull, "window overrun");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const std::string modelText = text(in, in.u8() % 65);
    const String model = modelText.c_str();
    FirmwareCatalogue catalogue;
    int candidates = 0;
    while (!in.exhausted()) {
        const std::string nameText = text(in, in.u8());
        const int64_t fileSize = static_cast<int64_t>(in.u64());
        const String name = nameText.c_str();
        const bool expected = suits(nameText, modelText);
        FUZZ_CHECK(firmware_suits(name, model) == expected, "'%s' for model '%s'", nameText.c_str(),
                   modelText.c_str());
        const size_t before = catalogue.entries.size();
        const int number = firmware_catalogue_add(catalogue, name, model);
        candidates += expected;
        if (expected && before < MAX_FIRMWARE_FILES) {
            FUZZ_CHECK(number == static_cast<int>(before) + 1 && catalogue.entries.back().equals(nameText.c_str()),
                       "entry %d of '%s'", number, nameText.c_str());
            checkShown(nameText);
            checkPadding(fileSize);
        } else {
            FUZZ_CHECK(number == 0 && catalogue.entries.size() == before, "'%s' stored as %d", nameText.c_str(),
                       number);
        }
        FUZZ_CHECK(catalogue.entries.size() <= MAX_FIRMWARE_FILES, "catalogue overflow");
        FUZZ_CHECK(static_cast<int>(catalogue.entries.size()) + catalogue.skipped == candidates, "lost candidates");
    }
    checkShown(modelText);
    return 0;
}
