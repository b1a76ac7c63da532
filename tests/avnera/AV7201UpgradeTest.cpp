// The AV7201 upgrader against the simulated AV7201 headset: the upgrade
// order (configuration kept, header held back and written last), the EEPROM
// reports and their limits, the version from the firmware information, the
// read-back pass, an interrupted upgrade and the recovery from the default
// image, and the strict headsets.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "avnera/AvneraImageFiles.h"
#include "avnera/FirmwareUpgradeAV7201.h"
#include "bench/avnera/AV7201Headset.h"
#include "platform/Clock.h"
#include "tests/avnera/AvneraEepromUpgradeSupport.h"
#include "tests/usb/LogCapture.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace
{
// The headset's EEPROM before the upgrade: the configuration block and an
// older image (2.4.151001).
std::vector<std::uint8_t> OldEeprom()
{
    SAV7201ImageSpec old;
    old.minor = 4;
    old.month = 10;
    old.day = 1;
    old.files = {{0x01, 900}, {0x02, 100}};
    old.seed = 77;
    return MakeAV7201Image(old);
}

class AV7201Upgrade : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previousScale = CClock::GetTimeScale();
        CClock::SetTimeScale(0.01);
        m_hub = m_world.RootHub(m_world.AddHostController());
    }
    void TearDown() override { CClock::SetTimeScale(m_previousScale); }

    std::shared_ptr<CAV7201Headset> Plug(SAV7201HeadsetConfig config = {})
    {
        if (config.eeprom.empty())
            config.eeprom = OldEeprom();
        auto headset = CAV7201Headset::Create(config);
        EXPECT_NE(0u, headset->Plug(m_world, m_hub, 1));
        return headset;
    }
    std::unique_ptr<CFirmwareUpgradeAV7201> Upgrader()
    {
        SAvneraUpgradeEnvironment env;
        env.hid = &m_world;
        auto upgrader = std::make_unique<CFirmwareUpgradeAV7201>(env);
        m_initResult = upgrader->Init(0, 0);
        return upgrader;
    }
    // Waits (product time) until the headset is back on the bus after a reset.
    void WaitForReenumeration() { CClock::Sleep(1000); }

    CBenchUsbWorld m_world;
    BenchId m_hub = 0;
    HResult m_initResult = HR_FAIL;
    double m_previousScale = 0;
};
} // namespace

TEST_F(AV7201Upgrade, ConstructInitValuesAndTheHeadsetsIdentity)
{
    auto headset = Plug();
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    std::uint32_t type = 0;
    EXPECT_EQ(HR_OK, upgrader->GetMCUType(0, &type));
    EXPECT_EQ(6u, type);
    EXPECT_EQ(1, upgrader->GetVersionCheckMethod());
    EXPECT_EQ(4u, upgrader->GetPacketSize());
    EXPECT_EQ(0u, upgrader->m_defaultImage);
    EXPECT_EQ(0x2C6D, upgrader->m_wVendorID);
    EXPECT_EQ(0x3240, upgrader->GetProductID());
    wchar_t name[126] = {};
    EXPECT_EQ(HR_OK, upgrader->GetProductName(name, sizeof name));
    EXPECT_STREQ(CAV7201Headset::kProductName, name);
    std::string version;
    EXPECT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("2.4.151001", version);
    EXPECT_STREQ("RCF Files (*.rcf)|All Files (*.*)|*.*||", CFirmwareUpgradeAV7201::kFileFilter);
}

TEST_F(AV7201Upgrade, NoHeadsetFailsInit)
{
    auto upgrader = Upgrader();
    EXPECT_EQ(HR_FAIL, m_initResult);
    wchar_t name[126] = {};
    EXPECT_EQ(HR_FAIL, upgrader->GetProductName(name, sizeof name));
}

