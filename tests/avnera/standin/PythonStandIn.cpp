// A stand-in for a Python 2 runtime: exports the two functions the Python
// extension entry binds to and records what they were called with.
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace
{
struct SMethodDef
{
    const char* name;
    void* method;
    int flags;
    const char* doc;
};

char g_added[64];
char g_initialised[64];
int g_apiVersion = 0;
int g_calls = 0;
bool g_emptyTable = false;
bool g_nullDocAndSelf = false;
int g_module = 0;
} // namespace

STANDIN_EXPORT void* PyImport_AddModule(const char* name)
{
    ++g_calls;
    std::strncpy(g_added, name != nullptr ? name : "", sizeof(g_added) - 1);
    return &g_module;
}

STANDIN_EXPORT void* Py_InitModule4(const char* name, SMethodDef* methods, const char* doc, void* self, int apiVersion)
{
    ++g_calls;
    std::strncpy(g_initialised, name != nullptr ? name : "", sizeof(g_initialised) - 1);
    g_emptyTable = methods != nullptr && methods[0].name == nullptr && methods[0].method == nullptr;
    g_nullDocAndSelf = doc == nullptr && self == nullptr;
    g_apiVersion = apiVersion;
    return &g_module;
}

// What the runtime saw: "<added>|<initialised>|<api>|<empty table>|<null doc and self>|<calls>".
STANDIN_EXPORT int standin_record(char* out, int capacity)
{
    char text[200];
    const int n = __builtin_snprintf(text, sizeof(text), "%s|%s|%d|%d|%d|%d", g_added, g_initialised, g_apiVersion,
                                     g_emptyTable ? 1 : 0, g_nullDocAndSelf ? 1 : 0, g_calls);
    if (out != nullptr && capacity > 0)
    {
        std::strncpy(out, text, static_cast<std::size_t>(capacity) - 1);
        out[capacity - 1] = '\0';
    }
    return n;
}
