// The Tavik upgrader driven as the upgrade run drives it, against the
// simulated headset (HID mode, DFU mode, driver installation, replug).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "bench/dfu/SimFirmware.h"
#include "bench/program/RefusingDevices.h"
#include "bench/tavik/TavikHeadset.h"
#include "dfu/DfuFile.h"
#include "families/tavik/FirmwareUpgradeTavik.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "tests/TestSupport.h"
#include "tests/usb/LogCapture.h"
#include "tools/pellory/PelloryCommandLine.h"

namespace
{
std::vector<std::uint8_t> MakeImage(const std::string& version, std::size_t payload = 3000)
{
    std::vector<std::uint8_t> image = MakeSimFirmware(version, payload);
    AppendDfuSuffix(image, 0xFFFF, 0xFFFF, 0xFFFF);
    return image;
}

// What the headset receives and holds of a DFU file: the suffix stays with the host.
std::vector<std::uint8_t> Payload(const std::vector<std::uint8_t>& image)
{
    return std::vector<std::uint8_t>(image.begin(), image.end() - static_cast<long>(kDfuSuffixLength));
}

// The dialog services the upgrader reaches through m_pFlashDlg.
class CRecordingDialog : public IUpgradeDialog
{
public:
    CRecordingDialog() { m_completion.Create(true, false); }
    bool IsSilentMode() const override { return m_silent; }
    int GetProgressPos() override { return m_pos; }
    void SetProgressPos(int pos) override
    {
        m_pos = pos;
        CMutexLock lock(m_lock);
        m_positions.push_back(pos);
    }
    void SetProgressRange(int, int upper) override { m_upper = upper; }
    void SetProgressStep(int) override {}
    void StepProgress() override
    {
        ++m_pos;
        ++m_steps;
    }
    void RedrawDialog() override {}
    void ShowDialog() override {}
    void SetStatusText(const std::string& text) override
    {
        CMutexLock lock(m_lock);
        m_texts.push_back(text);
    }
    bool SetCompletionEvent() override { return m_completion.Set(); }
    void SetProgressWindowPercent(int percent) override
    {
        CMutexLock lock(m_lock);
        m_windowPercents.push_back(percent);
    }
    std::vector<int> WindowPercents()
    {
        CMutexLock lock(m_lock);
        return m_windowPercents;
    }

    std::vector<std::string> Texts()
    {
        CMutexLock lock(m_lock);
        return m_texts;
    }
    std::vector<int> Positions()
    {
        CMutexLock lock(m_lock);
        return m_positions;
    }

