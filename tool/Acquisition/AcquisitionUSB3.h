// The camera object on the Tessoral library, bound by name at run time.
#pragma once

#include <cstdint>

#include "Acquisitionbase.h"
#include "LibraryBinding.h"

class AcquisitionUSB3 : public AcquisitionBase, public LibraryBinding {
public:
    // Binds the library and opens the first camera with its control channel. Throws the
    // binding result (1, 11..32) or -1 (discovery), -2 (no camera), -3 (device info),
    // -4 (device open), -5 (control open); whatever was opened is closed first.
    AcquisitionUSB3();
    // Binds the library and runs discovery into *count; opens nothing. Throws only the
    // binding result.
    explicit AcquisitionUSB3(uint16_t* count);
    ~AcquisitionUSB3() override;
    AcquisitionUSB3(const AcquisitionUSB3&) = delete;
    AcquisitionUSB3& operator=(const AcquisitionUSB3&) = delete;

    int load_library() { return bind(TESSORAL_LIBRARY_FILE); }

    void open_stream() override;
    void close_stream() override;
    ImageBW* getImage() override;
    const char* getModelName() override { return modelName; }
    const char* getDeviceVersion() override { return deviceVersion; }
    const char* getManufacturerInfo() override { return manufacturerInfo; }
    const char* getSerialNumber() override { return serialNumber; }
    const char* getExtraInfo() override { return "n.a."; }
    int getTypeCode() override { return 1; }
    int setValue50058(int32_t value) override { return writereg(0x50058, value); }
    int32_t getValue50058() override;
    int setValue50064(int32_t value) override { return writereg(0x50064, value); }
    void reservedOpA() override {}
    int reservedOpB() override { return 0; }
    void reservedOpC() override {}
    int reservedOpD() override { return 0; }
    int reservedOpE() override { return 0; }
    int reservedOpF() override { return 0; }
    int reservedOpG() override { return 0; }
    void reservedOpH() override {}
    void reservedOpI() override {}
    int reservedOpJ() override { return 0; }
    void reservedOpK() override {}
    bool reservedOpL() override { return true; }
    bool reservedOpM() override { return true; }
    bool reservedOpN() override { return true; }
    int readreg(uint32_t address, int32_t* value) override;
    int writereg(uint32_t address, int32_t value) override;

    const char* getDeviceGUID() const { return deviceGUID; }
    // What the constructor's discovery said, and how many cameras it found.
    uint16_t discoveryStatus() const { return discovery; }
    uint16_t cameraCount() const { return cameras; }

    void* deviceHandle = nullptr;
    void* controlHandle = nullptr;
    void* streamHandle = nullptr;

private:
    [[noreturn]] void fail(int code);
    int openDeviceAndControl(const char* function);

    char deviceGUID[13] = {};
    char modelName[64] = {};
    char deviceVersion[64] = {};
    char manufacturerInfo[64] = {};
    char serialNumber[64] = {};
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    bool acquiring = false;
    uint16_t discovery = U3V_OK;
    uint16_t cameras = 0;
};