TEST_F(AV7201Upgrade, BlocksOfAnImageOf256BytesGoInTheirOrderWithTheHeaderLast)
{
    auto headset = Plug();
    const std::vector<std::uint8_t> before = headset->Eeprom();
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    std::vector<std::uint8_t> image = MakeAV7201Image({});
    image.resize(0x100);

    ASSERT_EQ(HR_OK, upgrader->InitFirmwareUpgrade(0x100));
    EXPECT_EQ(1u, headset->EepromWrites());
    EXPECT_EQ(std::vector<std::uint8_t>(4, 0), Slice(headset->Eeprom(), 0x80, 0x84)); // header destroyed first
    for (std::uint32_t block = 0; block < 32; ++block)
        ASSERT_TRUE(upgrader->FirmwareUpgradeWrite(image.data() + 4 * block, 4));
    EXPECT_EQ(1u, headset->EepromWrites()); // the first 128 bytes send nothing
    ASSERT_TRUE(upgrader->FirmwareUpgradeWrite(image.data() + 0x80, 4));
    EXPECT_EQ(1u, headset->EepromWrites()); // the header block is cached
    for (std::uint32_t offset = 0x84; offset < 0x100; offset += 4)
        ASSERT_TRUE(upgrader->FirmwareUpgradeWrite(image.data() + offset, 4));
    EXPECT_EQ(1u + 31u, headset->EepromWrites());
    EXPECT_EQ(std::vector<std::uint8_t>(4, 0), Slice(headset->Eeprom(), 0x80, 0x84));
    EXPECT_EQ(Slice(image, 0x84, 0x100), Slice(headset->Eeprom(), 0x84, 0x100));

    ASSERT_TRUE(upgrader->EndFirmwareUpgrade());
    EXPECT_EQ(1u + 31u + 1u, headset->EepromWrites());
    const std::vector<std::uint8_t> after = headset->Eeprom();
    EXPECT_EQ(Slice(image, 0x80, 0x100), Slice(after, 0x80, 0x100));
    EXPECT_EQ(Slice(before, 0, 0x80), Slice(after, 0, 0x80)); // the configuration stays
    EXPECT_EQ(Slice(before, 0x100, before.size()), Slice(after, 0x100, after.size()));
    EXPECT_FALSE(upgrader->EndFirmwareUpgrade()); // the upgrade is closed
}

TEST_F(AV7201Upgrade, EepromReportsRefuseCountsAbove53WithoutAnyReport)
{
    auto headset = Plug();
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    const std::uint32_t reports = headset->ReportsTaken();
    std::uint8_t buffer[64] = {};
    EXPECT_FALSE(upgrader->ReadEEPROM(0x100, buffer, 54));
    EXPECT_FALSE(upgrader->WriteEEPROM(0x100, buffer, 54));
    EXPECT_EQ(reports, headset->ReportsTaken());
    // The count travels as count | 0xA0: 31 bytes is the most the chip can tell apart.
    const std::vector<std::uint8_t> eeprom = headset->Eeprom();
    ASSERT_TRUE(upgrader->ReadEEPROM(0x1F0, buffer, 31));
    EXPECT_EQ(Slice(eeprom, 0x1F0, 0x1F0 + 31), std::vector<std::uint8_t>(buffer, buffer + 31));
    std::uint8_t data[53];
    for (int i = 0; i < 53; ++i)
        data[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(upgrader->WriteEEPROM(0x3000, data, 16));
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 16), Slice(headset->Eeprom(), 0x3000, 0x3010));
    // A write across a 64-byte page wraps inside the page, as the EEPROM does.
    ASSERT_TRUE(upgrader->WriteEEPROM(0x307E, data, 4));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 1}), Slice(headset->Eeprom(), 0x307E, 0x3080));
    EXPECT_EQ((std::vector<std::uint8_t>{2, 3}), Slice(headset->Eeprom(), 0x3040, 0x3042));
}

