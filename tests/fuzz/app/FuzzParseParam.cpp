// Feeds arbitrary argument lists (NUL-separated) to the command-line parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args = {"OrvoHIDFlash.exe"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i)
    {
        if (data[i] == 0)
        {
            args.push_back(current);
            current.clear();
        }
        else
        {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());

    CMyCommandLineInfo info;
    ParseCommandLine(info, static_cast<int>(argv.size()), argv.data());
    // Pointers must point into the arguments.
    if (info.lpProductionCMDLine != nullptr && info.lpProductionCMDLine[0] != 'U' && info.lpProductionCMDLine[0] != 'u')
        __builtin_trap();
    return 0;
}
