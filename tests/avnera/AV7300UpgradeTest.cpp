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

    // Right after the erase the part's geometry goes in (a write at 0 with
    // the header's checksum still erased); the first block goes to the chip
    // only after every other one.
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(run.upload_bytes, next);
    EXPECT_EQ(product->Memory(), Flash(next, 65536));
    const std::vector<std::uint32_t> writes = product->Writes();
    ASSERT_EQ(writes.size(), 1 + (next.size() + 63) / 64);
    EXPECT_EQ(writes[0], 0u);
    EXPECT_EQ(writes[1], 64u);
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

TEST_F(CAV7300Upgrade, ChainThatBreaksBeforeTheNextFreeSectorGivesAFullUpdate)
{
    // The device's chain: bootloader, file 5 (its version; no file 16), a
    // primary that ends at 0x2345, where erased bytes make an invalid file
    // header. The next free sector is 0x3000, but the device's walk stops at
    // 0x2345: a secondary image written at 0x3000 would never be reached and
    // the device would go on telling its old version, so the whole image
    // goes in.
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    spec.minorVersion = 5;
    spec.alignPrimary = false;
    spec.withSecondary = false;
    spec.withDeviceVersion = false;
    spec.primarySize = 0x2345 - (5 + 300 + 29 + 4);
    const Bytes old = BuildAV7300Image(spec);
    ASSERT_EQ(old.size(), 0x2345u);
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageOffset, 0x3000u);
    EXPECT_EQ(upgrader->m_secondaryImageUpdateOnly, 1u);
    CLogCapture log("av7300_chain_breaks_before_the_free_sector");
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(upgrader->m_flashWriteBase, 0u);
    EXPECT_EQ(run.upload_bytes, next);
    EXPECT_TRUE(Contains(log.Text(), "The device's chain ends at [9029], before the next free sector [12288]"))
        << log.Text();
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.5.151124");
}

TEST_F(CAV7300Upgrade, ChainThatEndsOnASectorGivesASecondaryUpdateThere)
{
    // The device's chain: file 5 (no file 16), then an aligned primary: the
    // walk ends at the sector after it, where the new secondary image goes
    // and is reached.
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    spec.minorVersion = 5;
    spec.withSecondary = false;
    spec.withDeviceVersion = false;
    spec.date = "2014/06/01";
    const Bytes old = BuildAV7300Image(spec);
    const std::uint32_t end = static_cast<std::uint32_t>((old.size() + 4095) / 4096 * 4096);
    const Bytes next = Image(28, 5, 3);
    const std::uint32_t fileOffset = AV7300FileOffset(SAV7300ImageSpec{28}, 12);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageOffset, end);
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(upgrader->m_flashWriteBase, end);
    Bytes expected = Flash(old, 65536);
    std::copy(next.begin() + fileOffset, next.end(), expected.begin() + end);
    EXPECT_EQ(product->Memory(), expected);
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.5.151124");
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
    // The part's geometry, the header's checksum still erased.
    Bytes first(64, 0xFF);
    first[0] = next[0];
    first[1] = next[1];
    EXPECT_EQ(Bytes(memory.begin(), memory.begin() + 64), first);
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
    EXPECT_EQ(product->BulkBlocks(), 1 + (next.size() + 255) / 256); // with the geometry first
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
        // A blank memory names no part: the image does, and the upgrade
        // proves it.
        EXPECT_EQ(upgrader->m_flashPart, 0u);
        EXPECT_EQ(upgrader->m_partFromImage, 1u);
        EXPECT_EQ(upgrader->CompareFirmwareVersion("1.5.151124", "1.5.151124"), CURR_VERSION_CHECK_OLDER);
        const SRun run = Upgrade(*upgrader, next);
        ASSERT_TRUE(Succeeded(run)) << revision;
        EXPECT_EQ(upgrader->m_flashPart, 31u);
        EXPECT_TRUE(product->InFlashMode());
        // (and the two marker blocks that show the memory erases as part 31)
        EXPECT_EQ(product->BulkBlocks(), revision == 1 ? (next.size() + 255) / 256 + 2 : 0u);
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
    // The erase of a 64 KB sector comes within 0.4 s of the host's time-out
    // of 2 s: at a twentieth of real time that margin outlasts a loaded
    // machine's scheduling.
    CClock::SetTimeScale(0.05);
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

