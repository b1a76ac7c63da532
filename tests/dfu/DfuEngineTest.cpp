// The DFU engine against simulated DFU devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "bench/dfu/SimDfuBus.h"
#include "dfu/DFUEngine.h"
#include "dfu/DfuFile.h"
#include "dfu/DfuHost.h"
#include "platform/Clock.h"
#include "tests/TestSupport.h"
#include "tests/dfu/DfuTestSupport.h"

namespace
{
class DfuEngineTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = MakeTestFolder(std::string("dfu-engine-") + testing::UnitTest::GetInstance()->current_test_info()->name());
        m_bus = std::make_shared<CSimDfuBus>();
    }

    std::shared_ptr<CSimDfuDevice> Plug(const SSimDfuConfig& config)
    {
        auto device = m_bus->AddDevice(config);
        m_engine = std::make_unique<DFUEngine>(m_bus);
        m_engine->SetCallback(&m_callback);
        return device;
    }

    std::wstring FirstName()
    {
        DFUEngine::InitDLL(m_bus);
        CStringListX names;
        if (DFUEngine::GetUSBDeviceNames(names, true) < 1)
            return L"";
        CStringListX::POSITION pos = names.GetHeadPosition();
        return names.GetNext(pos).c_str();
    }

    HResult Reconfigure(const std::wstring& file)
    {
        return RunOnce([&] { return m_engine->StartReconfigure(false, true, file.c_str()); });
    }
    HResult Download(const std::wstring& file)
    {
        return RunOnce([&] { return m_engine->StartDownload(file.c_str()); });
    }
    HResult Manifest()
    {
        return RunOnce([&] { return m_engine->StartManifest(); });
    }

    HResult RunOnce(const std::function<bool()>& start)
    {
        m_callback.Clear();
        if (!start())
            return static_cast<HResult>(0x8000FFFFu);
        HResult result = HR_FAIL;
        if (!m_callback.WaitComplete(&result))
            return static_cast<HResult>(0x8000FFFEu);
        return result;
    }

    // Every activity: one Started first, one Complete last, with its code.
    void ExpectOneActivity(std::int32_t code)
    {
        const auto events = m_callback.Events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ('S', events.front().kind);
        EXPECT_EQ('C', events.back().kind);
        int completes = 0;
        for (const auto& e : events)
        {
            EXPECT_EQ(code, e.record.activityCode);
            completes += e.kind == 'C';
        }
        EXPECT_EQ(1, completes);
    }

    std::string m_folder;
    std::shared_ptr<CSimDfuBus> m_bus;
    CRecordingCallback m_callback;
    std::unique_ptr<DFUEngine> m_engine;
};

std::vector<SRecordedEvent> Progress(const std::vector<SRecordedEvent>& events)
{
    std::vector<SRecordedEvent> out;
    for (const auto& e : events)
        if (e.kind == 'P')
            out.push_back(e);
    return out;
}

std::int32_t Int32At(const unsigned char* bytes, std::size_t offset)
{
    std::int32_t v;
    std::memcpy(&v, bytes + offset, 4);
    return v;
}
} // namespace

