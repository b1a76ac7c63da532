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
    // A five-hundredth of real time: the headset model's thread gets the
    // processor within the upgrader's re-enumeration margin (3.5 s of product
    // time, 7 ms here) also on a loaded machine.
    std::vector<std::string> argv = {HostPath(ORVO_BENCH_PATH), "--time-scale", "0.002", "--firmware-out", firmware,
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

// --- access, the right device ---------------------------------------------

// A user the system refuses the headset's HID node is told that access is
// missing and how to grant it, on the console and in the log; never "not
// connected". The exit code stays "no device found".
TEST(BenchProgramTest, RefusedHeadsetIsExplainedOnTheConsoleAndInTheLog)
{
    const std::string advice = "Access to the headset (2C6D:3240) is missing: the user bench-user may not open it "
                               "(bench-hid:1-1:1.0:1, USB port 1-1: permission denied).\n"
                               "The rules /usr/lib/udev/rules.d/70-orvo-tavik.rules give it to the group plugdev. Add the "
                               "user bench-user to it:\n    sudo usermod -aG plugdev bench-user\nthen log in again, then "
                               "unplug the device and plug it in again.";
#ifdef _WIN32
    // A Windows program has no console: the log says it (and the message box
    // of an interactive run, which the GUI test sees).
    const bool modes[] = {true};
#else
    const bool modes[] = {true, false};
#endif
    for (const bool silent : modes)
    {
        SCOPED_TRACE(silent ? "silent" : "interactive");
        std::vector<std::string> args = {"--fault", "no-access-hid"};
        if (silent)
            args.push_back("/S");
        const SRun run = RunBench(silent ? "no-access-hid" : "no-access-hid-interactive", args);
        EXPECT_EQ(run.status, ExitStatusOf(0x80000001u)) << run.output;
#ifndef _WIN32
        EXPECT_NE(run.output.find(advice), std::string::npos) << run.output;
#endif
        EXPECT_EQ(run.output.find("not connected"), std::string::npos) << run.output;
        ASSERT_FALSE(run.log.empty());
        std::string logged = advice;
        for (std::size_t at = logged.find('\n'); at != std::string::npos; at = logged.find('\n', at + 2))
            logged.replace(at, 1, "\r\n");
        EXPECT_NE(run.log.find("] CFirmwareUpgradeTavik - " + logged + "\r\n"), std::string::npos) << run.log;
        EXPECT_NE(run.log.find("] CFlashDlg::The device is there, but access to it is missing\r\n"), std::string::npos);
        EXPECT_TRUE(run.firmware.empty());
    }
}

// The headset's DFU mode refuses the user: the upgrade fails, with the advice.
TEST(BenchProgramTest, RefusedDfuDeviceFailsTheUpgradeWithTheAdvice)
{
    const SRun run = RunBench("no-access-dfu", {"--fault", "no-access-dfu", "/S"});
    EXPECT_EQ(run.status, ExitStatusOf(0x80000007u)) << run.output;
    const std::string advice = "Access to the headset in USB DFU mode (0A12:0001) is missing: the user bench-user may "
                               "not open it (/dev/bus/usb/001/009, USB port 1-1: permission denied).";
#ifndef _WIN32
    EXPECT_NE(run.output.find(advice), std::string::npos) << run.output;
#endif
    EXPECT_NE(run.log.find(advice), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("] CFirmwareUpgradeTavik - DFU device USB\\VID_0A12&PID_0001\\1-1 is there but does not "
                           "open: permission denied\r\n"),
              std::string::npos)
        << run.log;
    EXPECT_TRUE(run.firmware.empty());
}

// Another vendor's device in DFU mode beside the headset is never written.
TEST(BenchProgramTest, AnotherVendorsDfuDeviceIsLeftAlone)
{
    const SRun run = RunBench("other-dfu-device", {"--fault", "other-dfu-device", "/S"});
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_EQ(run.firmware, EmbeddedFirmware());
    EXPECT_NE(run.output.find("bench: the other vendor's DFU device (0483:DF11 on port 1-2) took 0 blocks, 0 detaches"),
              std::string::npos)
        << run.output;
}

// --- --real-usb -------------------------------------------------------------------

namespace
{
SRun RunRealUsb(const std::string& name, std::vector<std::string> args)
{
    SRun run;
    run.folder = MakeTestFolder("bench-real-" + name);
    const std::string out = JoinPath(run.folder, "output.txt");
    std::vector<std::string> argv = {HostPath(ORVO_BENCH_PATH), "--real-usb", "--time-scale", "0.001", "--instance-name",
                                     UniqueTestLockName("bench-real")};
    argv.insert(argv.end(), args.begin(), args.end());
    // The real driver tool installs into folders of the test's, not the machine's.
    CreateDirectories(JoinPath(run.folder, "rules"));
    CreateDirectories(JoinPath(run.folder, "packaged"));
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + JoinPath(run.folder, "appdata"),
                                          "ORVO_PELLORY_RULES_DIR=" + JoinPath(run.folder, "rules"),
                                          "ORVO_PELLORY_PACKAGED_RULES_DIR=" + JoinPath(run.folder, "packaged")};
    EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(120), &run.status, run.folder, out, env)) << name;
    run.output = ReadFileBytes(out);
    for (const std::string& file : ListFolder(run.folder))
    {
        if (std::regex_match(file, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
            run.log = ReadFileBytes(JoinPath(run.folder, file));
    }
    return run;
}
} // namespace

// The options that set up or read the simulated world are refused with the
// reason before anything runs.
TEST(BenchProgramTest, RealUsbRefusesTheSimulatedWorldsOptions)
{
    struct
    {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"--scenario", "normal"}, "--scenario sets up the simulated world"},
        {{"--fault", "unplug-at-block=3"}, "--fault makes the simulated devices fail"},
        {{"--family", "av7300", "--flash-part", "31"}, "--flash-part and --chip-revision set up a simulated product"},
        {{"--family", "av7201", "--device-image", ORVO_OTHER_IMAGE_PATH}, "set up a simulated product"},
        {{"--firmware-out", "x.bin"}, "the bench cannot read a real device's back"},
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> args = c.args;
        args.push_back("/S");
        const SRun run = RunRealUsb("refused", args);
        EXPECT_EQ(run.status, 2u) << run.output;
        EXPECT_NE(run.output.find(c.reason), std::string::npos) << run.output;
        EXPECT_TRUE(run.log.empty());
    }
    EXPECT_NE(RunBench("help-real", {"--help"}).output.find("--real-usb"), std::string::npos);
}

// On this machine's own HID and USB, with nothing plugged in: every family's
// upgrader looks for its device through the real ports and finds none.
TEST(BenchProgramTest, RealUsbRunsTheFamiliesOnThisMachinesPorts)
{
    for (const char* family : {"tavik", "av7300", "av7201", "av6201", "av6302"})
    {
        SCOPED_TRACE(family);
        const SRun run = RunRealUsb(std::string("none-") + family, {"--family", family, "/S", "/F"});
        EXPECT_EQ(run.status, ExitStatusOf(0x80000001u)) << run.output;
        EXPECT_NE(run.output.find(std::string("bench: family ") + family +
                                  " on this machine's HID and USB (--real-usb)"),
                  std::string::npos)
            << run.output;
        EXPECT_FALSE(run.log.empty());
    }
}
