// The HID report-descriptor parser on arbitrary descriptors.
#include <cstddef>
#include <cstdint>
#include <map>
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
    for (int kind = 0; kind < 3; ++kind)
    {
        std::map<std::uint32_t, std::uint32_t> sizes;
        if (HidReportSizes(data, size, kind, sizes))
        {
            // Every size fits the 16-bit lengths the system reports.
            for (const auto& entry : sizes)
            {
                if (entry.second > 0xFFFE)
                    __builtin_trap();
            }
        }
    }
    return 0;
}
