// The AV7300 upgrader against the simulated AV7300 product, driven in the
// order the upgrade run uses; after every successful upgrade the product's
// memory is compared with the image byte for byte.
#include <gtest/gtest.h>

#include <memory>

#include "avnera/FirmwareUpgradeAV7300.h"
#include "bench/avnera/AV7300Product.h"
#include "platform/Clock.h"
#include "tests/usb/LogCapture.h"
#include "tools/imagegen/AV7300ImageGen.h"

namespace
{
using Bytes = std::vector<std::uint8_t>;

struct SRun
{
    HResult prepare = HR_FAIL;
    HResult upload = HR_FAIL;
    HResult init = HR_FAIL;
    bool write = false;
    bool end = false;
    Bytes upload_bytes;
};

Bytes Image(std::uint32_t part, std::uint32_t minor, std::uint32_t seed, bool alignPrimary = true,
            bool secondary = true)
{
    SAV7300ImageSpec spec;
    spec.flashPart = part;
    spec.minorVersion = minor;
    spec.seed = seed;
    spec.alignPrimary = alignPrimary;
    spec.withSecondary = secondary;
    spec.date = seed % 2 == 0 ? "2014/06/01" : "2015/11/24";
    return BuildAV7300Image(spec);
}

// The memory an image leaves in a part of this size: the image, the rest erased.
Bytes Flash(const Bytes& image, std::size_t size)
{
    Bytes flash(size, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

class CAV7300Upgrade : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previousScale = CClock::GetTimeScale();
        // The upgrader waits up to 2 product seconds for an answer; 0.01
        // keeps that well clear of a loaded machine's scheduling.
        CClock::SetTimeScale(0.01);
        m_hub = m_world.RootHub(m_world.AddHostController());
    }
    void TearDown() override { CClock::SetTimeScale(m_previousScale); }

    std::shared_ptr<CAV7300Product> Plug(const SAV7300ProductConfig& config)
    {
        // One product on the bus at a time: the upgrader opens the first it finds.
        if (m_device != 0)
            m_world.Unplug(m_device);
        auto product = CAV7300Product::Create(config);
        m_device = product->Plug(m_world, m_hub, ++m_port);
        return product;
    }
    std::unique_ptr<CFirmwareUpgradeAV7300> Upgrader()
    {
        SAV7300Environment env;
        env.hid = &m_world;
        return std::make_unique<CFirmwareUpgradeAV7300>(env);
    }
    // What the upgrade run does, from the text image on; stops at the first
    // failure. stopAfter: bytes of the upload handed over before the end.
    SRun Upgrade(CFirmwareUpgradeAV7300& upgrader, const Bytes& image, std::uint32_t stopAfter = 0xFFFFFFFFu)
    {
        SRun run;
        const std::string text = AV7300TextImage(image);
        std::uint32_t size = 0;
        std::uint8_t* prepared = nullptr;
        run.prepare = upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(text.size()),
                                                    reinterpret_cast<const std::uint8_t*>(text.data()), &size, &prepared);
        if (IsFailure(run.prepare))
            return run;
        std::unique_ptr<std::uint8_t[]> preparedOwner(prepared);
        std::uint32_t uploadSize = 0;
        std::uint8_t* upload = nullptr;
        run.upload = upgrader.PrepareUploadFirmwareImage(size, prepared, &uploadSize, &upload);
        if (IsFailure(run.upload))
            return run;
        std::unique_ptr<std::uint8_t[]> uploadOwner(upload);
        run.upload_bytes.assign(upload, upload + uploadSize);
        run.init = upgrader.InitFirmwareUpgrade(uploadSize);
        if (run.init != HR_OK)
            return run;
        run.write = upgrader.FirmwareUpgradeWrite(upload, std::min(uploadSize, stopAfter));
        if (run.write)
            run.end = upgrader.EndFirmwareUpgrade();
        return run;
    }
    static bool Succeeded(const SRun& run) { return run.write && run.end; }

    double m_previousScale = 0;
    CBenchUsbWorld m_world;
    BenchId m_hub = 0;
    std::uint8_t m_port = 0;
    BenchId m_device = 0;
};

