// DFU files: suffix and CRC checks on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dfu/DfuFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SDfuSuffix suffix;
    std::size_t payload = 0;
    const EDfuFileResult result = ParseDfuFile(data, size, &suffix, &payload);
    if (result == EDfuFileResult::Ok)
    {
        if (payload > size - kDfuSuffixLength || suffix.bLength < kDfuSuffixLength)
            std::abort();
        if (DfuCrc32(data, size - 4) != suffix.dwCRC)
            std::abort();
    }
    (void)DfuFileResultText(result);
    return 0;
}
