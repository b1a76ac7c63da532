// inithostapi_vmi: the entry of the Python extension module "hostapi_vmi".
// It binds to a Python runtime that the calling process has already loaded
// and never loads one itself.
#include <cstdlib>

#include "avnera/OrvoHostApi.h"
#include "platform/DynamicLibrary.h"
#include "platform/MessageBox.h"

namespace
{
struct SPyMethodDef
{
    const char* name;
    void* method;
    int flags;
    const char* doc;
};

using PyImportAddModule = void* (*)(const char* name);
using PyInitModule4 = void* (*)(const char* name, SPyMethodDef* methods, const char* doc, void* self, int apiVersion);

constexpr int kPythonApiVersion = 1012;

#if defined(_WIN32)
const char* const kRuntimes[] = {"python25", "python24", "python23"};
#else
const char* const kRuntimes[] = {"libpython2.5.so.1.0", "libpython2.4.so.1.0", "libpython2.3.so.1.0"};
#endif

SPyMethodDef g_methods[1] = {{nullptr, nullptr, 0, nullptr}};
} // namespace

extern "C" void inithostapi_vmi(void)
{
    static CDynamicLibrary runtime;
    for (const char* name : kRuntimes)
    {
        if (runtime.OpenLoaded(name))
            break;
    }
    PyImportAddModule addModule = nullptr;
    PyInitModule4 initModule = nullptr;
    if (runtime.IsOpen())
    {
        addModule = reinterpret_cast<PyImportAddModule>(runtime.Symbol("PyImport_AddModule"));
        initModule = reinterpret_cast<PyInitModule4>(runtime.Symbol("Py_InitModule4"));
    }
    if (addModule == nullptr || initModule == nullptr)
    {
        ShowCaptionedMessageBox("Unable to bind to Python API\n", "Python API", kMbOk);
        std::exit(1);
    }
    addModule("hostapi_vmi");
    initModule("hostapi_vmi", g_methods, nullptr, nullptr, kPythonApiVersion);
}
