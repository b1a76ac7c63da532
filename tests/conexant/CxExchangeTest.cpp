// The report exchange and the chips that witness it: which read failures end
// the read loop (on every system's mapping of its errors), the device mutex
// taken again by its own thread, replies that come after the host's
// time-out, and what the simulated chips refuse as the real ones do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include "platform/Clock.h"
#include "platform/HidSystem.h"
#include "tests/conexant/CxTestSupport.h"

namespace
{
// A device whose reads give a script of results; writes succeed.
class CScriptedHid : public IHidDevice
{
public:
    struct SStep
    {
        EHidResult result;
        std::uint8_t reportId;
        std::uint8_t fill = 0; // every byte after the report ID
        std::size_t length = 0; // bytes the device sent (a short report); 0: the whole report
    };
    explicit CScriptedHid(std::deque<SStep> steps) : m_steps(std::move(steps)) {}
    std::uintptr_t GetHandleValue() const override { return 7; }
    bool IsOverlapped() const override { return true; }
    std::uint32_t GetAccess() const override { return kHidAccessReadWrite; }
    EHidResult GetAttributes(SHidAttributes&) override { return EHidResult::Ok; }
    EHidResult GetCaps(SHidCaps&) override { return EHidResult::Ok; }
    EHidResult GetProductString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetManufacturerString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetSerialNumberString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetIndexedString(std::uint32_t, std::wstring&) override { return EHidResult::Failed; }
    EHidResult SetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Failed; }
    EHidResult GetFeature(std::uint8_t*, std::size_t, std::size_t*) override { return EHidResult::Failed; }
    EHidResult WriteOutputReport(const std::uint8_t*, std::size_t length, std::uint32_t, std::size_t* written) override
    {
        if (written != nullptr)
            *written = length;
        return EHidResult::Ok;
    }
    EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t, std::size_t* read) override
    {
        ++m_reads;
        if (m_steps.empty())
            return EHidResult::Timeout;
        const SStep step = m_steps.front();
        if (m_steps.size() > 1 || !m_repeatLast)
            m_steps.pop_front();
        if (step.result != EHidResult::Ok)
            return step.result;
        const std::size_t sent = step.length != 0 ? std::min(step.length, capacity) : capacity;
        std::memset(report, step.fill, sent);
        report[0] = step.reportId;
        if (read != nullptr)
            *read = sent;
        return EHidResult::Ok;
    }
    void Cancel() override {}
    void ResetCancel() override {}

    std::deque<SStep> m_steps;
    bool m_repeatLast = false;
    std::uint32_t m_reads = 0;
};

struct SScripted
{
    CxAudioHidDevice* device;
    CScriptedHid* reader;
};

SScripted MakeScripted(std::deque<CScriptedHid::SStep> steps, bool repeatLast = false)
{
    SCxIdentityRecord identity;
    identity.caps.inputReportByteLength = 0x21;
    identity.caps.outputReportByteLength = 0x25;
    SCxDeviceHandles handles;
    handles.mutex = std::make_shared<CCxDeviceMutex>();
    handles.mutex->Create();
    handles.writeHandle = std::make_unique<CScriptedHid>(std::deque<CScriptedHid::SStep>{});
    auto reader = std::make_unique<CScriptedHid>(std::move(steps));
    reader->m_repeatLast = repeatLast;
    CScriptedHid* raw = reader.get();
    handles.readHandle = std::move(reader);
    return {CreateCxChipObject(kCxChip2070x, identity, std::move(handles)), raw};
}
} // namespace

TEST(CxReportExchange, ReadEndsOnlyWhenTheDeviceIsGoneOrNotFunctioning)
{
    // Refused, failed, any other error: the read goes on and finds the reply.
    SScripted s = MakeScripted({{EHidResult::AccessDenied, 0},
                                {EHidResult::Failed, 0},
                                {EHidResult::InvalidArg, 0},
                                {EHidResult::NotSupported, 0},
                                {EHidResult::Ok, 0x01},
                                {EHidResult::Ok, 0x05}});
    std::uint8_t buffer[64] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(s.device->ReadInputReport(0x05, buffer, 0x21, &got), CXHID_STATUS_OK);
    EXPECT_EQ(s.reader->m_reads, 6u);
    s.device->Release();

    // Gone (system error 1167) or not functioning (31): the loop ends at once.
    for (EHidResult end : {EHidResult::NoDevice, EHidResult::DeviceError})
    {
        s = MakeScripted({{end, 0}, {EHidResult::Ok, 0x05}});
        EXPECT_EQ(s.device->ReadInputReport(0x05, buffer, 0x21, &got), CXHID_STATUS_DEVICE_READ_ERROR);
        EXPECT_EQ(s.reader->m_reads, 1u) << HidResultName(end);
        s.device->Release();
    }

    // A failure that persists ends after the allowed reads.
    s = MakeScripted({{EHidResult::Failed, 0}}, true);
    SCxIoSettings io = s.device->GetIoSettings();
    io.allowedReads = 40;
    s.device->SetIoSettings(io);
    EXPECT_EQ(s.device->ReadInputReport(0x05, buffer, 0x21, &got), CXHID_STATUS_DEVICE_READ_ERROR);
    EXPECT_EQ(s.reader->m_reads, 40u);
    s.device->Release();
}

