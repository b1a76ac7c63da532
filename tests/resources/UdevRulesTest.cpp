// The program's udev rules, matched as udev matches them against the devices
// the program opens (and some it must leave alone), and the Debian
// maintainer scripts run on a root of their own (DPKG_ROOT), as dpkg runs
// them. The real kernel and udevd apply the rules in the test guest; here
// their keys and the generic rule's program (od on a report descriptor) are
// checked for what they grant.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <map>
#include <sstream>

#include "platform/System.h"
#include "tests/TestSupport.h"
#include "tools/pellory/linux/PelloryLinux.h"

namespace
{
struct SKey
{
    std::string name; // "SUBSYSTEM", "ATTRS{idVendor}", ...
    std::string op;   // "==", "=", "+="
    std::string value;
};

using Rule = std::vector<SKey>;

std::vector<Rule> ReadRules(const std::string& path)
{
    std::vector<Rule> rules;
    std::istringstream in(ReadFileBytes(path));
    std::string line;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        Rule rule;
        std::size_t pos = 0;
        while (pos < line.size())
        {
            while (pos < line.size() && (line[pos] == ' ' || line[pos] == ','))
                ++pos;
            const std::size_t op = line.find_first_of("=+!", pos);
            const std::size_t quote = line.find('"', op);
            const std::size_t end = line.find('"', quote + 1);
            if (op == std::string::npos || quote == std::string::npos || end == std::string::npos)
                break;
            rule.push_back({line.substr(pos, op - pos), line.substr(op, quote - op), line.substr(quote + 1, end - quote - 1)});
            pos = end + 1;
        }
        rules.push_back(rule);
    }
    return rules;
}

// A device event as udev sees it.
struct SDevice
{
    std::string subsystem;
    std::string kernel;
    std::string devtype;
    std::map<std::string, std::string> attrs;   // its own
    std::map<std::string, std::string> parents; // of a parent (ATTRS)
    std::string devpath;                        // for %p
};

// udev's match: glob patterns, '|' between alternatives.
bool Matches(const std::string& pattern, const std::string& value)
{
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t bar = pattern.find('|', start);
        if (fnmatch(pattern.substr(start, bar - start).c_str(), value.c_str(), 0) == 0)
            return true;
        if (bar == std::string::npos)
            return false;
        start = bar + 1;
    }
}

struct SGrant
{
    std::string mode;
    std::string group;
    bool uaccess = false;
    bool matched = false;
};

SGrant Apply(const std::vector<Rule>& rules, const SDevice& d, const std::string& sysfs)
{
    SGrant grant;
    for (const Rule& rule : rules)
    {
        bool all = true;
        for (const SKey& k : rule)
        {
            if (k.op != "==" || k.name == "RESULT") // RESULT: after PROGRAM, below
                continue;
            std::string value;
            if (k.name == "SUBSYSTEM")
                value = d.subsystem;
            else if (k.name == "KERNEL")
                value = d.kernel;
            else if (k.name == "ENV{DEVTYPE}")
                value = d.devtype;
            else if (k.name.rfind("ATTRS{", 0) == 0)
                value = d.attrs.count(k.name.substr(6, k.name.size() - 7)) ? d.attrs.at(k.name.substr(6, k.name.size() - 7))
                                                                             : d.parents.count(k.name.substr(6, k.name.size() - 7))
                                                                                   ? d.parents.at(k.name.substr(6, k.name.size() - 7))
                                                                                   : std::string("\x01");
            else if (k.name.rfind("ATTR{", 0) == 0)
                value = d.attrs.count(k.name.substr(5, k.name.size() - 6)) ? d.attrs.at(k.name.substr(5, k.name.size() - 6))
                                                                            : std::string("\x01");
            else
                ADD_FAILURE() << "a key this test does not know: " << k.name;
            if (!Matches(k.value, value))
            {
                all = false;
                break;
            }
        }
        // PROGRAM runs before RESULT is compared: run it when the rule has one.
        for (const SKey& k : rule)
        {
            if (k.name != "PROGRAM" || !all)
                continue;
            std::string command = k.value;
            for (std::size_t at = command.find("%S"); at != std::string::npos; at = command.find("%S"))
                command.replace(at, 2, sysfs);
            for (std::size_t at = command.find("%p"); at != std::string::npos; at = command.find("%p"))
                command.replace(at, 2, d.devpath);
            std::vector<std::string> argv;
            std::istringstream words(command);
            for (std::string w; words >> w;)
                argv.push_back(w);
            const std::string out = JoinPath(sysfs, "program-output");
            std::uint32_t status = 1;
            EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(30), &status, {}, out));
            std::string result = ReadFileBytes(out);
            while (!result.empty() && result.back() == '\n')
                result.pop_back();
            all = status == 0;
            for (const SKey& r : rule)
                if (r.name == "RESULT")
                    all = all && Matches(r.value, result);
        }
        if (!all)
            continue;
        grant.matched = true;
        for (const SKey& k : rule)
        {
            if (k.name == "MODE")
                grant.mode = k.value;
            else if (k.name == "GROUP")
                grant.group = k.value;
            else if (k.name == "TAG" && k.op == "+=" && k.value == "uaccess")
                grant.uaccess = true;
        }
    }
    return grant;
}

