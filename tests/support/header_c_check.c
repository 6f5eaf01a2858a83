/* The public header must compile as plain C. */
#include "tessoral/tessoral.h"

#include <stddef.h>

_Static_assert(offsetof(U3V_DEVICE_INFO, DeviceGUID) == 8, "DeviceGUID offset");
_Static_assert(offsetof(U3V_DEVICE_INFO, UserDefinedName) == 405, "UserDefinedName offset");
_Static_assert(offsetof(U3V_DEVICE_INFO, InUse) == 470, "InUse offset");

int tessoral_header_c_check(void) {
    U3V_LogCallback log = NULL;
    uint16_t (*discover)(uint16_t *) = U3V_DiscoveryDevices;
    return log == NULL && discover != NULL;
}

_Static_assert(offsetof(U3V_ImageInfo, Timestamp) == 8, "Timestamp offset");
_Static_assert(offsetof(U3V_ImageInfo, PaddingX) == 36, "PaddingX offset");
_Static_assert(offsetof(U3V_ImageInfo, MissingTransfers) == 38, "MissingTransfers offset");

int tessoral_header_c_check_channels(void) {
    U3V_EventCallback onEvent = NULL;
    U3V_TestEventFunction testEvent = NULL; /* looked up by U3V_TEST_EVENT_SYMBOL */
    uint16_t (*getImage)(void *, void *, uint32_t, U3V_ImageInfo *) = U3V_GetImage;
    return onEvent == NULL && testEvent == NULL && getImage != NULL &&
           sizeof U3V_TEST_EVENT_SYMBOL > 1;
}