TEST_F(CAV7300Upgrade, FullUpdateWritesTheImageWithItsHeaderLast)
{
    const Bytes old = Image(28, 4, 2);
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_flashPart, 28u);
    EXPECT_EQ(upgrader->m_defaultImage, 0u);
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.4.140601");

    // The first block goes to the chip only after every other one.
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(run.upload_bytes, next);
    EXPECT_EQ(product->Memory(), Flash(next, 65536));
    const std::vector<std::uint32_t> writes = product->Writes();
    ASSERT_EQ(writes.size(), (next.size() + 63) / 64);
    EXPECT_EQ(writes.front(), 64u);
    EXPECT_EQ(writes.back(), 0u);
    EXPECT_GE(product->SectorErases(), (next.size() + 4095) / 4096);

    // After the reset the product boots the new image.
    EXPECT_EQ(upgrader->ResetFirmware(), HR_OK);
    upgrader.reset();
    CClock::Sleep(3000);
    EXPECT_TRUE(product->RunsImage());
    auto again = Upgrader();
    ASSERT_EQ(again->Init(0, 0), HR_OK);
    ASSERT_TRUE(again->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.5.151124");
}

TEST_F(CAV7300Upgrade, UnsupportedPartFailsInit)
{
    // A valid header for 64 KB, 256-byte pages, 4 KB sectors, 3 address
    // bytes: no row of the part table.
    Bytes memory = {0x7A, 0x36, static_cast<std::uint8_t>(0xFF - 0x7A - 0x36), 0, 0};
    SAV7300ProductConfig config;
    config.flashPart = 29; // a 64 KB flash
    config.memory = memory;
    auto product = Plug(config);
    ASSERT_TRUE(product->RunsImage());
    CLogCapture log("av7300_unsupported_part");
    auto upgrader = Upgrader();
    EXPECT_EQ(upgrader->Init(0, 0), HR_FAIL);
    EXPECT_TRUE(Contains(log.Text(), "Unsupported Flash Part\r\n"));
    EXPECT_EQ(product->Memory(), Flash(memory, 65536));
}

TEST_F(CAV7300Upgrade, Part35UsesTheSstSequencesThroughTheSpiMaster)
{
    // The SST25VF512A powers up write-protected and knows no 64 KB erase:
    // only the SPI-master sequences get it erased and writable.
    const Bytes old = Image(35, 4, 2);
    const Bytes next = Image(35, 5, 3);
    ASSERT_EQ(old[0], 0x0A);
    ASSERT_EQ(old[1], 0x36);
    SAV7300ProductConfig config;
    config.flashPart = 35;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_flashPart, 35u);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_TRUE(product->InFlashMode());
    EXPECT_EQ(product->SectorErases(), 0u);
    EXPECT_EQ(product->SpimSectorErases(), (next.size() + 4095) / 4096);
    EXPECT_EQ(product->Memory(), Flash(next, 65536));
}

TEST_F(CAV7300Upgrade, ImageForAnotherPartIsRefusedBeforeAnyErase)
{
    const Bytes old = Image(28, 4, 2);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    const SRun run = Upgrade(*upgrader, Image(31, 5, 3));
    EXPECT_EQ(run.prepare, HR_INVALIDARG);
    EXPECT_EQ(product->SectorErases(), 0u);
    EXPECT_TRUE(product->Writes().empty());
    EXPECT_EQ(product->Memory(), Flash(old, 65536));
}

TEST_F(CAV7300Upgrade, SecondaryOnlyUpdateRewritesTheTailFromTheDevicesOffset)
{
    // Both at minor version 5, file 12 on a sector boundary in both.
    const Bytes old = Image(28, 5, 2);
    const Bytes next = Image(28, 5, 3);
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    const std::uint32_t offset = AV7300FileOffset(spec, 12);
    ASSERT_EQ(offset % 4096, 0u);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageUpdateOnly, 1u);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(run.upload_bytes, Bytes(next.begin() + offset, next.end()));
    Bytes expected = Flash(old, 65536);
    std::copy(next.begin() + offset, next.end(), expected.begin() + offset);
    EXPECT_EQ(product->Memory(), expected);
    ASSERT_FALSE(product->Writes().empty());
    EXPECT_EQ(product->Writes().back(), offset); // the tail's first block last
    EXPECT_GE(product->Writes().front(), offset);
}

