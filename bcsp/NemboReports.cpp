#include "bcsp/NemboReports.h"

#include <cstring>

bool BuildNemboDataOutReport(const std::uint8_t* bytes, std::size_t count, std::uint8_t (&report)[kNemboReportLength])
{
    if (bytes == nullptr || count > kNemboMaxChunk)
        return false;
    std::memset(report, 0, sizeof report);
    report[1] = 0x20;
    report[3] = 0x11;
    report[4] = static_cast<std::uint8_t>(count);
    std::memcpy(report + 5, bytes, count);
    return true;
}

bool BuildNemboBaudRateReport(std::uint32_t rate, std::uint8_t (&report)[kNemboReportLength])
{
    std::uint8_t code = 0;
    switch (rate)
    {
    case 38400: code = 0; break;
    case 57600: code = 1; break;
    case 115200: code = 2; break;
    default: return false;
    }
    std::memset(report, 0, sizeof report);
    report[1] = 0x3E;
    report[2] = 0x0E;
    report[3] = code;
    return true;
}

std::size_t NemboDataInPayload(const std::uint8_t* report, std::size_t length, const std::uint8_t** data)
{
    if (report == nullptr || data == nullptr || length < 4)
        return 0;
    std::size_t n = report[3];
    if (n > length - 4)
        n = length - 4;
    *data = report + 4;
    return n;
}
