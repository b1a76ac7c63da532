// The firmware image the program carries: found by name through the
// platform's resource provider, byte for byte the generated file.
#include <gtest/gtest.h>

#include "platform/ResourceImage.h"
#include "tests/TestSupport.h"

TEST(EmbeddedImageTest, FirmwareImageIsCarriedByteForByte)
{
    SResourceData data;
    std::uint32_t error = 99;
    ASSERT_EQ(GetPlatformResourceProvider().FindRcData("BC_05_USB_RCDATA", &data, &error), EResourceResult::Found);
    EXPECT_EQ(error, 0u);
    const std::string file = ReadFileBytes(HostPath(ORVO_FIRMWARE_IMAGE_FILE));
    ASSERT_GT(file.size(), 16u);
    ASSERT_EQ(data.size, file.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data), data.size), file);
}

TEST(EmbeddedImageTest, UnknownNamesAreNotFound)
{
    SResourceData data;
    std::uint32_t error = 0;
    EXPECT_EQ(GetPlatformResourceProvider().FindRcData("NO_SUCH_RCDATA", &data, &error), EResourceResult::NotFound);
    EXPECT_NE(error, 0u);
    EXPECT_EQ(data.data, nullptr);
}

TEST(EmbeddedImageTest, RegisteredDataIsFoundAndReplaced)
{
    static const std::uint8_t first[] = {1, 2, 3};
    static const std::uint8_t second[] = {4, 5};
    RegisterEmbeddedResource("TEST_RCDATA", first, sizeof first);
    RegisterEmbeddedResource("TEST_RCDATA", second, sizeof second);
    SResourceData data;
    ASSERT_TRUE(FindEmbeddedResource("TEST_RCDATA", &data));
    EXPECT_EQ(data.data, second);
    EXPECT_EQ(data.size, 2u);
}