TEST_F(CAV7300Upgrade, InterruptedSecondaryUpdateIsRecoveredAtTheSameOffset)
{
    // The tail's first block (file 12's header) goes in last: pulled out
    // before that, the device still boots its primary image, and the next
    // run finds the erased header at the same sector and writes there again.
    const Bytes old = Image(28, 5, 2);
    const Bytes next = Image(28, 5, 3);
    const std::uint32_t offset = AV7300FileOffset(SAV7300ImageSpec{28}, 12);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    config.unplugAtWrite = 10;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_FALSE(Upgrade(*upgrader, next).write);
    upgrader.reset();

    SAV7300ProductConfig again;
    again.flashPart = 28;
    again.memory = product->Memory();
    auto replugged = Plug(again);
    ASSERT_TRUE(replugged->RunsImage());
    auto second = Upgrader();
    ASSERT_EQ(second->Init(0, 0), HR_OK);
    EXPECT_EQ(second->m_secondaryImageOffset, offset);
    EXPECT_EQ(second->m_secondaryImageUpdateOnly, 1u);
    ASSERT_TRUE(Succeeded(Upgrade(*second, next)));
    Bytes expected = Flash(old, 65536);
    std::copy(next.begin() + offset, next.end(), expected.begin() + offset);
    EXPECT_EQ(replugged->Memory(), expected);
}

TEST_F(CAV7300Upgrade, EitherMinorVersionBelowFiveGivesAFullUpdate)
{
    for (const auto& [device, file] : {std::pair<std::uint32_t, std::uint32_t>{4, 5}, {5, 4}})
    {
        const Bytes old = Image(28, device, 2);
        const Bytes next = Image(28, file, 3);
        SAV7300ProductConfig config;
        config.flashPart = 28;
        config.memory = old;
        auto product = Plug(config);
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        const SRun run = Upgrade(*upgrader, next);
        ASSERT_TRUE(Succeeded(run)) << device << " " << file;
        EXPECT_EQ(upgrader->m_flashWriteBase, 0u);
        EXPECT_EQ(run.upload_bytes, next);
        EXPECT_EQ(product->Memory(), Flash(next, 65536)) << device << " " << file;
        ASSERT_FALSE(product->Writes().empty());
        EXPECT_EQ(product->Writes().back(), 0u);
    }
}

TEST_F(CAV7300Upgrade, BrokenChainGivesASecondaryUpdateFromTheNextFreeSector)
{
    // The device's chain: bootloader, files 5 and 16, a primary that ends at
    // 0x2345, where erased bytes make an invalid file header.
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    spec.minorVersion = 5;
    spec.alignPrimary = false;
    spec.withSecondary = false;
    spec.primarySize = 0x2345 - (5 + 300 + 29 + 29 + 4);
    const Bytes old = BuildAV7300Image(spec);
    ASSERT_EQ(old.size(), 0x2345u);
    const Bytes next = Image(28, 5, 3);
    const std::uint32_t fileOffset = AV7300FileOffset(SAV7300ImageSpec{28}, 12);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageOffset, 0x3000u);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(upgrader->m_flashWriteBase, 0x3000u);
    Bytes expected = Flash(old, 65536);
    std::copy(next.begin() + fileOffset, next.end(), expected.begin() + 0x3000);
    EXPECT_EQ(product->Memory(), expected);
}

TEST_F(CAV7300Upgrade, TailThatDoesNotFitBehindTheDevicesOffsetGivesAFullUpdate)
{
    // The device's chain breaks at 0xE345: the next free sector, 0xF000,
    // leaves 4 KB, less than the new image's tail from file 12.
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    spec.minorVersion = 5;
    spec.alignPrimary = false;
    spec.withSecondary = false;
    spec.primarySize = 0xE345 - (5 + 300 + 29 + 29 + 4);
    const Bytes old = BuildAV7300Image(spec);
    SAV7300ImageSpec nextSpec;
    nextSpec.flashPart = 28;
    nextSpec.secondarySize = 6000;
    nextSpec.seed = 3;
    const Bytes next = BuildAV7300Image(nextSpec);
    ASSERT_GT(next.size() - AV7300FileOffset(nextSpec, 12), 4096u);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageOffset, 0xF000u);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(run.upload_bytes, next);
    Bytes expected = Flash(old, 65536);
    std::fill(expected.begin(), expected.begin() + (next.size() + 4095) / 4096 * 4096, 0xFF);
    std::copy(next.begin(), next.end(), expected.begin());
    EXPECT_EQ(product->Memory(), expected);
}

