// A test build of the program: the real application object, dialog and Win32
// window, with a fake device chosen by the environment variable
// ORVO_FAKE_UPGRADER: "ready" (a device that upgrades and asks for a power
// cycle), "fail" (its write fails); unset or anything else: no device.
// The program's waits run 100 times faster.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/FlashApp.h"
#include "app/FlashDlg.h"
#include "platform/Clock.h"
#include "platform/DialogView.h"
#include "platform/System.h"
#include "tests/app/FakeUpgrader.h"

static CFlashApp theApp;

int main(int argc, char** argv)
{
    CClock::SetTimeScale(0.01);
    const char* mode = std::getenv("ORVO_FAKE_UPGRADER");
    if (mode != nullptr && (std::strcmp(mode, "ready") == 0 || std::strcmp(mode, "fail") == 0))
    {
        SFakeUpgraderConfig config;
        config.writeResult = std::strcmp(mode, "fail") != 0;
        InstallFakeUpgrader(config);
    }
    theApp.SetCommandLine(argc, argv);
    theApp.SetDialogFactory([] { return std::make_unique<CFlashDlg>(CreatePlatformDialogView()); });
    theApp.InitInstance();
    return ToProcessExitStatus(theApp.ExitInstance());
}
