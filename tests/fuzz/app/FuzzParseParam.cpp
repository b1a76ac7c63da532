// Feeds arbitrary argument lists (NUL-separated) to the command-line parser.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One copy of the input with a zero at its end: the arguments are the
    // pieces between its zeros, used where they lie (no string per argument).
    static char program[] = "OrvoHIDFlash.exe";
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::vector<char*> argv = {program, text.data()};
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
    {
        if (text[i] == '\0')
            argv.push_back(&text[i + 1]);
    }

    CMyCommandLineInfo info;
    ParseCommandLine(info, static_cast<int>(argv.size()), argv.data());
    // Pointers must point into the arguments.
    if (info.lpProductionCMDLine != nullptr && info.lpProductionCMDLine[0] != 'U' && info.lpProductionCMDLine[0] != 'u')
        __builtin_trap();
    return 0;
}
