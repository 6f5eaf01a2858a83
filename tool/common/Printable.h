// Text that came from a camera, a description file or a directory listing, made safe for
// a terminal. Shared by every program, brannock included, so that one rule holds for all.
#pragma once

#include <string>
#include <string_view>

namespace tool {

// C0 controls, DEL and the C1 controls written in UTF-8 become '?', so that a text cannot
// move the cursor, end the line or send the terminal an escape sequence. Every other byte,
// UTF-8 included, is kept. A null pointer gives "".
std::string printable(std::string_view text);
std::string printable(const char* text);

}  // namespace tool
