// The parsing of DFU replies (device descriptor, functional descriptor,
// status) into their records, from any number of bytes.
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_DFUReplies.h"
#include "bcsp/BCSP_DFUUpgrade.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SDFUDeviceDescriptor device{};
    SDFUFunctionalDescriptor functional{};
    SDFUStatus status{};
    bcsp::ApplyDeviceDescriptorReply(data, size, device);
    bcsp::ApplyFunctionalDescriptorReply(data, size, functional);
    bcsp::ApplyStatusReply(data, size, status);
    volatile bool dfu = CBCSP_DFUUpgrade::IsDFUModeDescriptor(device);
    (void)dfu;
    volatile std::uint32_t poll = status.bwPollTimeout;
    if (poll > 0xFFFFFFu)
        __builtin_trap();
    return 0;
}
