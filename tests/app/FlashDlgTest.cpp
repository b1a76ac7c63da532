// The upgrade dialog and the upgrade run, with a fake upgrader and a view
// that records what the window would show.
#include <gtest/gtest.h>

#include "app/DiagnosticLog.h"
#include "app/FlashDlg.h"
#include "platform/MessageBox.h"
#include "resources/StringTable.h"
#include "tests/TestSupport.h"
#include "tests/app/FakeUpgrader.h"
#include "tests/app/RecordingView.h"

namespace
{
using Step = CRecordingView::Step;
using State = CRecordingView::SState;

class CFakeResources : public IResourceProvider
{
public:
    EResourceResult result = EResourceResult::Found;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1000, 0x5A);
    std::string askedFor;

    EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) override
    {
        askedFor = name;
        *systemError = result == EResourceResult::Found ? 0 : 1813;
        if (result == EResourceResult::Found)
            *out = {bytes.data(), static_cast<std::uint32_t>(bytes.size())};
        return result;
    }
};

struct SRun
{
    int result = 0;
    std::int32_t code = 0;
    State state;
};

std::string Str(unsigned id)
{
    return LoadResourceString(id);
}

const std::string kReady = "This program will upgrade the firmware of your Tamsel Mic. Press Upgrade to begin.\n"
                           "Do not unplug cable during upgrading process !";

class FlashDlgTest : public testing::Test
{
protected:
    void TearDown() override { CFirmwareUpgrade::SetConstructor(nullptr); }

    SRun Run(bool silent, std::vector<Step> script = {}, const std::function<void(CFlashDlg&)>& setup = {})
    {
        SDialogSettings settings;
        settings.SilentMode = silent;
        settings.CheckMode = m_checkMode;
        settings.ProgressMode = m_progressMode;
        return Run(settings, std::move(script), setup);
    }

    SRun Run(const SDialogSettings& settings, std::vector<Step> script, const std::function<void(CFlashDlg&)>& setup)
    {
        if (m_installFake)
            m_record = InstallFakeUpgrader(m_config);
        auto view = std::make_unique<CRecordingView>(std::move(script));
        CRecordingView* recorder = view.get();
        CFlashDlg dialog(std::move(view));
        dialog.SetResourceProvider(&m_resources);
        dialog.SetHubCheck([this](const char* path, std::unique_ptr<SUsbConnectionInfo>* info, bool flag, bool* hub) {
            m_hubPath = path != nullptr ? path : "";
            m_hubFlag = flag;
            if (m_hubDescriptor)
                *info = std::make_unique<SUsbConnectionInfo>(SUsbConnectionInfo{0x2C6D, 0x3240});
            *hub = m_hubInPath;
        });
        if (setup)
            setup(dialog);
        dialog.SetSettings(settings);
        SRun run;
        run.result = dialog.DoModal();
        run.code = dialog.GetReturnCode();
        dialog.WaitForUpgradeThread();
        run.state = recorder->State();
        return run;
    }

    static std::vector<Step> UpgradeThenClose()
    {
        return {CRecordingView::Press(IDC_UPGRADE), CRecordingView::WaitEnabled(IDC_CLOSE),
                CRecordingView::Press(IDC_CLOSE)};
    }

    SFakeUpgraderConfig m_config;
    std::shared_ptr<SFakeUpgraderRecord> m_record;
    CFakeResources m_resources;
    bool m_installFake = true;
    bool m_checkMode = true;
    bool m_progressMode = false;
    bool m_hubInPath = false;
    bool m_hubDescriptor = true;
    bool m_hubFlag = false;
    std::string m_hubPath;
};
} // namespace

// --- start ----------------------------------------------------------------

