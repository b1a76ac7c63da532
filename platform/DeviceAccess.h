#pragma once
// What stands between this user and a device the system refuses to open, as
// far as the system can tell: on Linux the udev rules that would grant the
// access, the group they grant it to, and whether udevd runs to apply them.
// The program turns these facts into advice for the user. Windows keeps no
// such facts (a refused device there is a driver's or another program's
// matter): known stays false.

#include <string>
#include <vector>

struct SDeviceAccessFacts
{
    bool known = false;           // the system has such facts (Linux)
    std::string user;             // this user's name ("" when it has none)
    bool root = false;            // the effective user is root
    bool groupExists = false;     // the group exists
    bool memberOfGroup = false;   // the user belongs to it (listed, or as primary group)
    bool processInGroup = false;  // this process carries it (not before the next login after usermod)
    std::string rulesPath;        // the first installed rules file of the names asked for ("" when none)
    bool udevRunning = false;     // udevd serves this system (its control socket exists)
};

// rulesFileNames: the rules files that would grant the access, looked for
// where udev reads rules (/etc/udev/rules.d, /run/udev/rules.d,
// /usr/lib/udev/rules.d, /lib/udev/rules.d); group: the group they name.
SDeviceAccessFacts GetDeviceAccessFacts(const std::vector<std::string>& rulesFileNames, const std::string& group);
