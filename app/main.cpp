// Entry of the program. The application object is built before anything
// else runs, so the log exists from the first moment.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "app/FlashApp.h"
#include "app/FlashDlg.h"
#include "families/tavik/FirmwareUpgradeTavik.h"
#include "platform/Clock.h"
#include "platform/DfuTransport.h"
#include "platform/DialogView.h"
#include "platform/HidApi.h"
#include "platform/System.h"
#include "usb/UsbTree.h"

static CFlashApp theApp;

namespace
{
// The hub check before an upgrade, on the system's USB tree.
void CheckHubInPath(const char* devicePath, std::unique_ptr<SUsbConnectionInfo>* info, bool checkEmbeddedHubs,
                    bool* hubInPath)
{
    bool hub = false;
    CUSBHubPortInfoPtr port;
    std::unique_ptr<IUsbTopology> usb = CreateSystemUsbTopology();
    if (usb && devicePath != nullptr)
        GetUSBDeviceDescriptorInfoAndHubInPathInfo(*usb, NarrowToWidePath(devicePath), &port, checkEmbeddedHubs, &hub);
    if (hubInPath != nullptr)
        *hubInPath = hub;
    if (info != nullptr && port && port->connectionInfo)
    {
        auto connection = std::make_unique<SUsbConnectionInfo>();
        connection->idVendor = port->connectionInfo->deviceDescriptor.idVendor;
        connection->idProduct = port->connectionInfo->deviceDescriptor.idProduct;
        *info = std::move(connection);
    }
}

#ifdef ORVO_TEST_BUILD
// Only the test build of the program reads these: the test suites run its
// waits faster (ORVO_TIME_SCALE) and give it a single-instance lock of their
// own (ORVO_TEST_INSTANCE_NAME); the kernel tier's benchmark asks for the
// sum of the waits the run made, written to ORVO_TEST_WAITS_FILE at its end.
// The shipped program runs at 1.0 and uses the product's lock, whatever the
// environment holds.
void ApplyTestSettings()
{
    if (const char* scale = std::getenv("ORVO_TIME_SCALE"))
        CClock::SetTimeScale(std::strtod(scale, nullptr));
    if (const char* lock = std::getenv("ORVO_TEST_INSTANCE_NAME"); lock != nullptr && *lock != '\0')
        theApp.SetSingleInstanceName(lock);
}

void ReportWaits()
{
    const char* path = std::getenv("ORVO_TEST_WAITS_FILE");
    if (path == nullptr || *path == '\0')
        return;
    if (std::FILE* file = std::fopen(path, "w"))
    {
        std::fprintf(file, "waits %llu ms\n", static_cast<unsigned long long>(CClock::SleptMs()));
        std::fclose(file);
    }
}
#endif
} // namespace

int main(int argc, char** argv)
{
#ifdef ORVO_TEST_BUILD
    ApplyTestSettings();
#endif
    static std::unique_ptr<IHidApi> hidApi = CreateHidApiLibrary();
    STavikEnvironment environment = STavikEnvironment::ForSystem();
    environment.hidApi = hidApi.get();
    environment.dfuFactory = CreateLibusbDfuTransportFactory();
    CFirmwareUpgrade::SetConstructor([environment] { return new (std::nothrow) CFirmwareUpgradeTavik(environment); });

    theApp.SetCommandLine(argc, argv);
    theApp.SetDialogFactory([] {
        auto dialog = std::make_unique<CFlashDlg>(CreatePlatformDialogView());
        dialog->SetHubCheck(CheckHubInPath);
        return dialog;
    });
    theApp.InitInstance();
    const std::int32_t code = theApp.ExitInstance();
    CFirmwareUpgrade::SetConstructor(nullptr);
#ifdef ORVO_TEST_BUILD
    ReportWaits();
#endif
    return ToProcessExitStatus(code);
}
