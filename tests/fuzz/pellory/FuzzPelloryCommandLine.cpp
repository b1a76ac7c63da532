// The driver-update tool's command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/pellory/PelloryCommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size); // may hold NULs: parsing stops there
    SPelloryArguments args;
    if (ParsePelloryCommandLine(line.c_str(), &args) == EPelloryParse::Ok)
    {
        if (args.infPath.size() >= kPelloryMaxLine || args.hardwareId.size() >= kPelloryMaxLine ||
            args.infPath.empty() || args.hardwareId.empty() || args.infPath.size() != args.infPathAsGiven.size())
            std::abort();
        for (char c : args.infPath + args.hardwareId)
        {
            if (c >= 'a' && c <= 'z')
                std::abort();
        }
    }
    unsigned vid = 0;
    unsigned pid = 0;
    (void)ParseUsbHardwareId(line, &vid, &pid);

    // A quoted word reads back, as a POSIX shell reads it, as exactly the text.
    const std::string quoted = PelloryShellQuote(line);
    std::string read;
    bool inQuotes = false;
    for (std::size_t i = 0; i < quoted.size(); ++i)
    {
        const char c = quoted[i];
        if (c == '\'')
            inQuotes = !inQuotes;
        else if (inQuotes)
            read += c;
        else if (c == '\\' && i + 1 < quoted.size())
            read += quoted[++i];
        else if (std::string(" \t\n|&;<>()$`\\\"*?[#~").find(c) != std::string::npos)
            std::abort(); // a character the shell would act on, outside quotes
        else
            read += c;
    }
    if (inQuotes || read != line)
        std::abort();
    (void)PelloryRulesCopyName(line);
    return 0;
}
