// pellory: installs the driver package for a hardware identifier.
// Usage: pellory /INF:<package> /ID:<hardware identifier>
#include <string>

#include "tools/pellory/PelloryCommandLine.h"
#include "tools/pellory/linux/PelloryLinux.h"

int main(int argc, char** argv)
{
    // The shell has split the line; put it back together with single blanks.
    std::string line;
    for (int i = 1; i < argc; ++i)
    {
        if (i > 1)
            line += ' ';
        line += argv[i];
        if (line.size() >= kPelloryMaxLine)
            break;
    }
    CPelloryLinuxInstaller installer;
    return RunPellory(line.c_str(), installer);
}
