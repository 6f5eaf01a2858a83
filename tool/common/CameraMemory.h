// Camera memory of any length through the library's U3V_ReadMem and U3V_WriteMem, whose
// length is 16 bits: the pieces, and the message that names the piece that failed. Shared
// by the command-line tools and the Python module, which report the failure each its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

// Below what one U3V_ReadMem/U3V_WriteMem call takes.
constexpr size_t kMemoryPiece = 0x8000;

// "0x1D8".
std::string hexAddress(uint64_t address);

// Reads (writes) `length` bytes at `address` in pieces of at most kMemoryPiece. Returns
// U3V_OK, or the status of the first piece that failed, with `failed` set to
// "reading 32768 bytes at 0x8000 failed"; nothing is read (written) after that piece.
uint16_t readMemory(void* control, uint64_t address, uint8_t* data, size_t length, std::string& failed);
uint16_t writeMemory(void* control, uint64_t address, const uint8_t* data, size_t length, std::string& failed);

}  // namespace tool