TEST_F(FlashDlgTest, NoDeviceInteractiveShowsMessage110AndOnlyCloseEndsIt)
{
    m_installFake = false;
    const SRun run = Run(false, {CRecordingView::Press(IDC_UPGRADE), CRecordingView::Press(IDC_CLOSE)});
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnNoDevice);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(110));
    EXPECT_EQ(run.state.boxes[0].style, kMbSystemModal | kMbOk);
    // The template's texts stay: "No device found!" is never overwritten.
    EXPECT_EQ(run.state.texts.count(IDC_STATUS), 0u);
    EXPECT_FALSE(run.state.enabled.at(IDC_UPGRADE));
    EXPECT_EQ(run.state.ignoredPresses, std::vector<int>{IDC_UPGRADE});
}

TEST_F(FlashDlgTest, NoDeviceSilentEndsAtOnceWithoutWindowOrMessage)
{
    m_installFake = false;
    const SRun run = Run(true);
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnNoDevice);
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_FALSE(run.state.shown);
}

// A device that is there but refuses this user: never "not connected"; the
// user is told what is missing and how to grant it. The exit code stays.
TEST_F(FlashDlgTest, RefusedDeviceAtStartIsExplainedNotCalledUnconnected)
{
    const std::string advice = "Access to the headset (2C6D:3240) is missing: ...\n    sudo usermod -aG plugdev user";
    m_config.accessProblem = advice;
    m_config.initResults = std::vector<HResult>(10, HR_FAIL);
    SRun run = Run(false, {CRecordingView::Press(IDC_CLOSE)});
    EXPECT_EQ(run.code, kReturnNoDevice);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, advice);

    run = Run(true);
    EXPECT_EQ(run.code, kReturnNoDevice);
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_EQ(run.state.notices, std::vector<std::string>{advice});

    // A note of an earlier run is not this one's.
    m_config.accessProblem.clear();
    run = Run(false, {CRecordingView::Press(IDC_CLOSE)});
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(110));
}

TEST_F(FlashDlgTest, RefusedDfuModeFailsTheUpgradeWithTheAdvice)
{
    const std::string advice = "Access to the headset in USB DFU mode (0A12:0001) is missing: ...";
    m_config.accessProblem = advice;
    m_config.initResult = kUpgradeFailed;
    SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_EQ(run.state.notices, std::vector<std::string>{advice});
    run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(109) + "\n" + advice);
}

TEST_F(FlashDlgTest, ReadyStateShowsNameVersionAndMenuAndCloseGivesFour)
{
    const SRun run = Run(false, {CRecordingView::Press(IDC_CLOSE)});
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnNoOutcome);
    EXPECT_EQ(run.state.caption, "Tamsel Mic Device Firmware Upgrade");
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), kReady);
    EXPECT_EQ(run.state.texts.at(IDC_VERSION), "Current Version: 1.0.130521");
    EXPECT_TRUE(run.state.enabled.at(IDC_UPGRADE));
    EXPECT_FALSE(run.state.visible.at(IDC_READBACK));
    EXPECT_FALSE(run.state.visible.at(IDC_VERSION2));
    EXPECT_FALSE(run.state.visible.at(IDC_MCU_COMBO));
    ASSERT_EQ(run.state.menuItems.size(), 1u);
    EXPECT_EQ(run.state.menuItems[0].first, 16u);
    EXPECT_EQ(run.state.menuItems[0].second, "&About Device Firmware Upgrade...");
    EXPECT_TRUE(run.state.closeRemoved);
    EXPECT_TRUE(run.state.iconSet);
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_EQ(m_record->constructed, m_record->destroyed);
}

TEST_F(FlashDlgTest, ProductNameOutsideTheNarrowCharacterSetKeepsTheRest)
{
    m_config.productName = L"Tamsel\u4e2d Mic";
    const SRun run = Run(false, {CRecordingView::Press(IDC_CLOSE)});
    const std::string suffix = " Mic Device Firmware Upgrade";
    ASSERT_GT(run.state.caption.size(), suffix.size() + 6);
    EXPECT_EQ(run.state.caption.substr(0, 6), "Tamsel");
    EXPECT_EQ(run.state.caption.substr(run.state.caption.size() - suffix.size()), suffix);
}