TEST_F(CAV7300Upgrade, UploadThatStopsEarlyLeavesNoValidHeader)
{
    const Bytes old = Image(28, 4, 2);
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    const SRun run = Upgrade(*upgrader, next, 64 * 20);
    EXPECT_TRUE(run.write);
    EXPECT_FALSE(run.end);
    const Bytes memory = product->Memory();
    EXPECT_EQ(Bytes(memory.begin(), memory.begin() + 64), Bytes(64, 0xFF));
    EXPECT_EQ(Bytes(memory.begin() + 64, memory.begin() + 64 * 20), Bytes(next.begin() + 64, next.begin() + 64 * 20));
    // The boot ROM finds no image: the product comes back as 170D:0300.
    EXPECT_EQ(upgrader->ResetFirmware(), HR_OK);
    upgrader.reset();
    CClock::Sleep(3000);
    EXPECT_FALSE(product->RunsImage());
}

TEST_F(CAV7300Upgrade, Revision1SendsBlocksThroughTheRomLoader)
{
    const Bytes old = Image(28, 4, 2);
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.chipRevision = 1;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_smData, 0xC49A);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(upgrader->GetPacketSize(), 256u);
    EXPECT_EQ(product->BulkBlocks(), (next.size() + 255) / 256);
    EXPECT_EQ(product->Memory(), Flash(next, 65536));
    EXPECT_EQ(product->Writes().back(), 0u);
}

// One revision a test: each starts from a fresh bench world, so the product
// of one revision, still restarting after its reset, is never the one the
// next upgrader finds.
class CAV7300RomUpgrade : public CAV7300Upgrade, public ::testing::WithParamInterface<std::uint32_t>
{
};

TEST_P(CAV7300RomUpgrade, ProductWithoutImageIsUpgradedThroughItsRom)
{
    {
        const std::uint32_t revision = GetParam();
        const Bytes next = Image(31, 5, 3);
        SAV7300ProductConfig config;
        config.chipRevision = revision;
        config.reEnumerateMs = 7000; // back only after two of the upgrader's tries
        auto product = Plug(config);
        ASSERT_FALSE(product->RunsImage());
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        EXPECT_EQ(upgrader->m_defaultImage, 1u);
        EXPECT_EQ(upgrader->m_flashPart, 31u);
        EXPECT_EQ(upgrader->CompareFirmwareVersion("1.5.151124", "1.5.151124"), CURR_VERSION_CHECK_OLDER);
        const SRun run = Upgrade(*upgrader, next);
        ASSERT_TRUE(Succeeded(run)) << revision;
        EXPECT_TRUE(product->InFlashMode());
        EXPECT_EQ(product->BulkBlocks(), revision == 1 ? (next.size() + 255) / 256 : 0u);
        EXPECT_EQ(product->Memory(), Flash(next, 131072)) << revision;
        EXPECT_EQ(upgrader->ResetFirmware(), HR_OK);
        upgrader.reset();
        CClock::Sleep(5000);
        EXPECT_TRUE(product->RunsImage());
    }
}

INSTANTIATE_TEST_SUITE_P(BothRevisions, CAV7300RomUpgrade, ::testing::Values(0u, 1u));

TEST_F(CAV7300Upgrade, ProductPulledOutMidWriteIsRecoveredByTheNextRun)
{
    const Bytes old = Image(31, 4, 2);
    const Bytes next = Image(31, 5, 3);
    SAV7300ProductConfig config;
    config.memory = old;
    config.unplugAtWrite = 40;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    const SRun run = Upgrade(*upgrader, next);
    EXPECT_EQ(run.init, HR_OK);
    EXPECT_FALSE(run.write);
    EXPECT_TRUE(product->PulledOut());
    upgrader.reset();

    // Plugged in again with what its flash kept: no valid header, so the ROM.
    SAV7300ProductConfig again;
    again.memory = product->Memory();
    auto replugged = Plug(again);
    EXPECT_FALSE(replugged->RunsImage());
    auto second = Upgrader();
    ASSERT_EQ(second->Init(0, 0), HR_OK);
    EXPECT_EQ(second->m_defaultImage, 1u);
    ASSERT_TRUE(Succeeded(Upgrade(*second, next)));
    EXPECT_EQ(replugged->Memory(), Flash(next, 131072));
}