std::vector<Rule> AllRules()
{
    std::vector<Rule> rules;
    for (const char* name : {"70-orvo-tavik.rules", "71-orvo-avnera.rules", "72-orvo-conexant.rules"})
    {
        const std::vector<Rule> file = ReadRules(std::string(ORVO_UDEV_RULES_DIR) + "/" + name);
        EXPECT_FALSE(file.empty()) << name;
        rules.insert(rules.end(), file.begin(), file.end());
    }
    return rules;
}

SDevice Hidraw(const std::string& vid, const std::string& pid, const std::string& sysfs,
               const std::vector<unsigned char>& descriptor, int n)
{
    SDevice d;
    d.subsystem = "hidraw";
    d.kernel = "hidraw" + std::to_string(n);
    d.parents = {{"idVendor", vid}, {"idProduct", pid}};
    d.devpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n) + "/hidraw/" + d.kernel;
    const std::string dir = sysfs + d.devpath + "/device";
    CreateDirectories(dir);
    WriteFileBytes(dir + "/report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    return d;
}

SDevice UsbDevice(const std::string& vid, const std::string& pid)
{
    SDevice d;
    d.subsystem = "usb";
    d.kernel = "1-1";
    d.devtype = "usb_device";
    d.attrs = {{"idVendor", vid}, {"idProduct", pid}};
    return d;
}

const std::vector<unsigned char> kVendorCollection = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0xC0};
// The same collection with its usage in the item's two-byte form (0A 01 00),
// as valid as the short one: the bench's products describe themselves so,
// and the host interface, which parses the descriptor, opens them.
const std::vector<unsigned char> kVendorCollectionLongUsage = {0x06, 0x00, 0xFF, 0x0A, 0x01, 0x00, 0xA1, 0x01, 0x15, 0x00, 0xC0};
const std::vector<unsigned char> kOtherVendorUsageLong = {0x06, 0x00, 0xFF, 0x0A, 0x02, 0x00, 0xA1, 0x01, 0x15, 0x00, 0xC0};
const std::vector<unsigned char> kOtherVendorUsage = {0x06, 0x00, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x15, 0x00, 0xC0};
const std::vector<unsigned char> kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
} // namespace

