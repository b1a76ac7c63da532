// Memory access against the simulated chips: bounds and rights per chip
// type, request formats, checksums, pattern writes, verification, the
// report exchange's retry and re-read rules, faults and the device mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/conexant/CxTestSupport.h"

namespace
{
SCxAccessStatistics NewStats()
{
    SCxAccessStatistics s{};
    s.size = sizeof(s);
    return s;
}
} // namespace

TEST(CxMemoryAccess, TableABoundsAndOneByteRequests)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx20562);
    config.eepromContents = MakeCxEepromImage(0x2000, 5);
    config.eepromContents[0x1FFD] = 0x11;
    config.eepromContents[0x1FFE] = 0x22;
    config.eepromContents[0x1FFF] = 0x33;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    ASSERT_EQ(dev->GetChipType(), kCxChip20562);

    std::uint8_t buf[3] = {};
    EXPECT_EQ(dev->MemoryRead(0, 0, 0x1FFE, buf, 3, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(chip->RequestCount(), 0u) << "validation happens before any report";

    EXPECT_EQ(dev->MemoryRead(0, 0, 0x1FFD, buf, 3, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(chip->RequestCount(), 3u);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(buf[1], 0x22);
    EXPECT_EQ(buf[2], 0x33);
    const auto last = chip->LastRequest();
    ASSERT_EQ(last.size(), 6u);
    EXPECT_EQ(last[0], 0x08);
    EXPECT_EQ(last[1], 0x20 | 0x1F) << "memory type 0 bit and address bits 12-8";
    EXPECT_EQ(last[2], 0xFF);

    // Memory type 2 reaches only 0x1C00 ... 0x1FFF, though its start may go higher.
    EXPECT_EQ(dev->MemoryRead(2, 0, 0x1BFF, buf, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(dev->MemoryRead(2, 0, 0x2000, buf, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(dev->MemoryRead(2, 0, 0x1C00, buf, 1, nullptr), CXHID_STATUS_OK);
}

TEST(CxMemoryAccess, ValidationOrderAndAccessRights)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx20562, 1);
    bench.Plug(ECxBenchChip::Cx2070x, 2);
    bench.Plug(ECxBenchChip::Cx20805, 3);
    auto a = bench.Connect(kCxChip20562);
    auto b = bench.Connect(kCxChip2070x);
    auto none = bench.Connect(kCxChip20805);
    ASSERT_TRUE(a && b && none);
    std::uint8_t byte = 0x5A;

    EXPECT_EQ(none->MemoryRead(0, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_OPERATION);
    EXPECT_EQ(a->MemoryAccess(2, 0, 0, 0, 1, &byte, 1, nullptr), CXHID_STATUS_INVALID_OPERATION);
    EXPECT_EQ(a->MemoryRead(5, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_TYPE);
    EXPECT_EQ(a->MemoryWrite(0, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(a->MemoryWrite(2, 0, 0x1C00, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(a->MemoryWrite(4, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(a->MemoryRead(1, 0, 0x1C00, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(a->MemoryAccess(0, 1, 0, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(a->MemoryAccess(0, 1, 0, 0, 1, nullptr, 1, nullptr), CXHID_STATUS_NULL_BUFFER);
    EXPECT_EQ(a->MemoryAccess(0, 1, 0, 0, 1, &byte, 0, nullptr), CXHID_STATUS_ZERO_BUFFER_SIZE);
    // Rights are checked before the address: an unwritable memory at a bad address gives 13.
    EXPECT_EQ(a->MemoryWrite(0, 0, 0x9000, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(chip->RequestCount(), 0u);

    // Table B: the EEPROM is writable, up to 0x1FFFF.
    EXPECT_EQ(b->MemoryWrite(0, 0, 0x10, &byte, 1, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(b->MemoryRead(0, 0, 0x1FFFF, &byte, 1, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(b->MemoryRead(0, 0, 0x1FFFF, &byte, 2, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(b->MemoryRead(1, 0, 0xFFFF, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS)
        << "start above the highest start";
    EXPECT_EQ(b->MemoryRead(3, 0, 0x0FFF, &byte, 2, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(b->MemoryWrite(2, 0, 0, &byte, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
}

TEST(CxMemoryAccess, WritesEepromOnTableBInBlocksWithHighAddressBit)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.eepromSize = 0x20000;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::vector<std::uint8_t> data(70);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 3 + 1);
    ASSERT_EQ(dev->MemoryWrite(0, 0, 0xFFF0, data.data(), 70, nullptr), CXHID_STATUS_OK);
    const auto requests = chip->Requests();
    ASSERT_EQ(requests.size(), 3u) << "16 + 32 + 22 bytes; a write is not answered";
    EXPECT_EQ(requests[0][1], 0x60) << "write bit and memory type 0 bit";
    EXPECT_EQ(requests[0][2], 16) << "up to 0xFFFF: the request's bit 16 holds for all its bytes";
    EXPECT_EQ(requests[1][1], 0x70) << "0x10000 and up set bit 0x10";
    EXPECT_EQ(requests[1][4], 0x00);
    EXPECT_EQ(requests[2][2], 22);
    const auto eeprom = chip->Eeprom();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), eeprom.begin() + 0xFFF0));

    std::vector<std::uint8_t> back(70);
    ASSERT_EQ(dev->MemoryRead(0, 0, 0xFFF0, back.data(), 70, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(back, data);
}

TEST(CxMemoryAccess, ChecksumByteAndABadChecksumIsIgnored)
{
    // 0x20, 0x10, 0x00, 0xAA: (0xDF + 0xEF + 0xFF + 0x55) mod 256.
    std::uint8_t request[6] = {0x08, 0x20, 0x10, 0x00, 0xAA, 0x00};
    EXPECT_EQ(CxRequestChecksum(request, 5), 0x22);

    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2076x);
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::uint8_t pattern = 0xAA;
    ASSERT_EQ(dev->MemoryWrite(1, 0, 0x0010, &pattern, 1, nullptr), CXHID_STATUS_OK);
    auto last = chip->LastRequest();
    EXPECT_EQ(last[1], 0x80);
    EXPECT_EQ(last[5], CxRequestChecksum(last.data(), 5));
    EXPECT_EQ(chip->Ram()[0x10], 0xAA);

    // The same request with its checksum off by one: the chip drops it, no reply comes.
    last[4] = 0x55;
    std::uint32_t written = 0;
    ASSERT_EQ(dev->WriteOutputReport(last.data(), 6, &written, 0), CXHID_STATUS_OK);
    std::uint8_t reply[3] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(dev->ReadInputReport(0x09, reply, 3, &got), CXHID_STATUS_DEVICE_READ_ERROR);
    EXPECT_EQ(chip->IgnoredRequests(), 1u);
    EXPECT_EQ(chip->Ram()[0x10], 0xAA);
}

TEST(CxMemoryAccess, PatternFillRepeatsTheBuffer)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    const std::uint8_t pattern[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(dev->MemoryAccess(1, 1, 0, 0x200, 100, const_cast<std::uint8_t*>(pattern), 4, nullptr),
              CXHID_STATUS_OK);
    const auto ram = chip->Ram();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(ram[0x200 + i], pattern[i % 4]) << i;
    EXPECT_EQ(ram[0x200 + 100], 0x00);
    EXPECT_EQ(chip->RequestCount(), 4u);

    // A read stops at the buffer size.
    std::uint8_t small[8] = {};
    SCxAccessStatistics stats = NewStats();
    ASSERT_EQ(dev->MemoryAccess(0, 1, 0, 0x200, 100, small, 8, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.bytesDone, 8u);
    EXPECT_EQ(stats.firstAddress, 0x200u);
    EXPECT_EQ(stats.lastAddress, 0x207u);
    EXPECT_EQ(small[7], 0xEF);
}

TEST(CxMemoryAccess, VerifyCatchesAChipThatStoresAWrongByte)
{
    for (ECxBenchChip type : {ECxBenchChip::Cx2070x, ECxBenchChip::Cx2070xAs1410})
    {
        CCxBench bench;
        SCxChipConfig config = MakeCxChipConfig(type);
        config.faults.stuckEepromAddress = 0x105;
        auto chip = bench.Plug(config);
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        std::uint8_t data[16];
        for (int i = 0; i < 16; ++i)
            data[i] = 0x41;
        SCxAccessStatistics stats = NewStats();
        ASSERT_EQ(dev->MemoryWrite(0, kCxAccessVerify, 0x100, data, 16, &stats), CXHID_STATUS_OK);
        EXPECT_EQ(stats.compared, 1u);
        EXPECT_EQ(stats.differencesTotal, 1u) << CxBenchChipName(type);
        EXPECT_EQ(chip->Eeprom()[0x105], 0x40);

        // Without the fault the same verified write compares clean.
        chip->SetFaults({});
        stats = NewStats();
        ASSERT_EQ(dev->MemoryWrite(0, kCxAccessVerify, 0x200, data, 16, &stats), CXHID_STATUS_OK);
        EXPECT_EQ(stats.compared, 1u);
        EXPECT_EQ(stats.differencesTotal, 0u);
    }
}

TEST(CxMemoryAccess, UnexpectedReportsAreSkippedUpToTheAllowedReads)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::uint8_t byte = 0;
    SCxChipFaults faults;
    faults.strayReportsOnce = 999;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, &byte, 1, nullptr), CXHID_STATUS_OK);

    faults.strayReportsOnce = 1000;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, &byte, 1, nullptr), CXHID_STATUS_DEVICE_READ_ERROR);
}

TEST(CxMemoryAccess, AbortingProgressCallbackEndsAfterOneChunk)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    int calls = 0;
    auto abort = [](void* context, std::uint32_t done, const SCxAccessStatistics*) -> std::int32_t {
        ++*static_cast<int*>(context);
        return done >= 32 ? 1 : 0;
    };
    EXPECT_EQ(dev->SetMemoryProgressCallback(&calls, abort), nullptr);
    std::vector<std::uint8_t> buf(100);
    SCxAccessStatistics stats = NewStats();
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf.data(), 100, &stats), CXHID_STATUS_ABORTED);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(stats.bytesDone, 32u);
    EXPECT_EQ(dev->SetMemoryProgressCallback(nullptr, nullptr), abort);
}

TEST(CxMemoryAccess, LostRepliesFailedWritesAndUnplug)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx20562);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::uint8_t buf[10] = {};

    // A reply that never comes: the request is sent again, a bounded number of times.
    SCxChipFaults faults;
    faults.dropReplies = 1;
    chip->SetFaults(faults);
    SCxAccessStatistics stats = NewStats();
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 4, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.bytesDone, 4u);
    faults.dropReplies = -1;
    chip->SetFaults(faults);
    const std::uint32_t before = chip->RequestCount();
    stats = NewStats();
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 4, &stats), CXHID_STATUS_DEVICE_READ_ERROR);
    EXPECT_EQ(stats.bytesDone, 0u);
    EXPECT_EQ(chip->RequestCount() - before, dev->GetIoSettings().replyAttempts);

    // A write that never completes is issued again, and gives up after the attempts.
    faults = {};
    faults.timeoutWrites = 2;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 1, nullptr), CXHID_STATUS_OK);
    faults.timeoutWrites = -1;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 1, nullptr), CXHID_STATUS_DEVICE_WRITE_ERROR);
    faults = {};
    faults.failWrites = 4;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 1, nullptr), CXHID_STATUS_OK);
    faults.failWrites = 5;
    chip->SetFaults(faults);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 1, nullptr), CXHID_STATUS_DEVICE_WRITE_ERROR);

    // Unplugged in the middle of a read: the bytes done so far are reported.
    faults = {};
    faults.unplugAfterRequests = static_cast<int>(chip->RequestCount()) + 3;
    chip->SetFaults(faults);
    stats = NewStats();
    EXPECT_NE(dev->MemoryRead(1, 0, 0, buf, 10, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.bytesDone, 3u);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, buf, 1, nullptr), CXHID_STATUS_DEVICE_WRITE_ERROR);
}

TEST(CxMemoryAccess, CorrectedCx2070xTalksOneByteRequestsThroughReport4)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070xAs1410);
    config.eepromContents = MakeCxEepromImage(0x2000, 5);
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->GetChipType(), kCxChip2070x);
    EXPECT_EQ(dev->GetDeviceInfo().flags & kCxIdentityCorrected, kCxIdentityCorrected);
    std::uint8_t header[4] = {};
    ASSERT_EQ(dev->EepromRead(0, header, 4), CXHID_STATUS_OK);
    EXPECT_EQ(header[0], 0x4C);
    EXPECT_EQ(header[1], 0x05);
    const auto requests = chip->Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& r : requests)
    {
        EXPECT_EQ(r.size(), 6u);
        EXPECT_EQ(r[0], 0x04);
        EXPECT_EQ(r[1] & 0x20, 0x20);
    }
    // Its EEPROM is writable, the CX20562 geometry ends at 0x1FFF.
    const std::uint8_t t = 'T';
    EXPECT_EQ(dev->EepromWrite(43, &t, 1), CXHID_STATUS_OK);
    EXPECT_EQ(chip->Eeprom()[43], 'T');
    EXPECT_EQ(dev->EepromRead(0x2000, header, 1), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
}

TEST(CxMemoryAccess, RegistersAddressedThroughTheCommandByte)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    const std::uint8_t value[2] = {0x34, 0x12};
    ASSERT_EQ(dev->MemoryWrite(3, 0x06, 0, value, 2, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(chip->LastRequest()[1], 0x80 | 0x40 | 0x18);
    EXPECT_EQ(chip->Register(3), 0x1234);
    std::uint8_t back[2] = {};
    ASSERT_EQ(dev->MemoryRead(3, 0x06, 0, back, 2, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(back[0], 0x34);
    EXPECT_EQ(back[1], 0x12);
    // A register of memory type 4 (read only) of the same number.
    ASSERT_EQ(dev->MemoryRead(4, 0x06, 0, back, 2, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(chip->LastRequest()[1], 0x18);

    // The request carries no address and one register: what it cannot reach is refused, unsent.
    const std::uint32_t sent = chip->RequestCount();
    const std::uint8_t four[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(dev->MemoryWrite(3, kCxAccessVerify, 0x100, four, 4, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(dev->MemoryWrite(3, kCxAccessVerify, 2, four, 2, nullptr), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(dev->MemoryWrite(3, kCxAccessVerify, 0, four, 4, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(dev->MemoryWrite(3, 0, 0, four, 1, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS) << "half a register";
    std::uint8_t four4[4] = {};
    EXPECT_EQ(dev->MemoryRead(4, 0, 0, four4, 4, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(chip->RequestCount(), sent);
    EXPECT_EQ(chip->Register(0), 0u);

    // A chip that puts the address into the request reaches every register, two bytes at a time.
    CCxBench other;
    auto byteChip = other.Plug(ECxBenchChip::Cx2076x);
    auto dev2 = other.Connect();
    ASSERT_TRUE(dev2);
    SCxAccessStatistics stats = NewStats();
    ASSERT_EQ(dev2->MemoryWrite(3, kCxAccessVerify, 0x100, four, 4, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.differencesTotal, 0u);
    EXPECT_EQ(byteChip->Register(0x100), 0xBBAA);
    EXPECT_EQ(byteChip->Register(0x102), 0xDDCC);
    EXPECT_EQ(dev2->MemoryWrite(3, 0, 0x100, four, 3, nullptr), CXHID_STATUS_INVALID_MEMORY_ACCESS);
}

TEST(CxMemoryAccess, SecondThreadTimesOutOnTheDeviceMutex)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    struct SContext
    {
        ICxAudioHidDev* dev;
        std::atomic<int> other{-1};
    } context{dev.get()};
    auto callback = [](void* c, std::uint32_t, const SCxAccessStatistics*) -> std::int32_t {
        auto* ctx = static_cast<SContext*>(c);
        if (ctx->other.load() == -1)
        {
            // The access holds the mutex while it calls back.
            std::thread t([ctx] {
                std::uint8_t b = 0;
                ctx->other = ctx->dev->MemoryRead(1, 0, 0, &b, 1, nullptr);
            });
            t.join();
        }
        return 0;
    };
    dev->SetMemoryProgressCallback(&context, callback);
    std::uint8_t b = 0;
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, &b, 1, nullptr), CXHID_STATUS_OK);
    EXPECT_EQ(context.other.load(), CXHID_STATUS_SYSTEM_ERROR);
    dev->SetMemoryProgressCallback(nullptr, nullptr);
    EXPECT_EQ(dev->MemoryRead(1, 0, 0, &b, 1, nullptr), CXHID_STATUS_OK) << "released after the access";
}
