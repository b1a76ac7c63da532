#pragma once
// The driver-update tool's command line (the part after the program name):
//   /INF:<path of the driver package> /ID:<hardware identifier>
//
// The line is taken in upper case. The INF path runs from just after the
// first "/INF:" up to the first "/ID:" (so the space before "/ID:" belongs
// to it); the identifier is everything after "/ID:". Lines that are empty,
// longer than a process command line can be (32,767 characters with its
// zero), lack either key, have "/ID:" first or leave a field empty are
// refused. The program that starts the tool names it by its full path, so a
// deep program folder makes a long line: no shorter bound may cut it.
// Portable; the input is untrusted.

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t kPelloryMaxLine = 32767;
// The longest INF path the system's driver installer takes (MAX_PATH with its
// zero): a longer one is refused with ERROR_FILENAME_EXCED_RANGE, not cut.
constexpr std::size_t kPelloryMaxInfPath = 260;

enum class EPelloryParse
{
    Ok,
    Empty,
    TooLong,
    NoInf,
    NoId,
    WrongOrder,
    EmptyField,
};

struct SPelloryArguments
{
    std::string infPath;        // upper case, with the space before "/ID:"
    std::string hardwareId;     // upper case
    std::string infPathAsGiven; // the same characters in their original case
};

EPelloryParse ParsePelloryCommandLine(const char* line, SPelloryArguments* out);

// Splits "USB\VID_vvvv&PID_pppp..." (any case) into vendor and product.
bool ParseUsbHardwareId(const std::string& id, unsigned* vendor, unsigned* product);

// Installs a driver package for a hardware identifier: 0 on success,
// otherwise the system's error number.
class IPelloryInstaller
{
public:
    virtual ~IPelloryInstaller() = default;
    virtual int Install(const SPelloryArguments& args) = 0;
};

// The whole program: -1 for a refused command line (the installer is not
// called), else the installer's result.
int RunPellory(const char* commandLine, IPelloryInstaller& installer);

// A POSIX shell word that stands for text exactly, whatever it holds
// (blanks, '&', backslashes, quotes): text as it is when it is made of safe
// characters only, else in single quotes (a quote inside as '\'').
std::string PelloryShellQuote(const std::string& text);

// The line a user pastes into a shell to run the tool as root for a driver
// package and a hardware identifier:
//   sudo <tool> /INF:<package> /ID:<identifier>
// each word quoted as the shell needs it.
std::string PelloryRootCommand(const std::string& toolPath, const std::string& packagePath,
                               const std::string& hardwareId);

// The name under which the tool installs a rules file of a driver package
// into /etc/udev/rules.d: never the package file's own name, so it neither
// masks the rules the orvohidflash package installs under that name in
// /usr/lib/udev/rules.d nor hides behind them ("70-orvo-tavik.rules" ->
// "70-orvo-tavik-pellory.rules"; a name without its "NN-" order gets "70-").
std::string PelloryRulesCopyName(const std::string& packageFileName);
