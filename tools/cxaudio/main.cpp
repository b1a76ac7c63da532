// cxaudio: the Conexant tool on the system's HID interfaces.
#include <memory>
#include <string>
#include <vector>

#include "platform/HidSystem.h"
#include "platform/Terminal.h"
#include "tools/cxaudio/CxAudioTool.h"

int main(int argc, char** argv)
{
    std::unique_ptr<IHidSystem> system = CreateSystemHid();
    SCxToolIo io;
    io.errIsTerminal = IsStandardErrorTerminal();
    if (!system)
    {
        std::fprintf(stderr, "cxaudio: System (OS) error\n");
        return 2;
    }
    return RunCxAudioTool(std::vector<std::string>(argv + 1, argv + argc), *system, io);
}