TEST_F(FlashDlgTest, AboutBoxShowsVersionLineAndNotice)
{
    const SRun run = Run(false, {CRecordingView::SysCommand(kIdmAboutBox), CRecordingView::Press(IDC_CLOSE)});
    ASSERT_EQ(run.state.about.size(), 2u);
    EXPECT_EQ(run.state.about[0], "Veritane Device HID Firmware Upgrade Version 1.1.151124.164914");
    EXPECT_NE(run.state.about[1].find("2015"), std::string::npos);
    EXPECT_EQ(run.state.about[1].find('\n'), std::string::npos);
}

// --- version checks and the hub ---------------------------------------------

TEST_F(FlashDlgTest, SilentVersionOutcomes)
{
    m_config.fileVersion = m_config.deviceVersion;
    SRun run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnSameVersion);
    EXPECT_FALSE(m_record->Called("FirmwareUpgradeWrite"));

    m_config.fileVersion = "1.0.120101";
    run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnNewerVersion);
    EXPECT_FALSE(m_record->Called("InitFirmwareUpgrade"));

    m_config.fileVersion = "1.0.13060"; // one character short
    run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnVersionUnknown);
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_FALSE(run.state.shown);

    m_config.versionCheckMethod = 0; // no way to compare
    run = Run(true);
    EXPECT_EQ(run.code, kReturnVersionUnknown);
}

TEST_F(FlashDlgTest, InteractiveSameVersionIsWrittenAgainAndCheckOffSkipsTheCheck)
{
    m_config.fileVersion = m_config.deviceVersion;
    SRun run = Run(false, UpgradeThenClose());
    EXPECT_TRUE(m_record->Called("FirmwareUpgradeWrite"));
    EXPECT_EQ(run.code, kReturnSuccess);

    m_config.fileVersion = "garbage";
    m_checkMode = false;
    run = Run(true);
    EXPECT_TRUE(m_record->Called("FirmwareUpgradeWrite"));
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_EQ(run.code, kReturnSuccess);
}

TEST_F(FlashDlgTest, InteractiveNewerDeviceTurnsRedAndStays)
{
    m_config.fileVersion = "1.0.120101";
    const SRun run = Run(false, {CRecordingView::Press(IDC_UPGRADE), CRecordingView::Press(IDC_CLOSE)});
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnNoOutcome);
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), Str(164));
    ASSERT_FALSE(run.state.statusColours.empty());
    EXPECT_EQ(run.state.statusColours.back(), kColourRed);
    EXPECT_FALSE(run.state.enabled.at(IDC_UPGRADE));
    EXPECT_FALSE(m_record->Called("InitFirmwareUpgrade"));
    EXPECT_EQ(run.state.statusBackground, 0xFFFFFFFFu); // the button face stays
}

TEST_F(FlashDlgTest, InteractiveUnknownVersionShowsString137AndEnds)
{
    m_config.deviceVersion = "2.0.130521"; // first characters differ
    const SRun run = Run(false, {CRecordingView::Press(IDC_UPGRADE)});
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnVersionUnknown);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(137));
    EXPECT_EQ(run.state.boxes[0].style, kMbIconExclamation | kMbSystemModal | kMbOk);
}

TEST_F(FlashDlgTest, HubInPathIsRefusedWhenTheUpgraderForbidsIt)
{
    m_config.usbHubAllowed = false;
    m_hubInPath = true;
    SRun run = Run(false, {CRecordingView::Press(IDC_UPGRADE)});
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnHubInPath);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(137));
    EXPECT_EQ(m_hubPath, m_config.devicePath);
    EXPECT_TRUE(m_hubFlag);

    m_hubDescriptor = false;
    run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnHubInPath);
    EXPECT_TRUE(run.state.boxes.empty());

    // Directly connected: the upgrade goes on.
    m_hubInPath = false;
    run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);

    // Allowed hubs are not even looked at.
    m_config.usbHubAllowed = true;
    m_hubInPath = true;
    m_hubPath = "untouched";
    run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(m_hubPath, "untouched");
}

