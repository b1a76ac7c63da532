// Every bench scenario through the bench program itself: switches, exit
// codes, what the user sees, the log of failed runs, and the firmware the
// simulated headset holds afterwards.
#include <gtest/gtest.h>

#include <regex>

#include "platform/System.h"
#include "tests/TestSupport.h"

namespace
{
struct SRun
{
    std::uint32_t status = 0xFFFFFFFFu;
    std::string output;
    std::string log; // the log file left behind, or empty
    std::string folder;
    std::string firmware;
};

SRun RunBench(const std::string& name, std::vector<std::string> args)
{
    SRun run;
    run.folder = MakeTestFolder("bench-" + name);
    const std::string out = JoinPath(run.folder, "output.txt");
    const std::string firmware = JoinPath(run.folder, "firmware.bin");
    std::vector<std::string> argv = {HostPath(ORVO_BENCH_PATH), "--time-scale", "0.001", "--firmware-out", firmware,
                                     "--instance-name", UniqueTestLockName("bench")};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + JoinPath(run.folder, "appdata")};
    EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(120), &run.status, run.folder, out, env)) << name;
    run.output = ReadFileBytes(out);
    run.firmware = ReadFileBytes(firmware);
    for (const std::string& file : ListFolder(run.folder))
    {
        if (std::regex_match(file, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
            run.log = ReadFileBytes(JoinPath(run.folder, file));
    }
    return run;
}

std::string EmbeddedImage()
{
    return ReadFileBytes(ORVO_FIRMWARE_IMAGE_PATH);
}

// What the headset holds of the image: the DFU suffix stays with the host.
std::string EmbeddedFirmware()
{
    const std::string image = EmbeddedImage();
    return image.size() > 16 ? image.substr(0, image.size() - 16) : std::string();
}

std::string DfuFileOf(const SRun& run)
{
#ifdef _WIN32
    std::wstring folder;
    GetLocalAppDataFolder(&folder);
    return ReadFileBytes(JoinPath(WideToNarrowPath(folder), "Tavik.dfu"));
#else
    return ReadFileBytes(JoinPath(JoinPath(run.folder, "appdata"), "Tavik.dfu"));
#endif
}
} // namespace

TEST(BenchProgramTest, HelpListsTheScenarios)
{
    const SRun run = RunBench("help", {"--help"});
    EXPECT_EQ(run.status, 0u);
    for (const char* s : {"normal", "same", "newer", "dfu-mode", "no-device", "no-driver", "driver-fails",
                          "download-error", "unplug", "--time-scale", "--firmware-out", "--instance-name",
                          "Firmware image: the bench always carries the synthetic test image 1.05.4",
                          "this build's program carries the synthetic test image 1.05.4 (no vendor image given)"})
        EXPECT_NE(run.output.find(s), std::string::npos) << s;
    const SRun bad = RunBench("bad-scenario", {"--scenario", "nonsense"});
    EXPECT_EQ(bad.status, 2u);
}

TEST(BenchProgramTest, SilentUpgradeWritesTheEmbeddedImage)
{
    const std::string image = EmbeddedImage();
    ASSERT_GT(image.size(), 16u);
    const SRun run = RunBench("normal", {"--scenario", "normal", "/S"});
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_EQ(run.firmware, EmbeddedFirmware()); // the headset holds the image's payload, byte for byte
    EXPECT_EQ(DfuFileOf(run), image);       // the DFU file is the whole image
    EXPECT_TRUE(run.log.empty());           // a successful run leaves no log
    EXPECT_NE(run.output.find("bench: the headset runs 1.05.4"), std::string::npos) << run.output;
}

TEST(BenchProgramTest, ImageFromAFileTakesThePlaceOfTheEmbeddedOne)
{
    const std::string other = ReadFileBytes(ORVO_OTHER_IMAGE_PATH);
    ASSERT_GT(other.size(), 16u);
    ASSERT_NE(other, EmbeddedImage());
    const SRun run = RunBench("image", {"--image", HostPath(ORVO_OTHER_IMAGE_PATH), "/S"});
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_EQ(run.firmware, other.substr(0, other.size() - 16));
    EXPECT_NE(run.output.find("bench: the headset runs 1.05.9"), std::string::npos) << run.output;

    // Options that cannot be honoured stop the bench before anything runs.
    const SRun missing = RunBench("image-missing", {"--image", HostPath(JoinPath(run.folder, "none.dfu")), "/S"});
    EXPECT_EQ(missing.status, 2u);
    EXPECT_NE(missing.output.find("cannot read the image"), std::string::npos) << missing.output;
    const SRun part = RunBench("tavik-part", {"--flash-part", "3", "/S"});
    EXPECT_EQ(part.status, 2u);
    const SRun family = RunBench("family", {"--family", "nonsense", "/S"});
    EXPECT_EQ(family.status, 2u);
    EXPECT_NE(family.output.find("unknown family nonsense"), std::string::npos) << family.output;
}