// Every node the program opens is granted to the user at the seat and to the
// group plugdev (MODE 0660): headless, SSH and production-line users too.
TEST(UdevRules, WhatTheProgramOpensIsGrantedToTheSeatAndToPlugdev)
{
    const std::string sysfs = MakeTestFolder("udev-rules-granted");
    const std::vector<Rule> rules = AllRules();
    struct
    {
        const char* what;
        SDevice device;
    } granted[] = {
        {"headset hidraw", Hidraw("2c6d", "3240", sysfs, kKeyboard, 1)},
        {"DFU device", UsbDevice("0a12", "0001")},
        {"vendor HID 170D:FE00", Hidraw("170d", "fe00", sysfs, kVendorCollection, 2)},
        {"AV7300 ROM 170D:0300", Hidraw("170d", "0300", sysfs, kVendorCollection, 3)},
        {"AV62xx flash mode 170D:0100", Hidraw("170d", "0100", sysfs, kVendorCollection, 4)},
        {"AV7201 default image 170D:0001", Hidraw("170d", "0001", sysfs, kVendorCollection, 5)},
        {"generic Avnera HID of any vendor (AV6201 2C6D:3226)", Hidraw("2c6d", "3226", sysfs, kVendorCollection, 6)},
        {"generic Avnera HID, usage in its two-byte form", Hidraw("2c6d", "3226", sysfs, kVendorCollectionLongUsage, 8)},
        {"BlueCore HID bridge 0A12:1004 (the same collection)", Hidraw("0a12", "1004", sysfs, kVendorCollectionLongUsage, 9)},
        {"Conexant hidraw", Hidraw("0572", "1410", sysfs, kKeyboard, 7)},
        {"Conexant USB device", UsbDevice("0572", "1410")},
    };
    for (const auto& g : granted)
    {
        const SGrant grant = Apply(rules, g.device, sysfs);
        EXPECT_TRUE(grant.matched) << g.what;
        EXPECT_EQ(grant.mode, "0660") << g.what;
        EXPECT_EQ(grant.group, "plugdev") << g.what;
        EXPECT_TRUE(grant.uaccess) << g.what;
    }
    // Every rule of every file keeps both ways in.
    for (const Rule& rule : rules)
    {
        bool uaccess = false;
        bool plugdev = false;
        for (const SKey& k : rule)
        {
            uaccess = uaccess || (k.name == "TAG" && k.op == "+=" && k.value == "uaccess");
            plugdev = plugdev || (k.name == "GROUP" && k.value == "plugdev");
        }
        EXPECT_TRUE(uaccess && plugdev);
    }
}

// The Avnera rules grant only what the host interface opens (hidraw nodes of
// its identities, and of the 0xFF00/0x0001 collection): not the USB device
// nodes of vendor 170D, not other 170D products, not other vendor
// collections, not keyboards.
TEST(UdevRules, TheAvneraRulesGrantOnlyWhatTheHostInterfaceOpens)
{
    const std::string sysfs = MakeTestFolder("udev-rules-left-alone");
    const std::vector<Rule> rules = AllRules();
    struct
    {
        const char* what;
        SDevice device;
    } leftAlone[] = {
        {"170D USB device node", UsbDevice("170d", "fe00")},
        {"another 170D product's hidraw", Hidraw("170d", "1234", sysfs, kKeyboard, 1)},
        {"vendor page, usage 2", Hidraw("1234", "5678", sysfs, kOtherVendorUsage, 2)},
        {"vendor page, usage 2 in its two-byte form", Hidraw("1234", "5679", sysfs, kOtherVendorUsageLong, 4)},
        {"a keyboard", Hidraw("046d", "c31c", sysfs, kKeyboard, 3)},
        {"the headset as USB device", UsbDevice("2c6d", "3240")},
        {"another vendor's DFU device", UsbDevice("0483", "df11")},
    };
    for (const auto& l : leftAlone)
        EXPECT_FALSE(Apply(rules, l.device, sysfs).matched) << l.what;
}

