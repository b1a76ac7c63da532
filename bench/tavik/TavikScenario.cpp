#include "bench/tavik/TavikScenario.h"

const std::vector<STavikScenario>& TavikScenarios()
{
    static const std::vector<STavikScenario> scenarios = {
        {"normal", "the headset runs 1.05.3 in HID mode; the upgrade to 1.05.4 succeeds"},
        {"same", "the headset already runs 1.05.4"},
        {"newer", "the headset runs 1.06.0"},
        {"dfu-mode", "the headset starts in DFU mode (0A12:0001)"},
        {"no-device", "nothing is plugged in"},
        {"no-driver", "the DFU device appears only after the driver tool ran; the bench replugs when asked"},
        {"driver-fails", "no DFU driver, and the driver tool exits with 1"},
        {"download-error", "the device enters dfuERROR during the download"},
        {"unplug", "the device disappears in the middle of the download"},
    };
    return scenarios;
}

bool IsTavikScenario(const std::string& name)
{
    for (const STavikScenario& s : TavikScenarios())
    {
        if (name == s.name)
            return true;
    }
    return false;
}

STavikHeadsetConfig TavikHeadsetFor(const std::string& scenario,
                                    const std::vector<std::pair<std::string, std::uint32_t>>& faults)
{
    STavikHeadsetConfig config;
    // A BlueCore chip asks for some tens of milliseconds per block.
    config.dfu.pollTimeoutMs = 40;
    config.dfu.transferMsPerKiB = 1.0;
    if (scenario == "same")
        config.version = "1.05.4";
    else if (scenario == "newer")
        config.version = "1.06.0";
    else if (scenario == "dfu-mode")
        config.startInDfuMode = true;
    else if (scenario == "no-driver" || scenario == "driver-fails")
        config.driverInstalled = false;
    else if (scenario == "download-error")
        config.dfu.errorAtBlock = 20;
    else if (scenario == "unplug")
        config.dfu.vanishAtBlock = 20;
    for (const auto& [name, number] : faults)
    {
        if (name == "unplug-before-dfu")
            config.unplugOnEnterDfu = true;
        else if (name == "unplug-reenumerating")
            config.unplugWhileSwitching = true;
        else if (name == "unplug-at-block")
            config.dfu.vanishAtBlock = static_cast<int>(number);
        else if (name == "unplug-manifesting")
            config.dfu.vanishInManifest = true;
        else if (name == "dfu-error-at-block")
            config.dfu.errorAtBlock = static_cast<int>(number);
        else if (name == "slow-reenumeration")
            config.reenumerateMs = number;
    }
    return config;
}
