// Windows keeps no udev-like facts: a refused device is a driver's or
// another program's matter.
#include "platform/DeviceAccess.h"

SDeviceAccessFacts GetDeviceAccessFacts(const std::vector<std::string>&, const std::string&)
{
    return SDeviceAccessFacts();
}