TEST_F(CAV7300Upgrade, RomThatDoesNotComeBackFailsTheUpgradeAfterElevenTries)
{
    SAV7300ProductConfig config;
    config.reEnumerateMs = 30000; // longer than 5 s and 11 tries of 1 s
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    CLogCapture log("av7300_no_reenumeration");
    const SRun run = Upgrade(*upgrader, Image(31, 5, 3));
    EXPECT_EQ(run.init, kUpgradeFailed);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "Re-enum try [10] success[0]"));
    EXPECT_FALSE(Contains(text, "Re-enum try [11]"));
    EXPECT_TRUE(product->Writes().empty());
}

TEST_F(CAV7300Upgrade, StrictProductWithSlowEraseAndLateAnswers)
{
    const Bytes old = Image(31, 4, 2);
    const Bytes next = Image(31, 5, 3, false, false);
    SAV7300ProductConfig config;
    config.memory = old;
    config.sectorEraseMs = 100; // 1.6 s for a 64 KB sector
    config.answerDelayMs = 30;
    config.transferMs = 20;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
    // Only the sector the image needs was erased: the old image's second
    // 64 KB stays behind it.
    Bytes expected = Flash(old, 131072);
    std::fill(expected.begin(), expected.begin() + 65536, 0xFF);
    std::copy(next.begin(), next.end(), expected.begin());
    EXPECT_EQ(product->Memory(), expected);
}

TEST_F(CAV7300Upgrade, SecondUpgradeOnTheSameObjectAlsoWritesItsHeaderLast)
{
    const Bytes first = Image(28, 4, 2);
    const Bytes second = Image(28, 4, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = Image(28, 4, 4);
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    ASSERT_TRUE(Succeeded(Upgrade(*upgrader, first)));
    // The second one stops early: the header must not be there.
    const SRun run = Upgrade(*upgrader, second, 64 * 10);
    EXPECT_FALSE(run.end);
    EXPECT_FALSE(product->HeaderValid());
}

// The upgrader finds I2C EEPROM parts in none of its lookups (only SPI flash
// rows are looked up); set up by hand, its EEPROM path writes the image and
// its "erase" leaves no valid header behind until the end.
TEST_F(CAV7300Upgrade, EepromPathSetUpByHand)
{
    const Bytes old = Image(14, 4, 2);
    const Bytes next = Image(14, 4, 3);
    SAV7300ProductConfig config;
    config.flashPart = 14;
    config.memory = old;
    auto product = Plug(config);
    ASSERT_TRUE(product->RunsImage());
    auto upgrader = Upgrader();
    EXPECT_EQ(upgrader->Init(0, 0), HR_FAIL); // "Unsupported Flash Part"
    upgrader->m_flashPart = 14;
    upgrader->m_memtype = 1;
    upgrader->m_helper = std::make_unique<CAV7300CommonHelper>(14, nullptr, nullptr);
    upgrader->m_ramBaseWrite = 0xC040;
    upgrader->m_blockSizeWrite = 64;
    upgrader->m_ramBaseRead = 0xC040;
    upgrader->m_blockSizeRead = 16;
    const SRun stopped = Upgrade(*upgrader, next, 64 * 30);
    EXPECT_FALSE(stopped.end);
    EXPECT_FALSE(product->HeaderValid());
    EXPECT_EQ(product->Memory()[0], 0xFF);
    ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
    EXPECT_EQ(product->Memory(), Flash(next, 65536));
    EXPECT_TRUE(product->HeaderValid());
}

TEST_F(CAV7300Upgrade, NoProductAndBadArguments)
{
    auto upgrader = Upgrader();
    EXPECT_EQ(upgrader->Init(0, 0), HR_FAIL);
    wchar_t name[8];
    EXPECT_EQ(upgrader->GetProductName(nullptr, 16), HR_FAIL);
    EXPECT_EQ(upgrader->GetProductName(name, sizeof(name)), HR_FAIL);
    std::uint32_t size = 0;
    std::uint8_t* out = nullptr;
    EXPECT_EQ(upgrader->PrepareFirmwareImage(3, reinterpret_cast<const std::uint8_t*>("7B\n"), &size, &out), HR_FAIL);
    EXPECT_FALSE(upgrader->EndFirmwareUpgrade());
    EXPECT_FALSE(upgrader->FirmwareValidatePacket(nullptr, 0));
    EXPECT_EQ(upgrader->m_versionCheckMethod, 1);
    EXPECT_EQ(upgrader->m_typeMCU, 7u);
}
} // namespace