TEST_F(DfuEngineTest, FullUpgradeWithVariousTransferSizesAndPollTimeouts)
{
    struct SCase
    {
        std::uint16_t transferSize;
        std::uint32_t poll;
        std::size_t payload;
    };
    const SCase cases[] = {{64, 0, 1000}, {1023, 5, 10000}, {4096, 50, 4096 * 3 - 16}, {2048, 1, 1}};
    int n = 0;
    for (const SCase& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "wTransferSize " << c.transferSize << " poll " << c.poll);
        m_bus->RemoveAll();
        SSimDfuConfig config;
        config.location = "1-" + std::to_string(++n);
        config.wTransferSize = c.transferSize;
        config.pollTimeoutMs = c.poll;
        auto device = Plug(config);
        const auto image = MakeDfuImage(c.payload);
        const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
        const std::wstring name = FirstName();
        ASSERT_EQ(MakeDfuDeviceName(0x0A12, 0x0001, config.location), name);
        ASSERT_TRUE(m_engine->CreateUSB(name.c_str()));

        ASSERT_EQ(HR_OK, Reconfigure(file));
        ExpectOneActivity(DFUEngine::kActivityReconfigure);
        EXPECT_EQ(dfuIDLE, device->State());

        ASSERT_EQ(HR_OK, Download(file));
        ExpectOneActivity(DFUEngine::kActivityDownload);
        const auto payload = PayloadOf(image);
        EXPECT_EQ(payload, device->ReceivedImage()); // the suffix stays with the host
        EXPECT_EQ(0, device->EarlyPolls());
        EXPECT_EQ(static_cast<int>((payload.size() + c.transferSize - 1) / c.transferSize), device->BlocksReceived());
        const auto progress = Progress(m_callback.Events());
        ASSERT_FALSE(progress.empty());
        int last = -1;
        for (const auto& p : progress)
        {
            EXPECT_EQ(DFUEngine::kOpTransfer, p.record.activity.GetOperation());
            EXPECT_EQ(static_cast<int>(payload.size()), p.record.activity.GetBytesTotal());
            EXPECT_GE(p.record.activity.GetBytesDone(), last);
            last = p.record.activity.GetBytesDone();
        }
        EXPECT_EQ(static_cast<int>(payload.size()), progress.back().record.activity.GetBytesDone());
        EXPECT_EQ(100, progress.back().record.percent);

        ASSERT_EQ(HR_OK, Manifest());
        ExpectOneActivity(DFUEngine::kActivityManifest);
        EXPECT_EQ(PayloadOf(image), device->Firmware());
        EXPECT_EQ(1, device->ManifestCount());
        EXPECT_EQ(0, device->EarlyPolls());
    }
}

TEST_F(DfuEngineTest, ProgressRecordLayout)
{
    SSimDfuConfig config;
    config.wTransferSize = 100;
    auto device = Plug(config);
    const auto image = MakeDfuImage(300); // 300 bytes of firmware (the suffix stays here): three blocks
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    ASSERT_EQ(HR_OK, Download(file));
    const auto events = m_callback.Events();
    const auto progress = Progress(events);
    ASSERT_EQ(4u, progress.size()); // 0, 100, 200, 300 bytes
    const int expectDone[] = {0, 100, 200, 300};
    const int expectPercent[] = {0, 33, 66, 100};
    for (std::size_t i = 0; i < progress.size(); ++i)
    {
        const unsigned char* b = progress[i].bytes;
        EXPECT_EQ(4, Int32At(b, 0));
        EXPECT_EQ(expectPercent[i], Int32At(b, 20));
        EXPECT_EQ(9, Int32At(b, 24));      // operation
        EXPECT_EQ(9, Int32At(b, 28));      // sub-operation
        EXPECT_EQ(expectDone[i], Int32At(b, 32));
        EXPECT_EQ(300, Int32At(b, 36));
    }
    // Complete carries the code and the result.
    EXPECT_EQ(4, Int32At(events.back().bytes, 0));
    EXPECT_EQ(0, events.back().record.result);
}

