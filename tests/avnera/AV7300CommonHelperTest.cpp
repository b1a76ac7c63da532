// The AV7300 image format: part table and lookup, expected headers, the text
// image file, and the file-chain walks in a buffer and in a device's flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avnera/AV7300CommonHelper.h"
#include "tests/usb/LogCapture.h"

namespace
{
using Bytes = std::vector<std::uint8_t>;

struct SFile
{
    std::uint8_t id;
    bool aligned;
    std::uint32_t size;
    bool badChecksum = false;
};

struct SImage
{
    Bytes bytes;
    std::vector<std::uint32_t> offsets; // of each file header
};

// An image built from the format's rules, independently of the helper:
// header bytes 0 and 1 given, checksum and bootloader length filled in, the
// bootloader, then the files; an aligned file's successor starts on the next
// sector (64 << low nibble of byte 1), the gap left erased.
SImage BuildImage(std::uint8_t b0, std::uint8_t b1, std::uint32_t bootLength, const std::vector<SFile>& files)
{
    const std::uint32_t sector = 64u << (b1 & 0x0F);
    SImage image;
    Bytes& out = image.bytes;
    out = {b0, b1, static_cast<std::uint8_t>(0xFF - b1 - b0), static_cast<std::uint8_t>(bootLength & 0xFF),
           static_cast<std::uint8_t>(bootLength >> 8)};
    for (std::uint32_t i = 0; i < bootLength; ++i)
        out.push_back(static_cast<std::uint8_t>(0x40 + i * 3));
    for (const SFile& file : files)
    {
        image.offsets.push_back(static_cast<std::uint32_t>(out.size()));
        const std::uint8_t h0 = static_cast<std::uint8_t>(file.id | (file.aligned ? 0x80 : 0));
        const std::uint8_t h1 = static_cast<std::uint8_t>(file.size & 0xFF);
        const std::uint8_t h2 = static_cast<std::uint8_t>(file.size >> 8);
        std::uint8_t check = static_cast<std::uint8_t>(0xFF - h2 - h1 - h0);
        if (file.badChecksum)
            check ^= 0x5A;
        out.insert(out.end(), {h0, h1, h2, check});
        for (std::uint32_t i = 0; i < file.size; ++i)
            out.push_back(static_cast<std::uint8_t>(file.id + i));
        if (file.aligned)
            while (out.size() % sector != 0)
                out.push_back(0xFF);
    }
    return image;
}

// 64 KB, page 128, 4 KB sectors, 3 address bytes (row 28).
constexpr std::uint8_t kRow28[2] = {0x6A, 0x36};
// 128 KB, page 256, 64 KB sectors, 3 address bytes (row 31).
constexpr std::uint8_t kRow31[2] = {0x7B, 0x3A};

// Bootloader, version file (5), version file (16), aligned, then the
// secondary image (12).
SImage ChainImage()
{
    return BuildImage(kRow28[0], kRow28[1], 300,
                      {{5, false, 16}, {16, true, 20}, {12, false, 700}});
}

std::string ToText(const Bytes& bytes, bool lower, const char* eol)
{
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* digits = lower ? kLower : kUpper;
    std::string text;
    for (std::uint8_t b : bytes)
    {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
        text += eol;
    }
    return text;
}

// A device's flash behind the read callback: erased beyond the image; every
// read is checked against the flash's end.
struct SDeviceFlash
{
    Bytes flash;
    std::uint32_t failAt = 0xFFFFFFFFu; // a read touching this offset fails
    std::uint32_t reads = 0;
    bool outside = false;

