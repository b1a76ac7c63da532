// A test build of the program: the real application object, dialog and Win32
// window, with a fake device chosen by the environment variable
// ORVO_FAKE_UPGRADER: "ready" (a device that upgrades and asks for a power
// cycle), "fail" (its write fails), "validate" (the image is validated after
// the write, in four packets of half a second each), "newer" (the device
// runs newer firmware than the image); unset or anything else:
// no device. The program carries the real embedded image.
// The program's waits run 100 times faster.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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
    const std::string fake = mode != nullptr ? mode : "";
    if (fake == "ready" || fake == "fail" || fake == "validate" || fake == "newer")
    {
        SFakeUpgraderConfig config;
        if (fake == "newer")
            config.fileVersion = "1.0.120101"; // older than the device's
        config.writeResult = fake != "fail";
        if (fake == "validate")
        {
            config.validationRequired = true;
            config.packetSize = 16384;
            config.validateDelayMs = 50000; // half a second at this program's time scale
        }
        InstallFakeUpgrader(config);
    }
    theApp.SetCommandLine(argc, argv);
    // The lock of this test run (the driver names it), never the product's:
    // a running copy of the program must not change the outcome.
    if (const char* lock = std::getenv("ORVO_TEST_INSTANCE_NAME"); lock != nullptr && *lock != '\0')
        theApp.SetSingleInstanceName(lock);
    theApp.SetDialogFactory([] { return std::make_unique<CFlashDlg>(CreatePlatformDialogView()); });
    theApp.InitInstance();
    return ToProcessExitStatus(theApp.ExitInstance());
}