    bool m_silent = false;
    std::atomic<int> m_pos{0};
    std::atomic<int> m_upper{0};
    std::atomic<int> m_steps{0};
    CEvent m_completion;
    CMutex m_lock;
    std::vector<std::string> m_texts;
    std::vector<int> m_positions;
    std::vector<int> m_windowPercents;
};

struct SWorld
{
    explicit SWorld(STavikHeadsetConfig config = {})
        : bus(std::make_shared<CSimDfuBus>())
    {
        config.dfu.wTransferSize = 256;
        config.dfu.pollTimeoutMs = 2;
        headset = std::make_unique<CTavikHeadset>(config, bus);
        hid.AddFace(headset.get());
        folder = MakeTestFolder(std::string("tavik-") + testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    STavikEnvironment Environment()
    {
        STavikEnvironment env;
        env.hidApi = &hid;
        env.dfuFactory = bus;
        env.messageBox = [this](const char* text, std::uint32_t) {
            messages.push_back(text);
            headset->Replug(); // the user does as asked
            return 1;
        };
        env.startDriverTool = [this](const std::string& toolPath, const std::string& commandLine,
                                     std::uint32_t* exitCode, std::uint32_t* startError) {
            toolPaths.push_back(toolPath);
            toolCommandLines.push_back(commandLine);
            if (driverToolStartError != 0)
            {
                *startError = driverToolStartError;
                return false;
            }
            if (driverToolExitCode == 0)
                headset->InstallDriver();
            *exitCode = driverToolExitCode;
            return true;
        };
#ifdef _WIN32
        env.programDirectory = "C:\\Orvo\\";
#else
        env.programDirectory = "/opt/orvo/";
#endif
        env.localAppDataFolder = [this](std::wstring* out) {
            *out = NarrowToWidePath(folder);
            return HR_OK;
        };
        return env;
    }

    std::shared_ptr<CSimDfuBus> bus;
    std::unique_ptr<CTavikHeadset> headset;
    CBenchHidApi hid;
    std::string folder;
    std::vector<std::string> messages;
    std::vector<std::string> toolPaths;
    std::vector<std::string> toolCommandLines;
    std::uint32_t driverToolExitCode = 0;
    std::uint32_t driverToolStartError = 0; // not 0: the tool cannot be started
};

// The upgrade run's order of calls, as the dialog's worker makes them.
bool RunUpgrade(CFirmwareUpgradeTavik& upgrader, CRecordingDialog& dialog, const std::vector<std::uint8_t>& image)
{
    std::uint32_t size = 0;
    std::uint8_t* copy = nullptr;
    if (IsFailure(upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(image.size()), image.data(), &size, &copy)))
        return false;
    std::unique_ptr<std::uint8_t[]> owned(copy);
    upgrader.m_pFlashDlg = &dialog;
    if (upgrader.InitFirmwareUpgrade(size) != HR_OK)
        return false;
    if (!upgrader.FirmwareUpgradeWrite(copy, size))
        return false;
    if (dialog.m_completion.Wait(kInfinite) != EWaitResult::Signalled)
        return false;
    return upgrader.EndFirmwareUpgrade();
}
} // namespace

TEST(TavikCompareTest, VersionVectors)
{
    SWorld world;
    CFirmwareUpgradeTavik upgrader(world.Environment());
    EXPECT_EQ(upgrader.CompareFirmwareVersion("1.05.4", "1.05.4"), CURR_VERSION_CHECK_SAME);
    EXPECT_EQ(upgrader.CompareFirmwareVersion("1.05.3", "1.05.4"), CURR_VERSION_CHECK_OLDER);
    EXPECT_EQ(upgrader.CompareFirmwareVersion("1.06.0", "1.05.4"), CURR_VERSION_CHECK_NEWER);
    EXPECT_EQ(upgrader.CompareFirmwareVersion("2.00.0", "1.05.4"), CURR_VERSION_CHECK_NEWER); // first characters may differ
    EXPECT_EQ(upgrader.CompareFirmwareVersion("1.05.", "1.05.4"), CURR_VERSION_CHECK_UNKNOWN);
    EXPECT_EQ(upgrader.CompareFirmwareVersion("Unknown", "1.05.4"), CURR_VERSION_CHECK_OLDER);
    EXPECT_EQ(upgrader.GetPacketSize(), 1u);
    EXPECT_FALSE(upgrader.IsWriteSynchronous());
    EXPECT_TRUE(upgrader.IsPowerCycleRequired());
    EXPECT_FALSE(upgrader.IsValidationRequired());
    EXPECT_EQ(upgrader.GetVersionCheckMethod(), 1);
    std::uint32_t type = 0;
    EXPECT_EQ(upgrader.GetMCUType(0, &type), HR_OK);
    EXPECT_EQ(type, 15u);
}

TEST(TavikUpgradeTest, HidDeviceIsUpgradedEndToEnd)
{
    SWorld world;
    CFirmwareUpgradeTavik upgrader(world.Environment());
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    EXPECT_FALSE(upgrader.m_In_Dfu_Mode);
    wchar_t name[126] = {};
    ASSERT_EQ(upgrader.GetProductName(name, sizeof name), HR_OK);
    EXPECT_STREQ(name, L"Veritane Tamsel Mic");
    std::string version;
    ASSERT_TRUE(upgrader.GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.05.3");

    const std::vector<std::uint8_t> image = MakeImage("1.05.4");
    CRecordingDialog dialog;
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));

