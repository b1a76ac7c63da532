// The cxaudio command line: NUL-separated arguments, on a system without
// Conexant chips (the commands end in "Device not found" once parsed, an
// analysis in "File open error" for a name no file has), so nothing is
// written but the output sink.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/HidSystem.h"
#include "tools/cxaudio/CxAudioTool.h"

namespace
{
class CEmptyHid : public IHidSystem
{
public:
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        paths.clear();
        return EHidResult::Ok;
    }
    EHidResult Open(const std::wstring&, const SHidOpenOptions&, CHidDevicePtr&) override { return EHidResult::NoDevice; }
    EHidResult GetUsbDeviceInstanceId(const std::wstring&, std::wstring&) override { return EHidResult::NoDevice; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CEmptyHid system;
    static std::FILE* sink = std::fopen("/dev/null", "w");
    if (size > 4096 || sink == nullptr)
        return 0;
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i)
    {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    // --log FILE would create files with fuzzed names, and patch FILE reads
    // one without a chip (a device node or a pipe could block); their
    // parsing is the same as every other option's and argument's.
    for (const std::string& a : args)
        if (a == "--log" || a.find('/') != std::string::npos || a.find('\\') != std::string::npos)
            return 0;
    SCxToolIo io;
    io.out = sink;
    io.err = sink;
    const int status = RunCxAudioTool(args, system, io);
    if (status < 0 || status > 40)
        __builtin_trap();
    return 0;
}
