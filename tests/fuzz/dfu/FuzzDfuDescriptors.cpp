// What a DFU device sends back: functional descriptors, GETSTATUS replies,
// and the device names the transports build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dfu/DfuProtocol.h"
#include "platform/DfuTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SDfuFunctionalDescriptor descriptor;
    if (ParseDfuFunctionalDescriptor(data, size, &descriptor) && descriptor.wTransferSize == 0)
        std::abort();
    SDfuStatus status;
    if (ParseDfuStatus(data, size, &status) && status.bwPollTimeout > 0xFFFFFFu)
        std::abort();
    (void)DfuStateName(size ? data[0] : 0);

    std::wstring name;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string location;
    if (ParseDfuDeviceName(name, &vid, &pid, &location))
    {
        if (MakeDfuDeviceName(vid, pid, location).size() != name.size())
            std::abort();
    }
    return 0;
}