// --- the run ---------------------------------------------------------------

TEST_F(FlashDlgTest, SilentSuccessEndsWithResult8AndCodeZero)
{
    const SRun run = Run(true);
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_FALSE(run.state.shown);
    EXPECT_EQ(m_record->initUploadSize, 1000u);
    EXPECT_EQ(m_resources.askedFor, "BC_05_USB_RCDATA");
}

TEST_F(FlashDlgTest, InteractiveSuccessWithPowerCycleAsksToUnplugAndEnds)
{
    const SRun run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_EQ(run.code, kReturnSuccess);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(138));
    EXPECT_EQ(run.state.boxes[0].style, kMbIconInformation | kMbSystemModal | kMbOk);
    const auto& status = run.state.textHistory.at(IDC_STATUS);
    EXPECT_NE(std::find(status.begin(), status.end(), Str(135)), status.end());
    EXPECT_NE(std::find(status.begin(), status.end(), Str(105)), status.end());
    EXPECT_EQ(status.back(), Str(119));
    EXPECT_EQ(run.state.texts.at(IDC_VERSION), "Current Version: ");
    EXPECT_EQ(run.state.statusColours, std::vector<std::uint32_t>{kColourBlack});
    EXPECT_EQ(m_record->constructed, m_record->destroyed);
}

TEST_F(FlashDlgTest, InteractiveSuccessWithoutPowerCycleReloadsTheDevice)
{
    m_config.powerCycleRequired = false;
    SRun run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_TRUE(m_record->Called("ResetFirmware"));
    EXPECT_TRUE(run.state.boxes.empty());
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), "Firmware upgrading successfully done! ");
    EXPECT_EQ(run.state.texts.at(IDC_VERSION), "Current Version: 1.0.130521");
    EXPECT_FALSE(run.state.enabled.at(IDC_UPGRADE));
    EXPECT_EQ(m_record->constructed, 2);

    // The device does not come back: five attempts of ten tries each.
    m_config.initResults = std::vector<HResult>(1, HR_OK);
    m_config.initResults.resize(51, HR_FAIL);
    run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), Str(120));
    EXPECT_EQ(run.state.texts.at(IDC_VERSION), "Current Version: Unknown.");
    EXPECT_EQ(m_record->constructed, 51);
    EXPECT_EQ(m_record->constructed, m_record->destroyed);
}

TEST_F(FlashDlgTest, WriteFailureShowsMessage109AndLeavesCloseEnabled)
{
    const std::string folder = MakeTestFolder("flashdlg-failure");
    const std::string logPath = JoinPath(folder, "run.log");
    ASSERT_EQ(OpenLog(logPath.c_str()), HR_OK);
    m_config.writeResult = false;
    SRun run = Run(false, UpgradeThenClose());
    CloseLog();
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(109));
    EXPECT_TRUE(run.state.enabled.at(IDC_CLOSE));
    EXPECT_FALSE(run.state.enabled.at(IDC_UPGRADE));
    EXPECT_FALSE(m_record->Called("EndFirmwareUpgrade"));
    const std::string log = ReadFileBytes(logPath);
    EXPECT_NE(log.find("] Firmware Write Error!\r\n"), std::string::npos);
    EXPECT_NE(log.find("] Error: Device upgrade error!!!\r\n"), std::string::npos);
    EXPECT_NE(log.find("] FlashOS return initStatus [80000000]\r\n"), std::string::npos);

    m_config.writeResult = true;
    m_config.endResult = false;
    run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
}