TEST_F(AV7201Upgrade, AWholeUpgradeLeavesTheImageAndTheHeadsetRunsIt)
{
    auto headset = Plug();
    const std::vector<std::uint8_t> before = headset->Eeprom();
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    const std::vector<std::uint8_t> image = MakeAV7201Image({});
    const std::string text = ToRcfText(image);
    std::string fileVersion;
    ASSERT_TRUE(upgrader->GetFWFileVersionString(static_cast<std::uint32_t>(image.size()), image.data(), &fileVersion));
    EXPECT_EQ("2.5.151124", fileVersion);
    EXPECT_EQ(CURR_VERSION_CHECK_OLDER, upgrader->CompareFirmwareVersion("2.4.151001", fileVersion));
    EXPECT_TRUE(upgrader->IsValidationRequired());

    CStepCountingDialog dialog;
    upgrader->m_pFlashDlg = &dialog;
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, text);
    ASSERT_TRUE(outcome.Succeeded());
    EXPECT_EQ(image, outcome.image);
    EXPECT_EQ(static_cast<int>((image.size() + 3) / 4), dialog.steps); // one step per block written
    const std::vector<std::uint8_t> after = headset->Eeprom();
    EXPECT_EQ(Slice(image, 0x80, image.size()), Slice(after, 0x80, image.size()));
    EXPECT_EQ(Slice(before, 0, 0x80), Slice(after, 0, 0x80));
    EXPECT_EQ(Slice(before, image.size(), before.size()), Slice(after, image.size(), after.size()));

    EXPECT_EQ(HR_OK, upgrader->ResetFirmware());
    upgrader.reset();
    WaitForReenumeration();
    EXPECT_EQ(1u, headset->Resets());
    auto again = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    std::string version;
    EXPECT_TRUE(again->GetDeviceFWVersionString(&version));
    EXPECT_EQ("2.5.151124", version);
}

TEST_F(AV7201Upgrade, FirmwareInformationTextsGiveTheVersion)
{
    // 28 characters, 16..21 = 112415, 24..27 = 2.05.
    const char* text = "AV7201 firmware 112415 v2.05";
    avnera::SAV7201FirmwareInfo info;
    ASSERT_TRUE(avnera::DecodeAV7201FirmwareInfo(reinterpret_cast<const std::uint8_t*>(text), 28, &info));
    EXPECT_EQ(2, info.major);
    EXPECT_EQ(5, info.minor);
    EXPECT_EQ(15u << 9 | 11u << 5 | 24u, info.build);
    EXPECT_EQ("2.5.151124", avnera::FormatAV7201Version(info));
    EXPECT_FALSE(avnera::DecodeAV7201FirmwareInfo(reinterpret_cast<const std::uint8_t*>(text), 27, &info));
    // The longer text, read from the headset.
    SAV7201ImageSpec spec;
    spec.longInfo = true;
    spec.major = 3;
    spec.minor = 12;
    spec.year = 16;
    spec.month = 2;
    spec.day = 29;
    SAV7201HeadsetConfig config;
    config.eeprom = MakeAV7201Image(spec);
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    std::string version;
    EXPECT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("3.12.160229", version);
}

TEST_F(AV7201Upgrade, ABrokenFileChainInTheEepromEndsTheWalk)
{
    std::vector<std::uint8_t> eeprom = OldEeprom();
    eeprom[0x84] = 2; // a first file smaller than its own header
    eeprom[0x85] = 0;
    SAV7201HeadsetConfig config;
    config.eeprom = eeprom;
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult); // the chip runs its default image
    EXPECT_EQ(1u, upgrader->m_defaultImage);
    std::uint32_t size = 0;
    std::uint8_t* content = nullptr;
    EXPECT_FALSE(upgrader->GetFileFromFWImage(0x80, 0, &size, &content));
    EXPECT_EQ(nullptr, content);
    std::string version = "x";
    EXPECT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("", version);
}

