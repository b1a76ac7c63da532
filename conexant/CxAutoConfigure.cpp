// EEPROM auto-configuration: presence and validity of the EEPROM from its
// header, a write test on a blank part, its size and layout header, whether
// the firmware knows the size, and whether a patch runs.
#include <cstring>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"

namespace
{
constexpr const char* kAutoConfigure = "Base::AutoConfigure";
constexpr std::uint32_t kTestAddress = 43;
constexpr std::uint8_t kTestLetter = 'T';
constexpr std::uint8_t kMagic = 0x4C;
constexpr std::uint32_t kLayoutAddress = 32;
constexpr std::uint32_t kMaxTextLength = 256;
} // namespace

int CxAudioHidDevice::AutoConfigure()
{
    int status = CXHID_STATUS_OK;
    m_properties[kCxPropEepromDetected] = 0;
    m_properties[kCxPropEepromValid] = 0;
    m_eepromSize = -1;

    status = MemoryRead(0, 0, 0, m_eepromHeader, 2, nullptr);
    if (status == CXHID_STATUS_OK && m_eepromHeader[0] == 0xFF && m_eepromHeader[1] == 0xFF &&
        m_hasMemoryTable && (m_memories[0].access & kCxMemWritable) != 0)
    {
        // Blank, or nothing there: a part that keeps a test letter is present.
        std::uint8_t saved = 0;
        std::uint8_t back = 0;
        status = MemoryRead(0, 0, kTestAddress, &saved, 1, nullptr);
        if (status == CXHID_STATUS_OK)
            status = MemoryWrite(0, 0, kTestAddress, &kTestLetter, 1, nullptr);
        if (status == CXHID_STATUS_OK)
            status = MemoryRead(0, 0, kTestAddress, &back, 1, nullptr);
        if (status == CXHID_STATUS_OK && back == kTestLetter)
        {
            m_properties[kCxPropEepromDetected] = 1;
            LogPrintf("[%d][%s] - EEPROM test succeeded\n", __LINE__, kAutoConfigure);
        }
        // The test leaves the cell as it found it.
        if (status == CXHID_STATUS_OK && back != saved)
            status = MemoryWrite(0, 0, kTestAddress, &saved, 1, nullptr);
        if (status == CXHID_STATUS_OK)
            status = MemoryRead(0, 0, 0, m_eepromHeader, 2, nullptr);
    }

    const std::uint8_t m = m_eepromHeader[0];
    const std::uint8_t s = m_eepromHeader[1];
    if (status == CXHID_STATUS_OK)
    {
        if (m == 0xFF && s == 0xFF)
            LogPrintf("[%d][%s] - No EEPROM: FF FF\n", __LINE__, kAutoConfigure);
        else if (m == 0xFF && s == 0x00)
            LogPrintf("[%d][%s] - No EEPROM: FF 00\n", __LINE__, kAutoConfigure);
        else if (m != 0 || s != 0)
        {
            m_properties[kCxPropEepromDetected] = 1;
            LogPrintf("[%d][%s] - EEPROM is detected\n", __LINE__, kAutoConfigure);
            if (m == kMagic)
            {
                m_properties[kCxPropEepromValid] = 1;
                m_eepromSize = s < 24 ? static_cast<std::int32_t>(1u << (s + 8)) : 0;
                LogPrintf("[%d][%s] - EEPROM is valid - size[%d]\n", __LINE__, kAutoConfigure, m_eepromSize);
            }
        }
        else
            LogPrintf("[%d][%s] - No EEPROM: 00 00\n", __LINE__, kAutoConfigure);
    }

    if (status == CXHID_STATUS_OK && m_properties[kCxPropEepromValid] == 1)
        status = MemoryRead(0, 0, kLayoutAddress, m_eepromLayout, sizeof(m_eepromLayout), nullptr);

    if (status == CXHID_STATUS_OK && m_properties[kCxPropEepromDetected] == 1 &&
        m_properties[kCxPropEepromSizeCodeAddress] != -1)
    {
        std::uint8_t known = 0;
        status = MemoryRead(1, 0, static_cast<std::uint32_t>(m_properties[kCxPropEepromSizeCodeAddress]), &known, 1,
                            nullptr);
        if (status == CXHID_STATUS_OK && known != s)
        {
            m_oneBytePayload = true;
            m_properties[kCxPropFirmwareKnowsEepromSize] = 0;
            LogPrintf("[%d][%s] - Changing EEPROM payload size to 1 (device is unaware about EEPROM size)\n",
                      __LINE__, kAutoConfigure);
        }
    }

    if (status == CXHID_STATUS_OK)
    {
        char version[9] = {};
        status = GetPatchVersion(version, sizeof(version));
        if (status == CXHID_STATUS_OK)
            m_properties[kCxPropPatchLoaded] = std::strcmp(version, "00-00-00") != 0 ? 1 : 0;
    }
    if (status != CXHID_STATUS_OK)
        LogPrintf("[%d][%s] - status[%d] %s\n", __LINE__, kAutoConfigure, status, CxStatusText(status));
    return status;
}

std::int32_t CxAudioHidDevice::GetProperty(int index)
{
    if (index < 0 || index >= kCxPropertyCount)
        return -1;
    if (index == kCxPropSignatureAddress && m_properties[index] == 0)
        return ComputeSignatureAddress();
    return m_properties[index];
}

std::int32_t CxAudioHidDevice::ComputeSignatureAddress()
{
    if (m_properties[kCxPropPatchLoaded] != 1 || m_properties[kCxPropEepromValid] != 1 ||
        m_properties[kCxPropEepromPointer] < 0)
        return -1;
    // The pointer to a text in the EEPROM; "CX" and the family digit follow its end.
    std::uint8_t pointer[2] = {};
    if (MemoryRead(0, 0, static_cast<std::uint32_t>(m_properties[kCxPropEepromPointer]), pointer, 2, nullptr) !=
        CXHID_STATUS_OK)
        return -1;
    std::uint32_t at = static_cast<std::uint32_t>(pointer[0] | (pointer[1] << 8));
    std::uint32_t length = 0;
    for (;;)
    {
        std::uint8_t c = 0;
        if (MemoryRead(0, 0, at, &c, 1, nullptr) != CXHID_STATUS_OK)
            return -1;
        ++at;
        if (c == 0)
            break;
        if (++length >= kMaxTextLength)
        {
            m_properties[kCxPropSignatureAddress] = -1;
            return -1;
        }
    }
    std::uint8_t tail[3] = {};
    if (MemoryRead(0, 0, at, tail, 3, nullptr) != CXHID_STATUS_OK)
        return -1;
    const bool signature = tail[0] == 'C' && tail[1] == 'X' && tail[2] >= '0' && tail[2] <= '9';
    m_properties[kCxPropSignatureAddress] = signature ? static_cast<std::int32_t>(at + 2) : -1;
    return m_properties[kCxPropSignatureAddress];
}
