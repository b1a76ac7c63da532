// Entry of the program. The application object is built before anything
// else runs, so the log exists from the first moment.
#include <memory>

#include "app/FlashApp.h"
#include "app/FlashDlg.h"
#include "platform/DialogView.h"
#include "platform/System.h"

static CFlashApp theApp;

int main(int argc, char** argv)
{
    theApp.SetCommandLine(argc, argv);
    theApp.SetDialogFactory([] { return std::make_unique<CFlashDlg>(CreatePlatformDialogView()); });
    theApp.InitInstance();
    return ToProcessExitStatus(theApp.ExitInstance());
}