TEST_F(DfuEngineTest, BadFilesAreRefusedBeforeTheDeviceIsTouched)
{
    SSimDfuConfig config;
    config.startInRuntime = true;
    auto device = Plug(config);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));

    auto corruptSuffix = MakeDfuImage(500);
    corruptSuffix[corruptSuffix.size() - 7] = 'X'; // signature
    auto crcMismatch = MakeDfuImage(500);
    crcMismatch[17] ^= 0xFF;
    const std::wstring noSuffix = WriteDfuTestFile(m_folder, "nosuffix.dfu", corruptSuffix);
    const std::wstring badCrc = WriteDfuTestFile(m_folder, "badcrc.dfu", crcMismatch);
    const std::wstring missing = WriteDfuTestFile(m_folder, "empty.dfu", {});

    EXPECT_EQ(HR_DFU_BAD_FILE, Reconfigure(noSuffix));
    ExpectOneActivity(DFUEngine::kActivityReconfigure);
    EXPECT_EQ(HR_DFU_CRC, Reconfigure(badCrc));
    EXPECT_EQ(HR_DFU_BAD_FILE, Reconfigure(missing));
    EXPECT_EQ(HR_DFU_BAD_FILE, Reconfigure(L"/no/such/folder/fw.dfu"));
    EXPECT_EQ(0, device->DetachCount());
    EXPECT_FALSE(device->InDfuMode());

    // Now in DFU mode, a download of a bad file sends nothing.
    const std::wstring good = WriteDfuTestFile(m_folder, "good.dfu", MakeDfuImage(500));
    ASSERT_EQ(HR_OK, Reconfigure(good));
    ASSERT_TRUE(device->InDfuMode());
    EXPECT_EQ(HR_DFU_CRC, Download(badCrc));
    ExpectOneActivity(DFUEngine::kActivityDownload);
    EXPECT_EQ(HR_DFU_BAD_FILE, Download(noSuffix));
    EXPECT_EQ(0, device->BlocksReceived());
    EXPECT_EQ(dfuIDLE, device->State());
}

TEST_F(DfuEngineTest, FileForAnotherDeviceIsRefused)
{
    auto device = Plug(SSimDfuConfig{});
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    const std::wstring other = WriteDfuTestFile(m_folder, "other.dfu", MakeDfuImage(100, 0x1234, 0x0001));
    EXPECT_EQ(HR_DFU_WRONG_DEVICE, Download(other));
    const std::wstring ours = WriteDfuTestFile(m_folder, "ours.dfu", MakeDfuImage(100, 0x0A12, 0x0001));
    EXPECT_EQ(HR_OK, Download(ours));
    EXPECT_EQ(1, device->BlocksReceived());
}

TEST_F(DfuEngineTest, DeviceErrorDuringDownloadIsOperation15)
{
    SSimDfuConfig config;
    config.wTransferSize = 256;
    config.errorAtBlock = 3;
    config.errorStatus = errPROG;
    auto device = Plug(config);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(4000));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    EXPECT_EQ(HR_DFU_DEVICE_ERROR, Download(file));
    ExpectOneActivity(DFUEngine::kActivityDownload);
    const auto events = m_callback.Events();
    const auto progress = Progress(events);
    ASSERT_FALSE(progress.empty());
    const auto& failed = progress.back().record;
    EXPECT_EQ(DFUEngine::kOpFailed, failed.activity.GetOperation());
    EXPECT_EQ(3 * 256, failed.activity.GetBytesDone()); // three blocks made it
    EXPECT_NE(failed.activity.GetBytesDone(), failed.activity.GetBytesTotal());
    for (std::size_t i = 0; i + 1 < progress.size(); ++i)
        EXPECT_EQ(DFUEngine::kOpTransfer, progress[i].record.activity.GetOperation());
    EXPECT_EQ(errPROG, events.back().record.dfuStatus);
    EXPECT_EQ(dfuERROR, events.back().record.dfuState);
    EXPECT_EQ(dfuERROR, device->State());

    // The manifest that follows a failed download fails as well; reconfigure clears the error.
    EXPECT_EQ(HR_DFU_DEVICE_ERROR, Manifest());
    EXPECT_EQ(0, device->ManifestCount());
    EXPECT_EQ(HR_OK, Reconfigure(file));
    EXPECT_EQ(dfuIDLE, device->State());
}

