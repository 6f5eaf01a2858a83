// What happens to a camera after its firmware took a start command: it stays on the bus
// for its flash time, leaves, and comes back after its reboot time running what it flashed.
#pragma once

#include <memory>

#include "device/VirtualDevice.h"

namespace vcam {

// Lets the camera's firmware start this sequence on its own.
void armFirmwareUpdates(const std::shared_ptr<VirtualDevice>& camera);

}  // namespace vcam
