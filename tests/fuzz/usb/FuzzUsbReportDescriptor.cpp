// The HID report-descriptor parser on arbitrary descriptors.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/HidReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<SHidCaps> collections;
    const bool ok = ParseHidReportDescriptorCollections(data, size, collections);
    if (ok && (collections.empty() || collections.size() > kMaxHidCollections))
        __builtin_trap();
    SHidCaps caps;
    ParseHidReportDescriptor(data, size, caps);
    HidReportDescriptorUsesReportIds(data, size);
    return 0;
}
