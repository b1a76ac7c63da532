// The simulated DFU device's own rules, driven by hand through its transport.
#include <gtest/gtest.h>

#include "bench/dfu/SimDfuBus.h"
#include "bench/dfu/SimFirmware.h"
#include "dfu/DfuFile.h"
#include "platform/Clock.h"
#include "tests/dfu/DfuTestSupport.h"

namespace
{
struct SHandDriven
{
    std::shared_ptr<CSimDfuBus> bus = std::make_shared<CSimDfuBus>();
    std::shared_ptr<CSimDfuDevice> device;
    std::unique_ptr<IDfuTransport> t;

    explicit SHandDriven(const SSimDfuConfig& config)
    {
        device = bus->AddDevice(config);
        t = bus->CreateTransport();
        std::vector<SDfuDeviceEntry> names;
        t->Enumerate(names);
        if (!names.empty())
            t->Open(names[0].name);
    }

    EDfuIo Status(SDfuStatus* s)
    {
        std::uint8_t raw[6];
        std::size_t got = 0;
        const EDfuIo io = t->ControlIn(DFU_GETSTATUS, 0, raw, sizeof(raw), &got, 1000);
        if (io == EDfuIo::Ok && !ParseDfuStatus(raw, got, s))
            return EDfuIo::Io;
        return io;
    }

    EDfuIo Block(std::uint16_t n, const std::vector<std::uint8_t>& data)
    {
        return t->ControlOut(DFU_DNLOAD, n, data.data(), data.size(), 1000);
    }
};
} // namespace

TEST(DfuSimDevice, DescriptorsAndIdentity)
{
    SSimDfuConfig config;
    config.wTransferSize = 512;
    config.wDetachTimeOut = 2500;
    SHandDriven d(config);
    SDfuDeviceIdentity id;
    ASSERT_EQ(EDfuIo::Ok, d.t->GetIdentity(&id));
    EXPECT_EQ(0x0A12, id.idVendor);
    EXPECT_EQ(0x0001, id.idProduct);
    EXPECT_FALSE(id.runtimeMode);
    std::vector<std::uint8_t> raw;
    ASSERT_EQ(EDfuIo::Ok, d.t->GetFunctionalDescriptor(raw));
    SDfuFunctionalDescriptor f;
    ASSERT_TRUE(ParseDfuFunctionalDescriptor(raw.data(), raw.size(), &f));
    EXPECT_EQ(512, f.wTransferSize);
    EXPECT_EQ(2500, f.wDetachTimeOut);
}

TEST(DfuSimDevice, PollingBeforeThePollTimeOutIsAnError)
{
    SSimDfuConfig config;
    config.pollTimeoutMs = 5000;
    SHandDriven d(config);
    SDfuStatus s;
    ASSERT_EQ(EDfuIo::Ok, d.Block(0, std::vector<std::uint8_t>(100, 1)));
    ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
    EXPECT_EQ(dfuDNBUSY, s.bState);
    EXPECT_EQ(5000u, s.bwPollTimeout);
    EXPECT_EQ(EDfuIo::Stall, d.Status(&s));
    EXPECT_EQ(dfuERROR, d.device->State());
    EXPECT_EQ(errSTALLEDPKT, d.device->Status());
    EXPECT_EQ(1, d.device->EarlyPolls());
    // CLRSTATUS brings it back; waiting out the poll time-out is fine.
    ASSERT_EQ(EDfuIo::Ok, d.t->ControlOut(DFU_CLRSTATUS, 0, nullptr, 0, 1000));
    ASSERT_EQ(EDfuIo::Ok, d.Block(0, std::vector<std::uint8_t>(100, 1)));
    ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
    CClock::Sleep(s.bwPollTimeout);
    ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
    EXPECT_EQ(dfuDNLOAD_IDLE, s.bState);
}