    static bool Read(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination, void* context)
    {
        auto* self = static_cast<SDeviceFlash*>(context);
        ++self->reads;
        if (offset > self->flash.size() || self->flash.size() - offset < length)
        {
            self->outside = true;
            return false;
        }
        if (self->failAt >= offset && self->failAt < offset + length)
            return false;
        std::memcpy(destination, self->flash.data() + offset, length);
        return true;
    }
};

SDeviceFlash FlashOf(const Bytes& image, std::uint32_t flashSize)
{
    SDeviceFlash device;
    device.flash.assign(flashSize, 0xFF);
    std::memcpy(device.flash.data(), image.data(), image.size() < flashSize ? image.size() : flashSize);
    return device;
}

HResult Convert(std::uint32_t row, const std::string& text, Bytes* image)
{
    CAV7300CommonHelper helper(row, nullptr, nullptr);
    std::uint32_t size = 0xDEAD;
    std::uint8_t* pImage = reinterpret_cast<std::uint8_t*>(&size); // must be replaced
    const HResult hr = helper.PrepareFirmwareImage(static_cast<std::uint32_t>(text.size()),
                                                   reinterpret_cast<const std::uint8_t*>(text.data()), &size,
                                                   &pImage);
    image->clear();
    if (hr == HR_OK)
    {
        image->assign(pImage, pImage + size);
        delete[] pImage;
    }
    else
    {
        EXPECT_EQ(pImage, nullptr);
        EXPECT_EQ(size, 0u);
    }
    return hr;
}
} // namespace

TEST(CAV7300CommonHelper, PartTableRowsAndLookup)
{
    ASSERT_EQ(CAV7300CommonHelper::kPartRows, 36u);
    const SAV7300FlashPart& sst = CAV7300CommonHelper::kFlashParts[35];
    EXPECT_EQ(sst.memType, 0u);
    EXPECT_EQ(sst.size, 65536u);
    EXPECT_EQ(sst.page, 1u);
    EXPECT_EQ(sst.sector, 4096u);
    const SAV7300FlashPart& def = CAV7300CommonHelper::kFlashParts[31];
    EXPECT_EQ(def.size, 131072u);
    EXPECT_EQ(def.sector, 65536u);
    EXPECT_EQ(CAV7300CommonHelper::kFlashParts[17].memType, 1u);
    EXPECT_EQ(CAV7300CommonHelper::kFlashParts[17].size, 131072u);
    EXPECT_EQ(CAV7300CommonHelper::kFlashParts[18].memType, 0u);

    auto lookup = [](std::uint8_t b0, std::uint8_t b1) {
        const std::uint8_t raw[5] = {b0, b1, static_cast<std::uint8_t>(0xFF - b1 - b0), 0, 0};
        const SAV7300ImageHeader h = CAV7300CommonHelper::DecodeImageHeader(raw);
        EXPECT_TRUE(h.valid);
        return CAV7300CommonHelper::LookupFlashPart(h.flashSize, h.pageSize, h.sectorSize, h.addressBytes);
    };
    EXPECT_EQ(lookup(0x6A, 0x36), 28u);
    EXPECT_EQ(lookup(0x7A, 0x36), 0u);                // page 256: no such part
    EXPECT_EQ(lookup(0x0A, 0x36), 35u);               // decoded page 2 matches the table's page of 1
    EXPECT_EQ(lookup(0x7A, 0x39), 30u);               // rows 29 and 30 are alike: the last one wins
    EXPECT_EQ(CAV7300CommonHelper::LookupFlashPart(65536, 1, 4096, 3), 35u);
    EXPECT_EQ(CAV7300CommonHelper::LookupFlashPart(65536, 4, 4096, 3), 0u);
    EXPECT_EQ(CAV7300CommonHelper::LookupFlashPart(131072, 256, 0, 1), 0u); // the I2C row 17 is never chosen
    EXPECT_EQ(CAV7300CommonHelper::LookupFlashPart(0, 0, 0, 0), 0u);
}

