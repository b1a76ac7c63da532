#pragma once
// USB DFU 1.1 class definitions shared by the engine and the simulated
// device: requests, states, status codes and the parsers of the device's
// replies (functional descriptor, GETSTATUS). Portable.

#include <cstddef>
#include <cstdint>

enum EDfuRequest : std::uint8_t
{
    DFU_DETACH = 0,
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,
    DFU_ABORT = 6,
};

enum EDfuState : std::uint8_t
{
    appIDLE = 0,
    appDETACH = 1,
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuMANIFEST_WAIT_RESET = 8,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum EDfuStatus : std::uint8_t
{
    DFU_OK = 0x00,
    errTARGET = 0x01,
    errFILE = 0x02,
    errWRITE = 0x03,
    errERASE = 0x04,
    errCHECK_ERASED = 0x05,
    errPROG = 0x06,
    errVERIFY = 0x07,
    errADDRESS = 0x08,
    errNOTDONE = 0x09,
    errFIRMWARE = 0x0A,
    errVENDOR = 0x0B,
    errUSBR = 0x0C,
    errPOR = 0x0D,
    errUNKNOWN = 0x0E,
    errSTALLEDPKT = 0x0F,
};

const char* DfuStateName(std::uint8_t state);

constexpr std::uint8_t kDfuFunctionalDescriptorType = 0x21;
constexpr std::size_t kDfuFunctionalDescriptorLength = 9;
constexpr std::size_t kDfuStatusLength = 6;

// bmAttributes bits of the functional descriptor.
constexpr std::uint8_t kDfuCanDownload = 0x01;
constexpr std::uint8_t kDfuCanUpload = 0x02;
constexpr std::uint8_t kDfuManifestationTolerant = 0x04;
constexpr std::uint8_t kDfuWillDetach = 0x08;

struct SDfuFunctionalDescriptor
{
    std::uint8_t bmAttributes = kDfuCanDownload;
    std::uint16_t wDetachTimeOut = 1000;
    std::uint16_t wTransferSize = 1024;
    std::uint16_t bcdDFUVersion = 0x0110;
};

// Parses a functional descriptor (type 0x21). DFU 1.0 devices send 7 bytes
// (no bcdDFUVersion); anything shorter, a wrong type or a transfer size of 0
// is refused.
bool ParseDfuFunctionalDescriptor(const std::uint8_t* data, std::size_t size, SDfuFunctionalDescriptor* out);
// Serialises a functional descriptor into 9 bytes.
void WriteDfuFunctionalDescriptor(const SDfuFunctionalDescriptor& desc, std::uint8_t out[kDfuFunctionalDescriptorLength]);

struct SDfuStatus
{
    std::uint8_t bStatus = DFU_OK;
    std::uint32_t bwPollTimeout = 0; // milliseconds, 24 bits
    std::uint8_t bState = dfuIDLE;
    std::uint8_t iString = 0;
};

// Parses a GETSTATUS reply; exactly 6 bytes are required (more are ignored).
bool ParseDfuStatus(const std::uint8_t* data, std::size_t size, SDfuStatus* out);
void WriteDfuStatus(const SDfuStatus& status, std::uint8_t out[kDfuStatusLength]);
