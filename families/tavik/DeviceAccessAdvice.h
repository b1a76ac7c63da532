#pragma once
// The advice a user gets when the system refuses to let the program open the
// device: what is refused, and how the access is granted on this system
// (which rules file, which group, the command to paste into a shell).
// Portable: the system's facts come in (platform/DeviceAccess.h).

#include <string>

#include "platform/DeviceAccess.h"

enum class EAccessRefusal
{
    Denied, // the system refuses this user (no rights)
    Busy,   // another program or driver holds the device
};

struct SAccessSubject
{
    std::string what;           // "the headset (2C6D:3240)"
    std::string node;           // the device's node ("/dev/hidraw3"), "" when none is known
    std::string location;       // the USB port ("1-1.3"), "" when unknown
    std::string rulesFile;      // the rules file that grants the access ("70-orvo-tavik.rules")
    std::string group;          // the group the rules grant it to ("plugdev")
    std::string installCommand; // the root command that installs the rules, ready for a shell
};

// Several lines, the first saying what is refused; no line end after the last.
std::string DeviceAccessAdvice(const SAccessSubject& subject, const SDeviceAccessFacts& facts,
                               EAccessRefusal refusal);
