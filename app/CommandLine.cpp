#include "app/CommandLine.h"

#include <cstdlib>

#include "app/DiagnosticLog.h"

namespace
{
// Reads a number as strtoul/strtol do (leading white space, optional sign,
// base prefix for base 16, stops at the first bad character, 0 without digits)
// and keeps the low 16 bits.
std::uint16_t ReadHex16(const char* text)
{
    return static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16) & 0xFFFFu);
}

std::int16_t ReadDecimal16(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu));
}
} // namespace

void CMyCommandLineInfo::ParseParam(const char* param, bool /*isFlag*/, bool /*isLast*/)
{
    if (param == nullptr)
        param = "";
    LogPrintf("ParseParam - lpszParam [%s]\n", param);

    char letter = param[0];
    if (letter >= 'a' && letter <= 'z')
        letter = static_cast<char>(letter - 'a' + 'A');
    const char* value = param[0] != '\0' ? param + 1 : param;

    switch (letter)
    {
    case 'F':
        CheckMode = false;
        LogPrintf("ParseParam F - CheckMode [%d]\n", CheckMode ? 1 : 0);
        break;
    case 'I':
        ProductID = ReadHex16(value);
        LogPrintf("ParseParam I - ProductID [0x%04X]\n", ProductID);
        break;
    case 'M':
        mcuIndex = ReadDecimal16(value);
        LogPrintf("ParseParam M - mcuIndex [%d]\n", mcuIndex);
        break;
    case 'P':
        SilentMode = true;
        ProgressMode = true;
        LogPrintf("ParseParam P - SilentMode [%d] ProgressMode[%d]\n", SilentMode ? 1 : 0, ProgressMode ? 1 : 0);
        break;
    case 'S':
        SilentMode = true;
        LogPrintf("ParseParam S - SilentMode [%d]\n", SilentMode ? 1 : 0);
        break;
    case 'U':
        lpProductionCMDLine = param;
        LogPrintf("ParseParam U - lpProductionCMDLine [%s]\n", lpProductionCMDLine);
        break;
    case 'V':
        lpInputVersion = value;
        LogPrintf("ParseParam V - lpInputVersion [%s]\n", lpInputVersion);
        break;
    default:
        LogPrintf("ParseParam Unknown [%c]\n", letter);
        break;
    }
}

void ParseCommandLine(CMyCommandLineInfo& info, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const char* arg = argv[i] != nullptr ? argv[i] : "";
        const bool isFlag = arg[0] == '-' || arg[0] == '/';
        info.ParseParam(isFlag ? arg + 1 : arg, isFlag, i == argc - 1);
    }
}