TEST(CAV7300CommonHelper, ExpectedHeaderCodesStopAt128KAnd64K)
{
    std::uint8_t h[3];
    CAV7300CommonHelper::ExpectedHeader(31, h);
    EXPECT_EQ(h[0], 0x7B);
    EXPECT_EQ(h[1], 0x3A);
    EXPECT_EQ(h[2], 0x4A);
    CAV7300CommonHelper::ExpectedHeader(35, h);
    EXPECT_EQ(h[0], 0x0A);
    EXPECT_EQ(h[1], 0x36);
    EXPECT_EQ(h[2], 0xBF);
    // 256 KB has no size code in this builder.
    CAV7300CommonHelper::ExpectedHeader(33, h);
    EXPECT_EQ(h[0], 0x70);
    EXPECT_EQ(h[1], 0x36);
    // I2C EEPROM row 5 (1 KB, page 16, addressing code 3): 3*2 | 2 << 4.
    CAV7300CommonHelper::ExpectedHeader(5, h);
    EXPECT_EQ(h[0], 0x34);
    EXPECT_EQ(h[1], 0x26);
    EXPECT_EQ(h[2], 0xA5);
    CAV7300CommonHelper::ExpectedHeader(36, h);
    EXPECT_EQ(h[0] | h[1] | h[2], 0);

    // Every SPI row with sectors maps back to itself (or its twin) through its header.
    for (std::uint32_t row = 27; row < CAV7300CommonHelper::kPartRows; ++row)
    {
        CAV7300CommonHelper::ExpectedHeader(row, h);
        const std::uint8_t raw[5] = {h[0], h[1], h[2], 0, 0};
        const SAV7300ImageHeader d = CAV7300CommonHelper::DecodeImageHeader(raw);
        EXPECT_TRUE(d.valid) << row;
        const std::uint32_t found = CAV7300CommonHelper::LookupFlashPart(d.flashSize, d.pageSize, d.sectorSize,
                                                                          d.addressBytes);
        const std::uint32_t want = row == 29 ? 30 : (row == 33 || row == 34) ? 0 : row;
        EXPECT_EQ(found, want) << row;
    }
}

TEST(CAV7300CommonHelper, TextImageConvertsEitherCaseAndLineEnd)
{
    Bytes image;
    EXPECT_EQ(Convert(31, "7B\n3A\n4A\n00\n00\n", &image), HR_OK);
    EXPECT_EQ(image, (Bytes{0x7B, 0x3A, 0x4A, 0, 0}));

    const SImage built = BuildImage(kRow31[0], kRow31[1], 40, {{5, false, 16}, {12, true, 100}});
    for (bool lower : {false, true})
        for (const char* eol : {"\n", "\r\n", " rest of line\n"})
        {
            EXPECT_EQ(Convert(31, ToText(built.bytes, lower, eol), &image), HR_OK) << lower << eol;
            EXPECT_EQ(image, built.bytes);
        }

    // A last line without its line feed still carries its byte; trailing
    // filler after the last line feed carries none.
    std::string text = ToText(built.bytes, false, "\n");
    text.pop_back();
    EXPECT_EQ(Convert(31, text, &image), HR_OK);
    EXPECT_EQ(image, built.bytes);
    EXPECT_EQ(Convert(31, ToText(built.bytes, false, "\n") + "\r\x1A", &image), HR_OK);
    EXPECT_EQ(image, built.bytes);
}

TEST(CAV7300CommonHelper, TextImageRefusedForOtherPartsAndMalformedLines)
{
    CLogCapture log("av7300_text_image");
    Bytes image;
    const SImage built = BuildImage(kRow31[0], kRow31[1], 40, {{12, false, 10}});
    const std::string good = ToText(built.bytes, false, "\n");
    EXPECT_EQ(Convert(28, good, &image), HR_INVALIDARG);
    EXPECT_EQ(Convert(31, good, &image), HR_OK);

    // Blank, short and non-hex lines, anywhere.
    for (const char* bad : {"\n", "7\n", "G1\n", " 7B\n", "\r\n"})
    {
        EXPECT_EQ(Convert(31, bad + good, &image), HR_INVALIDARG) << bad;
        EXPECT_EQ(Convert(31, good.substr(0, 9) + bad + good.substr(9), &image), HR_INVALIDARG) << bad;
        EXPECT_EQ(Convert(31, good + bad, &image), HR_INVALIDARG) << bad;
    }
    EXPECT_EQ(Convert(31, good + "4", &image), HR_INVALIDARG); // an unterminated half byte
    // Shorter than the image header, though its first bytes fit.
    EXPECT_EQ(Convert(31, "7B\n3A\n4A\n", &image), HR_INVALIDARG);
    EXPECT_EQ(Convert(31, "7B\n", &image), HR_INVALIDARG);
    EXPECT_EQ(Convert(31, "\r", &image), HR_INVALIDARG);

    CAV7300CommonHelper helper(31, nullptr, nullptr);
    std::uint32_t size = 0;
    std::uint8_t* pImage = nullptr;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(good.data());
    EXPECT_EQ(helper.PrepareFirmwareImage(0, raw, &size, &pImage), HR_FAIL);
    EXPECT_EQ(helper.PrepareFirmwareImage(3, nullptr, &size, &pImage), HR_FAIL);
    EXPECT_EQ(helper.PrepareFirmwareImage(3, raw, nullptr, &pImage), HR_FAIL);
    EXPECT_EQ(helper.PrepareFirmwareImage(3, raw, &size, nullptr), HR_FAIL);

    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "CAV7300CommonHelper::CAV7300CommonHelper - flashPart[28]\r\n"));
    EXPECT_TRUE(Contains(text, "CAV7300CommonHelper::~CAV7300CommonHelper"));
    EXPECT_TRUE(Contains(text, "size of firmware[59]"));
    EXPECT_TRUE(Contains(text, "Expected Header [5F 36 6a]")) << text;
    EXPECT_TRUE(Contains(text, "Image Header [4A 3A 7b]"));
    EXPECT_TRUE(Contains(text, "Incorrect Image for flash type"));
    EXPECT_TRUE(Contains(text, "CAV7300CommonHelper::PrepareFirmwareImage - ImageSize[59] hRes[80070057]"));
    EXPECT_TRUE(Contains(text, "CAV7300CommonHelper::PrepareFirmwareImage - ImageSize[59] hRes[00000000]"));
    EXPECT_TRUE(Contains(text, "CAV7300CommonHelper::PrepareFirmwareImage - malformed line[1]\r\n"));
    EXPECT_TRUE(Contains(text, "Invalid Parameters"));
}

