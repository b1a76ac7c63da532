// The advice a refused user gets: for each state of the system the one
// thing that is missing, and a command that does it when pasted into a shell.
#include <gtest/gtest.h>

#include "families/tavik/DeviceAccessAdvice.h"

namespace
{
SAccessSubject Headset()
{
    SAccessSubject s;
    s.what = "the headset (2C6D:3240)";
    s.node = "/dev/hidraw3";
    s.location = "1-1.3";
    s.rulesFile = "70-orvo-tavik.rules";
    s.group = "plugdev";
    s.installCommand = "sudo '/opt/My Orvo/pellory' '/INF:/opt/My Orvo/Driver/Driver/linux/70-orvo-tavik.rules' "
                       "'/ID:USB\\VID_0A12&PID_0001'";
    return s;
}

SDeviceAccessFacts Linux()
{
    SDeviceAccessFacts f;
    f.known = true;
    f.user = "tester";
    f.groupExists = true;
    f.memberOfGroup = true;
    f.processInGroup = true;
    f.rulesPath = "/usr/lib/udev/rules.d/70-orvo-tavik.rules";
    f.udevRunning = true;
    return f;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}
} // namespace

TEST(DeviceAccessAdvice, EachStateOfTheSystemGetsItsRemedy)
{
    const std::string first = "Access to the headset (2C6D:3240) is missing: the user tester may not open it "
                              "(/dev/hidraw3, USB port 1-1.3: permission denied).\n";
    SDeviceAccessFacts f = Linux();
    f.rulesPath.clear();
    f.memberOfGroup = false;
    std::string a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_EQ(a.rfind(first, 0), 0u) << a;
    EXPECT_TRUE(Has(a, "(70-orvo-tavik.rules, to the group plugdev and the user at the seat) are not installed. Install "
                       "the orvohidflash package, which ships them, or install them as root:\n    sudo '/opt/My Orvo/pellory'"));
    EXPECT_TRUE(Has(a, "\n    sudo usermod -aG plugdev tester\n")) << a;

    f = Linux();
    f.udevRunning = false;
    a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "No udev daemon runs on this system, so the rules /usr/lib/udev/rules.d/70-orvo-tavik.rules do not "
                       "apply. Run the program as root, or give the device to the group plugdev for as long as it "
                       "stays plugged in:\n    sudo chgrp plugdev /dev/hidraw3 && sudo chmod 0660 /dev/hidraw3."))
        << a;

    f = Linux();
    f.groupExists = false;
    f.memberOfGroup = false;
    a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "sudo groupadd --system plugdev && sudo usermod -aG plugdev tester")) << a;

    f = Linux();
    f.memberOfGroup = false;
    a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "Add the user tester to it:\n    sudo usermod -aG plugdev tester\nthen log in again")) << a;

    f = Linux();
    f.processInGroup = false;
    a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "belongs to it, but not yet in this session: log in again")) << a;

    a = DeviceAccessAdvice(Headset(), Linux(), EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=usb "
                       "--subsystem-match=hidraw"))
        << a;

    // Never "not connected", on any system.
    for (const SDeviceAccessFacts& facts : {Linux(), SDeviceAccessFacts()})
        for (const EAccessRefusal r : {EAccessRefusal::Denied, EAccessRefusal::Busy})
            EXPECT_FALSE(Has(DeviceAccessAdvice(Headset(), facts, r), "not connected"));
}

TEST(DeviceAccessAdvice, OddNamesAreQuotedForTheShell)
{
    SDeviceAccessFacts f = Linux();
    f.memberOfGroup = false;
    f.user = "o'brien x";
    std::string a = DeviceAccessAdvice(Headset(), f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "sudo usermod -aG plugdev 'o'\\''brien x'")) << a;
    SAccessSubject s = Headset();
    s.node = "/dev/bus/usb/001/005";
    f = Linux();
    f.udevRunning = false;
    a = DeviceAccessAdvice(s, f, EAccessRefusal::Denied);
    EXPECT_TRUE(Has(a, "sudo chgrp plugdev /dev/bus/usb/001/005")) << a;
}

TEST(DeviceAccessAdvice, BusyDevicesAndSystemsWithoutFacts)
{
    std::string a = DeviceAccessAdvice(Headset(), Linux(), EAccessRefusal::Busy);
    EXPECT_EQ(a, "Access to the headset (2C6D:3240) is missing: another program or driver holds it (/dev/hidraw3, "
                 "USB port 1-1.3).\nClose the programs that use it, then unplug the device and plug it in again.");
    a = DeviceAccessAdvice(Headset(), SDeviceAccessFacts(), EAccessRefusal::Denied);
    EXPECT_EQ(a.rfind("Access to the headset (2C6D:3240) is missing: the system refuses to open it", 0), 0u) << a;
    SDeviceAccessFacts root = Linux();
    root.root = true;
    EXPECT_TRUE(Has(DeviceAccessAdvice(Headset(), root, EAccessRefusal::Denied), "Even root is refused"));
}
