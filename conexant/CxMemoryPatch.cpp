// S37 patch programming (filled in below).
#include "conexant/CxAudioHidDevice.h"

int CxAudioHidDevice::MemoryPatch(std::uint32_t, std::uint32_t, const char*, const char* const*, std::uint32_t, void*)
{
    return CXHID_STATUS_NOT_IMPLEMENTED;
}

int CxAudioHidDevice::MemoryPatch(const char*, S37File*)
{
    return CXHID_STATUS_NOT_IMPLEMENTED;
}
