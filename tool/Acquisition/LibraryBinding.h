// The 22 library functions the tool calls, found by name in the library file at run time.
#pragma once

#include <cstdint>

#include "tessoral/tessoral.h"

// The library file, found through the program's RUNPATH ($ORIGIN first).
constexpr const char* TESSORAL_LIBRARY_FILE = "libTessoral.so.1";

struct LibraryBinding {
    using DiscoveryDevicesFn = uint16_t (*)(uint16_t* count);
    using GetDeviceInfoFn = uint16_t (*)(uint16_t device, U3V_DEVICE_INFO* info);
    using OpenDeviceFn = uint16_t (*)(const char* guid, void** device, U3V_LogCallback callback, uint8_t mask);
    using CloseFn = uint16_t (*)(void* handle);
    using SetDetailedLogFn = uint16_t (*)(void* device, uint8_t mask);
    using GetDetailedLogFn = uint16_t (*)(void* device, uint8_t* mask);
    using OpenControlFn = uint16_t (*)(void* device, void** control);
    using ReadMemFn = uint16_t (*)(void* control, uint64_t address, uint16_t length, void* buffer);
    using WriteMemFn = uint16_t (*)(void* control, uint64_t address, uint16_t length, const void* data);
    using ReadXmlFn = uint16_t (*)(void* control, uint8_t** buffer, uint32_t* size, uint8_t save);
    using WriteXmlFn = uint16_t (*)(void* control, const char* path, uint32_t dataAddress, uint32_t manifestAddress,
                                    uint32_t fileVersion, uint16_t schemaVersion, U3V_ProgressCallback progress);
    using MaximumDeviceResponseTimeFn = uint16_t (*)(void* control, uint32_t* timeout);
    using EventCallbackFn = void (*)();  // only passed on; its real type is the event callback
    using OpenEventFn = uint16_t (*)(void* device, void* control, void** event, EventCallbackFn callback,
                                     uint32_t timeout);
    using OpenStreamFn = uint16_t (*)(void* device, void* control, void** stream, uint32_t timeout);
    using AcquisitionStartFn = uint16_t (*)(void* stream, uint32_t value);
    using AcquisitionStopFn = uint16_t (*)(void* stream, uint64_t* a, uint64_t* b);
    using GetImageFn = uint16_t (*)(void* stream, void* destination, uint32_t timeout, void* info);
    using GetTransferSizeFn = uint16_t (*)(void* stream, uint32_t* size);
    using SetTransferSizeFn = uint16_t (*)(void* stream, uint32_t size);

    // 0: all bound; 1: the file cannot be loaded; 10 + row: the first function missing
    // (later rows stay unset). The library is never unloaded.
    int bind(const char* file);

    DiscoveryDevicesFn U3V_DiscoveryDevices = nullptr;
    GetDeviceInfoFn U3V_GetDeviceInfo = nullptr;
    OpenDeviceFn U3V_OpenDevice = nullptr;
    CloseFn U3V_CloseDevice = nullptr;
    SetDetailedLogFn U3V_SetDetailedLog = nullptr;
    GetDetailedLogFn U3V_GetDetailedLog = nullptr;
    OpenControlFn U3V_OpenControl = nullptr;
    CloseFn U3V_CloseControl = nullptr;
    ReadMemFn U3V_ReadMem = nullptr;
    WriteMemFn U3V_WriteMem = nullptr;
    ReadXmlFn U3V_ReadXml = nullptr;
    WriteXmlFn U3V_WriteXml = nullptr;
    MaximumDeviceResponseTimeFn U3V_MaximumDeviceResponseTime = nullptr;
    OpenEventFn U3V_OpenEvent = nullptr;
    CloseFn U3V_CloseEvent = nullptr;
    OpenStreamFn U3V_OpenStream = nullptr;
    CloseFn U3V_CloseStream = nullptr;
    AcquisitionStartFn U3V_AcquisitionStart = nullptr;
    AcquisitionStopFn U3V_AcquisitionStop = nullptr;
    GetImageFn U3V_GetImage = nullptr;
    GetTransferSizeFn U3V_GetTransferSize = nullptr;
    SetTransferSizeFn U3V_SetTransferSize = nullptr;
};

// The name of the function in row 1..22, or null.
const char* boundFunctionName(int row);
