#include "tools/pellory/PelloryCommandLine.h"

#include <cstring>

namespace
{
char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool ParseHex4(const std::string& text, std::size_t pos, unsigned* value)
{
    if (pos + 4 > text.size())
        return false;
    unsigned v = 0;
    for (std::size_t i = 0; i < 4; ++i)
    {
        const char c = Upper(text[pos + i]);
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = (v << 4) | d;
    }
    *value = v;
    return true;
}
} // namespace

EPelloryParse ParsePelloryCommandLine(const char* line, SPelloryArguments* out)
{
    if (line == nullptr || line[0] == '\0')
        return EPelloryParse::Empty;
    // Bounded scan: a line that reaches the bound is refused without reading
    // further.
    std::size_t length = 0;
    while (length < kPelloryMaxLine && line[length] != '\0')
        ++length;
    if (length >= kPelloryMaxLine)
        return EPelloryParse::TooLong;
    const std::string original(line, length);
    std::string upper(original);
    for (char& c : upper)
        c = Upper(c);
    const std::size_t inf = upper.find("/INF:");
    const std::size_t id = upper.find("/ID:");
    if (inf == std::string::npos)
        return EPelloryParse::NoInf;
    if (id == std::string::npos)
        return EPelloryParse::NoId;
    if (id < inf + 5)
        return EPelloryParse::WrongOrder;
    const std::size_t pathStart = inf + 5;
    const std::size_t idStart = id + 4;
    if (id == pathStart || idStart >= upper.size())
        return EPelloryParse::EmptyField;
    if (out)
    {
        out->infPath = upper.substr(pathStart, id - pathStart);
        out->infPathAsGiven = original.substr(pathStart, id - pathStart);
        out->hardwareId = upper.substr(idStart);
    }
    return EPelloryParse::Ok;
}

bool ParseUsbHardwareId(const std::string& id, unsigned* vendor, unsigned* product)
{
    std::string upper(id);
    for (char& c : upper)
        c = Upper(c);
    if (upper.compare(0, 8, "USB\\VID_") != 0)
        return false;
    unsigned vid = 0;
    unsigned pid = 0;
    if (!ParseHex4(upper, 8, &vid) || upper.compare(12, 5, "&PID_") != 0 || !ParseHex4(upper, 17, &pid))
        return false;
    // Anything after the product must start a new field (&REV_..., &MI_...).
    if (upper.size() > 21 && upper[21] != '&' && upper[21] != '\\' && upper[21] != ' ')
        return false;
    if (vendor)
        *vendor = vid;
    if (product)
        *product = pid;
    return true;
}

int RunPellory(const char* commandLine, IPelloryInstaller& installer)
{
    SPelloryArguments args;
    if (ParsePelloryCommandLine(commandLine, &args) != EPelloryParse::Ok)
        return -1;
    return installer.Install(args);
}

std::string PelloryShellQuote(const std::string& text)
{
    static const char kSafe[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=./:,@%";
    if (!text.empty() && text.find_first_not_of(kSafe) == std::string::npos)
        return text;
    std::string quoted = "'";
    for (char c : text)
    {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string PelloryRootCommand(const std::string& toolPath, const std::string& packagePath,
                               const std::string& hardwareId)
{
    return "sudo " + PelloryShellQuote(toolPath) + " " + PelloryShellQuote("/INF:" + packagePath) + " " +
           PelloryShellQuote("/ID:" + hardwareId);
}

std::string PelloryRulesCopyName(const std::string& packageFileName)
{
    const std::size_t slash = packageFileName.find_last_of("/\\");
    std::string base = slash == std::string::npos ? packageFileName : packageFileName.substr(slash + 1);
    for (char& c : base)
    {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (base.size() >= 6 && base.compare(base.size() - 6, 6, ".rules") == 0)
        base.resize(base.size() - 6);
    // uaccess must be tagged before the seat rules (73-seat-late) run.
    const bool ordered = base.size() > 3 && base[0] >= '0' && base[0] <= '9' && base[1] >= '0' && base[1] <= '9' &&
                         base[2] == '-';
    return (ordered ? base : "70-" + base) + "-pellory.rules";
}