    // The DFU file is the image, byte for byte; the device holds its payload.
    EXPECT_EQ(ReadFileBytes(JoinPath(world.folder, "Tavik.dfu")),
              std::string(image.begin(), image.end()));
    EXPECT_EQ(world.headset->Firmware(), Payload(image));
    EXPECT_TRUE(world.toolCommandLines.empty());
    EXPECT_TRUE(world.messages.empty());
    // The bar moves with the bytes sent, from 0 to 100 of a 0..100 range.
    const std::vector<int> positions = dialog.Positions();
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(dialog.m_upper.load(), 100);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.front(), 0);
    EXPECT_EQ(positions.back(), 100);
    EXPECT_GE(std::set<int>(positions.begin(), positions.end()).size(), 5u) << "the bar must move in between";
    const auto texts = dialog.Texts();
    ASSERT_FALSE(texts.empty());
    const std::string total = std::to_string(Payload(image).size());
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "Upgrading in progress, please wait...\n" + total + " of " + total + " bytes"),
              texts.end());
    // Manifestation: the device checks the image, and the user is told so.
    EXPECT_EQ(texts.back(), "Verifying firmware in progress, please wait...");

    // The headset restarts in HID mode with the new firmware.
    CDeadline back(20000);
    while (world.headset->Mode() != CTavikHeadset::EMode::Hid && !back.IsExpired())
        CClock::Sleep(50);
    EXPECT_EQ(world.headset->Version(), "1.05.4");
}

// Progress mode (/P) is silent: the dialog's bar stays untouched, and the
// progress window follows the bytes sent from 0 to 100 %.
TEST(TavikUpgradeTest, ProgressWindowOfProgressModeFollowsTheDownload)
{
    SWorld world;
    CFirmwareUpgradeTavik upgrader(world.Environment());
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    CRecordingDialog dialog;
    dialog.m_silent = true;
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, MakeImage("1.05.4")));
    EXPECT_TRUE(dialog.Positions().empty());
    EXPECT_TRUE(dialog.Texts().empty());
    const std::vector<int> percents = dialog.WindowPercents();
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 5u) << "the window must move in between";
}

TEST(TavikUpgradeTest, DeviceAlreadyInDfuMode)
{
    STavikHeadsetConfig config;
    config.startInDfuMode = true;
    SWorld world(config);
    CFirmwareUpgradeTavik upgrader(world.Environment());
    const std::uint64_t start = CClock::NowMs();
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    EXPECT_GE(CClock::NowMs() - start, 6000u); // the 5 s settle, then 1 s
    EXPECT_TRUE(upgrader.m_In_Dfu_Mode);
    wchar_t name[126] = {};
    ASSERT_EQ(upgrader.GetProductName(name, sizeof name), HR_OK);
    EXPECT_STREQ(name, L"Veritane Tamsel Mic");
    std::string version;
    ASSERT_TRUE(upgrader.GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "Unknown");
    EXPECT_EQ(upgrader.CompareFirmwareVersion(version, "1.05.4"), CURR_VERSION_CHECK_OLDER);
    EXPECT_TRUE(upgrader.ConfigureDFU());

    const std::vector<std::uint8_t> image = MakeImage("1.05.4");
    CRecordingDialog dialog;
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));
    EXPECT_EQ(world.headset->Firmware(), Payload(image));
}

TEST(TavikUpgradeTest, MissingDriverIsInstalledAndTheUserReplugs)
{
    STavikHeadsetConfig config;
    config.driverInstalled = false;
    SWorld world(config);
    CFirmwareUpgradeTavik upgrader(world.Environment());
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    const std::vector<std::uint8_t> image = MakeImage("1.05.4");
    CRecordingDialog dialog;
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));
    ASSERT_EQ(world.toolCommandLines.size(), 1u);
    const std::string& line = world.toolCommandLines[0];
#ifdef _WIN32
    const bool win64 = sizeof(void*) == 8;
    EXPECT_EQ(line, std::string("C:\\Orvo\\") + (win64 ? "Pellory64.exe" : "Pellory32.exe") +
                        " /INF:C:\\Orvo\\Driver\\Driver\\" + (win64 ? "win64" : "win32") +
                        "\\CSRBlueCoreUSB.inf /ID:USB\\VID_0A12&PID_0001");
#else
    EXPECT_EQ(line, "/opt/orvo/pellory /INF:/opt/orvo/Driver/Driver/linux/70-orvo-tavik.rules /ID:USB\\VID_0A12&PID_0001");