// ---------------------------------------------------------------------------
// Success means the memory holds the image.

namespace
{
// An image whose chain holds up but that is larger than the part: header of
// row 31 (128 KiB), a bootloader and files of 60,000 bytes up to 200,000.
Bytes OversizedImage()
{
    std::uint8_t header[3];
    AV7300PartHeader(31, header);
    Bytes image = {header[0], header[1], header[2], 0x10, 0x00};
    image.resize(5 + 16, 0xB0);
    std::uint8_t fill = 1;
    while (image.size() < 200000)
    {
        const std::uint32_t size = std::min<std::uint32_t>(60000, 200000 - static_cast<std::uint32_t>(image.size()) - 4);
        const std::uint8_t b0 = 1;
        const std::uint8_t b1 = static_cast<std::uint8_t>(size);
        const std::uint8_t b2 = static_cast<std::uint8_t>(size >> 8);
        image.insert(image.end(), {b0, b1, b2, static_cast<std::uint8_t>(0xFF - b0 - b1 - b2)});
        image.resize(image.size() + size, fill++);
    }
    return image;
}

// Revision and whether the product starts on its ROM (no valid image).
class CAV7300LastWrite : public CAV7300Upgrade,
                         public ::testing::WithParamInterface<std::pair<std::uint32_t, bool>>
{
};
} // namespace

TEST_P(CAV7300LastWrite, PulledOutAsItTakesTheHeaderBlockIsNoSuccess)
{
    // The held-back header block is the last write; the chip takes it
    // without an answer. Pulled out right then, the upgrade must fail, and
    // the boot ROM must find no image.
    const auto [revision, rom] = GetParam();
    const Bytes next = Image(31, 5, 3);
    SAV7300ProductConfig config;
    config.chipRevision = revision;
    if (!rom)
        config.memory = Image(31, 4, 2);
    std::size_t writes = 0;
    {
        auto clean = Plug(config);
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
        writes = clean->Writes().size();
        ASSERT_EQ(clean->Writes().back(), 0u);
    }
    config.unplugAtWrite = static_cast<std::uint32_t>(writes);
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    const SRun run = Upgrade(*upgrader, next);
    EXPECT_TRUE(run.write);
    EXPECT_FALSE(run.end);
    EXPECT_TRUE(product->PulledOut());
    EXPECT_FALSE(product->HeaderValid());
}

INSTANTIATE_TEST_SUITE_P(RevisionsAndRom, CAV7300LastWrite,
                         ::testing::Values(std::make_pair(0u, false), std::make_pair(1u, false),
                                           std::make_pair(0u, true), std::make_pair(1u, true)));

TEST_F(CAV7300Upgrade, CellThatDoesNotTakeItsByteFailsTheUpgradeBeforeTheHeader)
{
    // The chip answers no write: only reading back finds the byte that did
    // not take, and the header is not written over it.
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = Image(28, 4, 2);
    config.stuckCells[3000] = static_cast<std::uint8_t>(~next[3000]);
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    CLogCapture log("av7300_stuck_cell");
    const SRun run = Upgrade(*upgrader, next);
    EXPECT_TRUE(run.write);
    EXPECT_FALSE(run.end);
    EXPECT_FALSE(product->HeaderValid());
    EXPECT_TRUE(Contains(log.Text(), "CFirmwareUpgradeAV7300::VerifyFlash - differs at [00000bb8]")) << log.Text();
}

TEST_F(CAV7300Upgrade, PulledOutWhileReadingBackIsNoSuccess)
{
    // The reads of a whole run: the device's chain, the read-back of the
    // image, then that of the header block. Pulled out as it takes the read
    // before the last, the upgrade fails and the header is not written.
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = Image(28, 4, 2);
    std::uint32_t reads = 0;
    {
        auto clean = Plug(config);
        CLogCapture log("av7300_reads_of_a_run");
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
        const std::string text = log.Text();
        for (std::size_t at = text.find("Set Feature for ReadFlash success"); at != std::string::npos;
             at = text.find("Set Feature for ReadFlash success", at + 1))
            ++reads;
    }
    ASSERT_GT(reads, 2u);
    config.unplugAtRead = reads - 1;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    const SRun run = Upgrade(*upgrader, next);
    EXPECT_TRUE(run.write);
    EXPECT_FALSE(run.end);
    EXPECT_TRUE(product->PulledOut());
    EXPECT_FALSE(product->HeaderValid());
}

