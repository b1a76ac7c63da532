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
        // Where the orvohidflash package would have put its rules: empty here.
        m_packaged = JoinPath(m_folder, "usr-lib-udev-rules.d");
        CreateDirectories(m_packaged);
        setenv("ORVO_PELLORY_PACKAGED_RULES_DIR", m_packaged.c_str(), 1);
        m_package = std::string(ORVO_PELLORY_DIR) + "/Driver/Driver/linux/70-orvo-tavik.rules";
    }
    void TearDown() override
    {
        unsetenv("ORVO_PELLORY_RULES_DIR");
        unsetenv("ORVO_PELLORY_PACKAGED_RULES_DIR");
    }

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
    std::string m_packaged;
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
    // A copy under a name of its own, marked for the package's scripts.
    const std::string installed = ReadFileBytes(JoinPath(m_rules, "70-orvo-tavik-pellory.rules"));
    EXPECT_EQ(std::string(kPelloryRulesMarker) + ReadFileBytes(m_package), installed);
    EXPECT_EQ(ReadFileBytes(std::string(ORVO_UDEV_RULES_DIR) + "/70-orvo-tavik.rules"), ReadFileBytes(m_package));
    EXPECT_FALSE(FileExists(JoinPath(m_rules, "70-orvo-tavik.rules"))) << "a copy under the package's name masks it";
    // The DFU device as USB device, the headset as hidraw node: for the user
    // at the seat, and for the group plugdev (headless and production users).
    EXPECT_NE(std::string::npos,
              installed.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"0a12\", "
                             "ATTR{idProduct}==\"0001\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\""));
    EXPECT_NE(std::string::npos,
              installed.find("SUBSYSTEM==\"hidraw\", KERNEL==\"hidraw*\", ATTRS{idVendor}==\"2c6d\", "
                             "ATTRS{idProduct}==\"3240\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\""));
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
    EXPECT_EQ((std::vector<std::string>{"70-orvo-tavik-pellory.rules", "71-orvo-other-pellory.rules"}), names);
    EXPECT_EQ(std::string(kPelloryRulesMarker) + "# another family\n",
              ReadFileBytes(JoinPath(m_rules, "71-orvo-other-pellory.rules")));
}

