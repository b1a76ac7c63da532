// The AV6201 and AV6302 upgraders against the simulated headsets, through
// the host interface: finding the chip by its identity, flash mode with its
// re-enumeration, erase and 1024-byte writes on the part row of each chip,
// the reset that brings the headset back, an interrupted upgrade and a
// second run, late answers.
#include <gtest/gtest.h>

#include <memory>

#include "avnera/AvneraImageFiles.h"
#include "avnera/FirmwareUpgradeAV6201.h"
#include "bench/avnera/AV62xxProduct.h"
#include "tests/usb/LogCapture.h"
#include "tests/avnera/AvneraEepromUpgradeSupport.h"
#include "tests/avnera/AvneraTestSupport.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace
{
std::string FirstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i])
            return "first difference at " + std::to_string(i);
    return a.size() == b.size() ? "equal" : "sizes differ";
}

class AV62xxUpgrade : public CAvneraBench
{
protected:
    std::shared_ptr<CAV62xxProduct> PlugProduct(SAV62xxProductConfig config, std::uint8_t port = 1)
    {
        if (config.memory.empty())
        {
            // An older image, and after it bytes that are not erased: a write
            // that skipped the erase would AND them into the new image.
            SAV62xxImageSpec old;
            old.partRow = config.chip == EAV62xxChip::AV6201 ? 36 : 12;
            old.size = config.chip == EAV62xxChip::AV6201 ? 20000 : 16384;
            old.seed = 99;
            config.memory = MakeAV62xxImage(old);
        }
        auto product = CAV62xxProduct::Create(config);
        EXPECT_NE(0u, product->Plug(m_world, m_world.RootHub(m_hostController), port));
        return product;
    }
    template <class TUpgrader>
    std::unique_ptr<TUpgrader> Upgrader()
    {
        SAvneraUpgradeEnvironment env;
        env.hid = &m_world;
        auto upgrader = std::make_unique<TUpgrader>(env);
        m_initResult = upgrader->Init(0, 0);
        return upgrader;
    }
    // The chip takes the last write trigger without an answer and is busy
    // with it for a while after the upgrader returned.
    static std::vector<std::uint8_t> SettledMemory(CAV62xxProduct& product)
    {
        CClock::Sleep(200);
        return product.Memory();
    }
    HResult m_initResult = HR_FAIL;
};

SAV62xxProductConfig AV6302()
{
    SAV62xxProductConfig config;
    config.chip = EAV62xxChip::AV6302;
    config.productId = 0x3240;
    config.version = 1u << 24 | 3u << 16 | 16u << 9 | 1u << 5 | 5u;
    return config;
}
} // namespace

TEST_F(AV62xxUpgrade, AnAV6201On3226OpensTheHostInterfaceForItsIdentity)
{
    auto product = PlugProduct({});
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(0x2C6D, upgrader->m_wVendorID);
    EXPECT_EQ(0x3226, upgrader->GetProductID());
    ASSERT_NE(nullptr, upgrader->m_avHandle);
    EXPECT_EQ(0u, upgrader->m_avHandle->type);
    std::uint16_t indexes[10];
    std::uint32_t ids[10];
    ASSERT_EQ(1, AvDllListDevices(0, 10, indexes, ids));
    EXPECT_EQ(0x2C6D3226u, ids[0]);
    std::uint32_t type = 0;
    upgrader->GetMCUType(0, &type);
    EXPECT_EQ(18u, type);
    EXPECT_EQ(1024u, upgrader->GetPacketSize());
    EXPECT_EQ(36u, upgrader->m_partRow);
    wchar_t name[126] = {};
    EXPECT_EQ(HR_OK, upgrader->GetProductName(name, sizeof name));
    EXPECT_STREQ(CFirmwareUpgradeAV6201::kProductName, name);
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("1.2.151124", version);
    EXPECT_FALSE(upgrader->GetFWFileVersionString(4, reinterpret_cast<const std::uint8_t*>("7B\n"), &version));
    EXPECT_FALSE(upgrader->FirmwareValidatePacket(reinterpret_cast<const std::uint8_t*>("x"), 1));
}