TEST_F(AV7201Upgrade, AnEepromByteThatDidNotTakeIsFoundBeforeTheHeaderIsWritten)
{
    // Reading back everything before the header goes in: a byte that did
    // not take fails the upgrade, and the header stays zeroed, so the chip
    // comes up on its default image rather than on a damaged image.
    SAV7201HeadsetConfig config;
    config.stuckCells[0x301] = 0x00;
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    const std::vector<std::uint8_t> image = MakeAV7201Image({});
    ASSERT_NE(0x00, image[0x301]);
    CLogCapture log("av7201_stuck_cell");
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToRcfText(image));
    EXPECT_TRUE(outcome.written);  // every write was taken...
    EXPECT_FALSE(outcome.ended);   // ...but reading back finds the byte
    EXPECT_EQ(std::vector<std::uint8_t>(4, 0), Slice(headset->Eeprom(), 0x80, 0x84));
    EXPECT_FALSE(headset->ImageValid());
    EXPECT_TRUE(Contains(log.Text(), "Image Differ at offset[769]. Image["));
}

TEST_F(AV7201Upgrade, ImagesThatDoNotFitOrAreCutShortAreRefusedBeforeAnyWrite)
{
    // A 16,448-byte image on the 16 KiB EEPROM: its 16-bit offsets past 16 KiB
    // would wrap over the configuration at 0. An image cut inside its third
    // file: the rest would be taken from the old EEPROM.
    auto headset = Plug();
    const std::vector<std::uint8_t> before = headset->Eeprom();
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(16384u, upgrader->EepromSize());
    SAV7201ImageSpec big;
    big.totalSize = 16448;
    SAV7201ImageSpec three;
    three.files = {{0x01, 300}, {0x02, 500}, {0x03, 400}};
    const std::vector<std::uint8_t> whole = MakeAV7201Image(three);
    // Files: 0x01 at 0x84, the firmware information, 0x02, 0x03.
    const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + 0x84 + 304 + 32 + 200);
    CLogCapture log("av7201_refused_images");
    for (const std::vector<std::uint8_t>& image : {MakeAV7201Image(big), cut})
    {
        const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToRcfText(image));
        EXPECT_EQ(HR_INVALIDARG, outcome.prepared);
        std::uint32_t uploadSize = 0;
        std::uint8_t* upload = nullptr;
        EXPECT_EQ(HR_INVALIDARG, upgrader->PrepareUploadFirmwareImage(static_cast<std::uint32_t>(image.size()),
                                                                      image.data(), &uploadSize, &upload));
    }
    EXPECT_EQ(before, headset->Eeprom());
    EXPECT_EQ(0u, headset->EepromWrites());
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "Incorrect Image - the image has 16448 bytes, the EEPROM holds 16384")) << text;
    EXPECT_TRUE(Contains(text, "Incorrect Image - file 3 at 468 runs past the image's end")) << text;
}

TEST_F(AV7201Upgrade, TheEepromSizeIsWhereItsAddressWraps)
{
    // A headset with a 32 KiB EEPROM takes a 20,000-byte image.
    SAV7201HeadsetConfig config;
    config.eepromSize = 32768;
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(32768u, upgrader->EepromSize());
    SAV7201ImageSpec spec;
    spec.totalSize = 20000;
    const std::vector<std::uint8_t> image = MakeAV7201Image(spec);
    ASSERT_TRUE(RunUpgrade(*upgrader, ToRcfText(image)).Succeeded());
    EXPECT_EQ(Slice(image, 0x80, image.size()), Slice(headset->Eeprom(), 0x80, image.size()));
}