namespace
{
struct SRoot
{
    std::string root;
    std::string etc;
    std::string lib;
};

SRoot MakeRoot(const std::string& name)
{
    SRoot r;
    r.root = MakeTestFolder(name);
    r.etc = r.root + "/etc/udev/rules.d";
    r.lib = r.root + "/usr/lib/udev/rules.d";
    CreateDirectories(r.etc);
    CreateDirectories(r.lib);
    return r;
}

std::uint32_t RunScript(const std::string& script, const std::string& action, const SRoot& r)
{
    std::uint32_t status = 99;
    EXPECT_TRUE(RunProcessAndWait({"/bin/sh", std::string(ORVO_DEBIAN_DIR) + "/" + script, action}, RealSeconds(30),
                                  &status, {}, {}, {"DPKG_ROOT=" + r.root}));
    return status;
}
} // namespace

// Installing the package removes what the driver tool copied before (and a
// byte-for-byte copy of a package file that would mask it); what an
// administrator wrote stays.
TEST(DebianScripts, PostinstRemovesTheDriverToolsCopies)
{
    const SRoot r = MakeRoot("debian-postinst");
    const std::string tavik = ReadFileBytes(std::string(ORVO_UDEV_RULES_DIR) + "/70-orvo-tavik.rules");
    WriteFileBytes(r.lib + "/70-orvo-tavik.rules", tavik);
    WriteFileBytes(r.lib + "/72-orvo-conexant.rules", "# conexant\n");
    WriteFileBytes(r.etc + "/70-orvo-tavik-pellory.rules", std::string(kPelloryRulesMarker) + tavik);
    WriteFileBytes(r.etc + "/71-orvo-avnera-pellory.rules", std::string(kPelloryRulesMarker) + "# avnera\n");
    WriteFileBytes(r.etc + "/70-orvo-tavik.rules", tavik);              // an older tool's masking copy
    WriteFileBytes(r.etc + "/72-orvo-conexant.rules", "# edited\n");    // someone's own version
    WriteFileBytes(r.etc + "/80-local-pellory.rules", "# not ours\n"); // no marker
    WriteFileBytes(r.etc + "/99-local.rules", "# local\n");
    EXPECT_EQ(RunScript("postinst", "configure", r), 0u);
    std::vector<std::string> left = ListFolder(r.etc);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"72-orvo-conexant.rules", "80-local-pellory.rules", "99-local.rules"}));
    // Nothing to do, and an upgrade's other actions touch nothing.
    EXPECT_EQ(RunScript("postinst", "configure", r), 0u);
    EXPECT_EQ(RunScript("postinst", "abort-upgrade", r), 0u);
    EXPECT_EQ(ListFolder(r.etc).size(), 3u);
}

// Removing or purging the package leaves no copy of the driver tool's behind.
TEST(DebianScripts, PostrmLeavesNoCopyOfTheDriverToolBehind)
{
    for (const char* action : {"remove", "purge"})
    {
        SCOPED_TRACE(action);
        const SRoot r = MakeRoot(std::string("debian-postrm-") + action);
        WriteFileBytes(r.etc + "/70-orvo-tavik-pellory.rules", std::string(kPelloryRulesMarker) + "# tavik\n");
        WriteFileBytes(r.etc + "/72-orvo-conexant-pellory.rules", std::string(kPelloryRulesMarker) + "# cx\n");
        WriteFileBytes(r.etc + "/71-orvo-avnera-pellory.rules.tmp", "# an interrupted copy\n");
        WriteFileBytes(r.etc + "/99-local.rules", "# local\n");
        EXPECT_EQ(RunScript("postrm", action, r), 0u);
        EXPECT_EQ(ListFolder(r.etc), std::vector<std::string>{"99-local.rules"});
    }
    // Without the folder at all.
    const std::string bare = MakeTestFolder("debian-postrm-bare");
    std::uint32_t status = 99;
    EXPECT_TRUE(RunProcessAndWait({"/bin/sh", std::string(ORVO_DEBIAN_DIR) + "/postrm", "purge"}, RealSeconds(30),
                                  &status, {}, {}, {"DPKG_ROOT=" + bare}));
    EXPECT_EQ(status, 0u);
}
