#include "platform/MessageBox.h"

#include <windows.h>

#include <newdev.h>

#include <atomic>

namespace
{
std::atomic<IMessageBoxOwner*> g_owner{nullptr};
}

IMessageBoxOwner* SetMessageBoxOwner(IMessageBoxOwner* owner)
{
    return g_owner.exchange(owner);
}

int ShowSystemMessageBox(const char* text, std::uint32_t style)
{
    return ShowUnownedMessageBox(text, style);
}

int ShowUnownedMessageBox(const char* text, std::uint32_t style)
{
    return MessageBoxA(nullptr, text != nullptr ? text : "", "", style);
}

bool UpdateDriverForDevices(const char* hardwareId, const char* infPath, bool* rebootRequired, std::uint32_t* error)
{
    BOOL reboot = FALSE;
    const BOOL ok = UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, &reboot);
    if (rebootRequired != nullptr)
        *rebootRequired = reboot != FALSE;
    if (error != nullptr)
        *error = ok ? 0 : GetLastError();
    return ok != FALSE;
}

int ShowCaptionedMessageBox(const char* text, const char* caption, std::uint32_t style)
{
    return MessageBoxA(nullptr, text != nullptr ? text : "", caption != nullptr ? caption : "", style);
}