TEST(DfuSimDevice, BlocksMustComeInOrderAndFitTheTransferSize)
{
    SSimDfuConfig config;
    config.pollTimeoutMs = 0;
    config.wTransferSize = 64;
    SHandDriven d(config);
    EXPECT_EQ(EDfuIo::Stall, d.Block(0, std::vector<std::uint8_t>(65, 1)));
    EXPECT_EQ(dfuERROR, d.device->State());
    ASSERT_EQ(EDfuIo::Ok, d.t->ControlOut(DFU_CLRSTATUS, 0, nullptr, 0, 1000));
    EXPECT_EQ(EDfuIo::Stall, d.Block(1, std::vector<std::uint8_t>(64, 1))); // first block is 0
    EXPECT_EQ(errADDRESS, d.device->Status());
    ASSERT_EQ(EDfuIo::Ok, d.t->ControlOut(DFU_CLRSTATUS, 0, nullptr, 0, 1000));
    EXPECT_EQ(EDfuIo::Stall, d.Block(0, {})); // zero length in dfuIDLE
}

// The device checks what a chip can check: the firmware's own header and
// its length. The DFU suffix is the host's; a host that sends it along makes
// the image longer than its header says, and the chip refuses it.
TEST(DfuSimDevice, ManifestationChecksTheReceivedFirmware)
{
    const std::vector<std::uint8_t> good = MakeSimFirmware("1.05.4", 40);
    std::vector<std::uint8_t> badHeader = good;
    badHeader[3] ^= 0x10;
    std::vector<std::uint8_t> withSuffix = good;
    AppendDfuSuffix(withSuffix, 0xFFFF, 0xFFFF, 0xFFFF);
    const std::vector<std::uint8_t> truncated(good.begin(), good.end() - 1);
    struct
    {
        const char* name;
        const std::vector<std::uint8_t>& image;
        bool accepted;
    } cases[] = {{"good", good, true}, {"bad header", badHeader, false}, {"suffix sent", withSuffix, false},
                 {"truncated", truncated, false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SSimDfuConfig config;
        config.pollTimeoutMs = 0;
        config.manifestPollMs = 10;
        SHandDriven d(config);
        ASSERT_EQ(EDfuIo::Ok, d.Block(0, c.image));
        SDfuStatus s;
        ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
        ASSERT_EQ(dfuDNLOAD_IDLE, s.bState);
        ASSERT_EQ(EDfuIo::Ok, d.Block(1, {}));
        ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
        if (!c.accepted)
        {
            EXPECT_EQ(dfuERROR, s.bState);
            EXPECT_EQ(errVERIFY, s.bStatus);
            EXPECT_TRUE(d.device->Firmware().empty());
            continue;
        }
        EXPECT_EQ(dfuMANIFEST, s.bState);
        CClock::Sleep(s.bwPollTimeout);
        ASSERT_EQ(EDfuIo::Ok, d.Status(&s));
        EXPECT_EQ(dfuMANIFEST_WAIT_RESET, s.bState);
        ASSERT_EQ(EDfuIo::Ok, d.t->Reset());
        EXPECT_EQ(c.image, d.device->Firmware());
        EXPECT_EQ(EDfuIo::NoDevice, d.Status(&s)); // re-enumerating
    }
}

TEST(DfuSimDevice, UnplugAndPlug)
{
    SHandDriven d(SSimDfuConfig{});
    SDfuStatus s;
    d.device->Unplug();
    EXPECT_EQ(EDfuIo::NoDevice, d.Status(&s));
    std::vector<SDfuDeviceEntry> names;
    ASSERT_EQ(EDfuIo::Ok, d.t->Enumerate(names));
    EXPECT_TRUE(names.empty());
    d.device->Plug();
    // The old handle stays stale; a reopen finds it again.
    EXPECT_EQ(EDfuIo::NoDevice, d.Status(&s));
    ASSERT_EQ(EDfuIo::Ok, d.t->Reopen());
    EXPECT_EQ(EDfuIo::Ok, d.Status(&s));
    EXPECT_EQ(dfuIDLE, s.bState);
}
