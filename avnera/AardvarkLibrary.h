#pragma once
// The I2C/SPI adapter library of the adapter's maker, loaded at run time by
// name (aardvark.dll on Windows, aardvark.so on Linux, through the system's
// library search). Entry points and their types are those of the maker's
// published C interface (the c_aa_… functions the library exports).
//
// A missing library, or one that lacks any entry point used here, leaves
// Get() returning nullptr: the adapter transport then lists and opens nothing.

#include <cstdint>

namespace avnera
{
using AaHandle = int;

struct SAardvarkVersion
{
    std::uint16_t software;
    std::uint16_t firmware;
    std::uint16_t hardware;
    std::uint16_t swReqByFw;
    std::uint16_t fwReqBySw;
    std::uint16_t apiReqBySw;
};

// Values of the maker's interface.
constexpr int kAaConfigGpioOnly = 0x00;
constexpr int kAaConfigSpiGpio = 0x01;
constexpr int kAaConfigSpiI2c = 0x03;
constexpr int kAaSpiPolRisingFalling = 0;
constexpr int kAaSpiPhaseSampleSetup = 0;
constexpr int kAaSpiPhaseSetupSample = 1;
constexpr int kAaSpiBitorderMsb = 0;
constexpr int kAaSpiSsActiveLow = 0;
constexpr int kAaI2cNoFlags = 0;
constexpr std::uint16_t kAaPortNotFree = 0x8000;

struct SAardvarkApi
{
    int (*findDevicesExt)(int numDevices, std::uint16_t* devices, int numIds, std::uint32_t* uniqueIds);
    AaHandle (*open)(int port);
    int (*close)(AaHandle aardvark);
    int (*port)(AaHandle aardvark);
    std::uint32_t (*uniqueId)(AaHandle aardvark);
    int (*version)(AaHandle aardvark, SAardvarkVersion* version);
    int (*configure)(AaHandle aardvark, int config);
    int (*spiConfigure)(AaHandle aardvark, int polarity, int phase, int bitorder);
    int (*spiSlaveDisable)(AaHandle aardvark);
    int (*spiMasterSsPolarity)(AaHandle aardvark, int polarity);
    int (*spiWrite)(AaHandle aardvark, std::uint16_t outNumBytes, const std::uint8_t* dataOut, std::uint16_t inNumBytes,
                    std::uint8_t* dataIn);
    int (*i2cRead)(AaHandle aardvark, std::uint16_t slaveAddress, int flags, std::uint16_t numBytes, std::uint8_t* dataIn);
    int (*i2cWrite)(AaHandle aardvark, std::uint16_t slaveAddress, int flags, std::uint16_t numBytes,
                    const std::uint8_t* dataOut);
    int (*i2cBitrate)(AaHandle aardvark, int bitrateKhz);
    int (*i2cSlaveDisable)(AaHandle aardvark);
    int (*gpioDirection)(AaHandle aardvark, std::uint8_t directionMask);
    int (*gpioSet)(AaHandle aardvark, std::uint8_t value);
};

// The bound library, loading it on first use (a failed load is tried again
// on the next call). Not thread-safe, like the rest of the host interface.
const SAardvarkApi* AardvarkApi();

// The library's file name on this system.
const char* AardvarkLibraryName();
} // namespace avnera