TEST_F(FlashDlgTest, InitFailuresShowTheirTextInRed)
{
    const std::pair<HResult, unsigned> cases[] = {
        {kUpgradeTimeout, 150u}, {kUpgradeCancelled, 152u}, {kUpgradeFailed, 109u}};
    for (const auto& [status, text] : cases)
    {
        m_config.initResult = status;
        const SRun run = Run(false, UpgradeThenClose());
        EXPECT_EQ(run.code, kReturnUpgradeFailed);
        EXPECT_EQ(run.state.texts.at(IDC_STATUS), Str(text));
        EXPECT_EQ(run.state.statusColours.back(), kColourRed);
        ASSERT_EQ(run.state.boxes.size(), 1u);
        EXPECT_EQ(run.state.boxes[0].text, Str(109));
        EXPECT_FALSE(m_record->Called("FirmwareUpgradeWrite"));
    }

    // Another failure keeps the last text.
    m_config.initResult = HR_FAIL;
    SRun run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), Str(135));

    // A positive status succeeds without writing.
    m_config.initResult = 1;
    run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_FALSE(m_record->Called("FirmwareUpgradeWrite"));
    EXPECT_FALSE(m_record->Called("EndFirmwareUpgrade"));
}

TEST_F(FlashDlgTest, AsynchronousWriteWaitsForTheCompletionEvent)
{
    m_config.writeSynchronous = false;
    m_config.completionDelayMs = 20000; // 20 ms real
    const SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_TRUE(m_record->completionSignalled);
    EXPECT_TRUE(m_record->Called("EndFirmwareUpgrade"));
    EXPECT_FALSE(m_record->endBeforeCompletion);
}

TEST_F(FlashDlgTest, ValidationPassStepsAndTexts)
{
    m_config.validationRequired = true;
    m_resources.bytes.assign(100, 1);
    m_progressMode = true;
    const SRun run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(m_record->validatedLengths, (std::vector<std::uint16_t>{64, 36}));
    EXPECT_EQ(run.state.progressUpper, 3); // 100/64 = 1, doubled, one more for the partial packet
    EXPECT_EQ(run.state.progressStepIts, 2);
    EXPECT_TRUE(run.state.progressWindow);
    EXPECT_EQ(run.state.progressWindowSteps, 3);
    EXPECT_EQ(run.state.progressWindowStepIts, 2);
    const auto& status = run.state.textHistory.at(IDC_STATUS);
    EXPECT_NE(std::find(status.begin(), status.end(), Str(126) + "\n64 of 100 bytes"), status.end());
    EXPECT_NE(std::find(status.begin(), status.end(), Str(126) + "\n100 of 100 bytes"), status.end());
}

TEST_F(FlashDlgTest, ValidationFailureAndHugePackets)
{
    m_config.validationRequired = true;
    m_config.validateResult = false;
    SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_EQ(m_record->validatedLengths.size(), 1u);

    // Packets beyond 16 bits are validated in pieces, never as empty blocks.
    m_config.validateResult = true;
    m_config.packetSize = 70000;
    m_resources.bytes.assign(70000, 2);
    run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(m_record->validatedLengths, (std::vector<std::uint16_t>{65535, 4465}));
}

TEST_F(FlashDlgTest, ProgressModeWithoutValidationNeverShowsTheWindow)
{
    m_progressMode = true;
    const SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_TRUE(run.state.progressWindow);
    EXPECT_EQ(run.state.progressWindowSteps, 1000 / 64 + 1);
    EXPECT_EQ(run.state.progressWindowStepIts, 0);
}

// An upgrader that reports its progress as a share of the whole moves the
// progress window of progress mode; a plain silent run has no window.
TEST_F(FlashDlgTest, ProgressModeWindowFollowsTheUpgradersShare)
{
    m_config.writePercents = {0, 25, 50, 100};
    m_progressMode = true;
    SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(run.state.progressWindowPositions, (std::vector<int>{0, 25, 50, 100}));
    EXPECT_EQ(run.state.progressWindowRange, (std::pair<int, int>{0, 100}));

    m_progressMode = false;
    run = Run(true);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_TRUE(run.state.progressWindowPositions.empty());
}