TEST(CxReportExchange, AShortReplyDoesNotCarryTheBytesItLacks)
{
    // hidraw hands over a report as long as the device sent it: a reply of
    // the right ID with 4 of the 32 bytes asked for has no others to give.
    SScripted s = MakeScripted({{EHidResult::Ok, 0x05, 0x7E, 5}}, true);
    std::vector<std::uint8_t> buffer(32, 0xEE);
    EXPECT_EQ(s.device->MemoryRead(1, 0, 0x200, buffer.data(), 32, nullptr), CXHID_STATUS_DEVICE_READ_ERROR)
        << "the host's cleared buffer taken for the chip's bytes";
    s.device->Release();

    // A reply as long as the request needs is whole, whatever the report length.
    s = MakeScripted({{EHidResult::Ok, 0x05, 0x7E, 5}});
    EXPECT_EQ(s.device->MemoryRead(1, 0, 0x200, buffer.data(), 4, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(buffer[3], 0x7E);
    s.device->Release();
}

TEST(CxReportExchange, TheSystemsErrorsMapToTheReadLoopsOutcomes)
{
#ifdef _WIN32
    EXPECT_EQ(MapSystemHidError(1167), EHidResult::NoDevice);  // ERROR_DEVICE_NOT_CONNECTED
    EXPECT_EQ(MapSystemHidError(31), EHidResult::DeviceError); // ERROR_GEN_FAILURE
    EXPECT_EQ(MapSystemHidError(5), EHidResult::AccessDenied); // ERROR_ACCESS_DENIED
    EXPECT_EQ(MapSystemHidError(1117), EHidResult::Failed);    // ERROR_IO_DEVICE
    EXPECT_EQ(MapSystemHidError(121), EHidResult::Timeout);    // ERROR_SEM_TIMEOUT
#else
    EXPECT_EQ(MapSystemHidError(ENODEV), EHidResult::NoDevice);
    EXPECT_EQ(MapSystemHidError(EIO), EHidResult::DeviceError); // hidraw: the device left or stopped working
    EXPECT_EQ(MapSystemHidError(EPROTO), EHidResult::DeviceError);
    EXPECT_EQ(MapSystemHidError(EACCES), EHidResult::AccessDenied);
    EXPECT_EQ(MapSystemHidError(EAGAIN), EHidResult::Failed);
    EXPECT_EQ(MapSystemHidError(ETIMEDOUT), EHidResult::Timeout);
#endif
}

TEST(CxReportExchange, AWriteTheDeviceDidNotCarryOutIsIssuedAgain)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    SCxChipFaults faults;
    faults.failWrites = 2; // stalled twice (system error 31)
    chip->SetFaults(faults);
    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(dev->MemoryWrite(1, kCxAccessVerify, 0x40, bytes, 3, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(chip->Ram()[0x42], 3);
}

TEST(CxDeviceMutex, TheHoldingThreadTakesItAgain)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    chip->PokeRam(0x300, {0x77});
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    struct SContext
    {
        ICxAudioHidDev* dev;
        int nested = -1;
        std::uint8_t byte = 0;
    } context{dev.get()};
    // A progress callback that reads the chip: it runs inside the access, with the mutex held.
    dev->SetMemoryProgressCallback(&context, [](void* c, std::uint32_t, const SCxAccessStatistics*) -> std::int32_t {
        auto* ctx = static_cast<SContext*>(c);
        if (ctx->nested == -1)
        {
            ctx->nested = -2; // the nested access calls back too
            ctx->nested = ctx->dev->MemoryRead(1, 0, 0x300, &ctx->byte, 1, nullptr);
        }
        return 0;
    });
    std::uint8_t buffer[64] = {};
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buffer, 64, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(context.nested, CXHID_STATUS_OK) << "a wait for the mutex the thread holds would time out (2)";
    EXPECT_EQ(context.byte, 0x77);
    dev->SetMemoryProgressCallback(nullptr, nullptr);

    // Held as often as taken: released by the last release only.
    CCxDeviceMutex mutex;
    ASSERT_TRUE(mutex.Create());
    EXPECT_EQ(mutex.Wait(0), EWaitResult::Signalled);
    EXPECT_EQ(mutex.Wait(0), EWaitResult::Signalled);
    EXPECT_TRUE(mutex.Release());
    EWaitResult other = EWaitResult::Failed;
    std::thread([&] { other = mutex.Wait(10); }).join();
    EXPECT_EQ(other, EWaitResult::Timeout);
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release()) << "not held";
    std::thread([&] {
        other = mutex.Wait(10);
        mutex.Release();
    }).join();
    EXPECT_EQ(other, EWaitResult::Signalled);
}

// Late replies, step by step: the reads of a device whose replies come in a
// fixed order, the time-outs among them.
TEST(CxLateReplies, OwedRepliesAreDroppedBeforeTheNextRequest)
{
    const EHidResult ok = EHidResult::Ok;
    const EHidResult late = EHidResult::Timeout;
    // Chunk 1 times out, is asked again and answered (by either sending);
    // the second answer is owed and dropped; chunk 2 gets its own.
    SScripted s = MakeScripted({{late, 0}, {ok, 0x05, 0xA1}, {ok, 0x05, 0xA1}, {ok, 0x05, 0xB2}});
    std::vector<std::uint8_t> buffer(64, 0);
    ASSERT_EQ(s.device->MemoryRead(1, 0, 0x200, buffer.data(), 64, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[31], 0xA1);
    EXPECT_EQ(buffer[32], 0xB2) << "not the owed reply of chunk 1";
    EXPECT_EQ(buffer[63], 0xB2);
    s.device->Release();

    // Every attempt times out: the access fails; the three replies that come
    // later are dropped before the next access takes its own.
    s = MakeScripted({{late, 0}, {late, 0}, {late, 0}, {ok, 0x05, 0x11}, {ok, 0x01, 0x00}, {ok, 0x05, 0x11},
                      {ok, 0x05, 0x11}, {ok, 0x05, 0xC3}});
    EXPECT_EQ(s.device->MemoryRead(1, 0, 0x200, buffer.data(), 16, nullptr), CXHID_STATUS_DEVICE_READ_ERROR);
    ASSERT_EQ(s.device->MemoryRead(1, 0, 0x300, buffer.data(), 16, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(buffer[0], 0xC3);
    EXPECT_EQ(s.reader->m_reads, 8u);
    s.device->Release();

    // Owed replies that never come: the wait for them ends, the next reply is taken.
    s = MakeScripted({{late, 0}, {ok, 0x05, 0xA1}, {late, 0}, {ok, 0x05, 0xD4}});
    ASSERT_EQ(s.device->MemoryRead(1, 0, 0x200, buffer.data(), 64, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[32], 0xD4);
    s.device->Release();
}

// Late replies from a simulated chip: the chip answers, but only after the
// host stopped waiting. Whatever the machine's scheduling makes of the
// delays, the host never takes an answer for another request's: it has the
// right bytes, or it fails.
TEST(CxLateReplies, ALateReplyIsNeverTakenForAnotherRequest)
{
    for (ECxBenchChip type : {ECxBenchChip::Cx2070x, ECxBenchChip::Cx2076x})
    {
        CCxBench bench;
        auto chip = bench.Plug(type);
        std::vector<std::uint8_t> pattern(0x100);
        for (std::size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
        chip->PokeRam(0x200, pattern);
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        // Margins of tens of real milliseconds against the scheduling of a loaded machine.
        SCxIoSettings io = dev->GetIoSettings();
        io.readTimeoutMs = 20000;
        dev->SetIoSettings(io);

        // The first reply comes after the time-out: asked again, the data stay in their place.
        SCxChipFaults faults;
        faults.lateReplies = 1;
        faults.lateReplyMs = 30000;
        chip->SetFaults(faults);
        // Reads 0x80 bytes at 0x200 + offset: right, or failed with 20.
        const auto readBack = [&](std::uint32_t offset, std::uint32_t count) {
            std::vector<std::uint8_t> back(count, 0);
            const int status = dev->MemoryRead(1, 0, 0x200 + offset, back.data(), count, nullptr);
            if (status == CXHID_STATUS_OK)
                EXPECT_TRUE(std::equal(back.begin(), back.end(), pattern.begin() + offset))
                    << CxBenchChipName(type) << " at +" << offset;
            else
                EXPECT_EQ(status, CXHID_STATUS_DEVICE_READ_ERROR) << CxBenchChipName(type);
            return status;
        };
        int succeeded = 0;
        succeeded += readBack(0, 0x80) == CXHID_STATUS_OK;
        succeeded += readBack(0x80, 0x80) == CXHID_STATUS_OK;

        // Every attempt late: the access fails; the replies that come later are
        // not the next access's data.
        faults.lateReplies = static_cast<int>(io.replyAttempts);
        faults.lateReplyMs = 65000; // after the last attempt gave up
        chip->SetFaults(faults);
        readBack(0, 2);
        succeeded += readBack(0xC0, 0x40) == CXHID_STATUS_OK;
        EXPECT_GT(succeeded, 0) << "late replies are survived, not only failed on";
    }
}

TEST(CxLateReplies, AVerifiedWriteComparesWithItsOwnReply)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    SCxIoSettings io = dev->GetIoSettings();
    io.readTimeoutMs = 20000;
    dev->SetIoSettings(io);
    SCxChipFaults faults;
    faults.lateReplies = 1;
    faults.lateRepliesAfter = 2; // the third chunk's read-back
    faults.lateReplyMs = 30000;
    chip->SetFaults(faults);
    std::vector<std::uint8_t> data(0x100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(0xFF - i);
    SCxAccessStatistics stats{};
    stats.size = sizeof(stats);
    ASSERT_EQ(dev->MemoryWrite(0, kCxAccessVerify, 0x100, data.data(), 0x100, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.differencesTotal, 0u) << "no chunk compared with another chunk's reply";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), chip->Eeprom().begin() + 0x100));
}

// What the chips' tables say they take, the models take, whatever the host sends.
TEST(CxChipWitness, ChipsRefuseWhatTheirTablesDoNotAllow)
{
    // The CX2077x takes one EEPROM byte per request.
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2077x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::vector<std::uint8_t> request(0x25, 0);
    request[0] = 0x04;
    request[1] = 0x40 | 0x20; // write, EEPROM
    request[2] = 32;
    request[4] = 0x80;
    std::fill(request.begin() + 5, request.end(), 0x11);
    std::uint32_t written = 0;
    ASSERT_EQ(dev->WriteOutputReport(request.data(), 0x25, &written, 0), CXHID_STATUS_OK);
    EXPECT_EQ(chip->IgnoredRequests(), 1u);
    EXPECT_EQ(chip->Eeprom()[0x80], 0xFF);
    // The host sends what the table allows: 32 requests of one byte.
    const std::uint32_t before = chip->RequestCount();
    ASSERT_EQ(dev->MemoryWrite(0, 0, 0x80, request.data() + 5, 32, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(chip->RequestCount() - before, 32u);
    EXPECT_EQ(chip->Eeprom()[0x9F], 0x11);

    // The CX2076x's EEPROM is read only: the host does not write it, the chip ignores a write.
    CCxBench other;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2076x);
    config.eepromContents = MakeCxEepromImage(0x2000, 0x05);
    auto tiki = other.Plug(config);
    auto dev2 = other.Connect();
    ASSERT_TRUE(dev2);
    const std::uint8_t byte = 0x12;
    EXPECT_EQ(dev2->EepromWrite(0x40, &byte, 1), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    std::uint8_t raw[6] = {0x08, 0x80 | 0x20, 0x40, 0x00, 0x12, 0};
    raw[5] = CxRequestChecksum(raw, 5);
    ASSERT_EQ(dev2->WriteOutputReport(raw, 6, &written, 0), CXHID_STATUS_OK);
    std::uint8_t reply[3] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(dev2->ReadInputReport(0x09, reply, 3, &got), CXHID_STATUS_OK);
    EXPECT_EQ(reply[2], 0xFF) << "the cell as it was";
    EXPECT_EQ(tiki->Eeprom(), config.eepromContents);
}

// Where a chip's firmware keeps the version of its patch is not documented.
// The host reads it where its property table says; a chip that keeps it
// elsewhere is reported as running no patch, or as running what that RAM holds.
TEST(CxChipWitness, PatchVersionWhereTheHostDoesNotLook)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.eepromContents = MakeCxEepromImage(0x2000, 0x05);
    config.patchVersionAddress = 0x1100;
    config.patchVersion[0] = 0x01;
    config.patchVersion[1] = 0x02;
    config.patchVersion[2] = 0x03;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    ASSERT_EQ(dev->AutoConfigure(), CXHID_STATUS_OK);
    char version[9] = {};
    ASSERT_EQ(dev->GetPatchVersion(version, sizeof version), CXHID_STATUS_OK);
    EXPECT_STREQ(version, "00-00-00");
    EXPECT_EQ(dev->GetProperty(kCxPropPatchLoaded), 0) << "the patch the chip runs goes unseen";
    EXPECT_EQ(dev->GetProperty(kCxPropPatchVersionAddress), 0x1000);

    chip->PokeRam(0x1000, {0x5A, 0xA5, 0x00}); // the firmware's own data where the host looks
    ASSERT_EQ(dev->AutoConfigure(), CXHID_STATUS_OK);
    ASSERT_EQ(dev->GetPatchVersion(version, sizeof version), CXHID_STATUS_OK);
    EXPECT_STREQ(version, "5A-A5-00");
    EXPECT_EQ(dev->GetProperty(kCxPropPatchLoaded), 1) << "a patch reported that is none";
}