TEST_F(DfuEngineTest, VanishingDeviceEndsTheActivityWithFailure)
{
    SSimDfuConfig config;
    config.wTransferSize = 128;
    config.vanishAtBlock = 5;
    auto device = Plug(config);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(2000));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    EXPECT_EQ(HR_DFU_NO_DEVICE, Download(file));
    ExpectOneActivity(DFUEngine::kActivityDownload);
    EXPECT_EQ(DFUEngine::kOpFailed, Progress(m_callback.Events()).back().record.activity.GetOperation());
    EXPECT_FALSE(device->IsPresent());
    // Later activities fail at once instead of waiting for it.
    EXPECT_EQ(HR_DFU_NO_DEVICE, Manifest());
    ExpectOneActivity(DFUEngine::kActivityManifest);
    EXPECT_EQ(HR_DFU_NO_DEVICE, Reconfigure(file));
    CStringListX names;
    EXPECT_EQ(0, DFUEngine::GetUSBDeviceNames(names));
    EXPECT_FALSE(m_engine->CreateUSB(MakeDfuDeviceName(0x0A12, 0x0001, "1-1").c_str()));
}

TEST_F(DfuEngineTest, RunTimeDeviceIsDetachedAndResetIntoDfuMode)
{
    for (bool willDetach : {false, true})
    {
        SCOPED_TRACE(willDetach ? "device detaches itself" : "host resets");
        m_bus->RemoveAll();
        SSimDfuConfig config;
        config.startInRuntime = true;
        config.reenumerateDelayMs = 700;
        if (willDetach)
            config.bmAttributes |= kDfuWillDetach;
        auto device = Plug(config);
        const std::wstring name = FirstName();
        EXPECT_EQ(MakeDfuDeviceName(0x0A12, 0x0002, "1-1"), name);
        ASSERT_TRUE(m_engine->CreateUSB(name.c_str()));
        const auto image = MakeDfuImage(3000);
        const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
        ASSERT_EQ(HR_OK, Reconfigure(file));
        EXPECT_EQ(1, device->DetachCount());
        EXPECT_TRUE(device->InDfuMode());
        EXPECT_EQ(dfuIDLE, device->State());
        EXPECT_EQ(MakeDfuDeviceName(0x0A12, 0x0001, "1-1"), FirstName());
        ASSERT_EQ(HR_OK, Download(file));
        ASSERT_EQ(HR_OK, Manifest());
        EXPECT_EQ(PayloadOf(image), device->Firmware());
        // After manifestation it restarts into the application.
        CClock::Sleep(config.reenumerateDelayMs + 50);
        EXPECT_FALSE(device->InDfuMode());
        EXPECT_EQ(MakeDfuDeviceName(0x0A12, 0x0002, "1-1"), FirstName());
    }
}

TEST_F(DfuEngineTest, DeviceNamesListDfuModeDevicesUnlessRunTimeOnesAreAskedFor)
{
    SSimDfuConfig app;
    app.location = "1-1";
    app.startInRuntime = true;
    m_bus->AddDevice(app);
    DFUEngine::InitDLL(m_bus);
    CStringListX names;
    EXPECT_EQ(0, DFUEngine::GetUSBDeviceNames(names));
    EXPECT_EQ(0, names.GetCount());
    EXPECT_EQ(1, DFUEngine::GetUSBDeviceNames(names, true));

    SSimDfuConfig dfu;
    dfu.location = "2-3.1";
    m_bus->AddDevice(dfu);
    ASSERT_EQ(1, DFUEngine::GetUSBDeviceNames(names));
    CStringListX::POSITION pos = names.GetHeadPosition();
    EXPECT_STREQ(L"USB\\VID_0A12&PID_0001\\2-3.1", names.GetNext(pos).c_str());
    EXPECT_EQ(0u, pos);
    EXPECT_EQ(2, DFUEngine::GetUSBDeviceNames(names, true));
}

