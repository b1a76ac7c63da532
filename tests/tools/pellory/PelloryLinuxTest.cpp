// The Linux installer: the program's udev rules written into a test folder,
// and the way to root through polkit when the folder is not ours to write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/System.h"
#include "tests/TestSupport.h"
#include "tools/pellory/linux/PelloryLinux.h"

namespace
{
class PelloryLinux : public testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = MakeTestFolder(std::string("pellory-") + testing::UnitTest::GetInstance()->current_test_info()->name());
        m_rules = JoinPath(m_folder, "rules.d");
        CreateDirectories(m_rules);
        setenv("ORVO_PELLORY_RULES_DIR", m_rules.c_str(), 1);
        m_package = std::string(ORVO_PELLORY_DIR) + "/Driver/Driver/linux/70-orvo-tavik.rules";
    }
    void TearDown() override { unsetenv("ORVO_PELLORY_RULES_DIR"); }

    std::uint32_t Run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{ORVO_PELLORY_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::uint32_t exitCode = 0xDEADBEEFu;
        EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(60), &exitCode));
        return exitCode;
    }

    std::string m_folder;
    std::string m_rules;
    std::string m_package;
};

SPelloryArguments Arguments(const std::string& package, const std::string& id = "USB\\VID_0A12&PID_0001")
{
    SPelloryArguments args;
    args.infPathAsGiven = package + " ";
    args.hardwareId = id;
    return args;
}
} // namespace

TEST_F(PelloryLinux, InstallsTheRulesForTheHeadsetAndItsDfuMode)
{
    EXPECT_EQ(0u, Run({"/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
    const std::string installed = ReadFileBytes(JoinPath(m_rules, "70-orvo-tavik.rules"));
    EXPECT_EQ(ReadFileBytes(m_package), installed);
    EXPECT_EQ(ReadFileBytes(std::string(ORVO_UDEV_RULES_DIR) + "/70-orvo-tavik.rules"), installed);
    // The DFU device as USB device, the headset as hidraw node, both for the user at the seat.
    EXPECT_NE(std::string::npos,
              installed.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"0a12\", "
                             "ATTR{idProduct}==\"0001\", TAG+=\"uaccess\""));
    EXPECT_NE(std::string::npos,
              installed.find("SUBSYSTEM==\"hidraw\", KERNEL==\"hidraw*\", ATTRS{idVendor}==\"2c6d\", "
                             "ATTRS{idProduct}==\"3240\", TAG+=\"uaccess\""));
    // Again, lower case: replaced in place.
    const std::size_t count = ListFolder(m_rules).size();
    EXPECT_EQ(0u, Run({"/inf:" + m_package, "/id:usb\\vid_0a12&pid_0001"}));
    EXPECT_EQ(count, ListFolder(m_rules).size());
}

// The package is the whole folder: every rules file of the program is
// installed (other families add theirs beside the headset's).
TEST_F(PelloryLinux, EveryRulesFileOfThePackageIsInstalled)
{
    const std::string package = JoinPath(m_folder, "package");
    CreateDirectories(package);
    ASSERT_TRUE(WriteFileBytes(JoinPath(package, "70-orvo-tavik.rules"), ReadFileBytes(m_package)));
    ASSERT_TRUE(WriteFileBytes(JoinPath(package, "71-orvo-other.rules"), "# another family\n"));
    ASSERT_TRUE(WriteFileBytes(JoinPath(package, "notes.txt"), "not a rule\n"));
    EXPECT_EQ(0u, Run({"/INF:" + JoinPath(package, "70-orvo-tavik.rules"), "/ID:USB\\VID_0A12&PID_0001"}));
    std::vector<std::string> names = ListFolder(m_rules);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"70-orvo-tavik.rules", "71-orvo-other.rules"}), names);
    EXPECT_EQ("# another family\n", ReadFileBytes(JoinPath(m_rules, "71-orvo-other.rules")));
}

TEST_F(PelloryLinux, FailuresGiveTheErrorNumber)
{
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), Run({"/INF:" + m_folder + "/missing.rules", "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_EQ(static_cast<std::uint32_t>(ENODEV), Run({"/INF:" + m_package, "/ID:USB\\VID_1234&PID_5678"}));
    EXPECT_EQ(static_cast<std::uint32_t>(EINVAL), Run({"/INF:" + m_package, "/ID:HID\\junk"}));
    setenv("ORVO_PELLORY_RULES_DIR", (m_folder + "/absent").c_str(), 1);
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), Run({"/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_TRUE(ListFolder(m_rules).empty());
}

// A user who may not write the rules folder: pellory runs itself again as
// root through polkit; when polkit refuses or is missing it says so and
// what to do, and fails with EACCES.
TEST_F(PelloryLinux, WithoutRootRightsPolkitIsAskedAndRefusalIsReported)
{
    struct
    {
        const char* name;
        std::string pkexec;
        int pkexecStatus;
        int expected;
    } cases[] = {{"polkit grants", "/usr/bin/pkexec", 0, 0},
                 {"polkit refused", "/usr/bin/pkexec", 126, EACCES},
                 {"no polkit", "", 0, EACCES}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<std::string>> runs;
        std::vector<std::string> reports;
        SPelloryLinuxSystem system;
        system.isRoot = [] { return false; };
        system.run = [&](const std::vector<std::string>& argv) {
            runs.push_back(argv);
            return c.pkexecStatus;
        };
        system.writeFile = [](const std::string&, const std::string&) { return EACCES; };
        system.report = [&](const std::string& text) { reports.push_back(text); };
        system.selfPath = "/opt/orvohidflash/pellory";
        system.pkexecPath = c.pkexec;
        CPelloryLinuxInstaller installer(system);
        EXPECT_EQ(c.expected, installer.Install(Arguments(m_package)));
        if (c.pkexec.empty())
        {
            EXPECT_TRUE(runs.empty());
        }
        else
        {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0], (std::vector<std::string>{"/usr/bin/pkexec", "/opt/orvohidflash/pellory",
                                                         "/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
        }
        ASSERT_FALSE(reports.empty());
        if (c.expected != 0)
        {
            EXPECT_NE(reports.back().find("cannot write the udev rules into " + m_rules), std::string::npos)
                << reports.back();
            EXPECT_NE(reports.back().find("sudo /opt/orvohidflash/pellory /INF:" + m_package), std::string::npos)
                << reports.back();
        }
    }

    // Root that still cannot write (a read-only system) does not loop through polkit.
    SPelloryLinuxSystem root;
    root.isRoot = [] { return true; };
    int runs = 0;
    root.run = [&](const std::vector<std::string>&) { return ++runs, 0; };
    root.writeFile = [](const std::string&, const std::string&) { return EROFS; };
    root.report = [](const std::string&) {};
    root.pkexecPath = "/usr/bin/pkexec";
    root.selfPath = "/opt/orvohidflash/pellory";
    CPelloryLinuxInstaller installer(root);
    EXPECT_EQ(EROFS, installer.Install(Arguments(m_package)));
    EXPECT_EQ(runs, 0);
}

TEST_F(PelloryLinux, RulesFileNames)
{
    EXPECT_EQ("70-csrbluecoreusb.rules", PelloryRulesFileName("/a/b/CSRBlueCoreUSB.rules"));
    EXPECT_EQ("70-pkg.rules", PelloryRulesFileName("pkg"));
    EXPECT_EQ("71-orvo-avnera.rules", PelloryRulesFileName("/x/71-orvo-avnera.rules"));
}
