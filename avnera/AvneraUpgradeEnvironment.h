#pragma once
// What the AV7201 and AV6201/AV6302 upgraders need of the world around
// them: the HID class they open the headset through. The product gives them
// the system's; tests and the bench a simulated USB world. (The AV6201's
// host-interface calls go through the host interface's own HID system, see
// avnera::SetHidSystem.)

#include <memory>

#include "platform/HidSystem.h"

struct SAvneraUpgradeEnvironment
{
    IHidSystem* hid = nullptr;          // must outlive the upgrader
    std::shared_ptr<IHidSystem> owned;  // keeps hid alive when the environment owns it

    // The running program's HID class.
    static SAvneraUpgradeEnvironment ForSystem()
    {
        SAvneraUpgradeEnvironment env;
        env.owned = CreateSystemHid();
        env.hid = env.owned.get();
        return env;
    }
};