TEST_F(DfuEngineTest, RunTimeDeviceThatLingersAfterTheResetIsWaitedFor)
{
    SSimDfuConfig config;
    config.startInRuntime = true;
    config.lingerAfterResetMs = 400;
    config.reenumerateDelayMs = 300;
    auto device = Plug(config);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(100));
    ASSERT_EQ(HR_OK, Reconfigure(file));
    EXPECT_EQ(1, device->DetachCount());
    EXPECT_TRUE(device->InDfuMode());
    EXPECT_EQ(dfuIDLE, device->State());
}

TEST_F(DfuEngineTest, DeviceThatNeverComesBackFailsInBoundedTime)
{
    SSimDfuConfig config;
    config.startInRuntime = true;
    config.reenumerateDelayMs = 10u * 60u * 1000u; // ten minutes
    auto device = Plug(config);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(100));
    const std::uint64_t slept = CClock::SleptMs();
    EXPECT_EQ(HR_DFU_NO_DEVICE, Reconfigure(file));
    // The engine's pauses add up to about kReenumerateMs plus the detach
    // time-out (however long the machine took to run them), not to the ten
    // minutes the device stays away.
    EXPECT_LT(CClock::SleptMs() - slept, 60000u);
    EXPECT_EQ(1, device->DetachCount());
}

TEST_F(DfuEngineTest, ReconfigureLeavesErrorAndPendingStates)
{
    auto device = Plug(SSimDfuConfig{});
    const std::wstring name = FirstName();
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(100));
    ASSERT_TRUE(m_engine->CreateUSB(name.c_str()));

    // Drive the device by hand through a second transport.
    auto transport = m_bus->CreateTransport();
    ASSERT_EQ(EDfuIo::Ok, transport->Open(name));
    std::uint8_t block[16] = {};
    // dfuDNLOAD-IDLE: a block sent and its status read.
    ASSERT_EQ(EDfuIo::Ok, transport->ControlOut(DFU_DNLOAD, 0, block, sizeof(block), 1000));
    std::uint8_t status[6];
    std::size_t got = 0;
    ASSERT_EQ(EDfuIo::Ok, transport->ControlIn(DFU_GETSTATUS, 0, status, 6, &got, 1000));
    CClock::Sleep(20);
    ASSERT_EQ(EDfuIo::Ok, transport->ControlIn(DFU_GETSTATUS, 0, status, 6, &got, 1000));
    ASSERT_EQ(dfuDNLOAD_IDLE, device->State());
    EXPECT_EQ(HR_OK, Reconfigure(file));
    EXPECT_EQ(dfuIDLE, device->State());

    // dfuERROR: an unexpected request stalls.
    EXPECT_EQ(EDfuIo::Stall, transport->ControlOut(DFU_CLRSTATUS, 0, nullptr, 0, 1000));
    ASSERT_EQ(dfuERROR, device->State());
    EXPECT_EQ(HR_OK, Reconfigure(file));
    EXPECT_EQ(dfuIDLE, device->State());
    EXPECT_EQ(DFU_OK, device->Status());
}

TEST_F(DfuEngineTest, StartsAreRefusedWhileBusyAndAllowedFromComplete)
{
    SSimDfuConfig config;
    config.wTransferSize = 64;
    config.pollTimeoutMs = 20;
    auto device = Plug(config);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(64 * 200 - 16));

    EXPECT_FALSE(m_engine->StartManifest()); // no device yet
    EXPECT_FALSE(m_engine->CreateUSB(L"USB\\VID_0A12&PID_0001\\9-9"));
    EXPECT_FALSE(m_engine->CreateUSB(L""));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));

    // Reconfigure, then the download started from inside Complete (as the
    // upgrader does right after the reconfigure event).
    class CChain : public CRecordingCallback
    {
    public:
        std::wstring file;
        bool started = false;
        void Complete(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override
        {
            if (record.activityCode == DFUEngine::kActivityReconfigure)
                started = engine->StartDownload(file.c_str());
            CRecordingCallback::Complete(engine, record);
        }
    } chain;
    chain.file = file;
    m_engine->SetCallback(&chain);
    ASSERT_TRUE(m_engine->StartReconfigure(false, true, file.c_str()));
    ASSERT_TRUE(chain.WaitComplete());
    ASSERT_TRUE(chain.started);
    // The download runs now: further starts are refused.
    EXPECT_FALSE(m_engine->StartManifest());
    EXPECT_FALSE(m_engine->StartDownload(file.c_str()));
    EXPECT_FALSE(m_engine->CreateUSB(FirstName().c_str()));
    HResult result = HR_FAIL;
    ASSERT_TRUE(chain.WaitComplete(&result));
    EXPECT_EQ(HR_OK, result);
    EXPECT_EQ(2, chain.CompleteCount());
    EXPECT_EQ(200, device->BlocksReceived());
    m_engine->SetCallback(&m_callback);
}