TEST(BenchProgramTest, ProgressModeAndDeviceAlreadyInDfuMode)
{
    const std::string image = EmbeddedImage();
    const SRun progress = RunBench("progress", {"--scenario", "normal", "/P"});
    EXPECT_EQ(progress.status, 0u) << progress.output;
    EXPECT_EQ(progress.firmware, EmbeddedFirmware());

    const SRun dfu = RunBench("dfu-mode", {"--scenario", "dfu-mode", "/S"});
    EXPECT_EQ(dfu.status, 0u) << dfu.output;
    EXPECT_EQ(dfu.firmware, EmbeddedFirmware());
}

TEST(BenchProgramTest, MissingDriverIsInstalledThenTheHeadsetIsReplugged)
{
    const SRun run = RunBench("no-driver", {"--scenario", "no-driver", "/S"});
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_EQ(run.firmware, EmbeddedFirmware());
    EXPECT_NE(run.output.find("bench: driver tool started:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("/ID:USB\\VID_0A12&PID_0001"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Please unplug and plug in the device. Click OK to proceed the upgrade."),
              std::string::npos);
}

TEST(BenchProgramTest, VersionChecksEndSilentRunsWithoutWriting)
{
    const SRun same = RunBench("same", {"--scenario", "same", "/S"});
    EXPECT_EQ(same.status, 1u) << same.output;
    EXPECT_TRUE(same.firmware.empty());
    const SRun newer = RunBench("newer", {"--scenario", "newer", "/S"});
    EXPECT_EQ(newer.status, 2u) << newer.output;
    EXPECT_TRUE(newer.firmware.empty());
    // Without the version check the same firmware is written again.
    const SRun forced = RunBench("same-forced", {"--scenario", "same", "/S", "/F"});
    EXPECT_EQ(forced.status, 0u) << forced.output;
    EXPECT_EQ(forced.firmware, EmbeddedFirmware());
}

TEST(BenchProgramTest, NoDeviceKeepsTheLog)
{
    const SRun run = RunBench("no-device", {"--scenario", "no-device", "/S"});
    EXPECT_EQ(run.status, ExitStatusOf(0x80000001u)) << run.output;
    ASSERT_FALSE(run.log.empty());
    EXPECT_NE(run.log.find("] CFirmwareUpgrade::CreateCFirmwareUpgrade - Try [9]\r\n"), std::string::npos);
    EXPECT_NE(run.log.find("] CFirmwareUpgradeTavik::Init - hRes[80004005], m_In_Dfu_Mode[0]\r\n"), std::string::npos);
    EXPECT_NE(run.log.find("] CFlashApp::ExitInstance - code[0x80000001] success[0]\r\n"), std::string::npos);
}

TEST(BenchProgramTest, FailuresEndWithUpgradeFailedAndTheirLog)
{
    struct
    {
        const char* scenario;
        const char* logLine;
    } cases[] = {
        {"driver-fails", "] CFirmwareUpgradeTavik::InitFirmwareUpgrade -> ExitCode[1]\r\n"},
        {"download-error", "] CFirmwareUpgradeTavik::Progress m_CheckDFUFirmwareComplete[0]\r\n"},
        {"unplug", "] CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth - success[0]\r\n"},
    };
    for (const auto& c : cases)
    {
        const SRun run = RunBench(c.scenario, {"--scenario", c.scenario, "/S"});
        EXPECT_EQ(run.status, ExitStatusOf(0x80000007u)) << c.scenario << "\n" << run.output;
        EXPECT_TRUE(run.firmware.empty()) << c.scenario;
        ASSERT_FALSE(run.log.empty()) << c.scenario;
        EXPECT_NE(run.log.find(c.logLine), std::string::npos) << c.scenario << "\n" << run.log;
        EXPECT_NE(run.log.find("] Error: Device upgrade error!!!\r\n"), std::string::npos) << c.scenario;
        EXPECT_NE(run.log.find("] CFlashApp::ExitInstance - code[0x80000007] success[0]\r\n"), std::string::npos);
    }
}
