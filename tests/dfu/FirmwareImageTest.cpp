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