TEST(CAV7300CommonHelper, BufferWalkFindsEachFileAndStaysInside)
{
    const SImage image = ChainImage();
    const Bytes& bytes = image.bytes;
    const auto size = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t offset = 77;
    ASSERT_TRUE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, size, bytes.data()));
    EXPECT_EQ(offset, 305u);
    ASSERT_TRUE(CAV7300CommonHelper::FindFileInFWImage(16, &offset, size, bytes.data()));
    EXPECT_EQ(offset, image.offsets[1]);
    EXPECT_EQ(offset, 325u);
    ASSERT_TRUE(CAV7300CommonHelper::FindFileInFWImage(12, &offset, size, bytes.data()));
    EXPECT_EQ(offset, 4096u); // after the aligned file 16
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(7, &offset, size, bytes.data()));
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(0, &offset, size, bytes.data()));
    EXPECT_EQ(offset, 0u);
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, 5, bytes.data()));
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, size, nullptr));

    // Checksums are not checked in a buffer.
    const SImage unchecked = BuildImage(kRow28[0], kRow28[1], 10, {{5, false, 3, true}, {12, false, 3}});
    EXPECT_TRUE(CAV7300CommonHelper::FindFileInFWImage(12, &offset,
                                                       static_cast<std::uint32_t>(unchecked.bytes.size()),
                                                       unchecked.bytes.data()));
    EXPECT_EQ(offset, unchecked.offsets[1]);

    // Cut anywhere: a file is found only while its whole header is inside;
    // the exact-size copies let the sanitizer see any read past the end.
    for (std::uint32_t cut = 6; cut <= size; ++cut)
    {
        const std::unique_ptr<std::uint8_t[]> part(new std::uint8_t[cut]);
        std::memcpy(part.get(), bytes.data(), cut);
        for (std::uint32_t id : {5u, 16u, 12u})
        {
            const std::uint32_t at = id == 5 ? image.offsets[0] : id == 16 ? image.offsets[1] : image.offsets[2];
            EXPECT_EQ(CAV7300CommonHelper::FindFileInFWImage(id, &offset, cut, part.get()), at + 4 <= cut)
                << id << " " << cut;
        }
    }

    // A bootloader length that points past the image, and a chain that runs
    // past the flash size of the header.
    Bytes longBoot = bytes;
    longBoot[3] = 0xFF;
    longBoot[4] = 0xFF;
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, size, longBoot.data()));
    const SImage small = BuildImage(0x00, 0x30, 55, {{5, false, 0}, {12, false, 0}}); // 64-byte flash
    ASSERT_EQ(small.offsets[1], 64u);
    ASSERT_EQ(small.bytes.size(), 68u);
    EXPECT_TRUE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, 68, small.bytes.data()));
    EXPECT_FALSE(CAV7300CommonHelper::FindFileInFWImage(12, &offset, 68, small.bytes.data()));
}