TEST_F(CAV7300Upgrade, ImageLargerThanThePartIsRefusedBeforeAnyErase)
{
    // 200,000 bytes with a valid part-31 header and a chain that holds up:
    // a 128 KiB part would wrap the tail onto its first sector.
    const Bytes old = Image(31, 4, 2);
    SAV7300ProductConfig config;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    CLogCapture log("av7300_oversized");
    const SRun run = Upgrade(*upgrader, OversizedImage());
    EXPECT_EQ(run.prepare, HR_INVALIDARG);
    EXPECT_TRUE(Contains(log.Text(), "Incorrect Image - the image has 200000 bytes, the memory holds 131072"))
        << log.Text();
    EXPECT_EQ(product->SectorErases(), 0u);
    EXPECT_TRUE(product->Writes().empty());
    EXPECT_EQ(product->Memory(), Flash(old, 131072));
}

TEST_F(CAV7300Upgrade, TruncatedAndCorruptImagesAreRefusedBeforeAnyErase)
{
    const Bytes old = Image(28, 4, 2);
    const Bytes next = Image(28, 5, 3);
    SAV7300ImageSpec spec;
    spec.flashPart = 28;
    const std::uint32_t file1 = AV7300FileOffset(spec, 1);
    const std::uint32_t file5 = AV7300FileOffset(spec, 5);
    ASSERT_NE(file1, 0xFFFFFFFFu);
    // Cut inside file 1, and a bad checksum on file 5's header.
    const Bytes cut(next.begin(), next.begin() + file1 + 100);
    Bytes corrupt = next;
    corrupt[file5 + 3] ^= 0x01;
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    for (const Bytes& bad : {cut, corrupt})
    {
        const SRun run = Upgrade(*upgrader, bad);
        EXPECT_EQ(run.prepare, HR_INVALIDARG);
        // The upload step refuses it as well, should a caller skip the first.
        std::uint32_t uploadSize = 0;
        std::uint8_t* upload = nullptr;
        EXPECT_EQ(upgrader->PrepareUploadFirmwareImage(static_cast<std::uint32_t>(bad.size()), bad.data(), &uploadSize,
                                                       &upload),
                  HR_INVALIDARG);
        EXPECT_EQ(upload, nullptr);
    }
    EXPECT_EQ(product->SectorErases(), 0u);
    EXPECT_TRUE(product->Writes().empty());
    EXPECT_EQ(product->Memory(), Flash(old, 65536));
}

TEST_F(CAV7300Upgrade, InterruptedProductOnAnotherPartIsRecoveredThroughItsRom)
{
    // Parts 28 and 35 (the SST25VF512A): pulled out in the middle, the
    // product comes back on its ROM; the memory's first bytes still name
    // its part, so its own image recovers it and an image for part 31 is
    // refused before anything is erased.
    for (const std::uint32_t part : {28u, 35u})
    {
        const Bytes old = Image(part, 4, 2);
        const Bytes next = Image(part, 5, 3);
        SAV7300ProductConfig config;
        config.flashPart = part;
        config.memory = old;
        config.unplugAtWrite = 20;
        auto product = Plug(config);
        {
            auto upgrader = Upgrader();
            ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
            EXPECT_FALSE(Upgrade(*upgrader, next).write);
        }
        SAV7300ProductConfig again;
        again.flashPart = part;
        again.memory = product->Memory();
        auto rom = Plug(again);
        ASSERT_FALSE(rom->RunsImage()) << part;
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        EXPECT_EQ(upgrader->m_defaultImage, 1u);
        EXPECT_EQ(upgrader->m_flashPart, part);
        const Bytes left = rom->Memory();
        EXPECT_EQ(Upgrade(*upgrader, Image(31, 5, 3)).prepare, HR_INVALIDARG) << part;
        EXPECT_EQ(rom->Memory(), left);
        ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next))) << part;
        Bytes expected = left;
        std::fill(expected.begin(), expected.begin() + (next.size() + 4 + 4095) / 4096 * 4096, 0xFF);
        std::copy(next.begin(), next.end(), expected.begin());
        EXPECT_EQ(rom->Memory(), expected) << part;
        EXPECT_TRUE(rom->HeaderValid());
    }
}

