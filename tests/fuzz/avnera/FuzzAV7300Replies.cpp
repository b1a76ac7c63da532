// Device replies fed to the AV7300 upgrader: the fuzz input is what the
// chip answers to every feature report the upgrader reads (status reports,
// peek and poke answers), one length-prefixed chunk per report. Init, the
// device's version string and file search, and an upgrade of a small image
// run on it; none may read or write outside its buffers or hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avnera/FirmwareUpgradeAV7300.h"
#include "platform/Clock.h"
#include "tests/fuzz/avnera/FuzzHidSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool once = false;
    if (!once)
    {
        // The device answers at once from the input: the code's polls and
        // time-outs need last no real time at all (each sleep is still a
        // system call).
        CClock::SetTimeScale(1e-7);
        once = true;
    }
    if (size < 1)
        return 0;
    CFuzzHidSystem system;
    system.vendorId = 0x2C6D;
    system.productId = 0x3240;
    system.reports = EFuzzReports::Chunked;
    // The first byte picks the feature-report length.
    const std::uint8_t selector = data[0];
    system.data = data + 1;
    system.size = size - 1;
    system.featureLength = static_cast<std::uint16_t>((selector & 0x80) ? 263 : 1 + (selector & 0x7F));
    SAV7300Environment env;
    env.hid = &system;
    CFirmwareUpgradeAV7300 upgrader(env);
    if (upgrader.Init(0, 0) != HR_OK)
        return 0;
    std::string version;
    upgrader.GetDeviceFWVersionString(&version);
    wchar_t name[16];
    upgrader.GetProductName(name, sizeof(name));
    std::uint32_t offset = 0;
    upgrader.FindFileInDeviceFWImage(12, &offset);
    std::uint8_t block[16];
    upgrader.ReadBlockFromFlash(0, 16, block);
    // A small upgrade: the first block is held back and written last.
    std::vector<std::uint8_t> image(300, 0x5A);
    if (upgrader.InitFirmwareUpgrade(static_cast<std::uint32_t>(image.size())) == HR_OK &&
        upgrader.FirmwareUpgradeWrite(image.data(), static_cast<std::uint32_t>(image.size())))
        upgrader.EndFirmwareUpgrade();
    return 0;
}