TEST(CAV7300CommonHelper, DeviceWalkFindsFilesThroughTheCallback)
{
    CLogCapture log("av7300_device_walk");
    const SImage image = ChainImage();
    SDeviceFlash device = FlashOf(image.bytes, 65536);
    CAV7300CommonHelper helper(28, &SDeviceFlash::Read, &device);
    std::uint32_t offset = 0;
    ASSERT_TRUE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 4096u);
    ASSERT_TRUE(helper.FindFileInDeviceFWImage(16, &offset));
    EXPECT_EQ(offset, 325u);
    ASSERT_TRUE(helper.FindFileInDeviceFWImage(5, &offset));
    EXPECT_EQ(offset, 305u);
    // No file 7: the chain ends at the erased flash after file 12.
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(7, &offset));
    EXPECT_EQ(offset, 8192u);
    EXPECT_FALSE(device.outside);

    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "Firmware File Header\r\n"));
    EXPECT_TRUE(Contains(text, "First File is Bootloader\r\n"));
    EXPECT_TRUE(Contains(text, "Next Idx at [325]\r\n"));
    EXPECT_TRUE(Contains(text, "Next Idx at [4096]\r\n"));
    EXPECT_TRUE(Contains(text, "Set FileOffset to [4096]\r\n"));
}

TEST(CAV7300CommonHelper, DeviceWalkBrokenChainGivesTheNextFreeSector)
{
    // A chain that breaks at 0x2345 on a part with 4 KB sectors.
    const SImage broken = BuildImage(kRow28[0], kRow28[1], 0x100 - 5, {{5, false, 0x2345 - 0x104}});
    SDeviceFlash device = FlashOf(broken.bytes, 65536);
    CAV7300CommonHelper helper(28, &SDeviceFlash::Read, &device);
    std::uint32_t offset = 0;
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0x3000u);

    // A bad checksum right on a sector boundary: that sector is the free one.
    const SImage onBoundary =
        BuildImage(kRow28[0], kRow28[1], 0x100 - 5, {{5, true, 10}, {12, false, 10, true}});
    device = FlashOf(onBoundary.bytes, 65536);
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0x1000u);

    // At 0xF800 of a 64 KB part there is no sector left.
    const SImage full = BuildImage(kRow28[0], kRow28[1], 0x100 - 5, {{5, false, 0xF800 - 0x104}});
    device = FlashOf(full.bytes, 65536);
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);

    // A chain that fills the flash exactly without file 12: not found, no sector.
    const SImage filled = BuildImage(kRow28[0], kRow28[1], 0x100 - 5, {{5, false, 0x10000 - 0x104}});
    device = FlashOf(filled.bytes, 65536);
    offset = 0;
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    // Nor is a header that would straddle the end of the flash read.
    const SImage straddle = BuildImage(kRow28[0], kRow28[1], 0x100 - 5, {{5, false, 0x10000 - 0x106}});
    device = FlashOf(straddle.bytes, 65536);
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    EXPECT_FALSE(device.outside);
}

TEST(CAV7300CommonHelper, DeviceWalkFailuresReportNotFound)
{
    const SImage image = ChainImage();
    SDeviceFlash device = FlashOf(image.bytes, 65536);
    CAV7300CommonHelper helper(28, &SDeviceFlash::Read, &device);
    std::uint32_t offset = 0;

    // A read that fails midway ends the search; so does one of the header.
    device.failAt = image.offsets[1] + 1;
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(12, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    device.failAt = 2;
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(5, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    device.failAt = 0xFFFFFFFFu;

    // An image header with a bad checksum (erased flash): nothing is walked.
    device.flash[2] ^= 1;
    device.reads = 0;
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(5, &offset));
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    EXPECT_EQ(device.reads, 1u);
    std::fill(device.flash.begin(), device.flash.end(), 0xFF);
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(5, &offset));

    // No callback, no offset.
    CAV7300CommonHelper none(28, nullptr, nullptr);
    EXPECT_FALSE(none.FindFileInDeviceFWImage(5, &offset));
    EXPECT_FALSE(helper.FindFileInDeviceFWImage(5, nullptr));
}