TEST_F(DfuEngineTest, DestroyingTheEngineStopsARunningDownload)
{
    SSimDfuConfig config;
    config.wTransferSize = 64;
    config.pollTimeoutMs = 200;
    auto device = Plug(config);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(64 * 20000));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    ASSERT_TRUE(m_engine->StartDownload(file.c_str()));
    CClock::Sleep(500);
    m_engine.reset();
    EXPECT_EQ(1, m_callback.CompleteCount());
    EXPECT_LT(device->BlocksReceived(), 20000);
}

TEST_F(DfuEngineTest, TransportTimeoutsFailTheDownload)
{
    auto device = Plug(SSimDfuConfig{});
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(5000));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    m_bus->FailNextRequests(1);
    EXPECT_EQ(HR_DFU_TIMEOUT, Download(file));
    ExpectOneActivity(DFUEngine::kActivityDownload);
    EXPECT_EQ(HR_OK, Reconfigure(file));
    EXPECT_EQ(HR_OK, Download(file));
}

TEST(DfuStringList, HeadAndNext)
{
    CStringListX list;
    CStringListX::POSITION pos = list.GetHeadPosition();
    EXPECT_EQ(0u, pos);
    EXPECT_EQ(0, list.GetNext(pos).GetLength());
    list.AddTail(CStringX(L"first"));
    list.AddTail(CStringX(L"second"));
    pos = list.GetHeadPosition();
    CStringX a = list.GetNext(pos);
    EXPECT_EQ(5, a.GetLength());
    EXPECT_STREQ(L"first", a.GetBuffer(a.GetLength()));
    EXPECT_STREQ(L"second", list.GetNext(pos).c_str());
    EXPECT_EQ(0u, pos);
    CStringX b;
    wchar_t* buf = b.GetBuffer(10);
    buf[0] = L'x';
    buf[1] = L'\0';
    b.ReleaseBuffer();
    EXPECT_EQ(1, b.GetLength());
}

TEST_F(DfuEngineTest, BlockNumbersWrapAfter65535)
{
    SSimDfuConfig config;
    config.wTransferSize = 16;
    config.pollTimeoutMs = 0;
    auto device = Plug(config);
    const auto image = MakeDfuImage(16 * 65540);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    ASSERT_EQ(HR_OK, Download(file));
    EXPECT_EQ(65540, device->BlocksReceived());
    ASSERT_EQ(HR_OK, Manifest());
    EXPECT_EQ(PayloadOf(image), device->Firmware());
}

TEST_F(DfuEngineTest, DeviceThatStaysBusyFailsTheDownload)
{
    for (std::uint32_t poll : {0u, 7u, 0xFFFFFFu})
    {
        SCOPED_TRACE(poll);
        m_bus->RemoveAll();
        SSimDfuConfig config;
        config.pollTimeoutMs = poll;
        config.stuckBusy = true;
        config.strictPolling = false; // the capped waits are shorter than a huge poll time-out
        auto device = Plug(config);
        const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(3000));
        ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
        EXPECT_EQ(HR_DFU_TIMEOUT, Download(file));
        ExpectOneActivity(DFUEngine::kActivityDownload);
        EXPECT_EQ(1, device->BlocksReceived());
    }
}

