// The Linux installer: the udev rule written into a test folder.
#include <gtest/gtest.h>

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
        m_package = std::string(ORVO_PELLORY_DIR) + "/Driver/Driver/linux/CSRBlueCoreUSB.rules";
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
} // namespace

TEST_F(PelloryLinux, InstallsTheRuleForTheDevice)
{
    EXPECT_EQ(0u, Run({"/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
    const std::string installed = ReadFileBytes(JoinPath(m_rules, "70-csrbluecoreusb.rules"));
    EXPECT_EQ(ReadFileBytes(m_package), installed);
    EXPECT_NE(std::string::npos, installed.find("ATTR{idVendor}==\"0a12\""));
    EXPECT_NE(std::string::npos, installed.find("TAG+=\"uaccess\""));
    EXPECT_EQ(std::vector<std::string>{"70-csrbluecoreusb.rules"}, ListFolder(m_rules));
    // Again, lower case: replaced in place.
    EXPECT_EQ(0u, Run({"/inf:" + m_package, "/id:usb\\vid_0a12&pid_0001"}));
    EXPECT_EQ(1u, ListFolder(m_rules).size());
}

TEST_F(PelloryLinux, FailuresGiveTheErrorNumber)
{
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), Run({"/INF:" + m_folder + "/missing.rules", "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_EQ(static_cast<std::uint32_t>(ENODEV), Run({"/INF:" + m_package, "/ID:USB\\VID_2C6D&PID_3240"}));
    EXPECT_EQ(static_cast<std::uint32_t>(EINVAL), Run({"/INF:" + m_package, "/ID:HID\\junk"}));
    setenv("ORVO_PELLORY_RULES_DIR", (m_folder + "/absent").c_str(), 1);
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), Run({"/INF:" + m_package, "/ID:USB\\VID_0A12&PID_0001"}));
    EXPECT_TRUE(ListFolder(m_rules).empty());
}

TEST_F(PelloryLinux, RulesFileNames)
{
    EXPECT_EQ("70-csrbluecoreusb.rules", PelloryRulesFileName("/a/b/CSRBlueCoreUSB.rules"));
    EXPECT_EQ("70-pkg.rules", PelloryRulesFileName("pkg"));
}
