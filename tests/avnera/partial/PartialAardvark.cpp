// An adapter library that lacks most entry points: the host interface must
// list and open nothing through it.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int c_aa_find_devices_ext(int numDevices, std::uint16_t* devices,
                                                                             int numIds, std::uint32_t* uniqueIds)
{
    if (numDevices > 0 && devices != nullptr)
        devices[0] = 0;
    if (numIds > 0 && uniqueIds != nullptr)
        uniqueIds[0] = 1;
    return 1;
}

extern "C" __attribute__((visibility("default"))) int c_aa_open(int)
{
    return 1;
}