TEST_F(AV62xxUpgrade, AHeadsetOn3226WithAnotherNameIsNotOurs)
{
    SAV62xxProductConfig config;
    config.productName = L"Someone Else's Headset";
    auto product = PlugProduct(config);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    wchar_t name[126] = {};
    EXPECT_EQ(HR_FAIL, upgrader->GetProductName(name, sizeof name));
}

TEST_F(AV62xxUpgrade, NoHeadsetFailsInitAndAHeadsetInItsFlashLoaderIsFound)
{
    {
        auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
        EXPECT_EQ(HR_FAIL, m_initResult);
        EXPECT_EQ(nullptr, upgrader->m_avHandle);
    }
    // No part header: the boot ROM stays in its loader, where an interrupted
    // upgrade leaves the headset; the next run must find it there.
    SAV62xxProductConfig config;
    config.memory = std::vector<std::uint8_t>(64, 0x00);
    auto product = PlugProduct(config);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(0x170D, upgrader->m_wVendorID);
    EXPECT_EQ(0x0100, upgrader->GetProductID());
    wchar_t name[126] = {};
    EXPECT_EQ(HR_OK, upgrader->GetProductName(name, sizeof name));
    EXPECT_STREQ(CFirmwareUpgradeAV6201::kFlashLoaderName, name);
    const std::vector<std::uint8_t> image = MakeAV62xxImage({36, 5000, 4});
    ASSERT_TRUE(RunUpgrade(*upgrader, ToLineText(image)).Succeeded());
    EXPECT_EQ(image, Slice(SettledMemory(*product), 0, image.size()));
    EXPECT_TRUE(product->HeaderValid());
}

TEST_F(AV62xxUpgrade, AnAV6201UpgradeErasesWritesAndResetsIntoTheNewImage)
{
    auto product = PlugProduct({});
    const std::vector<std::uint8_t> image = MakeAV62xxImage({36, 9000, 5});
    {
        auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
        ASSERT_EQ(HR_OK, m_initResult);
        CStepCountingDialog dialog;
        upgrader->m_pFlashDlg = &dialog;
        const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(image));
        ASSERT_TRUE(outcome.Succeeded());
        EXPECT_EQ(image, outcome.image);
        EXPECT_EQ(9, dialog.steps);
        EXPECT_EQ(3u, product->Chip()->EraseCount()); // 9000 bytes: three 4 KiB sectors
        EXPECT_EQ(9u, product->SerialWrites());       // 1024-byte blocks, the last one shorter
        const std::vector<std::uint8_t> memory = SettledMemory(*product);
        EXPECT_EQ(image, Slice(memory, 0, image.size())) << FirstDifference(image, memory);
        EXPECT_EQ(HR_OK, upgrader->ResetFirmware());
    }
    CClock::Sleep(1500);
    // Back as the headset, with the image in place.
    EXPECT_FALSE(product->Chip()->InFlashMode());
    auto again = Upgrader<CFirmwareUpgradeAV6201>();
    EXPECT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(image, Slice(SettledMemory(*product), 0, image.size()));
}

TEST_F(AV62xxUpgrade, AChipThatRefusesThePartRowIsNoSuccess)
{
    // An AV6302 headset shows the same identity as an AV6201 one on 3240, but
    // carries an I2C EEPROM: the AV6201 upgrader's SPI-flash row is refused
    // by the chip without a word, and only reading back tells.
    CLogCapture log("av62_refused_part_row");
    auto product = PlugProduct(AV6302());
    const std::vector<std::uint8_t> before = SettledMemory(*product);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(MakeAV62xxImage({36, 3000, 7})));
    EXPECT_FALSE(outcome.ended);
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(before, SettledMemory(*product));
    // The host interface reads the erase back: the refusal shows there.
    EXPECT_NE(HR_OK, outcome.init);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Erase Flash FAILED!!\r\n")) << text;
}