#endif
    ASSERT_EQ(world.messages.size(), 1u);
    EXPECT_EQ(world.messages[0], "Please unplug and plug in the device. Click OK to proceed the upgrade.");
    EXPECT_EQ(world.headset->Firmware(), Payload(image));
}

// The upgrader looks for the DFU device for 5 s and once more when that
// time is up; a headset that takes all of it to re-enumerate is found however
// late the upgrader's thread gets to that last look, with the driver in place
// or after the driver tool and a replug.
TEST(TavikUpgradeTest, ReenumerationThatTakesTheWholeWaitIsFound)
{
    for (const bool driverInstalled : {true, false})
    {
        SCOPED_TRACE(driverInstalled ? "driver installed" : "driver missing");
        STavikHeadsetConfig config;
        config.reenumerateMs = 5000;
        config.driverInstalled = driverInstalled;
        SWorld world(config);
        CFirmwareUpgradeTavik upgrader(world.Environment());
        ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
        const std::vector<std::uint8_t> image = MakeImage("1.05.4");
        CRecordingDialog dialog;
        ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));
        EXPECT_EQ(world.headset->Firmware(), Payload(image));
        EXPECT_EQ(world.toolCommandLines.size(), driverInstalled ? 0u : 1u);
    }
}

// The headset's modes follow the clock, whoever looks and whenever: its DFU
// device is on the DFU bus from the moment the re-enumeration ends, without
// anyone touching the headset in between, and not a moment before.
TEST(TavikUpgradeTest, DfuDeviceIsThereWhenTheReenumerationEnds)
{
    STavikHeadsetConfig config;
    config.reenumerateMs = 1500;
    SWorld world(config);
    std::unique_ptr<IDfuTransport> transport = world.bus->CreateTransport();
    std::vector<SDfuDeviceEntry> names;
    ASSERT_EQ(transport->Enumerate(names), EDfuIo::Ok);
    EXPECT_TRUE(names.empty());
    const std::uint8_t enterDfu[17] = {0x02, 0x01, 0x01};
    const std::uint64_t sent = CClock::NowMs();
    ASSERT_EQ(world.headset->OnOutputReport(enterDfu, sizeof enterDfu), 17);
    EXPECT_FALSE(world.headset->IsPresent()); // off the bus as HID device at once
    ASSERT_EQ(transport->Enumerate(names), EDfuIo::Ok);
    if (CClock::NowMs() < sent + 1500)
    {
        EXPECT_TRUE(names.empty()); // looked before the end: not a moment early
    }
    CClock::Sleep(1500);
    ASSERT_EQ(transport->Enumerate(names), EDfuIo::Ok);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_FALSE(names[0].runtimeMode);
    EXPECT_EQ(world.headset->Mode(), CTavikHeadset::EMode::Dfu);
}

TEST(TavikUpgradeTest, FailingDriverToolFailsTheStepWithoutPrompt)
{
    STavikHeadsetConfig config;
    config.driverInstalled = false;
    SWorld world(config);
    world.driverToolExitCode = 5;
    CFirmwareUpgradeTavik upgrader(world.Environment());
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    std::uint32_t size = 0;
    std::uint8_t* copy = nullptr;
    const auto image = MakeImage("1.05.4");
    ASSERT_EQ(upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(image.size()), image.data(), &size, &copy), HR_OK);
    delete[] copy;
    EXPECT_EQ(upgrader.InitFirmwareUpgrade(size), static_cast<HResult>(0x80000000u));
    EXPECT_TRUE(world.messages.empty());
    EXPECT_FALSE(upgrader.FirmwareUpgradeWrite(nullptr, 0)); // nothing is started without a successful init
}

TEST(TavikUpgradeTest, DownloadErrorAndVanishingDeviceFailTheEnd)
{
    for (const bool vanish : {false, true})
    {
        STavikHeadsetConfig config;
        if (vanish)
            config.dfu.vanishAtBlock = 4;
        else
            config.dfu.errorAtBlock = 4;
        SWorld world(config);
        CFirmwareUpgradeTavik upgrader(world.Environment());
        ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
        CRecordingDialog dialog;
        EXPECT_FALSE(RunUpgrade(upgrader, dialog, MakeImage("1.05.4"))) << (vanish ? "vanish" : "error");
        EXPECT_FALSE(upgrader.m_CheckDFUFirmwareComplete.load());
        EXPECT_TRUE(world.headset->Firmware().empty());
    }
}

