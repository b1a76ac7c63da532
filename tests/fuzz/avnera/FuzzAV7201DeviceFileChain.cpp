// The AV7201 upgrader's walk of the file chain in the headset's EEPROM, on
// any EEPROM contents: only 16-bit EEPROM offsets are asked for, in reads of
// at most 53 bytes; a found file's content is as long as its header says;
// the device version never comes from outside the file.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "avnera/FirmwareUpgradeAV7201.h"

namespace
{
class CFuzzAV7201 : public CFirmwareUpgradeAV7201
{
public:
    // The EEPROM is the input itself (no copy of up to 64 KiB per run).
    CFuzzAV7201(const std::uint8_t* eeprom, std::size_t size)
        : CFirmwareUpgradeAV7201(SAvneraUpgradeEnvironment()), m_eeprom(eeprom), m_size(size)
    {
    }
    bool ReadEEPROM(std::uint32_t offset, std::uint8_t* buffer, std::uint32_t count) override
    {
        if (count > kMaxEepromCount || offset > 0xFFFF || buffer == nullptr)
            __builtin_trap();
        // What the headset answers: its EEPROM, blank beyond the input; a
        // read that would wrap the 16-bit address fails.
        if (offset + count > 0x10000)
            return false;
        const std::size_t held = offset < m_size ? std::min<std::size_t>(count, m_size - offset) : 0;
        if (held != 0)
            std::memcpy(buffer, m_eeprom + offset, held);
        std::memset(buffer + held, 0xFF, count - held);
        return true;
    }

private:
    const std::uint8_t* m_eeprom;
    std::size_t m_size;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 0x10000 + 2)
        return 0;
    CFuzzAV7201 upgrader(data + 2, size - 2);
    std::uint32_t contentSize = 0;
    std::uint8_t* content = nullptr;
    if (upgrader.GetFileFromFWImage(data[0], data[1] & 3, &contentSize, &content))
    {
        if (content == nullptr || contentSize > 0xFFFF)
            __builtin_trap();
        std::memset(content, 0, contentSize); // the whole content is ours
        delete[] content;
    }
    else if (content != nullptr || contentSize != 0)
    {
        __builtin_trap();
    }
    std::string version;
    if (!upgrader.GetDeviceFWVersionString(&version) || version.size() > 40)
        __builtin_trap();
    return 0;
}
