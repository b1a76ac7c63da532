// The upgrader base class: defaults, version comparison, image copies and
// the factory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"
#include "tests/TestSupport.h"
#include "tests/app/FakeUpgrader.h"
#include "upgrade/FirmwareUpgrade.h"

namespace
{
// The base bodies only; the pure operations answer nothing useful.
class CBareUpgrader : public CFirmwareUpgrade
{
public:
    HResult GetProductName(wchar_t*, std::uint32_t) override { return HR_FAIL; }
    std::uint32_t GetPacketSize() override { return 0; }
    bool GetDeviceFWVersionString(std::string*) override { return false; }
    bool GetCombinedFWVersionString(std::string*) override { return false; }
    bool GetFWFileVersionString(std::uint32_t, const std::uint8_t*, std::string*) override { return false; }
    HResult InitFirmwareUpgrade(std::uint32_t) override { return HR_FAIL; }
    bool FirmwareUpgradeWrite(const std::uint8_t*, std::uint32_t) override { return false; }
    bool FirmwareValidatePacket(const std::uint8_t*, std::uint16_t) override { return false; }
    bool EndFirmwareUpgrade() override { return false; }
    HResult ResetFirmware() override { return HR_FAIL; }
    HResult Init(std::uint32_t, std::uint32_t) override { return HR_OK; }
};

std::int32_t Compare(const char* current, const char* next)
{
    CBareUpgrader upgrader;
    return upgrader.CompareFirmwareVersion(current, next);
}
} // namespace

