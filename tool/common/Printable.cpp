#include "Printable.h"

namespace tool {

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            shown += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F in UTF-8: the C1 controls, CSI among them.
            shown += '?';
            ++i;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

std::string printable(const char* text) { return text == nullptr ? std::string() : printable(std::string_view(text)); }

}  // namespace tool
