#pragma once
// The Linux installer of the driver-update tool (see PelloryLinux.cpp).
// Install returns 0 or an errno value: EINVAL for an identifier that is not
// USB\VID_vvvv&PID_pppp, ENODEV for a package without a rule for that
// device, the errno of a failed read or write otherwise.

#include <string>

#include "tools/pellory/PelloryCommandLine.h"

class CPelloryLinuxInstaller : public IPelloryInstaller
{
public:
    int Install(const SPelloryArguments& args) override;
};

// File name under which a package is installed ("70-<name>.rules", lower case).
std::string PelloryRulesFileName(const std::string& packagePath);