// The suffix is checked and stripped by the host and never sent; a file
// that holds nothing but a suffix has no firmware to download.
TEST_F(DfuEngineTest, SuffixIsStrippedAndAnEmptyPayloadIsRefused)
{
    SSimDfuConfig config;
    config.wTransferSize = 64;
    config.pollTimeoutMs = 0;
    auto device = Plug(config);
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    std::vector<std::uint8_t> suffixOnly;
    AppendDfuSuffix(suffixOnly, 0xFFFF, 0xFFFF, 0xFFFF);
    const std::wstring empty = WriteDfuTestFile(m_folder, "empty.dfu", suffixOnly);
    EXPECT_EQ(HR_DFU_BAD_FILE, Download(empty));
    EXPECT_EQ(0, device->BlocksReceived());

    const auto image = MakeDfuImage(128); // exactly two blocks of firmware
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
    ASSERT_EQ(HR_OK, Download(file));
    EXPECT_EQ(2, device->BlocksReceived()); // no third block with the suffix
    EXPECT_EQ(PayloadOf(image), device->ReceivedImage());
    ASSERT_EQ(HR_OK, Manifest());
    EXPECT_EQ(PayloadOf(image), device->Firmware());
}

// Devices that are not manifestation tolerant end manifestation in their
// own ways: waiting for the host's reset, or restarting on their own while
// the last GETSTATUS stalls, fails, times out or finds them gone. Each is
// a successful upgrade, for a chip that comes back in DFU mode as for one
// that comes back as its application.
TEST_F(DfuEngineTest, ManifestationEndsOfDevicesThatAreNotTolerant)
{
    const struct
    {
        const char* name;
        ESimManifestEnd end;
    } ends[] = {{"wait for reset", ESimManifestEnd::WaitReset}, {"stall", ESimManifestEnd::Stall},
                {"I/O error", ESimManifestEnd::IoError},        {"time-out", ESimManifestEnd::Timeout},
                {"drops off the bus", ESimManifestEnd::DropOff}};
    int n = 0;
    for (const auto& e : ends)
    {
        for (const bool runtime : {false, true})
        {
            SCOPED_TRACE(testing::Message() << e.name << (runtime ? ", back as application" : ", back in DFU mode"));
            m_bus->RemoveAll();
            SSimDfuConfig config;
            config.location = "2-" + std::to_string(++n);
            config.startInRuntime = runtime;
            config.manifestEnd = e.end;
            config.wTransferSize = 256;
            auto device = Plug(config);
            const auto image = MakeDfuImage(1000);
            const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", image);
            ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
            ASSERT_EQ(HR_OK, Reconfigure(file));
            ASSERT_EQ(HR_OK, Download(file));
            EXPECT_EQ(HR_OK, Manifest());
            EXPECT_EQ(PayloadOf(image), device->Firmware());
            EXPECT_EQ(1, device->ManifestCount());
            // The engine needs a new CreateUSB for the restarted device.
            EXPECT_FALSE(m_engine->StartManifest());
        }
    }
}

// A manifestation-tolerant device stays on the bus and keeps answering: a
// GETSTATUS that fails during its manifestation is a real failure.
TEST_F(DfuEngineTest, TolerantDeviceThatStopsAnsweringFailsTheManifestation)
{
    SSimDfuConfig config;
    config.bmAttributes = kDfuCanDownload | kDfuManifestationTolerant;
    config.wTransferSize = 256;
    auto device = Plug(config);
    const std::wstring file = WriteDfuTestFile(m_folder, "fw.dfu", MakeDfuImage(1000));
    ASSERT_TRUE(m_engine->CreateUSB(FirstName().c_str()));
    ASSERT_EQ(HR_OK, Download(file));
    m_bus->FailNextRequests(50);
    EXPECT_EQ(HR_DFU_TIMEOUT, Manifest());
    EXPECT_EQ(0, device->ManifestCount());
}
