// EEPROM auto-configuration: presence and validity of the EEPROM from its
// header, a write test on a blank part, its size and layout header, whether
// the firmware knows the size, and whether a patch runs.
#include <algorithm>
#include <cstring>
#include <vector>

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
constexpr std::size_t kAliasBlock = 16; // the bytes at 0 that a wrapping part shows again
} // namespace

int CxAudioHidDevice::AutoConfigure(bool mayWrite)
{
    int status = CXHID_STATUS_OK;
    m_properties[kCxPropEepromDetected] = 0;
    m_properties[kCxPropEepromValid] = 0;
    m_eepromSize = -1;
    bool testSkipped = false;

    status = MemoryRead(0, 0, 0, m_eepromHeader, 2, nullptr);
    const bool blankWritable = status == CXHID_STATUS_OK && m_eepromHeader[0] == 0xFF &&
                               m_eepromHeader[1] == 0xFF && m_hasMemoryTable &&
                               (m_memories[0].access & kCxMemWritable) != 0;
    if (blankWritable && !mayWrite)
    {
        testSkipped = true;
        LogPrintf("[%d][%s] - EEPROM test skipped (nothing is written)\n", __LINE__, kAutoConfigure);
    }
    else if (blankWritable)
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
                m_eepromSize = s < 24 ? static_cast<std::int64_t>(1) << (s + 8) : 0;
                LogPrintf("[%d][%s] - EEPROM is valid - size[%lld]\n", __LINE__, kAutoConfigure,
                          static_cast<long long>(m_eepromSize));
            }
        }
        else
            LogPrintf("[%d][%s] - No EEPROM: 00 00\n", __LINE__, kAutoConfigure);
    }

    if (status == CXHID_STATUS_OK && m_properties[kCxPropEepromValid] == 1)
        status = MemoryRead(0, 0, kLayoutAddress, m_eepromLayout, sizeof(m_eepromLayout), nullptr);

    if (status == CXHID_STATUS_OK && (m_properties[kCxPropEepromDetected] == 1 || testSkipped) &&
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

int CxAudioHidDevice::DetectEepromCapacity(bool mayWrite, std::uint64_t reach, std::uint64_t& bytes,
                                            std::uint32_t testAddress)
{
    constexpr const char* kDetect = "CxAudioHidDevice::DetectEepromCapacity";
    bytes = 0;
    if (!m_hasMemoryTable)
        return CXHID_STATUS_INVALID_OPERATION;
    std::uint8_t header[2] = {};
    int status = MemoryRead(0, 0, 0, header, 2, nullptr);
    if (status != CXHID_STATUS_OK)
        return status;
    if (header[0] == kMagic && header[1] < 24)
    {
        bytes = static_cast<std::uint64_t>(1) << (header[1] + 8);
        LogPrintf("[%d][%s] - from the header: %llu bytes\n", __LINE__, kDetect, static_cast<unsigned long long>(bytes));
        // A header may name more than the part holds (an image made for a
        // larger part): a smaller part shows its first bytes again where it
        // wraps, at its size and every multiple of it. Only a part smaller
        // than reach matters, and any such part (a power of two) wraps at the
        // largest power of two below reach: one read there decides; where it
        // wraps, halving finds the part's size.
        std::uint64_t probe = 256;
        while (probe * 2 < reach && probe * 2 < bytes)
            probe *= 2;
        if (probe < reach && probe < bytes)
        {
            std::uint8_t first[kAliasBlock] = {};
            std::uint8_t again[kAliasBlock] = {};
            status = MemoryRead(0, 0, 0, first, kAliasBlock, nullptr);
            for (std::uint64_t size = probe; status == CXHID_STATUS_OK && size >= 256; size /= 2)
            {
                status = MemoryRead(0, 0, static_cast<std::uint32_t>(size), again, kAliasBlock, nullptr);
                if (status != CXHID_STATUS_OK || std::memcmp(first, again, kAliasBlock) != 0)
                    break;
                bytes = size;
            }
            if (status != CXHID_STATUS_OK)
                return status;
            if (bytes <= probe)
                LogPrintf("[%d][%s] - the header names more; the part wraps at %llu\n", __LINE__, kDetect,
                          static_cast<unsigned long long>(bytes));
        }
        const std::uint64_t named = static_cast<std::uint64_t>(1) << (header[1] + 8);
        if (bytes == named && reach > named)
        {
            // A header may name less than the part holds (the image of a
            // smaller part): a part that shows other bytes than its first
            // ones at a power of two does not end there. Only where it shows
            // them again (or cannot be read) does it end.
            std::uint8_t first[kAliasBlock] = {};
            std::uint8_t again[kAliasBlock] = {};
            status = MemoryRead(0, 0, 0, first, kAliasBlock, nullptr);
            for (std::uint64_t size = named;
                 status == CXHID_STATUS_OK && size < reach && size + kAliasBlock - 1 <= m_memories[0].highestEnd;
                 size *= 2)
            {
                status = MemoryRead(0, 0, static_cast<std::uint32_t>(size), again, kAliasBlock, nullptr);
                if (status != CXHID_STATUS_OK || std::memcmp(first, again, kAliasBlock) == 0)
                    break;
                bytes = size * 2;
            }
            if (status != CXHID_STATUS_OK)
                return status;
            if (bytes > named)
                LogPrintf("[%d][%s] - the header names less; the part holds at least %llu\n", __LINE__, kDetect,
                          static_cast<unsigned long long>(bytes));
        }
        return CXHID_STATUS_OK;
    }
    const SCxMemoryDescriptor& eeprom = m_memories[0];
    if (!mayWrite || (eeprom.access & kCxMemWritable) == 0)
        return CXHID_STATUS_OK;

    // No valid header: the part tells its size by where its addresses wrap.
    // A test byte shows up again at its address + the part's size.
    if (testAddress >= 256)
        testAddress = kTestAddress;
    const std::uint64_t space = static_cast<std::uint64_t>(eeprom.highestEnd) + 1;
    std::vector<std::uint32_t> probes;
    for (std::uint64_t size = 256; size < space && testAddress + size <= eeprom.highestEnd; size *= 2)
        probes.push_back(static_cast<std::uint32_t>(testAddress + size));
    std::uint8_t saved = 0;
    status = MemoryRead(0, 0, testAddress, &saved, 1, nullptr);
    std::vector<std::uint8_t> before(probes.size(), 0);
    for (std::size_t i = 0; i < probes.size() && status == CXHID_STATUS_OK; ++i)
        status = MemoryRead(0, 0, probes[i], &before[i], 1, nullptr);
    if (status != CXHID_STATUS_OK)
        return status;
    std::uint8_t test = kTestLetter;
    for (const std::uint8_t candidate : {kTestLetter, std::uint8_t{0x00}, std::uint8_t{0xA5}, std::uint8_t{0x5A},
                                         std::uint8_t{0x3C}, std::uint8_t{0xC3}})
    {
        test = candidate;
        if (candidate != saved && std::find(before.begin(), before.end(), candidate) == before.end())
            break;
    }
    std::uint8_t back = 0;
    status = MemoryWrite(0, 0, testAddress, &test, 1, nullptr);
    if (status == CXHID_STATUS_OK)
        status = MemoryRead(0, 0, testAddress, &back, 1, nullptr);
    std::vector<std::uint8_t> after(probes.size(), 0);
    for (std::size_t i = 0; i < probes.size() && status == CXHID_STATUS_OK && back == test; ++i)
        status = MemoryRead(0, 0, probes[i], &after[i], 1, nullptr);
    // The cell as it was, whatever the test found.
    if (status == CXHID_STATUS_OK && back != saved)
    {
        status = MemoryWrite(0, 0, testAddress, &saved, 1, nullptr);
        std::uint8_t restored = 0;
        if (status == CXHID_STATUS_OK)
            status = MemoryRead(0, 0, testAddress, &restored, 1, nullptr);
        if (status == CXHID_STATUS_OK && restored != saved)
        {
            // A part that only clears bits (or one that keeps a stuck
            // cell) is changed now: no refusal may follow that says it
            // was left alone.
            LogPrintf("[%d][%s] - address %u keeps 0x%02x, not 0x%02x\n", __LINE__, kDetect, testAddress, restored,
                      saved);
            return CXHID_STATUS_PATCH_VERIFY_FAILED;
        }
    }
    if (status != CXHID_STATUS_OK)
        return status;
    if (back != test)
    {
        LogPrintf("[%d][%s] - no part keeps a test byte\n", __LINE__, kDetect);
        return CXHID_STATUS_EEPROM_NOT_DETECTED;
    }
    bytes = space;
    for (std::size_t i = 0; i < probes.size(); ++i)
    {
        if (after[i] == test && before[i] != test)
        {
            bytes = probes[i] - testAddress;
            break;
        }
    }
    LogPrintf("[%d][%s] - by a write test: %llu bytes\n", __LINE__, kDetect, static_cast<unsigned long long>(bytes));
    return CXHID_STATUS_OK;
}

int CxAudioHidDevice::TestEepromCell(std::uint32_t address, bool& changes)
{
    constexpr const char* kTest = "CxAudioHidDevice::TestEepromCell";
    changes = false;
    std::uint8_t saved = 0;
    int status = MemoryRead(0, 0, address, &saved, 1, nullptr);
    if (status != CXHID_STATUS_OK)
        return status;
    const std::uint8_t test = static_cast<std::uint8_t>(saved ^ 0xFF); // every bit the other way
    std::uint8_t back = saved;
    status = MemoryWrite(0, 0, address, &test, 1, nullptr);
    if (status == CXHID_STATUS_OK)
        status = MemoryRead(0, 0, address, &back, 1, nullptr);
    changes = status == CXHID_STATUS_OK && back != saved;
    if (status == CXHID_STATUS_OK && back != saved)
    {
        std::uint8_t restored = 0;
        status = MemoryWrite(0, 0, address, &saved, 1, nullptr);
        if (status == CXHID_STATUS_OK)
            status = MemoryRead(0, 0, address, &restored, 1, nullptr);
        if (status == CXHID_STATUS_OK && restored != saved)
        {
            LogPrintf("[%d][%s] - address %u keeps 0x%02x, not 0x%02x\n", __LINE__, kTest, address, restored, saved);
            return CXHID_STATUS_PATCH_VERIFY_FAILED;
        }
    }
    return status;
}

int CxAudioHidDevice::ConfirmEepromReach(std::uint32_t topAddress, std::uint32_t lowAddress, std::uint64_t& bytes)
{
    constexpr const char* kConfirm = "CxAudioHidDevice::ConfirmEepromReach";
    bool top = false;
    int status = TestEepromCell(topAddress, top);
    if (status != CXHID_STATUS_OK || top)
        return status;
    bool low = false;
    status = TestEepromCell(lowAddress, low);
    if (status != CXHID_STATUS_OK || !low)
        return status; // a part that takes nothing at all: the write shows it
    std::uint64_t end = 256;
    while (end * 2 <= topAddress)
        end *= 2;
    bytes = std::min(bytes, end);
    LogPrintf("[%d][%s] - nothing answers at 0x%x: the part ends at %llu\n", __LINE__, kConfirm, topAddress,
              static_cast<unsigned long long>(bytes));
    return CXHID_STATUS_OK;
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