TEST_F(AV62xxUpgrade, AnAV6302ErasesAndWritesItsI2cEepromOnPartRow12)
{
    auto product = PlugProduct(AV6302());
    auto upgrader = Upgrader<CFirmwareUpgradeAV6302>();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(12u, upgrader->m_partRow);
    std::uint32_t type = 0;
    upgrader->GetMCUType(0, &type);
    EXPECT_EQ(19u, type);
    std::string version;
    ASSERT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("1.3.160105", version);
    // The chip's firmware takes only a parameter block that describes the
    // attached part: the image lands only with row 12.
    const std::vector<std::uint8_t> image = MakeAV62xxImage({12, 16384, 8});
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(image));
    ASSERT_TRUE(outcome.Succeeded());
    EXPECT_EQ(image, SettledMemory(*product));
}

TEST_F(AV62xxUpgrade, TheFirstBlockCarriesThePartHeaderOfItsRow)
{
    auto product = PlugProduct({});
    std::vector<std::uint8_t> image = MakeAV62xxImage({36, 2048, 3});
    image[0] = 0x11; // an image whose first bytes are not the header
    image[1] = 0x22;
    image[2] = 0x33;
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    ASSERT_TRUE(RunUpgrade(*upgrader, ToLineText(image)).Succeeded());
    const std::vector<std::uint8_t> memory = SettledMemory(*product);
    EXPECT_EQ((std::vector<std::uint8_t>{0x7B, 0x36, 0x4E}), Slice(memory, 0, 3));
    EXPECT_EQ(Slice(image, 3, image.size()), Slice(memory, 3, image.size()));
}

TEST_F(AV62xxUpgrade, AnInterruptedUpgradeIsRecoveredByASecondRun)
{
    SAV62xxProductConfig config;
    config.unplugAtWrite = 4;
    auto product = PlugProduct(config);
    const std::vector<std::uint8_t> image = MakeAV62xxImage({36, 12000, 6});
    {
        auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
        ASSERT_EQ(HR_OK, m_initResult);
        const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(image));
        EXPECT_EQ(HR_OK, outcome.init);
        EXPECT_FALSE(outcome.written); // five tries, then no
    }
    EXPECT_NE(image, Slice(SettledMemory(*product), 0, image.size()));
    // The first block (with the part header) goes last: the headset stays in
    // its loader and does not boot a partial image.
    EXPECT_FALSE(product->HeaderValid());
    product->Reconnect();
    ASSERT_NE(0u, product->Plug(m_world, m_world.RootHub(m_hostController), 2));
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    ASSERT_TRUE(RunUpgrade(*upgrader, ToLineText(image)).Succeeded());
    EXPECT_EQ(image, Slice(SettledMemory(*product), 0, image.size()));
}

TEST_F(AV62xxUpgrade, LateAnswersOfTheChipAreWaitedFor)
{
    // Answers that take a third of the host's one-second time-out: at a
    // larger time scale, so that a loaded machine does not eat the margin.
    CClock::SetTimeScale(0.05);
    SAV62xxProductConfig config;
    config.chipConfig.answerDelayMs = 300;
    config.chipConfig.answerPolls = 3;
    auto product = PlugProduct(config);
    const std::vector<std::uint8_t> image = MakeAV62xxImage({36, 3000, 9});
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    ASSERT_TRUE(RunUpgrade(*upgrader, ToLineText(image)).Succeeded());
    EXPECT_EQ(image, Slice(SettledMemory(*product), 0, image.size()));
}

TEST_F(AV62xxUpgrade, LineImagesAreOneBytePerLine)
{
    const std::string text = "7b\n3A\r\n4a\n  ";
    std::uint32_t size = 0;
    std::uint8_t* image = nullptr;
    ASSERT_EQ(HR_OK, avnera::ConvertLineImage(static_cast<std::uint32_t>(text.size()),
                                              reinterpret_cast<const std::uint8_t*>(text.data()), &size, &image));
    EXPECT_EQ((std::vector<std::uint8_t>{0x7B, 0x3A, 0x4A}), std::vector<std::uint8_t>(image, image + size));
    delete[] image;
    const std::string shortLine = "7B\n3\n4A\n";
    EXPECT_EQ(HR_INVALIDARG, avnera::ConvertLineImage(static_cast<std::uint32_t>(shortLine.size()),
                                                      reinterpret_cast<const std::uint8_t*>(shortLine.data()), &size,
                                                      &image));
    EXPECT_EQ(nullptr, image);
}