TEST(FirmwareUpgradeTest, DefaultsOfTheBase)
{
    CBareUpgrader u;
    EXPECT_TRUE(u.IsUSBHubAllowed());
    EXPECT_FALSE(u.IsValidationRequired());
    EXPECT_FALSE(u.Reserved3());
    EXPECT_TRUE(u.IsUpgradeAllowed());
    EXPECT_FALSE(u.IsPowerCycleRequired());
    EXPECT_EQ(u.Reserved6(), 4000u);
    EXPECT_EQ(u.GetVersionCheckMethod(), 0);
    EXPECT_EQ(u.CheckDeviceVersion(), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(u.Reserved12(), 0u);
    EXPECT_FALSE(u.SupportFullImageFirmwareUpgrade());
    EXPECT_EQ(u.Reserved20(), 0x10000u);
    EXPECT_FALSE(u.FirmwareUpgradeWriteFullImage(nullptr, 0, nullptr));
    EXPECT_FALSE(u.Reserved24());
    EXPECT_TRUE(u.IsWriteSynchronous());
    EXPECT_TRUE(u.OverallInitFirmwareUpgrade());
    EXPECT_TRUE(u.OverallEndFirmwareUpgrade());
    EXPECT_TRUE(u.Reserved30());
    EXPECT_EQ(u.GetNumMCU(), 1u);
    EXPECT_EQ(u.GetActiveMCU(), 0u);
    EXPECT_EQ(u.GetProductID(), 0u);
    EXPECT_EQ(u.GetDevicePath(), nullptr);
    EXPECT_EQ(u.DetermineQuillonfirmwareToLoad(), 0u);
    EXPECT_EQ(u.m_pFlashDlg, nullptr);
    u.SetDevicePath("\\\\?\\hid#1");
    EXPECT_STREQ(u.GetDevicePath(), "\\\\?\\hid#1");
    u.SetDevicePath("");
    EXPECT_EQ(u.GetDevicePath(), nullptr);
}

TEST(FirmwareUpgradeTest, ControllerSelection)
{
    CBareUpgrader u;
    EXPECT_EQ(u.SetActiveMCU(1), HR_FAIL);
    EXPECT_EQ(u.GetActiveMCU(), 0u);
    EXPECT_EQ(u.SetActiveMCU(0), HR_OK);
    u.m_numMCU = 3;
    EXPECT_EQ(u.SetActiveMCU(2), HR_OK);
    EXPECT_EQ(u.GetActiveMCU(), 2u);

    std::uint32_t type = 77;
    EXPECT_EQ(u.GetMCUType(1, &type), HR_FAIL);
    EXPECT_EQ(type, 77u);
    u.m_typeMCU = 15;
    EXPECT_EQ(u.GetMCUType(0, &type), HR_OK);
    EXPECT_EQ(type, 15u);
}

TEST(FirmwareUpgradeTest, VersionComparison)
{
    EXPECT_EQ(Compare("1.0.130521", "1.0.130601"), CURR_VERSION_CHECK_OLDER);
    EXPECT_EQ(Compare("1.0.130521", "1.0.130521"), CURR_VERSION_CHECK_SAME);
    EXPECT_EQ(Compare("1.1.130521", "1.0.130521"), CURR_VERSION_CHECK_NEWER);
    EXPECT_EQ(Compare("2.0.130521", "1.0.130521"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(Compare("1.0.13052", "1.0.130521"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(Compare("1.0.130521", "1.0.13052"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(Compare("2.0.130521", "3.0.130521"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(Compare("1.0.1305210", "1.0.1305210"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(Compare("", ""), CURR_VERSION_CHECK_UNKNOWN);
    // Year outweighs month, month outweighs day; separators are not read.
    EXPECT_EQ(Compare("1.0.141231", "1.0.150101"), CURR_VERSION_CHECK_OLDER);
    EXPECT_EQ(Compare("1.0.130230", "1.0.130301"), CURR_VERSION_CHECK_OLDER);
    EXPECT_EQ(Compare("1x0y130521", "1.0.130521"), CURR_VERSION_CHECK_SAME);
}

TEST(FirmwareUpgradeTest, VersionComparisonLogsItsSteps)
{
    const std::string folder = MakeTestFolder("upgrade-compare-log");
    const std::string path = JoinPath(folder, "compare.log");
    ASSERT_EQ(OpenLog(path.c_str()), HR_OK);
    Compare("1.0.130521", "1.0.130601");
    Compare("2.0.130521", "1.0.130521");
    CloseLog();
    const std::string log = ReadFileBytes(path);
    const std::uint32_t current = (1u << 24) | (13u << 9) | (5u << 5) | 21u;
    const std::uint32_t next = (1u << 24) | (13u << 9) | (6u << 5) | 1u;
    char line[128];
    std::snprintf(line, sizeof line, "] Curr Ver[%d][%08X] New Ver[%d][%08x]\r\n", static_cast<int>(current), current,
                  static_cast<int>(next), next);
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_NE(log.find("] Version Check Result [CURR_VERSION_CHECK_OLDER]\r\n"), std::string::npos);
    EXPECT_NE(log.find("] Version Check Result [CURR_VERSION_CHECK_UNKNOWN]\r\n"), std::string::npos);
    // The unknown comparison computed no values.
    EXPECT_EQ(log.find("Curr Ver"), log.rfind("Curr Ver"));
}

TEST(FirmwareUpgradeTest, ImageCopies)
{
    CBareUpgrader u;
    const std::uint8_t raw[5] = {1, 2, 3, 4, 5};
    std::uint32_t size = 0;
    std::uint8_t* image = nullptr;
    ASSERT_EQ(u.PrepareFirmwareImage(5, raw, &size, &image), HR_OK);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::memcmp(image, raw, 5), 0);
    EXPECT_NE(image, raw);

    std::uint32_t uploadSize = 0;
    std::uint8_t* upload = nullptr;
    ASSERT_EQ(u.PrepareUploadFirmwareImage(size, image, &uploadSize, &upload), HR_OK);
    EXPECT_EQ(uploadSize, 5u);
    EXPECT_EQ(std::memcmp(upload, raw, 5), 0);
    delete[] upload;
    delete[] image;

    std::uint8_t* none = nullptr;
    EXPECT_EQ(u.PrepareFirmwareImage(0, raw, &size, &none), HR_FAIL);
    EXPECT_EQ(u.PrepareFirmwareImage(5, nullptr, &size, &none), HR_FAIL);
    EXPECT_EQ(u.PrepareFirmwareImage(5, raw, nullptr, &none), HR_FAIL);
    EXPECT_EQ(u.PrepareFirmwareImage(5, raw, &size, nullptr), HR_FAIL);
    EXPECT_EQ(u.PrepareUploadFirmwareImage(0, raw, &size, &none), HR_FAIL);
    EXPECT_EQ(u.PrepareUploadFirmwareImage(5, nullptr, &size, &none), HR_FAIL);
    EXPECT_EQ(none, nullptr);
}

TEST(FirmwareUpgradeFactoryTest, TenTriesWithSleepsThenNull)
{
    SFakeUpgraderConfig config;
    config.initResults.assign(10, HR_FAIL);
    auto record = InstallFakeUpgrader(config);
    const std::uint64_t slept = CClock::SleptMs();
    std::unique_ptr<CFirmwareUpgrade> upgrader(CFirmwareUpgrade::CreateCFirmwareUpgrade());
    EXPECT_EQ(upgrader, nullptr);
    EXPECT_EQ(record->constructed, 10);
    EXPECT_EQ(record->destroyed, 10);
    EXPECT_EQ(CClock::SleptMs() - slept, 15000u); // ten pauses of 1,500 ms, the last one too
    CFirmwareUpgrade::SetConstructor(nullptr);
}

TEST(FirmwareUpgradeFactoryTest, StopsAtTheFirstUpgraderThatInitialises)
{
    SFakeUpgraderConfig config;
    config.initResults = {HR_FAIL, static_cast<HResult>(0x80000001u), 1};
    auto record = InstallFakeUpgrader(config);
    std::unique_ptr<CFirmwareUpgrade> upgrader(CFirmwareUpgrade::CreateCFirmwareUpgrade());
    ASSERT_NE(upgrader, nullptr); // a positive Init result counts as success
    EXPECT_EQ(record->constructed, 3);
    EXPECT_EQ(record->destroyed, 2);

    // An allocation that fails is retried like a failed Init.
    int calls = 0;
    CFirmwareUpgrade::SetConstructor([&]() -> CFirmwareUpgrade* { return ++calls < 3 ? nullptr : new CBareUpgrader; });
    upgrader.reset(CFirmwareUpgrade::CreateCFirmwareUpgrade());
    EXPECT_NE(upgrader, nullptr);
    EXPECT_EQ(calls, 3);

    // No family built in: null at once.
    CFirmwareUpgrade::SetConstructor(nullptr);
    const std::uint64_t slept = CClock::SleptMs();
    EXPECT_EQ(CFirmwareUpgrade::CreateCFirmwareUpgrade(), nullptr);
    EXPECT_EQ(CClock::SleptMs() - slept, 0u); // no pause for a retry
}

// An upgrader that cannot be allocated is the factory's "Insufficient Memory"
// case, retried and then reported as no device, not an exception.
TEST(FirmwareUpgradeTest, AllocationFailureOfTheUpgraderIsReturnedNotThrown)
{
    const std::string folder = MakeTestFolder("upgrade-out-of-memory");
    const std::string path = JoinPath(folder, "factory.log");
    ASSERT_EQ(OpenLog(path.c_str()), HR_OK);
    int calls = 0;
    CFirmwareUpgrade::SetConstructor([&calls]() -> CFirmwareUpgrade* {
        ++calls;
        throw std::bad_alloc();
    });
    CFirmwareUpgrade* upgrader = nullptr;
    EXPECT_NO_THROW(upgrader = CFirmwareUpgrade::CreateCFirmwareUpgrade());
    CFirmwareUpgrade::SetConstructor(nullptr);
    CloseLog();
    EXPECT_EQ(upgrader, nullptr);
    EXPECT_EQ(calls, 10);
    const std::string log = ReadFileBytes(path);
    EXPECT_NE(log.find("] CFirmwareUpgrade::CreateCFirmwareUpgrade - Tavik Insufficient Memory!!!\r\n"),
              std::string::npos)
        << log;
}