TEST(CAV7300CommonHelper, VersionFileFromAnImageAndItsContent)
{
    // The image's own version file (5), as the upgrader reads it.
    const std::string content = "6,build,2016/02/29";
    SImage image = BuildImage(kRow31[0], kRow31[1], 40,
                              {{5, false, static_cast<std::uint32_t>(content.size())}, {12, false, 30}});
    std::copy(content.begin(), content.end(), image.bytes.begin() + image.offsets[0] + 4);
    const auto size = static_cast<std::uint32_t>(image.bytes.size());
    std::uint32_t offset = 0;
    ASSERT_TRUE(CAV7300CommonHelper::FindFileInFWImage(5, &offset, size, image.bytes.data()));
    const std::uint8_t* pContent = nullptr;
    std::uint32_t contentSize = 0;
    ASSERT_TRUE(CAV7300CommonHelper::FileContentInFWImage(offset, size, image.bytes.data(), &pContent, &contentSize));
    ASSERT_EQ(contentSize, content.size());
    EXPECT_EQ(CAV7300CommonHelper::VersionFileMinor(pContent, contentSize), 6u);
    std::string version;
    ASSERT_TRUE(CAV7300CommonHelper::VersionFileString(pContent, contentSize, &version));
    EXPECT_EQ(version, "1.6.160229");

    // Content cut short by the image's end is not handed out.
    const std::uint32_t end = offset + 4 + contentSize;
    EXPECT_TRUE(CAV7300CommonHelper::FileContentInFWImage(offset, end, image.bytes.data(), &pContent, &contentSize));
    EXPECT_FALSE(
        CAV7300CommonHelper::FileContentInFWImage(offset, end - 1, image.bytes.data(), &pContent, &contentSize));
    EXPECT_FALSE(
        CAV7300CommonHelper::FileContentInFWImage(offset, offset + 3, image.bytes.data(), &pContent, &contentSize));
    EXPECT_FALSE(CAV7300CommonHelper::FileContentInFWImage(size + 1, size, image.bytes.data(), &pContent,
                                                           &contentSize));
}

TEST(CAV7300CommonHelper, VersionFileMinorAndString)
{
    const std::string content = "3,abc,2015/11/24";
    const auto* p = reinterpret_cast<const std::uint8_t*>(content.data());
    const auto size = static_cast<std::uint32_t>(content.size());
    EXPECT_EQ(CAV7300CommonHelper::VersionFileMinor(p, size), 3u);
    std::string version = "old";
    ASSERT_TRUE(CAV7300CommonHelper::VersionFileString(p, size, &version));
    EXPECT_EQ(version, "1.3.151124");

    const std::string other = "x,y,2020-01-02 trailing";
    const auto* q = reinterpret_cast<const std::uint8_t*>(other.data());
    EXPECT_EQ(CAV7300CommonHelper::VersionFileMinor(q, static_cast<std::uint32_t>(other.size())), 0u);
    ASSERT_TRUE(CAV7300CommonHelper::VersionFileString(q, static_cast<std::uint32_t>(other.size()), &version));
    EXPECT_EQ(version, "1.0.200102");
    EXPECT_EQ(CAV7300CommonHelper::VersionFileMinor(p, 0), 0u);

    // Content that ends before the date's last character, or has fewer than
    // two commas, gives no string: the characters are never read past the file.
    for (std::uint32_t cut = 0; cut < size; ++cut)
    {
        const std::unique_ptr<std::uint8_t[]> part(new std::uint8_t[cut + 1]);
        std::memcpy(part.get(), p, cut);
        EXPECT_FALSE(CAV7300CommonHelper::VersionFileString(part.get(), cut, &version)) << cut;
        EXPECT_TRUE(version.empty());
    }
    const std::string oneComma = "5,2015/11/24abcdef";
    EXPECT_FALSE(CAV7300CommonHelper::VersionFileString(reinterpret_cast<const std::uint8_t*>(oneComma.data()),
                                                        static_cast<std::uint32_t>(oneComma.size()), &version));
}