TEST(TavikUpgradeTest, NoDeviceAtAllFailsInit)
{
    SWorld world;
    world.headset->Replug();
    world.driverToolExitCode = 1;
    CTavikHeadset* headset = world.headset.get();
    (void)headset;
    // A world without the headset.
    CBenchHidApi emptyHid;
    STavikEnvironment env = world.Environment();
    env.hidApi = &emptyHid;
    env.dfuFactory = std::make_shared<CSimDfuBus>();
    CFirmwareUpgradeTavik upgrader(env);
    EXPECT_EQ(upgrader.Init(0, 0), HR_FAIL);
    EXPECT_EQ(world.toolCommandLines.size(), 1u); // the driver tool was tried
    EXPECT_TRUE(world.messages.empty());          // its failure skips the prompt
    wchar_t name[126];
    EXPECT_EQ(upgrader.GetProductName(name, sizeof name), HR_FAIL);
}

// A driver tool that could not be started (missing, refused elevation) has
// installed nothing: the step fails as for a failing tool, without the
// replug prompt, and the log says why.
TEST(TavikUpgradeTest, DriverToolThatCannotStartFailsTheStep)
{
    for (const std::uint32_t error : {2u, 1223u})
    {
        SCOPED_TRACE(error);
        STavikHeadsetConfig config;
        config.driverInstalled = false;
        SWorld world(config);
        world.driverToolStartError = error;
        CFirmwareUpgradeTavik upgrader(world.Environment());
        ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
        std::uint32_t size = 0;
        std::uint8_t* copy = nullptr;
        const auto image = MakeImage("1.05.4");
        ASSERT_EQ(upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(image.size()), image.data(), &size, &copy),
                  HR_OK);
        delete[] copy;
        EXPECT_EQ(upgrader.InitFirmwareUpgrade(size), static_cast<HResult>(0x80000000u));
        EXPECT_EQ(world.toolCommandLines.size(), 1u);
        EXPECT_TRUE(world.messages.empty());
        EXPECT_TRUE(world.headset->Firmware().empty());
    }
}

namespace
{
// A program folder of 200 characters with blanks, as Explorer's "Extract
// All" into a nested Downloads folder makes them (separator at its end).
std::string DeepFolderWithBlanks()
{
#ifdef _WIN32
    std::string folder = "C:\\Users\\Test User\\Downloads\\";
    const char separator = '\\';
#else
    std::string folder = "/home/test user/Downloads/";
    const char separator = '/';
#endif
    while (folder.size() < 199)
        folder += folder.size() % 40 == 39 ? separator : (folder.size() % 7 == 0 ? ' ' : 'x');
    folder += separator;
    return folder;
}
} // namespace

// The tool's command line at its real length: a deep folder with blanks
// keeps the INF path and the identifier whole, and the tool reads them back.
TEST(TavikUpgradeTest, DriverToolCommandLineFromADeepFolderIsWhole)
{
    const std::string folder = DeepFolderWithBlanks();
    ASSERT_EQ(200u, folder.size());
    for (const bool win64 : {false, true})
    {
        const SDriverToolPaths p = BuildDriverToolPaths(folder, win64);
#ifdef _WIN32
        EXPECT_EQ(p.toolPath, folder + (win64 ? "Pellory64.exe" : "Pellory32.exe"));
        EXPECT_EQ(p.infPath, folder + (win64 ? "Driver\\Driver\\win64\\CSRBlueCoreUSB.inf" : "Driver\\Driver\\win32\\CSRBlueCoreUSB.inf"));
#else
        EXPECT_EQ(p.toolPath, folder + "pellory");
        EXPECT_EQ(p.infPath, folder + "Driver/Driver/linux/70-orvo-tavik.rules");
#endif
        EXPECT_EQ(p.commandLine, p.toolPath + " /INF:" + p.infPath + " /ID:USB\\VID_0A12&PID_0001");
        EXPECT_GT(p.commandLine.size(), 400u);
        // What the tool gets after its own name, and what it makes of it.
        SPelloryArguments args;
        ASSERT_EQ(EPelloryParse::Ok, ParsePelloryCommandLine(CommandLineArguments(p.commandLine, p.toolPath).c_str(), &args));
        EXPECT_EQ(args.infPathAsGiven, p.infPath + " ");
        EXPECT_EQ(args.hardwareId, "USB\\VID_0A12&PID_0001");
    }
}

