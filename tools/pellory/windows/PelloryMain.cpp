// Pellory32 / Pellory64: installs (or re-installs) the driver given by an INF
// file for the devices with a hardware identifier. A GUI-subsystem program
// that opens no window; the result is the exit code.
#include <windows.h>

#include <newdev.h>

#include "tools/pellory/PelloryCommandLine.h"

namespace
{
class CWindowsInstaller : public IPelloryInstaller
{
public:
    int Install(const SPelloryArguments& args) override
    {
        // The installer takes INF paths of MAX_PATH: a longer one is refused
        // whole rather than cut to another file's name.
        if (args.infPath.size() >= kPelloryMaxInfPath)
            return ERROR_FILENAME_EXCED_RANGE;
        BOOL reboot = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, args.hardwareId.c_str(), args.infPath.c_str(), INSTALLFLAG_FORCE,
                                               &reboot))
            return 0;
        // A failure must never read as success, even without a last error.
        const DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
    }
};
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    CWindowsInstaller installer;
    return RunPellory(commandLine, installer);
}