TEST_F(CAV7300Upgrade, BlankMemoryTakesOnlyAnImageForThePartItIs)
{
    // A blank part 28 names nothing: the image names its part. An image for
    // part 31 never ends in success (the memory does not take it, or shows
    // it smaller than the image's part); the product's own image does.
    SAV7300ProductConfig config;
    config.flashPart = 28;
    auto product = Plug(config);
    ASSERT_FALSE(product->RunsImage());
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_partFromImage, 1u);
    EXPECT_FALSE(Succeeded(Upgrade(*upgrader, Image(31, 5, 3))));
    EXPECT_FALSE(product->HeaderValid());
    upgrader.reset();

    SAV7300ProductConfig again;
    again.flashPart = 28;
    again.memory = product->Memory();
    auto replugged = Plug(again);
    auto second = Upgrader();
    ASSERT_EQ(second->Init(0, 0), HR_OK);
    const Bytes next = Image(28, 5, 3);
    ASSERT_TRUE(Succeeded(Upgrade(*second, next)));
    const Bytes memory = replugged->Memory();
    EXPECT_EQ(Bytes(memory.begin(), memory.begin() + static_cast<std::ptrdiff_t>(next.size())), next);
    EXPECT_TRUE(replugged->HeaderValid());
}

TEST_F(CAV7300Upgrade, BlankMemoryOfAnotherSizeThanTheImagesPartIsFoundWhereItWraps)
{
    // A chip whose firmware drives the memory with any parameter block: an
    // image for the wrong part with the same sectors is written and reads
    // back, and only where the memory wraps tells that it is smaller (part
    // 28, 64 KiB, under a part-32 image, 128 KiB) or larger (part 32 under a
    // part-28 image). No header is written then.
    struct SCase
    {
        std::uint32_t memoryPart;
        std::uint32_t imagePart;
        const char* finding;
    };
    for (const SCase c : {SCase{28, 32, "it is smaller than the image's part"},
                          SCase{32, 28, "it is larger than the image's part"}})
    {
        SAV7300ProductConfig config;
        config.flashPart = c.memoryPart;
        config.acceptsAnyBlock = true;
        auto product = Plug(config);
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        CLogCapture log("av7300_size_proof");
        SAV7300ImageSpec spec;
        spec.flashPart = c.imagePart;
        spec.alignPrimary = false;
        spec.seed = 5;
        const SRun run = Upgrade(*upgrader, BuildAV7300Image(spec));
        EXPECT_TRUE(run.write) << c.memoryPart;
        EXPECT_FALSE(run.end) << c.memoryPart;
        EXPECT_FALSE(product->HeaderValid()) << c.memoryPart;
        EXPECT_TRUE(Contains(log.Text(), c.finding)) << log.Text();
    }
    // On the part it names, the proof holds.
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.acceptsAnyBlock = true;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    CLogCapture log("av7300_size_proof_holds");
    ASSERT_TRUE(Succeeded(Upgrade(*upgrader, Image(28, 5, 3))));
    EXPECT_TRUE(Contains(log.Text(), "CFirmwareUpgradeAV7300::ProveMemorySize - the memory holds [65536] bytes\r\n"))
        << log.Text();
}

