#include "ScriptedUsb.h"

#include <libusb.h>
#include <sanitizer/asan_interface.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace fuzz {

namespace {
UsbScript script;
char handleObject;

// libusb never writes beyond what arrived; whatever the buffer held there is stale.
void poisonTail(unsigned char* buf, int received, int len) {
    if (script.poisonUnfilled && received >= 0 && received < len)
        ASAN_POISON_MEMORY_REGION(buf + received, static_cast<size_t>(len - received));
}

void unpoison(unsigned char* buf, int len) {
    if (len > 0) ASAN_UNPOISON_MEMORY_REGION(buf, static_cast<size_t>(len));
}
}  // namespace

UsbScript& usbScript() { return script; }
void resetUsbScript() { script = UsbScript{}; }
libusb_device_handle* scriptedHandle() {
    return reinterpret_cast<libusb_device_handle*>(&handleObject);
}

}  // namespace fuzz

using fuzz::script;

extern "C" {

// No bus: nothing is ever listed or opened except the scripted handle the targets pass.
int libusb_init(libusb_context** ctx) {
    if (ctx != nullptr) *ctx = nullptr;
    return LIBUSB_SUCCESS;
}
void libusb_exit(libusb_context*) {}
libusb_device* libusb_ref_device(libusb_device* dev) { return dev; }
void libusb_unref_device(libusb_device*) {}
ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    *list = static_cast<libusb_device**>(std::calloc(1, sizeof(libusb_device*)));
    return *list ? 0 : LIBUSB_ERROR_NO_MEM;
}
void libusb_free_device_list(libusb_device** list, int) { std::free(list); }
uint8_t libusb_get_bus_number(libusb_device*) { return 0; }
uint8_t libusb_get_device_address(libusb_device*) { return 0; }
int libusb_get_port_numbers(libusb_device*, uint8_t*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor*) {
    return LIBUSB_ERROR_NOT_FOUND;
}
int libusb_get_config_descriptor(libusb_device*, uint8_t, libusb_config_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void libusb_free_config_descriptor(libusb_config_descriptor*) {}
int libusb_open(libusb_device*, libusb_device_handle**) { return LIBUSB_ERROR_NO_DEVICE; }
void libusb_close(libusb_device_handle*) {}
int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }
int libusb_claim_interface(libusb_device_handle*, int) { return script.claimResult; }
int libusb_release_interface(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }
int libusb_clear_halt(libusb_device_handle*, unsigned char) { return LIBUSB_SUCCESS; }

int libusb_control_transfer(libusb_device_handle*, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t, unsigned char* data, uint16_t length,
                            unsigned int) {
    constexpr uint8_t kGetDescriptor = 0x06;
    if ((requestType & 0x80) == 0 || request != kGetDescriptor || !script.descriptor)
        return LIBUSB_ERROR_PIPE;
    fuzz::unpoison(data, length);
    const int r = script.descriptor(static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value & 0xFF), data, length);
    if (r > length) std::abort();  // a script fault, not the library's
    fuzz::poisonTail(data, r, length);
    return r;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle*, uint8_t index,
                                       unsigned char* data, int length) {
    if (!script.string || length <= 0) return LIBUSB_ERROR_PIPE;
    const int r = script.string(index, data, length - 1);
    if (r < 0) return r;
    if (r > length - 1) std::abort();
    // libusb turns what is not ASCII into '?' and terminates the text.
    for (int i = 0; i < r; ++i)
        if (data[i] & 0x80) data[i] = '?';
    data[r] = '\0';
    return r;
}

int libusb_bulk_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
    *transferred = 0;
    if (endpoint & 0x80) {
        if (!script.bulkIn) return LIBUSB_ERROR_TIMEOUT;
        fuzz::unpoison(data, length);
        const int r = script.bulkIn(endpoint, data, length, timeout);
        if (r > length) std::abort();
        if (r < 0) return r;
        fuzz::poisonTail(data, r, length);
        *transferred = r;
        return LIBUSB_SUCCESS;
    }
    if (!script.bulkOut) return LIBUSB_ERROR_PIPE;
    const int r = script.bulkOut(endpoint, data, length);
    if (r < 0) return r;
    *transferred = r;
    return LIBUSB_SUCCESS;
}

// No asynchronous transfer ever completes: the targets drive synchronous parsers only.
libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    const size_t size = sizeof(libusb_transfer) +
                        sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(isoPackets);
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}
void libusb_free_transfer(libusb_transfer* transfer) { std::free(transfer); }
int libusb_submit_transfer(libusb_transfer*) { return LIBUSB_ERROR_NO_DEVICE; }
int libusb_cancel_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_FOUND; }
int libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int* completed) {
    if (completed != nullptr) *completed = 1;
    return LIBUSB_SUCCESS;
}

// The debug trace still formats every line; only the system log is left alone.
void openlog(const char*, int, int) {}
void syslog(int, const char*, ...) {}
void vsyslog(int, const char*, va_list) {}
void __syslog_chk(int, int, const char*, ...) {}
void __vsyslog_chk(int, int, const char*, va_list) {}

}  // extern "C"