// The upgrader starts the tool by its path from such a folder and hands it
// the whole line.
TEST(TavikUpgradeTest, DriverToolInADeepFolderWithBlanks)
{
    STavikHeadsetConfig config;
    config.driverInstalled = false;
    SWorld world(config);
    STavikEnvironment env = world.Environment();
    env.programDirectory = DeepFolderWithBlanks();
#ifdef _WIN32
    const std::string tool = env.programDirectory + (sizeof(void*) == 8 ? "Pellory64.exe" : "Pellory32.exe");
    const std::string inf = env.programDirectory + (sizeof(void*) == 8 ? "Driver\\Driver\\win64\\CSRBlueCoreUSB.inf"
                                                                        : "Driver\\Driver\\win32\\CSRBlueCoreUSB.inf");
#else
    const std::string tool = env.programDirectory + "pellory";
    const std::string inf = env.programDirectory + "Driver/Driver/linux/70-orvo-tavik.rules";
#endif
    CFirmwareUpgradeTavik upgrader(env);
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    CRecordingDialog dialog;
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, MakeImage("1.05.4")));
    ASSERT_EQ(world.toolPaths.size(), 1u);
    EXPECT_EQ(world.toolPaths[0], tool);
    EXPECT_EQ(world.toolCommandLines[0], tool + " /INF:" + inf + " /ID:USB\\VID_0A12&PID_0001");
}

// --- the right device ---------------------------------------------------------

// Another vendor's device in DFU mode is plugged in before the headset
// switches (and so listed first): it is never written; the DFU device is the
// headset's identity on the port the headset left.
TEST(TavikRightDeviceTest, AnotherVendorsDfuDeviceIsNeverWritten)
{
    for (const bool sameIdentity : {false, true})
    {
        SCOPED_TRACE(sameIdentity ? "a second 0A12:0001 on another port" : "another vendor's device");
        CLogCapture log(std::string("tavik-right-device-") + (sameIdentity ? "same" : "other"));
        SWorld world;
        SSimDfuConfig other;
        other.location = "1-4";
        other.idVendor = sameIdentity ? 0x0A12 : 0x0483; // another maker's chip in DFU mode
        other.idProduct = sameIdentity ? 0x0001 : 0xDF11;
        std::shared_ptr<CSimDfuDevice> stranger = world.bus->AddDevice(other);
        CFirmwareUpgradeTavik upgrader(world.Environment());
        ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
        EXPECT_EQ(upgrader.m_headsetLocation, "1-1");
        CRecordingDialog dialog;
        const std::vector<std::uint8_t> image = MakeImage("1.05.4");
        ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));
        EXPECT_EQ(world.headset->Firmware(), Payload(image));
        EXPECT_EQ(stranger->BlocksReceived(), 0);
        EXPECT_EQ(stranger->DetachCount(), 0);
        EXPECT_TRUE(stranger->Firmware().empty());
        EXPECT_TRUE(world.toolCommandLines.empty());
        const std::string text = log.Text();
        EXPECT_TRUE(Contains(text, sameIdentity ? "DFU device USB\\VID_0A12&PID_0001\\1-4 is on USB port 1-4, the headset "
                                                  "left port 1-1: left alone"
                                                : "DFU device USB\\VID_0483&PID_DF11\\1-4 is 0483:DF11, not the headset's "
                                                  "0A12:0001: left alone"))
            << text;
        EXPECT_TRUE(Contains(text, "CFirmwareUpgradeTavik::InitFirmwareUpgrade - m_valueUSBNum[USB\\VID_0A12&PID_0001\\1-1]"));
    }
}