TEST(CAV7300CommonHelper, WholeImageIsCheckedBeforeAnythingIsWritten)
{
    // The chain image of row 28: bootloader, files 5, 16 (aligned), 12.
    const SImage built = ChainImage();
    const Bytes& good = built.bytes;
    std::uint32_t end = 0;
    std::string problem;
    ASSERT_TRUE(CAV7300CommonHelper::CheckImage(28, good.data(), static_cast<std::uint32_t>(good.size()), &end,
                                                &problem))
        << problem;
    EXPECT_EQ(end, good.size());
    // Erased padding after the chain is no file.
    Bytes padded = good;
    padded.resize(good.size() + 5000, 0xFF);
    EXPECT_TRUE(CAV7300CommonHelper::CheckImage(28, padded.data(), static_cast<std::uint32_t>(padded.size()), &end,
                                                nullptr));
    EXPECT_EQ(end, good.size());

    auto refused = [](const Bytes& image, const char* why) {
        std::string reason;
        EXPECT_FALSE(CAV7300CommonHelper::CheckImage(28, image.data(), static_cast<std::uint32_t>(image.size()),
                                                     nullptr, &reason))
            << why;
        EXPECT_TRUE(reason.find(why) != std::string::npos) << reason;
    };
    // Cut inside a file's content, inside a file header, inside the bootloader.
    refused(Bytes(good.begin(), good.begin() + built.offsets[2] + 100), "runs past the image's end");
    refused(Bytes(good.begin(), good.begin() + built.offsets[2] + 2), "ends inside the file header");
    refused(Bytes(good.begin(), good.begin() + 200), "the bootloader of 300 bytes");
    // A file header whose checksum fails, in the middle of the chain.
    Bytes corrupt = good;
    corrupt[built.offsets[0] + 3] ^= 0x01;
    refused(corrupt, "fails its checksum");
    // Something after the chain's end that is neither a file nor erased.
    Bytes junk = padded;
    junk[good.size() + 10] = 0x00;
    refused(junk, "fails its checksum");
    // Larger than the part, and another part's header.
    Bytes large = good;
    large.resize(65537, 0xFF);
    refused(large, "the image has 65537 bytes, the memory holds 65536");
    EXPECT_FALSE(CAV7300CommonHelper::CheckImage(31, good.data(), static_cast<std::uint32_t>(good.size()), nullptr,
                                                 nullptr));
    EXPECT_FALSE(CAV7300CommonHelper::CheckImage(0, good.data(), static_cast<std::uint32_t>(good.size()), nullptr,
                                                 nullptr));
    // Parts whose size the header cannot name (256 KiB and more) take none.
    std::uint8_t row33[3];
    CAV7300CommonHelper::ExpectedHeader(33, row33);
    Bytes big = {row33[0], row33[1], row33[2], 0, 0};
    EXPECT_FALSE(CAV7300CommonHelper::CheckImage(33, big.data(), 5, nullptr, nullptr));
}

TEST(CAV7300CommonHelper, AnUnknownPartIsTheOneTheImageNames)
{
    const SImage built = ChainImage();
    EXPECT_EQ(CAV7300CommonHelper::PartOfImage(built.bytes.data(), static_cast<std::uint32_t>(built.bytes.size())),
              28u);
    Bytes bad = built.bytes;
    bad[2] ^= 0x10; // checksum of the header
    EXPECT_EQ(CAV7300CommonHelper::PartOfImage(bad.data(), static_cast<std::uint32_t>(bad.size())), 0u);
    const Bytes blank(16, 0xFF);
    EXPECT_EQ(CAV7300CommonHelper::PartOfImage(blank.data(), 16), 0u);

    // Flash part 0: the text image is checked against the part it names.
    Bytes image;
    EXPECT_EQ(Convert(0, ToText(built.bytes, false, "\n"), &image), HR_OK);
    EXPECT_EQ(image, built.bytes);
    CAV7300CommonHelper helper(0, nullptr, nullptr);
    std::uint32_t size = 0;
    std::uint8_t* pImage = nullptr;
    const std::string text = ToText(built.bytes, false, "\n");
    ASSERT_EQ(helper.PrepareFirmwareImage(static_cast<std::uint32_t>(text.size()),
                                          reinterpret_cast<const std::uint8_t*>(text.data()), &size, &pImage),
              HR_OK);
    delete[] pImage;
    EXPECT_EQ(helper.ImagePart(), 28u);
    EXPECT_EQ(Convert(0, ToText(blank, false, "\n"), &image), HR_INVALIDARG);
    // A text image cut inside a file is refused as a whole.
    EXPECT_EQ(Convert(28, ToText(Bytes(built.bytes.begin(), built.bytes.end() - 10), false, "\n"), &image),
              HR_INVALIDARG);
}
