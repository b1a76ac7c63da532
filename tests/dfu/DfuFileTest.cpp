// DFU file suffix and CRC, the protocol parsers and device names.
#include <gtest/gtest.h>

#include <cstring>

#include "dfu/DfuFile.h"
#include "dfu/DfuProtocol.h"
#include "platform/DfuTransport.h"

namespace
{
std::vector<std::uint8_t> MakeFile(std::size_t payload, std::uint16_t vid = 0xFFFF, std::uint16_t pid = 0xFFFF)
{
    std::vector<std::uint8_t> image(payload);
    for (std::size_t i = 0; i < payload; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    AppendDfuSuffix(image, 0x0100, pid, vid);
    return image;
}
} // namespace

TEST(DfuFile, CrcIsTheDfuVariantOfCrc32)
{
    // Standard CRC-32 of "123456789" is 0xCBF43926; DFU files keep it uninverted.
    const char* text = "123456789";
    EXPECT_EQ(0x340BC6D9u, DfuCrc32(reinterpret_cast<const std::uint8_t*>(text), 9));
    // Chaining gives the same value as one pass.
    const std::uint32_t part = DfuCrc32(reinterpret_cast<const std::uint8_t*>(text), 4);
    EXPECT_EQ(0x340BC6D9u, DfuCrc32(reinterpret_cast<const std::uint8_t*>(text) + 4, 5, part));
}

TEST(DfuFile, WellFormedFileParses)
{
    const auto file = MakeFile(100, 0x0A12, 0x0001);
    ASSERT_EQ(116u, file.size());
    // Suffix bytes as laid down on disk.
    EXPECT_EQ(0x00, file[100]);
    EXPECT_EQ(0x01, file[101]);
    EXPECT_EQ(0x01, file[102]);
    EXPECT_EQ(0x00, file[103]);
    EXPECT_EQ(0x12, file[104]);
    EXPECT_EQ(0x0A, file[105]);
    EXPECT_EQ(0x00, file[106]);
    EXPECT_EQ(0x01, file[107]);
    EXPECT_EQ(0, std::memcmp(&file[108], "UFD", 3));
    EXPECT_EQ(16, file[111]);
    SDfuSuffix suffix;
    std::size_t payload = 0;
    ASSERT_EQ(EDfuFileResult::Ok, ParseDfuFile(file.data(), file.size(), &suffix, &payload));
    EXPECT_EQ(100u, payload);
    EXPECT_EQ(0x0A12, suffix.idVendor);
    EXPECT_EQ(0x0001, suffix.idProduct);
    EXPECT_EQ(0x0100, suffix.bcdDevice);
    EXPECT_EQ(0x0100, suffix.bcdDFU);
    // A suffix alone (empty payload) is a valid file too.
    const auto empty = MakeFile(0);
    EXPECT_EQ(EDfuFileResult::Ok, ParseDfuFile(empty.data(), empty.size(), nullptr, nullptr));
}

TEST(DfuFile, BadCrcAndMissingSuffixAreToldApart)
{
    auto file = MakeFile(64);
    file[10] ^= 0x01;
    EXPECT_EQ(EDfuFileResult::BadCrc, ParseDfuFile(file.data(), file.size(), nullptr, nullptr));
    file[10] ^= 0x01;
    file[file.size() - 1] ^= 0x80; // the CRC field itself
    EXPECT_EQ(EDfuFileResult::BadCrc, ParseDfuFile(file.data(), file.size(), nullptr, nullptr));

    auto plain = std::vector<std::uint8_t>(200, 0x5A);
    EXPECT_EQ(EDfuFileResult::NoSuffix, ParseDfuFile(plain.data(), plain.size(), nullptr, nullptr));
    auto noSig = MakeFile(64);
    noSig[noSig.size() - 8] = 'X'; // 'U' of the signature
    EXPECT_EQ(EDfuFileResult::NoSuffix, ParseDfuFile(noSig.data(), noSig.size(), nullptr, nullptr));
}

TEST(DfuFile, ShortOrInconsistentFilesAreRefused)
{
    const auto file = MakeFile(8);
    for (std::size_t n = 0; n < kDfuSuffixLength; ++n)
        EXPECT_EQ(EDfuFileResult::TooShort, ParseDfuFile(file.data() + file.size() - n, n, nullptr, nullptr));
    EXPECT_EQ(EDfuFileResult::TooShort, ParseDfuFile(nullptr, 100, nullptr, nullptr));

    auto lengthSmall = MakeFile(8);
    lengthSmall[lengthSmall.size() - 5] = 15;
    EXPECT_EQ(EDfuFileResult::BadSuffixLength, ParseDfuFile(lengthSmall.data(), lengthSmall.size(), nullptr, nullptr));
    auto lengthBig = MakeFile(8);
    lengthBig[lengthBig.size() - 5] = 200; // more than the file holds
    EXPECT_EQ(EDfuFileResult::BadSuffixLength, ParseDfuFile(lengthBig.data(), lengthBig.size(), nullptr, nullptr));
    auto version = MakeFile(8);
    version[version.size() - 10] = 0x02; // bcdDFU 0x0102
    EXPECT_EQ(EDfuFileResult::UnsupportedVersion, ParseDfuFile(version.data(), version.size(), nullptr, nullptr));
}

TEST(DfuProtocol, FunctionalDescriptorParsing)
{
    SDfuFunctionalDescriptor d;
    d.bmAttributes = 0x0B;
    d.wDetachTimeOut = 0x1234;
    d.wTransferSize = 0x0400;
    std::uint8_t raw[kDfuFunctionalDescriptorLength];
    WriteDfuFunctionalDescriptor(d, raw);
    SDfuFunctionalDescriptor out;
    ASSERT_TRUE(ParseDfuFunctionalDescriptor(raw, sizeof(raw), &out));
    EXPECT_EQ(0x0B, out.bmAttributes);
    EXPECT_EQ(0x1234, out.wDetachTimeOut);
    EXPECT_EQ(0x0400, out.wTransferSize);
    EXPECT_EQ(0x0110, out.bcdDFUVersion);

    // DFU 1.0 descriptors are 7 bytes long.
    std::uint8_t old[7] = {7, 0x21, 0x01, 0xFF, 0x00, 0x40, 0x00};
    ASSERT_TRUE(ParseDfuFunctionalDescriptor(old, sizeof(old), &out));
    EXPECT_EQ(64, out.wTransferSize);
    EXPECT_EQ(0x0100, out.bcdDFUVersion);

    EXPECT_FALSE(ParseDfuFunctionalDescriptor(raw, 6, &out));
    std::uint8_t lies[9];
    std::memcpy(lies, raw, 9);
    lies[0] = 40; // claims more than there is
    EXPECT_FALSE(ParseDfuFunctionalDescriptor(lies, sizeof(lies), &out));
    lies[0] = 9;
    lies[1] = 0x04;
    EXPECT_FALSE(ParseDfuFunctionalDescriptor(lies, sizeof(lies), &out));
    std::uint8_t zero[9] = {9, 0x21, 0x01, 0, 0, 0, 0, 0x10, 0x01};
    EXPECT_FALSE(ParseDfuFunctionalDescriptor(zero, sizeof(zero), &out)); // transfer size 0
}

TEST(DfuProtocol, StatusParsing)
{
    const std::uint8_t raw[6] = {errWRITE, 0x10, 0x27, 0x01, dfuERROR, 0};
    SDfuStatus s;
    ASSERT_TRUE(ParseDfuStatus(raw, 6, &s));
    EXPECT_EQ(errWRITE, s.bStatus);
    EXPECT_EQ(0x012710u, s.bwPollTimeout);
    EXPECT_EQ(dfuERROR, s.bState);
    EXPECT_FALSE(ParseDfuStatus(raw, 5, &s));
    std::uint8_t back[6];
    WriteDfuStatus(s, back);
    EXPECT_EQ(0, std::memcmp(raw, back, 6));
    EXPECT_STREQ("dfuMANIFEST-WAIT-RESET", DfuStateName(dfuMANIFEST_WAIT_RESET));
}

TEST(DfuProtocol, DeviceNamesRoundTrip)
{
    const std::wstring name = MakeDfuDeviceName(0x0A12, 0x0001, "3-1.4");
    EXPECT_EQ(L"USB\\VID_0A12&PID_0001\\3-1.4", name);
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string location;
    ASSERT_TRUE(ParseDfuDeviceName(name, &vid, &pid, &location));
    EXPECT_EQ(0x0A12, vid);
    EXPECT_EQ(0x0001, pid);
    EXPECT_EQ("3-1.4", location);
    EXPECT_FALSE(ParseDfuDeviceName(L"USB\\VID_0A12&PID_0001\\", nullptr, nullptr, nullptr));
    EXPECT_FALSE(ParseDfuDeviceName(L"USB\\VID_0A1G&PID_0001\\1", nullptr, nullptr, nullptr));
    EXPECT_FALSE(ParseDfuDeviceName(L"USB\\VID_0A12", nullptr, nullptr, nullptr));
    EXPECT_FALSE(ParseDfuDeviceName(L"", nullptr, nullptr, nullptr));
}
