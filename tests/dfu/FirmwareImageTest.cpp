// The firmware image generated at build time is a DFU file the engine accepts.
#include <gtest/gtest.h>

#include <cstring>

#include "dfu/DfuFile.h"
#include "platform/DfuTransport.h"

TEST(FirmwareImage, GeneratedImageIsAValidDfuFile)
{
    const std::string path = ORVO_FIRMWARE_IMAGE_PATH;
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(ReadDfuFileW(std::wstring(path.begin(), path.end()), image, 16u * 1024u * 1024u)) << path;
    ASSERT_GT(image.size(), 8u + kDfuSuffixLength);
    EXPECT_EQ(0, std::memcmp(image.data(), "CSR-dfu2", 8));
    const std::string text(image.begin(), image.end());
    EXPECT_NE(std::string::npos, text.find("1.05.4"));

    SDfuSuffix suffix;
    std::size_t payload = 0;
    ASSERT_EQ(EDfuFileResult::Ok, ParseDfuFile(image.data(), image.size(), &suffix, &payload));
    EXPECT_EQ(image.size() - 16, payload);
    EXPECT_EQ(0xFFFF, suffix.idVendor);
    EXPECT_EQ(0xFFFF, suffix.idProduct);
    EXPECT_EQ(0xFFFF, suffix.bcdDevice);
    EXPECT_EQ(0x0100, suffix.bcdDFU);
    EXPECT_EQ(DfuCrc32(image.data(), image.size() - 4), suffix.dwCRC);
}

#include "bench/dfu/SimDfuBus.h"
#include "dfu/DFUEngine.h"
#include "tests/dfu/DfuTestSupport.h"

TEST(FirmwareImage, UpgradesASimulatedDeviceFromRunTimeMode)
{
    const std::string path = ORVO_FIRMWARE_IMAGE_PATH;
    const std::wstring file(path.begin(), path.end());
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(ReadDfuFileW(file, image, 16u * 1024u * 1024u));

    auto bus = std::make_shared<CSimDfuBus>();
    SSimDfuConfig config;
    config.startInRuntime = true;
    config.wTransferSize = 1023;
    config.pollTimeoutMs = 10;
    auto device = bus->AddDevice(config);
    DFUEngine::InitDLL(bus);
    CStringListX names;
    ASSERT_EQ(0, DFUEngine::GetUSBDeviceNames(names)); // not in DFU mode yet
    ASSERT_EQ(1, DFUEngine::GetUSBDeviceNames(names, true));
    CStringListX::POSITION pos = names.GetHeadPosition();
    CStringX name = names.GetNext(pos);

    CRecordingCallback callback;
    DFUEngine engine;
    ASSERT_TRUE(engine.CreateUSB(name.GetBuffer(name.GetLength())));
    engine.SetCallback(&callback);
    HResult result = HR_FAIL;
    ASSERT_TRUE(engine.StartReconfigure(false, true, file.c_str()));
    ASSERT_TRUE(callback.WaitComplete(&result));
    ASSERT_EQ(HR_OK, result);
    ASSERT_TRUE(engine.StartDownload(file.c_str()));
    ASSERT_TRUE(callback.WaitComplete(&result));
    ASSERT_EQ(HR_OK, result);
    ASSERT_TRUE(engine.StartManifest());
    ASSERT_TRUE(callback.WaitComplete(&result));
    ASSERT_EQ(HR_OK, result);
    EXPECT_EQ(3, callback.CompleteCount());
    EXPECT_EQ(PayloadOf(image), device->Firmware());
    EXPECT_EQ(0, device->EarlyPolls());
    // The device restarted: the engine needs CreateUSB before another activity.
    EXPECT_FALSE(engine.StartManifest());
}
