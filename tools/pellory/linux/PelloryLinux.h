#pragma once
// The Linux installer of the driver-update tool (see PelloryLinux.cpp).
// Install returns 0 or an errno value: EINVAL for an identifier that is not
// USB\VID_vvvv&PID_pppp, ENODEV for a package without a rule for that
// device, EACCES when neither this process nor polkit could write the rules,
// the errno of a failed read or write otherwise. 0 also when every rules
// file is in place already (installed by the package, or copied before):
// then nothing is written and nobody is asked for a password.

#include <functional>
#include <string>
#include <vector>

#include "tools/pellory/PelloryCommandLine.h"

// What the installer needs of the system; the defaults are the real ones.
struct SPelloryLinuxSystem
{
    std::function<bool()> isRoot;
    // Runs argv (argv[0] a program path) and returns its exit status, or -1
    // when it could not be run.
    std::function<int(const std::vector<std::string>& argv)> run;
    // Writes a rules file (atomically, mode 0644); 0 or an errno value.
    std::function<int(const std::string& path, const std::string& bytes)> writeFile;
    // Where a message for the user goes (standard error).
    std::function<void(const std::string& text)> report;
    std::string selfPath;   // this program (for pkexec)
    std::string pkexecPath; // polkit's pkexec, empty when not installed
    // Where the orvohidflash package installs its rules; a rules file found
    // there under the package file's name is in place and gets no copy.
    std::vector<std::string> packagedRulesDirs;

    static SPelloryLinuxSystem Real();
};

class CPelloryLinuxInstaller : public IPelloryInstaller
{
public:
    CPelloryLinuxInstaller();
    explicit CPelloryLinuxInstaller(SPelloryLinuxSystem system);
    int Install(const SPelloryArguments& args) override;

private:
    SPelloryLinuxSystem m_system;
};

// The first line of every rules file the tool writes: the orvohidflash
// package's maintainer scripts remove the files that carry it.
extern const char kPelloryRulesMarker[];