// A DFU file whose suffix names the device narrows the identity; 0xFFFF
// leaves the headset's (0A12:0001).
TEST(TavikRightDeviceTest, TheSuffixsIdentityNamesTheDfuDevice)
{
    for (const bool named : {true, false})
    {
        SCOPED_TRACE(named ? "suffix 0A12:00F0" : "suffix FFFF:FFFF");
        STavikHeadsetConfig config;
        config.dfu.idProduct = 0x00F0; // this headset's chip says 00F0 in DFU mode
        SWorld world(config);
        world.driverToolExitCode = 1; // nothing to install: no second chance
        CFirmwareUpgradeTavik upgrader(world.Environment());
        ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
        std::vector<std::uint8_t> image = MakeSimFirmware("1.05.4", 3000);
        AppendDfuSuffix(image, 0xFFFF, named ? 0x00F0 : 0xFFFF, named ? 0x0A12 : 0xFFFF);
        CRecordingDialog dialog;
        EXPECT_EQ(RunUpgrade(upgrader, dialog, image), named);
        EXPECT_EQ(world.headset->Firmware().empty(), !named);
    }
}

// Already in DFU mode at the start, two of a kind and no port to tell the
// headset's: neither is taken. The user is asked to replug; the headset
// comes back in HID mode, its port is known, and only it is upgraded.
TEST(TavikRightDeviceTest, TwoCandidatesWithoutAPortAreNotGuessedBetween)
{
    STavikHeadsetConfig config;
    config.startInDfuMode = true;
    SWorld world(config);
    SSimDfuConfig twin;
    twin.location = "1-6";
    std::shared_ptr<CSimDfuDevice> other = world.bus->AddDevice(twin);
    CFirmwareUpgradeTavik upgrader(world.Environment());
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    EXPECT_EQ(world.messages.size(), 1u); // the replug prompt
    EXPECT_EQ(upgrader.m_headsetLocation, "1-1");
    CRecordingDialog dialog;
    const std::vector<std::uint8_t> image = MakeImage("1.05.4");
    ASSERT_TRUE(RunUpgrade(upgrader, dialog, image));
    EXPECT_EQ(world.headset->Firmware(), Payload(image));
    EXPECT_EQ(other->BlocksReceived(), 0);
}

// --- access ---------------------------------------------------------------------

namespace
{
SDeviceAccessFacts UserWithoutGroup()
{
    SDeviceAccessFacts facts;
    facts.known = true;
    facts.user = "tester";
    facts.groupExists = true;
    facts.rulesPath = "/usr/lib/udev/rules.d/70-orvo-tavik.rules";
    facts.udevRunning = true;
    return facts;
}
} // namespace

// The headset's hidraw node refuses the user: Init fails (the factory tries
// again), and the note says what is missing and how to grant it; the full
// advice is logged once however often the factory tries.
TEST(TavikAccessTest, RefusedHeadsetLeavesTheAdviceNotNoDevice)
{
    CLogCapture log("tavik-access-hid");
    SWorld world;
    CRefusingHidApi refusing(world.hid);
    STavikEnvironment env = world.Environment();
    env.hidApi = &refusing;
    std::vector<std::string> askedFor;
    env.accessFacts = [&](const std::vector<std::string>& names, const std::string& group) {
        askedFor = names;
        askedFor.push_back(group);
        return UserWithoutGroup();
    };
    CFirmwareUpgrade::SetDeviceAccessProblem("");
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        CFirmwareUpgradeTavik upgrader(env); // as the factory makes them
        EXPECT_EQ(upgrader.Init(0, 0), HR_FAIL);
    }
    EXPECT_EQ(askedFor, (std::vector<std::string>{"70-orvo-tavik.rules", "70-orvo-tavik-pellory.rules", "plugdev"}));
    const std::string advice = CFirmwareUpgrade::GetDeviceAccessProblem();
    EXPECT_EQ(advice, "Access to the headset (2C6D:3240) is missing: the user tester may not open it "
                      "(bench-hid:1-1:1.0:1, USB port 1-1: permission denied).\n"
                      "The rules /usr/lib/udev/rules.d/70-orvo-tavik.rules give it to the group plugdev. Add the user "
                      "tester to it:\n    sudo usermod -aG plugdev tester\nthen log in again, then unplug the device "
                      "and plug it in again.");
    EXPECT_TRUE(world.toolCommandLines.empty()); // the device is there: no driver to install
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "CFirmwareUpgradeTavik - headset bench-hid:1-1:1.0:1 does not open: AccessDenied"));
    std::size_t copies = 0;
    for (std::size_t at = text.find("sudo usermod"); at != std::string::npos; at = text.find("sudo usermod", at + 1))
        ++copies;
    EXPECT_EQ(copies, 1u);
    EXPECT_TRUE(Contains(text, "access to the headset (2C6D:3240) is still missing"));
    CFirmwareUpgrade::SetDeviceAccessProblem("");
}