TEST_F(AV7201Upgrade, AnInterruptedUpgradeLeavesADefaultImageThatASecondRunRecovers)
{
    SAV7201HeadsetConfig config;
    config.unplugAtWrite = 60;
    auto headset = Plug(config);
    const std::vector<std::uint8_t> image = MakeAV7201Image({});
    {
        auto upgrader = Upgrader();
        ASSERT_EQ(HR_OK, m_initResult);
        const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToRcfText(image));
        EXPECT_EQ(HR_OK, outcome.init);
        EXPECT_FALSE(outcome.written);
        EXPECT_FALSE(upgrader->EndFirmwareUpgrade()); // the header is never written
    }
    EXPECT_EQ(std::vector<std::uint8_t>(4, 0), Slice(headset->Eeprom(), 0x80, 0x84));
    EXPECT_FALSE(headset->ImageValid());

    // Plugged in again: the ROM's default image answers.
    headset->Reconnect();
    ASSERT_NE(0u, headset->Plug(m_world, m_hub, 2));
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(1u, upgrader->m_defaultImage);
    EXPECT_EQ(0x2C6D, upgrader->m_wVendorID);
    EXPECT_EQ(0x3240, upgrader->m_wProductID);
    wchar_t name[126] = {};
    EXPECT_EQ(HR_OK, upgrader->GetProductName(name, sizeof name));
    EXPECT_STREQ(CFirmwareUpgradeAV7201::kDefaultImageProductName, name);
    EXPECT_EQ(CURR_VERSION_CHECK_OLDER, upgrader->CompareFirmwareVersion("", "2.5.151124"));
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToRcfText(image));
    ASSERT_TRUE(outcome.Succeeded());
    EXPECT_EQ(Slice(image, 0x80, image.size()), Slice(headset->Eeprom(), 0x80, image.size()));
    EXPECT_TRUE(headset->ImageValid());
    upgrader->ResetFirmware();
    upgrader.reset();
    WaitForReenumeration();
    auto after = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    EXPECT_EQ(0u, after->m_defaultImage);
}

TEST_F(AV7201Upgrade, AStrictHeadsetWithWriteCyclesAndALateFirmwareStillTakesTheImage)
{
    SAV7201HeadsetConfig config;
    config.writeCycleMs = 50; // an EEPROM command right after a write stalls, and its next retries too
    config.bootMs = 45;      // the firmware answers nothing at first
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult);
    std::string version;
    EXPECT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("2.4.151001", version);
    const std::vector<std::uint8_t> image = MakeAV7201Image({});
    const SUpgradeOutcome outcome = RunUpgrade(*upgrader, ToRcfText(image));
    ASSERT_TRUE(outcome.Succeeded());
    EXPECT_EQ(Slice(image, 0x80, image.size()), Slice(headset->Eeprom(), 0x80, image.size()));
    EXPECT_GT(headset->Stalls(), 0u);
}

TEST_F(AV7201Upgrade, AFirmwareThatNeverAnswersGivesNoVersionAndNoUpgrade)
{
    SAV7201HeadsetConfig config;
    config.bootMs = 100000;
    auto headset = Plug(config);
    auto upgrader = Upgrader();
    ASSERT_EQ(HR_OK, m_initResult); // the HID interface is there
    std::string version = "x";
    EXPECT_TRUE(upgrader->GetDeviceFWVersionString(&version));
    EXPECT_EQ("", version);
    std::uint8_t buffer[4];
    EXPECT_FALSE(upgrader->ReadEEPROM(0x80, buffer, 4)); // ten tries, then no
}

TEST_F(AV7201Upgrade, RcfFilesAreFourCharactersPerByte)
{
    const std::string text = "7B\r\n3a\r\n4A\r\nff";
    std::uint32_t size = 0;
    std::uint8_t* image = nullptr;
    ASSERT_EQ(HR_OK, avnera::ConvertRcfImage(static_cast<std::uint32_t>(text.size()),
                                             reinterpret_cast<const std::uint8_t*>(text.data()), &size, &image));
    EXPECT_EQ((std::vector<std::uint8_t>{0x7B, 0x3A, 0x4A, 0xFF}), std::vector<std::uint8_t>(image, image + size));
    delete[] image;
    const std::string wrong = "7B3A\r\n4A\r\n"; // one byte per line of another shape
    EXPECT_EQ(HR_INVALIDARG, avnera::ConvertRcfImage(static_cast<std::uint32_t>(wrong.size()),
                                                     reinterpret_cast<const std::uint8_t*>(wrong.data()), &size,
                                                     &image));
    EXPECT_EQ(nullptr, image);
    EXPECT_EQ(HR_FAIL, avnera::ConvertRcfImage(0, nullptr, &size, &image));
}
