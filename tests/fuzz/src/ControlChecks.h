// What a control transaction promises, checked against what the scripted camera saw:
// an accepted acknowledge really is the acknowledge of that command, and a refused one
// was refused for a reason it really had.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ScriptedCamera.h"

namespace fuzz {

// Checks every transaction from command `first` on: all but the last succeeded, the last
// ended with `status` (0 included). Request ids follow on from `firstId`. Every
// acknowledge read fits the library's buffer and has a bounded wait.
void checkTransactions(const ScriptedCamera& cam, size_t first, uint16_t firstId,
                       uint16_t status);

}  // namespace fuzz
