#pragma once
// The Linux installer of the driver-update tool (see PelloryLinux.cpp).
// Install returns 0 or an errno value: EINVAL for an identifier that is not
// USB\VID_vvvv&PID_pppp, ENODEV for a package without a rule for that
// device, EACCES when neither this process nor polkit could write the rules,
// the errno of a failed read or write otherwise.

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

// File name under which a rules file is installed: its own when it is named
// "NN-....rules" already, else "70-<name>.rules" (lower case).
std::string PelloryRulesFileName(const std::string& packagePath);
