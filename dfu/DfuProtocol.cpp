#include "dfu/DfuProtocol.h"

const char* DfuStateName(std::uint8_t state)
{
    switch (state)
    {
    case appIDLE: return "appIDLE";
    case appDETACH: return "appDETACH";
    case dfuIDLE: return "dfuIDLE";
    case dfuDNLOAD_SYNC: return "dfuDNLOAD-SYNC";
    case dfuDNBUSY: return "dfuDNBUSY";
    case dfuDNLOAD_IDLE: return "dfuDNLOAD-IDLE";
    case dfuMANIFEST_SYNC: return "dfuMANIFEST-SYNC";
    case dfuMANIFEST: return "dfuMANIFEST";
    case dfuMANIFEST_WAIT_RESET: return "dfuMANIFEST-WAIT-RESET";
    case dfuUPLOAD_IDLE: return "dfuUPLOAD-IDLE";
    case dfuERROR: return "dfuERROR";
    default: return "unknown";
    }
}

bool ParseDfuFunctionalDescriptor(const std::uint8_t* data, std::size_t size, SDfuFunctionalDescriptor* out)
{
    if (data == nullptr || size < 7)
        return false;
    const std::size_t declared = data[0];
    if (declared < 7 || declared > size || data[1] != kDfuFunctionalDescriptorType)
        return false;
    SDfuFunctionalDescriptor d;
    d.bmAttributes = data[2];
    d.wDetachTimeOut = static_cast<std::uint16_t>(data[3] | (data[4] << 8));
    d.wTransferSize = static_cast<std::uint16_t>(data[5] | (data[6] << 8));
    d.bcdDFUVersion = declared >= 9 ? static_cast<std::uint16_t>(data[7] | (data[8] << 8)) : 0x0100;
    if (d.wTransferSize == 0)
        return false;
    if (out)
        *out = d;
    return true;
}

void WriteDfuFunctionalDescriptor(const SDfuFunctionalDescriptor& d, std::uint8_t out[kDfuFunctionalDescriptorLength])
{
    out[0] = static_cast<std::uint8_t>(kDfuFunctionalDescriptorLength);
    out[1] = kDfuFunctionalDescriptorType;
    out[2] = d.bmAttributes;
    out[3] = static_cast<std::uint8_t>(d.wDetachTimeOut & 0xFF);
    out[4] = static_cast<std::uint8_t>(d.wDetachTimeOut >> 8);
    out[5] = static_cast<std::uint8_t>(d.wTransferSize & 0xFF);
    out[6] = static_cast<std::uint8_t>(d.wTransferSize >> 8);
    out[7] = static_cast<std::uint8_t>(d.bcdDFUVersion & 0xFF);
    out[8] = static_cast<std::uint8_t>(d.bcdDFUVersion >> 8);
}

bool ParseDfuStatus(const std::uint8_t* data, std::size_t size, SDfuStatus* out)
{
    if (data == nullptr || size < kDfuStatusLength)
        return false;
    SDfuStatus s;
    s.bStatus = data[0];
    s.bwPollTimeout = static_cast<std::uint32_t>(data[1]) | (static_cast<std::uint32_t>(data[2]) << 8) |
                      (static_cast<std::uint32_t>(data[3]) << 16);
    s.bState = data[4];
    s.iString = data[5];
    if (out)
        *out = s;
    return true;
}

void WriteDfuStatus(const SDfuStatus& s, std::uint8_t out[kDfuStatusLength])
{
    out[0] = s.bStatus;
    out[1] = static_cast<std::uint8_t>(s.bwPollTimeout & 0xFF);
    out[2] = static_cast<std::uint8_t>((s.bwPollTimeout >> 8) & 0xFF);
    out[3] = static_cast<std::uint8_t>((s.bwPollTimeout >> 16) & 0xFF);
    out[4] = s.bState;
    out[5] = s.iString;
}