// The DFU device comes back on the headset's port but refuses the user: the
// upgrade fails with the advice, nothing is written.
TEST(TavikAccessTest, RefusedDfuDeviceFailsTheUpgradeWithTheAdvice)
{
    SWorld world;
    STavikEnvironment env = world.Environment();
    env.dfuFactory = std::make_shared<CRefusingDfuFactory>(world.bus, "/dev/bus/usb/001/009");
    env.accessFacts = [](const std::vector<std::string>&, const std::string&) {
        SDeviceAccessFacts facts = UserWithoutGroup();
        facts.udevRunning = false; // a container: no rule applies
        return facts;
    };
    CFirmwareUpgrade::SetDeviceAccessProblem("");
    CFirmwareUpgradeTavik upgrader(env);
    ASSERT_EQ(upgrader.Init(0, 0), HR_OK);
    CRecordingDialog dialog;
    EXPECT_FALSE(RunUpgrade(upgrader, dialog, MakeImage("1.05.4")));
    EXPECT_TRUE(world.headset->Firmware().empty());
    const std::string advice = CFirmwareUpgrade::GetDeviceAccessProblem();
    EXPECT_EQ(advice.rfind("Access to the headset in USB DFU mode (0A12:0001) is missing: the user tester may not open "
                           "it (/dev/bus/usb/001/009, USB port 1-1: permission denied).\n",
                           0),
              0u)
        << advice;
    EXPECT_TRUE(Contains(advice, "No udev daemon runs on this system"));
    EXPECT_TRUE(Contains(advice, "sudo chgrp plugdev /dev/bus/usb/001/009 && sudo chmod 0660 /dev/bus/usb/001/009"));
    CFirmwareUpgrade::SetDeviceAccessProblem("");
}

// --- the driver tool, once a run --------------------------------------------------

// Every try of the factory runs Init again; the driver tool (and with it an
// administrator prompt) starts once a program run, and later tries take its
// outcome.
TEST(TavikDriverToolTest, StartsAtMostOnceAProgramRun)
{
    for (const std::uint32_t exitCode : {0u, 13u})
    {
        SCOPED_TRACE(exitCode);
        CLogCapture log("tavik-tool-once-" + std::to_string(exitCode));
        SWorld world;
        world.headset->Replug();
        world.driverToolExitCode = exitCode;
        CBenchHidApi emptyHid;
        STavikEnvironment env = world.Environment();
        env.hidApi = &emptyHid;
        env.dfuFactory = std::make_shared<CSimDfuBus>();
        const STavikEnvironment copy = env; // the factory's constructor copies it
        for (int attempt = 0; attempt < 4; ++attempt)
        {
            CFirmwareUpgradeTavik upgrader(attempt % 2 == 0 ? env : copy);
            EXPECT_EQ(upgrader.Init(0, 0), HR_FAIL);
        }
        EXPECT_EQ(world.toolCommandLines.size(), 1u);
        const std::string text = log.Text();
        EXPECT_TRUE(Contains(text, "CFirmwareUpgradeTavik::Init -> the driver tool ran before in this run: not started again"));
        EXPECT_TRUE(Contains(text, "CFirmwareUpgradeTavik::Init -> ExitCode[" + std::to_string(exitCode) + "]"));
        // The next run of the program asks again.
        STavikEnvironment nextRun = world.Environment();
        nextRun.hidApi = &emptyHid;
        nextRun.dfuFactory = env.dfuFactory;
        CFirmwareUpgradeTavik fresh(nextRun);
        EXPECT_EQ(fresh.Init(0, 0), HR_FAIL);
        EXPECT_EQ(world.toolCommandLines.size(), 2u);
    }
}