TEST_F(FlashDlgTest, MissingOrWrongImageFails)
{
    m_resources.result = EResourceResult::NotFound;
    m_checkMode = false;
    SRun run = Run(true);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_FALSE(m_record->Called("InitFirmwareUpgrade"));

    m_resources.result = EResourceResult::NotLoaded;
    run = Run(true);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);

    m_resources.result = EResourceResult::Found;
    m_config.prepareImageResult = HR_INVALIDARG;
    run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_EQ(run.state.texts.at(IDC_STATUS), Str(136));
}

TEST_F(FlashDlgTest, WorkerThatCannotStartStillEndsTheRun)
{
    const auto refuse = [](CFlashDlg& dialog) {
        dialog.SetThreadStarter([](CThread&, CThread::Procedure) { return false; });
    };
    SRun run = Run(true, {}, refuse);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnThreadFailed);

    run = Run(false, UpgradeThenClose(), refuse);
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnThreadFailed);
}

TEST_F(FlashDlgTest, CloseIsIgnoredWhileTheRunIsUnderWay)
{
    m_config.writeSynchronous = false;
    m_config.completionDelayMs = 50000;
    m_config.powerCycleRequired = false;
    const SRun run = Run(false, {CRecordingView::Press(IDC_UPGRADE), CRecordingView::Press(IDC_CLOSE),
                                 CRecordingView::WaitEnabled(IDC_CLOSE), CRecordingView::Press(IDC_CLOSE)});
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(run.state.ignoredPresses, std::vector<int>{IDC_CLOSE});
}

TEST_F(FlashDlgTest, ReleaseDeviceTwiceIsSafe)
{
    m_installFake = true;
    m_record = InstallFakeUpgrader(m_config);
    CFlashDlg dialog(std::make_unique<CRecordingView>());
    EXPECT_EQ(dialog.LoadDevice(), HR_OK);
    EXPECT_NE(dialog.GetUpgrader(), nullptr);
    dialog.ReleaseDevice();
    dialog.ReleaseDevice();
    EXPECT_EQ(dialog.GetUpgrader(), nullptr);
    EXPECT_EQ(m_record->destroyed, 1);
}

// An upgrader whose upload image comes back empty has written nothing: the
// run is a failure, not a success with nothing written.
TEST_F(FlashDlgTest, EmptyUploadIsAFailure)
{
    m_config.emptyUpload = true;
    SRun run = Run(true);
    EXPECT_EQ(run.result, kModalAbort);
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    EXPECT_FALSE(m_record->Called("InitFirmwareUpgrade"));

    run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnUpgradeFailed);
    ASSERT_EQ(run.state.boxes.size(), 1u);
    EXPECT_EQ(run.state.boxes[0].text, Str(109));
}

// After the reload the version label shows what the new device said, never
// the version of the device before the upgrade.
TEST_F(FlashDlgTest, ReloadNeverShowsAStaleVersion)
{
    m_config.powerCycleRequired = false;
    m_config.versionFailsFromIndex = 1; // the reloaded device does not answer the version query
    const SRun run = Run(false, UpgradeThenClose());
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(run.state.texts.at(IDC_VERSION), "Current Version: ");
}

TEST(FlashDlgProgressSteps, WholeAndPartialPackets)
{
    std::uint32_t packet = 64;
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(1024, &packet, false), 16u);
    EXPECT_EQ(packet, 64u);
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(1024, &packet, true), 32u);
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(1000, &packet, false), 16u);
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(1000, &packet, true), 31u);
    // Smaller than one packet: the packet becomes the upload.
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(10, &packet, false), 0u);
    EXPECT_EQ(packet, 10u);
    packet = 0; // treated as 1
    EXPECT_EQ(CFlashDlg::ComputeProgressSteps(7, &packet, false), 7u);
    EXPECT_EQ(packet, 1u);
}