TEST_F(CAV7300Upgrade, BlankMemoryOfTheImagesSizeIsToldByHowItErases)
{
    // The ROM drives a blank memory as any parameter block says, and a part
    // of the image's size takes the image as well: before anything of it
    // goes in, markers around the image's first sector boundary and the
    // firmware's sector erase show the memory's own sector (or that it is no
    // SST25VF512A, which knows no such erase, or one that is still
    // write-protected). Nothing that boots is left. (Four products: the
    // root hub's four ports.)
    struct SCase
    {
        std::uint32_t memoryPart;
        std::uint32_t imagePart;
        const char* finding;
    };
    for (const SCase c : {SCase{31, 32, "its sector is larger than the image's part's"},
                          SCase{32, 31, "its sector is smaller than the image's part's"},
                          SCase{28, 35, "its sector erase took the marker: it is not an SST25VF512A"},
                          SCase{35, 28, "it does not keep what is written"}})
    {
        SCOPED_TRACE(std::to_string(c.memoryPart) + " under " + std::to_string(c.imagePart));
        SAV7300ProductConfig config;
        config.flashPart = c.memoryPart;
        auto product = Plug(config);
        auto upgrader = Upgrader();
        CLogCapture log("av7300_erase_proof");
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK) << log.Text();
        SAV7300ImageSpec spec;
        spec.flashPart = c.imagePart;
        spec.seed = 5;
        const SRun run = Upgrade(*upgrader, BuildAV7300Image(spec));
        EXPECT_EQ(run.prepare, HR_OK) << c.memoryPart << " " << c.imagePart;
        EXPECT_EQ(run.init, kUpgradeFailed) << c.memoryPart << " " << c.imagePart;
        EXPECT_FALSE(product->HeaderValid()) << c.memoryPart << " " << c.imagePart;
        EXPECT_TRUE(Contains(log.Text(), c.finding)) << c.memoryPart << " " << c.imagePart << log.Text();
    }
}

TEST_F(CAV7300Upgrade, MemoryWhoseFirstBlockWasErasedIsRecoveredOverWhatFollows)
{
    // Another tool erased the first block of an image that runs on past the
    // first sector: the memory names no part, and the proof of how it erases
    // must not stumble over the old bytes behind the sector boundary.
    for (const std::uint32_t part : {28u, 32u})
    {
        SCOPED_TRACE(part);
        Bytes old = Image(part, 5, 2);
        ASSERT_GT(old.size(), 4096u + 16u);
        std::fill(old.begin(), old.begin() + 64, 0xFF);
        SAV7300ProductConfig config;
        config.flashPart = part;
        config.memory = old;
        auto product = Plug(config);
        ASSERT_FALSE(product->RunsImage());
        auto upgrader = Upgrader();
        ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
        EXPECT_EQ(upgrader->m_partFromImage, 1u);
        SAV7300ImageSpec spec;
        spec.flashPart = part;
        spec.primarySize = 600;
        spec.alignPrimary = false; // its chain ends inside the first sector: nothing behind it is erased
        spec.withSecondary = false;
        spec.seed = 9;
        const Bytes next = BuildAV7300Image(spec);
        ASSERT_LT(next.size(), 4096u);
        ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
        const Bytes memory = product->Memory();
        EXPECT_EQ(Bytes(memory.begin(), memory.begin() + static_cast<std::ptrdiff_t>(next.size())), next);
        EXPECT_TRUE(product->HeaderValid());
    }
}

TEST_F(CAV7300Upgrade, SecondaryOnlyUpdateLeavesTheDeviceReportingTheNewVersion)
{
    // The device's version file travels with the secondary image: after a
    // secondary-only update the device reports the new version, so a later
    // silent run finds it the same and writes nothing.
    const Bytes old = Image(28, 5, 2); // 2014/06/01
    const Bytes next = Image(28, 5, 3); // 2015/11/24
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.5.140601");
    ASSERT_TRUE(Succeeded(Upgrade(*upgrader, next)));
    EXPECT_NE(upgrader->m_flashWriteBase, 0u);
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ(version, "1.5.151124");
    std::string fileVersion;
    ASSERT_TRUE(upgrader->GetFWFileVersionString(static_cast<std::uint32_t>(next.size()), next.data(), &fileVersion));
    EXPECT_EQ(upgrader->CompareFirmwareVersion(version, fileVersion), CURR_VERSION_CHECK_SAME);
}

TEST_F(CAV7300Upgrade, DeviceWhoseVersionFileIsInItsPrimaryImageGetsAFullUpdate)
{
    // The device's chain holds file 16 before its secondary image: written
    // behind it, a new version file would never be the one the device
    // reports, so the whole image goes in.
    SAV7300ImageSpec oldSpec;
    oldSpec.flashPart = 28;
    oldSpec.withSecondary = false; // files 5, 16, 1; the chain breaks after them
    oldSpec.seed = 2;
    const Bytes old = BuildAV7300Image(oldSpec);
    const Bytes next = Image(28, 5, 3);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    EXPECT_EQ(upgrader->m_secondaryImageUpdateOnly, 1u);
    CLogCapture log("av7300_version_in_primary");
    const SRun run = Upgrade(*upgrader, next);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(run.upload_bytes, next);
    EXPECT_EQ(upgrader->m_flashWriteBase, 0u);
    EXPECT_TRUE(Contains(log.Text(), "a secondary update would leave the device's version. Do full update"));
}

