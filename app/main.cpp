// Entry of the program. The application object is built before anything
// else runs, so the log exists from the first moment.
#include "app/FlashApp.h"
#include "platform/System.h"

static CFlashApp theApp;

int main(int argc, char** argv)
{
    theApp.SetCommandLine(argc, argv);
    theApp.InitInstance();
    return ToProcessExitStatus(theApp.ExitInstance());
}
