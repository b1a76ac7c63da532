// Fuzz target: the version comparison reads version texts that come from the
// device and from the firmware image. The input is split at its first zero
// byte into the device's and the image's version.
#include <cstddef>
#include <cstdint>
#include <string>

#include "upgrade/FirmwareUpgrade.h"

namespace
{
class CCompareOnly : public CFirmwareUpgrade
{
public:
    HResult GetProductName(wchar_t*, std::uint32_t) override { return HR_FAIL; }
    std::uint32_t GetPacketSize() override { return 1; }
    bool GetDeviceFWVersionString(std::string*) override { return false; }
    bool GetCombinedFWVersionString(std::string*) override { return false; }
    bool GetFWFileVersionString(std::uint32_t, const std::uint8_t*, std::string*) override { return false; }
    HResult InitFirmwareUpgrade(std::uint32_t) override { return HR_FAIL; }
    bool FirmwareUpgradeWrite(const std::uint8_t*, std::uint32_t) override { return false; }
    bool FirmwareValidatePacket(const std::uint8_t*, std::uint16_t) override { return false; }
    bool EndFirmwareUpgrade() override { return false; }
    HResult ResetFirmware() override { return HR_FAIL; }
    HResult Init(std::uint32_t, std::uint32_t) override { return HR_OK; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string current = input.substr(0, split);
    const std::string next = split == std::string::npos ? std::string() : input.substr(split + 1);
    CCompareOnly upgrader;
    const std::int32_t result = upgrader.CompareFirmwareVersion(current, next);
    if (result < CURR_VERSION_CHECK_OLDER || result > CURR_VERSION_CHECK_UNKNOWN)
        __builtin_trap();
    // Same text compares as the same version whenever it can be compared at all.
    if (upgrader.CompareFirmwareVersion(current, current) == CURR_VERSION_CHECK_OLDER ||
        upgrader.CompareFirmwareVersion(current, current) == CURR_VERSION_CHECK_NEWER)
        __builtin_trap();
    return 0;
}