TEST_F(AV62xxUpgrade, FlashThatWasNotErasedTakesTheNewBytesAndWise)
{
    // The witness the erase is there for: written over old contents, NOR
    // flash only clears bits.
    auto product = PlugProduct({});
    const std::vector<std::uint8_t> old = SettledMemory(*product);
    const std::vector<std::uint8_t> image = MakeAV62xxImage({36, 4096, 12});
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    ASSERT_EQ(0, SerialMemEnterFlashMode(&upgrader->m_avHandle));
    upgrader->m_initialized = 1; // skip the erase
    // The flash does not hold the image, and the write says so (the host
    // interface reads every write back).
    EXPECT_FALSE(upgrader->FirmwareUpgradeWrite(image.data(), static_cast<std::uint32_t>(image.size())));
    const std::vector<std::uint8_t> memory = SettledMemory(*product);
    // The first block waits for the end; the second, ANDed into the old
    // bytes, reads back wrong however often it is tried, and nothing after
    // it is written.
    for (std::size_t i = 0; i < 1024; ++i)
        ASSERT_EQ(old[i], memory[i]) << i;
    for (std::size_t i = 1024; i < 2048; ++i)
        ASSERT_EQ(static_cast<std::uint8_t>(old[i] & image[i]), memory[i]) << i;
    for (std::size_t i = 2048; i < image.size(); ++i)
        ASSERT_EQ(old[i], memory[i]) << i;
}

TEST_F(AV62xxUpgrade, AnAV6302ImageLargerThanItsEepromIsRefusedBeforeAnythingIsTouched)
{
    auto product = PlugProduct(AV6302());
    const std::vector<std::uint8_t> before = SettledMemory(*product);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6302>();
    ASSERT_EQ(HR_OK, m_initResult);
    CLogCapture log("av6302_oversized");
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(MakeAV62xxImage({12, 16448, 8})));
    EXPECT_EQ(HR_INVALIDARG, outcome.prepared);
    EXPECT_EQ(before, SettledMemory(*product));
    EXPECT_EQ(0u, product->SerialWrites());
    EXPECT_EQ(0u, product->Chip()->CommandCount(0x0A)); // not even flash mode
    EXPECT_TRUE(Contains(log.Text(), "Incorrect Image - the image has 16448 bytes, the memory holds 16384"));
}

TEST_F(AV62xxUpgrade, AnImageForTheOtherChipIsRefused)
{
    // Its own part header names another memory (an AV6302 image for an AV6201).
    auto product = PlugProduct({});
    const std::vector<std::uint8_t> before = SettledMemory(*product);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6201>();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(HR_INVALIDARG, RunUpgrade(*upgrader, ToLineText(MakeAV62xxImage({12, 4000, 8}))).prepared);
    EXPECT_EQ(before, SettledMemory(*product));
}

TEST_F(AV62xxUpgrade, AnInterruptedAV6302UpgradeLeavesNoPartHeader)
{
    // Pulled out as it takes the first block: the EEPROM's "erase" wrote
    // zeros at 0, never the image's first bytes (which carry a part header),
    // so the boot ROM stays in its loader.
    SAV62xxProductConfig config = AV6302();
    config.unplugAtWrite = 2; // the erase's write, then the first block
    auto product = PlugProduct(config);
    auto upgrader = Upgrader<CFirmwareUpgradeAV6302>();
    ASSERT_EQ(HR_OK, m_initResult);
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToLineText(MakeAV62xxImage({12, 8000, 8})));
    EXPECT_EQ(HR_OK, outcome.init);
    EXPECT_FALSE(outcome.written);
    EXPECT_FALSE(product->HeaderValid());
}
