// The USB stack of the fuzz targets: the libusb-1.0 calls of the library's USB layer,
// answered from a script instead of a bus. Defining them here (the library's sources are
// linked statically, without the real libusb) puts the fuzz input exactly where a camera's
// bytes would arrive, below the library's own USB layer.
#pragma once

#include <cstdint>
#include <functional>

struct libusb_device_handle;

namespace fuzz {

struct UsbScript {
    // An IN transfer: fill at most len bytes of buf, return how many or a libusb error.
    std::function<int(uint8_t endpoint, uint8_t* buf, int len, unsigned timeoutMs)> bulkIn;
    // An OUT transfer: the bytes the library sent; return how many were taken or an error.
    std::function<int(uint8_t endpoint, const uint8_t* data, int len)> bulkOut;
    // GET_DESCRIPTOR: like bulkIn.
    std::function<int(uint8_t type, uint8_t index, uint8_t* buf, int len)> descriptor;
    // A string descriptor as ASCII: the text (at most len - 1 bytes go through, as libusb
    // does) or a libusb error.
    std::function<int(uint8_t index, uint8_t* buf, int len)> string;
    int claimResult = 0;
    // The bytes of an IN buffer beyond what the device sent are poisoned until the next
    // transfer into it, so a parser that reads them is caught by AddressSanitizer. Only for
    // heap buffers: the library's ack buffer and descriptor buffer are.
    bool poisonUnfilled = true;
};

// The script of the current input; reset() before each one.
UsbScript& usbScript();
void resetUsbScript();

// A handle to pass where the library expects an open device.
libusb_device_handle* scriptedHandle();

}  // namespace fuzz
