// Calls of the libusb API that have no meaning for the emulated devices: they answer as
// libusb does on a platform or device without the feature.
#include "usb/LibusbObjects.h"

extern "C" {

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;  // there are no system file descriptors to wrap
}

int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;  // no endpoint declares bulk streams
}

int LIBUSB_CALL libusb_free_streams(libusb_device_handle*, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) {
    return nullptr;  // callers fall back to ordinary buffers
}

int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"
