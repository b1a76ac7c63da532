// EEPROM auto-configuration (filled in below).
#include "conexant/CxAudioHidDevice.h"

int CxAudioHidDevice::AutoConfigure()
{
    return CXHID_STATUS_NOT_IMPLEMENTED;
}

std::int32_t CxAudioHidDevice::GetProperty(int index)
{
    if (index < 0 || index >= kCxPropertyCount)
        return -1;
    return m_properties[index];
}

std::int32_t CxAudioHidDevice::ComputeSignatureAddress()
{
    return -1;
}