// With the orvohidflash package installed its rules apply: no copy in
// /etc/udev/rules.d would mask them or outlive the package. Only what the
// package does not ship is copied.
TEST_F(PelloryLinux, RulesTheOrvohidflashPackageInstalledGetNoCopy)
{
    const std::string package = JoinPath(m_folder, "package");
    CreateDirectories(package);
    ASSERT_TRUE(WriteFileBytes(JoinPath(package, "70-orvo-tavik.rules"), ReadFileBytes(m_package)));
    ASSERT_TRUE(WriteFileBytes(JoinPath(package, "71-orvo-avnera.rules"), "# avnera\n"));
    ASSERT_TRUE(WriteFileBytes(JoinPath(m_packaged, "70-orvo-tavik.rules"), ReadFileBytes(m_package)));
    EXPECT_EQ(0u, Run({"/INF:" + JoinPath(package, "70-orvo-tavik.rules"), "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_EQ(ListFolder(m_rules), std::vector<std::string>{"71-orvo-avnera-pellory.rules"});

    ASSERT_TRUE(WriteFileBytes(JoinPath(m_packaged, "71-orvo-avnera.rules"), "# avnera\n"));
    ASSERT_TRUE(DeleteFilePath(JoinPath(m_rules, "71-orvo-avnera-pellory.rules")));
    EXPECT_EQ(0u, Run({"/INF:" + JoinPath(package, "70-orvo-tavik.rules"), "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_TRUE(ListFolder(m_rules).empty());
}

// The upgrader may start the tool again and again (the factory retries): a
// tool that finds the rules in place writes nothing and asks nobody for a
// password.
TEST_F(PelloryLinux, RulesInPlaceAreNotWrittenAgainAndNobodyIsAsked)
{
    ASSERT_EQ(0u, Run({"/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
    for (const bool packaged : {false, true})
    {
        SCOPED_TRACE(packaged ? "installed by the package" : "copied before");
        int runs = 0;
        int writes = 0;
        SPelloryLinuxSystem user;
        user.isRoot = [] { return false; };
        user.run = [&](const std::vector<std::string>&) { return ++runs, 0; };
        user.writeFile = [&](const std::string&, const std::string&) { return ++writes, EACCES; };
        user.report = [](const std::string&) {};
        user.selfPath = "/opt/orvohidflash/pellory";
        user.pkexecPath = "/usr/bin/pkexec";
        if (packaged)
        {
            ASSERT_TRUE(WriteFileBytes(JoinPath(m_packaged, "70-orvo-tavik.rules"), ReadFileBytes(m_package)));
            user.packagedRulesDirs = {m_packaged};
        }
        CPelloryLinuxInstaller installer(user);
        for (int again = 0; again < 3; ++again)
            EXPECT_EQ(0, installer.Install(Arguments(m_package)));
        EXPECT_EQ(runs, 0) << "no polkit prompt";
        EXPECT_EQ(writes, 0);
    }
}

// The command the tool prints for root is pasted into a shell as it stands:
// a folder with blanks and quotes, and the identifier's '\\' and '&', come
// through as the words the tool needs; run that way (here without sudo: the
// test runs as whoever it is) it installs the rules.
TEST_F(PelloryLinux, ThePrintedRootCommandWorksWhenPastedIntoAShell)
{
    const std::string program = JoinPath(m_folder, "My Orvo's HID Flash");
    const std::string driver = JoinPath(program, "Driver");
    CreateDirectories(driver);
    const std::string package = JoinPath(driver, "70-orvo-tavik.rules");
    ASSERT_TRUE(WriteFileBytes(package, ReadFileBytes(m_package)));
    std::vector<std::string> reports;
    SPelloryLinuxSystem user;
    user.isRoot = [] { return false; };
    user.run = [](const std::vector<std::string>&) { return -1; };
    user.writeFile = [](const std::string&, const std::string&) { return EACCES; };
    user.report = [&](const std::string& text) { reports.push_back(text); };
    user.selfPath = ORVO_PELLORY_PATH;
    CPelloryLinuxInstaller installer(user);
    SPelloryArguments args = Arguments(package);
    EXPECT_EQ(EACCES, installer.Install(args));
    ASSERT_FALSE(reports.empty());
    const std::size_t at = reports.back().find("run as root: sudo ");
    ASSERT_NE(at, std::string::npos) << reports.back();
    const std::string pasted = reports.back().substr(at + std::string("run as root: sudo ").size());

    // The words the shell makes of it.
    const std::string words = JoinPath(m_folder, "words.txt");
    std::uint32_t status = 1;
    ASSERT_TRUE(RunProcessAndWait({"/bin/sh", "-c", "printf '%s\\n' " + pasted}, RealSeconds(30), &status, {}, words));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ReadFileBytes(words),
              std::string(ORVO_PELLORY_PATH) + "\n/INF:" + package + "\n/ID:USB\\VID_0A12&PID_0001\n");
    // And the tool run by it.
    ASSERT_TRUE(RunProcessAndWait({"/bin/sh", "-c", pasted}, RealSeconds(60), &status, {}, {},
                                  {"ORVO_PELLORY_RULES_DIR=" + m_rules, "ORVO_PELLORY_PACKAGED_RULES_DIR=" + m_packaged}));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ReadFileBytes(JoinPath(m_rules, "70-orvo-tavik-pellory.rules")),
              std::string(kPelloryRulesMarker) + ReadFileBytes(package));
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

TEST_F(PelloryLinux, RulesCopyNames)
{
    EXPECT_EQ("70-csrbluecoreusb-pellory.rules", PelloryRulesCopyName("/a/b/CSRBlueCoreUSB.rules"));
    EXPECT_EQ("70-pkg-pellory.rules", PelloryRulesCopyName("pkg"));
    EXPECT_EQ("71-orvo-avnera-pellory.rules", PelloryRulesCopyName("/x/71-orvo-avnera.rules"));
    EXPECT_EQ("70-orvo-tavik-pellory.rules", PelloryRulesCopyName("70-orvo-tavik.rules"));
}
