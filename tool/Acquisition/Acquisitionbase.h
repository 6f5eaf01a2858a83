// The tool's camera interface: identification, register access and image acquisition.
#pragma once

#include <cstdint>

class ImageBW;

class AcquisitionBase {
public:
    virtual ~AcquisitionBase() = default;

    virtual void open_stream() = 0;
    virtual void close_stream() = 0;
    virtual ImageBW* getImage() = 0;
    virtual const char* getModelName() = 0;
    virtual const char* getDeviceVersion() = 0;
    virtual const char* getManufacturerInfo() = 0;
    virtual const char* getSerialNumber() = 0;
    virtual const char* getExtraInfo() = 0;
    virtual int getTypeCode() = 0;
    virtual int setValue50058(int32_t value) = 0;
    virtual int32_t getValue50058() = 0;
    virtual int setValue50064(int32_t value) = 0;
    virtual void reservedOpA() = 0;
    virtual int reservedOpB() = 0;
    virtual void reservedOpC() = 0;
    virtual int reservedOpD() = 0;
    virtual int reservedOpE() = 0;
    virtual int reservedOpF() = 0;
    virtual int reservedOpG() = 0;
    virtual void reservedOpH() = 0;
    virtual void reservedOpI() = 0;
    virtual int reservedOpJ() = 0;
    virtual void reservedOpK() = 0;
    virtual bool reservedOpL() = 0;
    virtual bool reservedOpM() = 0;
    virtual bool reservedOpN() = 0;
    virtual int readreg(uint32_t address, int32_t* value) = 0;
    virtual int writereg(uint32_t address, int32_t value) = 0;
};