TEST_F(CAV7300Upgrade, RomAnswersCarryTheirLengthAtByte10AndTheHostChecksIt)
{
    // The ROM's version answer as the host receives it: its length at
    // byte 10 as at byte 1, its command echoed at byte 8.
    SAV7300ProductConfig config;
    config.memory = Image(31, 4, 2);
    auto product = Plug(config);
    std::uint8_t request[64] = {0xFF, 9, 0, 0xFD, 4, 0, 0, 2, 0x83};
    ASSERT_EQ(product->SetFeature(request, sizeof request), EHidResult::Ok);
    CClock::Sleep(10);
    std::uint8_t answer[263] = {0xFF};
    ASSERT_EQ(product->GetFeature(answer, sizeof answer), EHidResult::Ok);
    EXPECT_EQ(answer[2], 0x05);
    EXPECT_EQ(answer[1], 12);
    EXPECT_EQ(answer[10], 12);
    EXPECT_EQ(answer[8], 0x83);
    EXPECT_EQ(answer[11] | answer[12] << 8, 0x0203);

    // A chip whose answer carries less at byte 10 is not the ROM the
    // upgrader talks to: Init fails.
    class CShortAnswers : public IBenchHidModel
    {
    public:
        explicit CShortAnswers(std::shared_ptr<CAV7300Product> p) : m_p(std::move(p)) {}
        void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override { m_p->Attach(sink); }
        void OnDetach() override { m_p->Detach(); }
        EHidResult OnSetFeature(const std::uint8_t* r, std::size_t n) override { return m_p->SetFeature(r, n); }
        EHidResult OnGetFeature(std::uint8_t* r, std::size_t n) override
        {
            const EHidResult result = m_p->GetFeature(r, n);
            if (n > 10 && r[8] == 0x83)
                r[10] = 0;
            return result;
        }
        std::shared_ptr<CAV7300Product> m_p;
    };
    m_world.Unplug(m_device);
    m_device = 0;
    auto other = CAV7300Product::Create(config);
    SBenchDevice device;
    device.vendorId = 0x2C6D;
    device.productId = 0x3240;
    SBenchHidInterface hid;
    hid.caps.usagePage = 0xFF00;
    hid.caps.usage = 0x0001;
    hid.caps.featureReportByteLength = 263;
    hid.model = std::make_shared<CShortAnswers>(other);
    device.hidInterfaces.push_back(hid);
    m_device = m_world.Plug(m_hub, ++m_port, device);
    auto upgrader = Upgrader();
    EXPECT_EQ(upgrader->Init(0, 0), HR_FAIL);
    EXPECT_STREQ(CFirmwareUpgradeAV7300::kFileFilter, "FF Files (*.ff)|All Files (*.*)|*.*||");
    EXPECT_STREQ(CFirmwareUpgradeAV7300::kFileExtension, "ff");
    EXPECT_STREQ(CFirmwareUpgradeAV7300::kFilePattern, "*.ff");
}

TEST_F(CAV7300Upgrade, ProductWrapsAnAddressBeyondItsEndAndBootsAPartialImage)
{
    // The witnesses the host's care is for: the memory decodes only its own
    // address bits, and the boot ROM checks nothing but the header.
    const Bytes old = Image(28, 4, 2);
    SAV7300ProductConfig config;
    config.flashPart = 28;
    config.memory = old;
    auto product = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(upgrader->Init(0, 0), HR_OK);
    Bytes wrapped(40);
    ASSERT_TRUE(upgrader->ReadFlashData(65536 + 100, 40, wrapped.data()));
    EXPECT_EQ(wrapped, Bytes(old.begin() + 100, old.begin() + 140));

    Bytes partial(old.begin(), old.begin() + 64);
    SAV7300ProductConfig headerOnly;
    headerOnly.flashPart = 28;
    headerOnly.memory = partial;
    EXPECT_TRUE(CAV7300Product::Create(headerOnly)->RunsImage());
}
