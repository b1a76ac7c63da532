// S37 patch programming: the record grammar, file and memory line sources,
// recognition, the layout and ignore ranges, the magic-byte refusal, and
// whole patches written to and verified on the simulated chips.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "conexant/CxPatch.h"
#include "conexant/CxS37.h"
#include "tests/TestSupport.h"
#include "tests/conexant/CxTestSupport.h"

namespace
{
S37File NewFile()
{
    S37File f{};
    f.size = sizeof(f);
    return f;
}

SCxPatchStatistics NewPatchStats()
{
    SCxPatchStatistics s{};
    s.size = sizeof(s);
    return s;
}

// An EEPROM image with a layout header: version 1, signature 's', identity,
// application status at 43 and a serial-number string at 0x100.
std::vector<std::uint8_t> LayoutImage(std::size_t size = 0x400)
{
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + 7);
    image[0] = 0x4C;
    image[1] = 0x05;
    image[33] = 0x00;
    image[41] = 's';
    image[42] = 0x02;
    image[43] = 0x01;
    image[44] = 0x72;
    image[45] = 0x05;
    image[46] = 0x00;
    image[47] = 0x15;
    image[48] = 0x03;
    image[49] = 0x00;
    image[56] = 0x00;
    image[57] = 0x01; // serial number string at 0x100
    image[0x100] = 10;
    image[0x101] = 3;
    for (int i = 0; i < 8; ++i)
        image[0x102 + i] = static_cast<std::uint8_t>('0' + i);
    // No magic byte where a CX20562 reads one, except at 0.
    for (std::size_t i = 1; i < size; ++i)
        if (image[i] == 0x4C && ((i & 0x1F) == 1 || i == 32))
            image[i] = 0x4D;
    return image;
}

class CxPatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CxClearPatchState();
        m_chip = m_bench.Plug(MakeCxChipConfig(ECxBenchChip::Cx2070x));
        m_dev = m_bench.Connect();
        ASSERT_TRUE(m_dev);
    }

    int Patch(std::uint32_t memoryType, std::uint32_t options, const std::vector<std::string>& lines, void* result)
    {
        const auto p = LinePointers(lines);
        return m_dev->MemoryPatch(memoryType, options, nullptr, p.data(), static_cast<std::uint32_t>(p.size()),
                                  result);
    }

    std::string WriteFile(const std::string& name, const std::string& text)
    {
        const std::string folder = MakeTestFolder("cxpatch");
        const std::string path = JoinPath(folder, name);
        EXPECT_TRUE(WriteFileBytes(path, text));
        return path;
    }

    CCxBench m_bench;
    std::shared_ptr<CCxChipModel> m_chip;
    CCxDevicePtr m_dev;
};
} // namespace

TEST(CxS37Reader, RecordGrammar)
{
    SS37Record r;
    EXPECT_EQ(ParseS37Line("S30500000000FA", r), ES37Error::None);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(ParseS37Line("S30500000000FB", r), ES37Error::Checksum);
    EXPECT_EQ(r.expectedChecksum, 0xFA);
    EXPECT_EQ(ParseS37Line("S00600004844521B", r), ES37Error::Type);
    EXPECT_EQ(ParseS37Line("S1050000FA", r), ES37Error::Type);
    EXPECT_EQ(ParseS37Line("", r), ES37Error::Type);
    EXPECT_EQ(ParseS37Line("S304000000FB", r), ES37Error::SizeTooSmall);
    EXPECT_EQ(ParseS37Line("S3G500000000FA", r), ES37Error::SizeNotHex);
    EXPECT_EQ(ParseS37Line("S3050000Z000FA", r), ES37Error::AddressNotHex);
    EXPECT_EQ(ParseS37Line("S30600000000GGF9", r), ES37Error::DataNotHex);
    EXPECT_EQ(ParseS37Line("S30600000000", r), ES37Error::DataNotHex) << "a short line";
    EXPECT_EQ(ParseS37Line("S30500000000F", r), ES37Error::ChecksumNotHex);
    EXPECT_EQ(ParseS37Line("S30500000000FA\n", r), ES37Error::None);
    EXPECT_EQ(ParseS37Line("S30500000000FA\r", r), ES37Error::None);
    EXPECT_EQ(ParseS37Line("S30500000000FA\r\n", r), ES37Error::Tail);
    EXPECT_EQ(ParseS37Line("S30500000000FA ", r), ES37Error::Tail);
    EXPECT_EQ(ParseS37Line("s30500000000fa", r), ES37Error::None) << "lowercase type letter and hex";
    EXPECT_EQ(ParseS37Line("S70500000000FA", r), ES37Error::None);
    EXPECT_EQ(r.type, ES37Type::Termination);
    EXPECT_EQ(ParseS37Line("S7 anything", r), ES37Error::None) << "S7 contents are ignored";

    const std::string line = S37Line(0x12345678, {1, 2, 3, 0xFF});
    ASSERT_EQ(ParseS37Line(line.c_str(), r), ES37Error::None);
    EXPECT_EQ(r.address, 0x12345678u);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.data[3], 0xFF);
    std::vector<std::uint8_t> full(250, 0xA5);
    EXPECT_EQ(ParseS37Line(S37Line(0, full).c_str(), r), ES37Error::None);
    EXPECT_EQ(r.length, 250u);
}

TEST_F(CxPatch, MalformedInputStopsWith26)
{
    S37File file = NewFile();
    EXPECT_EQ(Patch(0, 0, {"S00600004844521B", S37Line(0, {1})}, &file), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(file.s3Records, 0u);
    EXPECT_EQ(Patch(0, 0, {S37Line(0, {1}), "S304000000FB"}, &file), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(Patch(0, 0, {"S30500000000FB"}, &file), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(Patch(0, 0, {S37Line(0, {1, 2}) + "\r\n"}, &file), CXHID_STATUS_INVALID_PATCH_FILE)
        << "CR LF handed over in memory keeps its CR";
    EXPECT_EQ(Patch(0, 0, {"S30500000000FA", "S70500000000FA"}, &file), CXHID_STATUS_OK);

    // A bad record after good ones: the file is refused whole, nothing is written.
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(Patch(1, 0x01, {S37Line(0x300, {9, 8, 7}), "S3XX", "S70500000000FA"}, &stats),
              CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_chip->Ram()[0x302], 0);
    EXPECT_EQ(m_chip->RequestCount(), 0u);

    EXPECT_EQ(m_dev->MemoryPatch(0, 0, nullptr, nullptr, 0, &file), CXHID_STATUS_INVALID_OPERATION);
    const char* none[] = {"S30500000000FA"};
    EXPECT_EQ(m_dev->MemoryPatch(0, 0, nullptr, none, 0, &file), CXHID_STATUS_INVALID_OPERATION);
    EXPECT_EQ(m_dev->MemoryPatch("whatever.s37", nullptr), CXHID_STATUS_NULL_POINTER);
    EXPECT_EQ(m_dev->MemoryPatch((MakeTestFolder("cxmissing") + "/none.s37").c_str(), &file),
              CXHID_STATUS_FILE_OPEN_ERROR);
}

TEST_F(CxPatch, FilesReadAsTextOnEverySystem)
{
    const std::vector<std::string> lines = S37Lines(LayoutImage(0x200), 0, 16);
    S37File lf = NewFile();
    S37File crlf = NewFile();
    ASSERT_EQ(m_dev->MemoryPatch(WriteFile("lf.s37", JoinLines(lines, "\n")).c_str(), &lf), CXHID_STATUS_OK);
    ASSERT_EQ(m_dev->MemoryPatch(WriteFile("crlf.s37", JoinLines(lines, "\r\n")).c_str(), &crlf), CXHID_STATUS_OK);
    EXPECT_EQ(std::memcmp(&lf, &crlf, sizeof(lf)), 0);
    EXPECT_EQ(lf.s3Records, 32u);
    EXPECT_EQ(lf.s7Records, 1u);
    EXPECT_EQ(lf.totalDataBytes, 0x200u);
    EXPECT_EQ(lf.highestAddress, 0x1FFu);
    // No line end at the end of the file, and Ctrl-Z ending a text file.
    S37File other = NewFile();
    std::string noEnd = JoinLines(lines, "\n");
    noEnd.pop_back();
    EXPECT_EQ(m_dev->MemoryPatch(WriteFile("noend.s37", noEnd).c_str(), &other), CXHID_STATUS_OK);
    EXPECT_EQ(other.s3Records, 32u);
    // A record after the termination record: two files run together.
    EXPECT_EQ(m_dev->MemoryPatch(WriteFile("after.s37", JoinLines(lines, "\n") + lines[0]).c_str(), &other),
              CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_dev->MemoryPatch(WriteFile("ctrlz.s37", JoinLines(lines, "\r\n") + "\x1A" + "garbage").c_str(),
                                 &other),
              CXHID_STATUS_OK);
    EXPECT_EQ(other.s3Records, 32u);
    // A lone CR before LF only once: CR CR LF leaves a CR, a tail.
    EXPECT_EQ(m_dev->MemoryPatch(WriteFile("crcr.s37", JoinLines(lines, "\r\r\n")).c_str(), &other),
              CXHID_STATUS_INVALID_PATCH_FILE);
    // A line longer than the reader's limit goes on as the next line.
    EXPECT_EQ(m_dev->MemoryPatch(WriteFile("long.s37", lines[0] + std::string(600, '0') + "\n").c_str(), &other),
              CXHID_STATUS_INVALID_PATCH_FILE);
}

TEST_F(CxPatch, RecognitionLayoutAndIgnoreRanges)
{
    std::vector<std::uint8_t> image = LayoutImage(0x200);
    S37File file = NewFile();
    ASSERT_EQ(Patch(1, 0, S37Lines(image), &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.chipFamily, 0);
    EXPECT_EQ(file.fileType, 0);
    EXPECT_EQ(file.LayoutVersion, 2);
    EXPECT_EQ(file.LayoutSignature, 's');
    EXPECT_EQ(file.VendorID, 0x0572);
    EXPECT_EQ(file.ProductID, 0x1500);
    EXPECT_EQ(file.RevisionID, 3);
    EXPECT_EQ(file.SerialNumberStringAddress, 0x100);
    EXPECT_EQ(file.SerialNumberStringLength, 10);
    ASSERT_EQ(CxIgnoreRangeCount(), 3u);
    EXPECT_EQ(CxIgnoreRangeAt(0).first, 43u);
    EXPECT_EQ(CxIgnoreRangeAt(0).last, 43u);
    EXPECT_EQ(CxIgnoreRangeAt(1).first, 56u);
    EXPECT_EQ(CxIgnoreRangeAt(1).last, 57u);
    EXPECT_EQ(CxIgnoreRangeAt(2).first, 0x100u);
    EXPECT_EQ(CxIgnoreRangeAt(2).last, 0x109u);

    // "(C) CONEXANT" at 2: CX2070x firmware.
    std::vector<std::uint8_t> fw = image;
    std::memcpy(fw.data() + 2, "(C) CONEXANT", 12);
    fw[14] = 0;
    ASSERT_EQ(Patch(1, 0, S37Lines(fw), &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.chipFamily, 1);
    EXPECT_EQ(file.fileType, 1);
    // 'P' at 20: a CX2070x patch, no layout.
    std::vector<std::uint8_t> patch(0x40, 0);
    patch[20] = 'P';
    ASSERT_EQ(Patch(1, 0, S37Lines(patch), &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.fileType, 2);
    EXPECT_EQ(file.LayoutVersion, 0);
    EXPECT_EQ(CxIgnoreRangeCount(), 0u) << "the analysis cleared the table and had no layout";

    // The "CX" signature of the last record wins over the shadow.
    std::vector<std::string> lines = S37Lines(fw);
    lines.insert(lines.end() - 1, S37Line(0x8000, {'C', 'X', '3', 0}));
    ASSERT_EQ(Patch(1, 0, lines, &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.chipFamily, 2);
    EXPECT_EQ(file.fileType, 3);
    // ... or of the record before it.
    lines.insert(lines.end() - 1, S37Line(0x9000, {1, 2, 3}));
    lines[lines.size() - 3] = S37Line(0x8000, {'C', 'X', '5'});
    ASSERT_EQ(Patch(1, 0, lines, &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.chipFamily, 3);
    EXPECT_EQ(file.fileType, 4);

    // Eleven ranges asked for: ten kept.
    CxClearPatchState();
    for (std::uint32_t i = 0; i < 11; ++i)
        CxIgnoreRange(i * 10, 2, i);
    EXPECT_EQ(CxIgnoreRangeCount(), 10u);
    EXPECT_EQ(CxIgnoreRangeAt(9).first, 90u);
    EXPECT_TRUE(CxIgnoreRangesOverlap(91, 5));
    EXPECT_FALSE(CxIgnoreRangesOverlap(92, 8));
    EXPECT_FALSE(CxIgnoreRangesOverlap(100, 1));
}

TEST_F(CxPatch, MagicByteRefusalForCx20562Files)
{
    std::vector<std::uint8_t> image(0x40, 0);
    image[33] = 0x4C;
    S37File file = NewFile();
    EXPECT_EQ(Patch(0, 0, S37Lines(image), &file), CXHID_STATUS_PATCH_UNSAFE);
    EXPECT_EQ(file.magicBytes, 1u);
    file = NewFile();
    EXPECT_EQ(Patch(1, 0, S37Lines(image), &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.magicBytes, 0u);
    image[33] = 0;
    image[32] = 0x4C;
    image[0] = 0x4C; // address 0 is not a magic position
    EXPECT_EQ(Patch(0, 0, S37Lines(image), &file), CXHID_STATUS_PATCH_UNSAFE);
    EXPECT_EQ(file.magicBytes, 1u);
    // A CX2070x file may carry them.
    std::vector<std::string> lines = S37Lines(image);
    lines.insert(lines.end() - 1, S37Line(0x8000, {'C', 'X', '2'}));
    EXPECT_EQ(Patch(0, 0, lines, &file), CXHID_STATUS_OK);
}

TEST_F(CxPatch, WholePatchWrittenToTheEepromAndVerified)
{
    const std::vector<std::uint8_t> image = LayoutImage(0x2000);
    const std::string path = WriteFile("image.s37", JoinLines(S37Lines(image, 0, 250), "\r\n"));
    int progressCalls = 0;
    m_dev->SetPatchProgressCallback(&progressCalls, [](void* c, std::uint32_t, const SCxPatchStatistics*) -> std::int32_t {
        ++*static_cast<int*>(c);
        return 0;
    });
    SCxPatchStatistics stats = NewPatchStats();
    ASSERT_EQ(m_dev->MemoryPatch(0, 0x03, path.c_str(), nullptr, 0, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(m_chip->Eeprom(), image);
    EXPECT_EQ(stats.totalDataBytes, 0x2000u);
    EXPECT_EQ(stats.bytesDone, 0x2000u);
    EXPECT_EQ(stats.bytesRemaining, 0u);
    EXPECT_EQ(stats.differences, 0u);
    EXPECT_EQ(stats.compared, 1u);
    EXPECT_EQ(stats.bytesCompared, 0x2000u) << "written, then read back whole";
    EXPECT_EQ(progressCalls, 64) << "each 256 bytes written, then each 256 bytes read back";

    stats = NewPatchStats();
    ASSERT_EQ(m_dev->MemoryPatch(0, 0x02, path.c_str(), nullptr, 0, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.bytesDone, 0x2000u);
    EXPECT_EQ(stats.differences, 0u);

    // A chip that keeps a wrong bit: the read-back counts it, the verified write fails with 31.
    std::vector<std::uint8_t> damaged = image;
    damaged[0x777] ^= 0x10;
    m_chip->SetEeprom(damaged);
    stats = NewPatchStats();
    ASSERT_EQ(m_dev->MemoryPatch(0, 0x02, path.c_str(), nullptr, 0, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.differences, 1u);
    ASSERT_EQ(stats.openDifferenceCount, 1u);
    EXPECT_EQ(stats.openDifferences[0].address, 0x777u);
    EXPECT_EQ(stats.openDifferences[0].expected, image[0x777]);
    SCxChipFaults faults;
    faults.eepromAndWise = true;
    m_chip->SetFaults(faults);
    std::vector<std::uint8_t> cleared(0x2000, 0x00); // not erased
    cleared[0] = 0x4C;
    cleared[1] = 0x05;
    m_chip->SetEeprom(cleared);
    stats = NewPatchStats();
    EXPECT_EQ(m_dev->MemoryPatch(0, 0x03, path.c_str(), nullptr, 0, &stats), CXHID_STATUS_PATCH_VERIFY_FAILED);
    EXPECT_EQ(stats.bytesDone, 0x2000u);
    EXPECT_GT(stats.differences, 1000u);
    EXPECT_EQ(stats.openDifferenceCount, 8u);

    // An abort from the patch progress callback.
    m_chip->SetFaults({});
    m_dev->SetPatchProgressCallback(nullptr, [](void*, std::uint32_t, const SCxPatchStatistics*) -> std::int32_t {
        return 1;
    });
    EXPECT_EQ(m_dev->MemoryPatch(0, 0x01, path.c_str(), nullptr, 0, &stats), CXHID_STATUS_ABORTED);
    EXPECT_EQ(stats.bytesDone, 256u);
}

TEST_F(CxPatch, IgnoreRangesKeepTheSerialNumberAcrossAWrite)
{
    // The chip's EEPROM carries its own serial number and application status.
    std::vector<std::uint8_t> chipImage = LayoutImage(0x2000);
    chipImage[43] = 0x07;
    for (int i = 0; i < 8; ++i)
        chipImage[0x102 + i] = static_cast<std::uint8_t>('A' + i);
    m_chip->SetEeprom(chipImage);
    const std::vector<std::uint8_t> image = LayoutImage(0x2000);
    const std::vector<std::string> lines = S37Lines(image);

    S37File file = NewFile();
    ASSERT_EQ(Patch(0, 0, lines, &file), CXHID_STATUS_OK) << "analysis registers the ranges";
    ASSERT_EQ(CxIgnoreRangeCount(), 3u);
    SCxPatchStatistics stats = NewPatchStats();
    ASSERT_EQ(Patch(0, 0x21, lines, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.ignoredBytes, 1u + 2u + 10u);
    const auto eeprom = m_chip->Eeprom();
    EXPECT_EQ(eeprom[43], 0x07);
    EXPECT_EQ(eeprom[0x102], 'A');
    EXPECT_EQ(eeprom[0x109], 'H');
    EXPECT_EQ(eeprom[0x10A], image[0x10A]);
    EXPECT_EQ(eeprom[42], image[42]);
    EXPECT_EQ(eeprom[0x1FFF], image[0x1FFF]);

    // A verification tolerates the differences inside the ranges, only those.
    stats = NewPatchStats();
    ASSERT_EQ(Patch(0, 0x22, lines, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.differences, 0u);
    EXPECT_EQ(stats.toleratedDifferences, 9u) << "status byte and 8 serial characters differ";
    stats = NewPatchStats();
    ASSERT_EQ(Patch(0, 0x02, lines, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.differences, 9u);
    EXPECT_EQ(stats.openDifferenceCount, 8u);
}

TEST_F(CxPatch, OverlappingRecordsMustAgreeAndCountOnce)
{
    // The same bytes twice are harmless: counted once, written, read back without a difference.
    const std::vector<std::uint8_t> image = LayoutImage(0x2000);
    std::vector<std::string> lines = S37Lines(image, 0, 32);
    lines.insert(lines.begin() + 10, S37Line(0x100, std::vector<std::uint8_t>(image.begin() + 0x100, image.begin() + 0x120)));
    lines.insert(lines.begin() + 20, S37Line(0x1F0, std::vector<std::uint8_t>(image.begin() + 0x1F0, image.begin() + 0x208)));
    S37File file = NewFile();
    ASSERT_EQ(Patch(0, 0, lines, &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.s3Records, 258u);
    EXPECT_EQ(file.totalDataBytes, 0x2000u) << "each address once";
    SCxPatchStatistics stats = NewPatchStats();
    ASSERT_EQ(Patch(0, 0x03, lines, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.totalDataBytes, 0x2000u);
    EXPECT_EQ(stats.bytesDone, 0x2000u);
    EXPECT_EQ(stats.differences, 0u);
    EXPECT_EQ(m_chip->Eeprom(), image);
    stats = NewPatchStats();
    ASSERT_EQ(Patch(0, 0x02, lines, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.bytesDone, 0x2000u);
    EXPECT_EQ(stats.differences, 0u) << "no difference the chip does not have";

    // Records that disagree about an address: the file says two things, it is refused whole.
    m_chip->PokeRam(0x4FF, {0x00, 0x22});
    const std::vector<std::string> disagree = {S37Line(0x500, {0x11}), S37Line(0x4FF, {0x00, 0x22}), "S70500000000FA"};
    const std::uint32_t requests = m_chip->RequestCount();
    stats = NewPatchStats();
    EXPECT_EQ(Patch(1, 0x02, disagree, &stats), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(Patch(1, 0x03, disagree, &stats), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(Patch(1, 0, disagree, &file), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_chip->RequestCount(), requests);
    EXPECT_EQ(m_chip->Ram()[0x500], 0x22);
}

TEST_F(CxPatch, AFileThatEndsEarlyIsRefused)
{
    const std::vector<std::string> lines = S37Lines(LayoutImage(0x200), 0, 32);
    const std::vector<std::string> cut(lines.begin(), lines.end() - 1); // no S7
    S37File file = NewFile();
    EXPECT_EQ(Patch(1, 0, cut, &file), CXHID_STATUS_INVALID_PATCH_FILE);
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(Patch(1, 0x03, cut, &stats), CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_dev->MemoryPatch(1, 0x03, WriteFile("empty.s37", "").c_str(), nullptr, 0, &stats),
              CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_dev->MemoryPatch(1, 0x03, WriteFile("cut.s37", JoinLines(cut, "\n")).c_str(), nullptr, 0, &stats),
              CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_EQ(m_chip->RequestCount(), 0u);
    EXPECT_EQ(Patch(1, 0x03, lines, &stats), CXHID_STATUS_OK);
}

TEST_F(CxPatch, EveryRecordFitsTheMemoryBeforeTheFirstWrite)
{
    // Good records, then one beyond the EEPROM's address space: nothing is written.
    std::vector<std::string> lines = S37Lines(std::vector<std::uint8_t>(0x2000, 0x5A), 0, 64);
    lines.insert(lines.end() - 1, S37Line(0x20000, {1, 2, 3, 4}));
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(Patch(0, 0x03, lines, &stats), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(stats.refusedAddress, 0x20000u);
    EXPECT_EQ(stats.bytesDone, 0u);
    EXPECT_EQ(m_chip->RequestCount(), 0u);
    EXPECT_EQ(m_chip->Eeprom(), std::vector<std::uint8_t>(0x2000, 0xFF));

    // Chip memory: a record far above it, after good ones.
    const std::vector<std::string> high = {S37Line(0x100, {1, 2, 3}), S37Line(0xFFFFFFF0, std::vector<std::uint8_t>(16, 7)),
                                           "S70500000000FA"};
    EXPECT_EQ(Patch(1, 0x03, high, &stats), CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(m_chip->Ram()[0x100], 0);
    // A memory the chip cannot write, one it has not.
    EXPECT_EQ(Patch(2, 0x03, {S37Line(0x100, {1}), "S70500000000FA"}, &stats), CXHID_STATUS_INVALID_MEMORY_ACCESS);
    EXPECT_EQ(Patch(5, 0x03, {S37Line(0x100, {1}), "S70500000000FA"}, &stats), CXHID_STATUS_INVALID_MEMORY_TYPE);
    EXPECT_EQ(m_chip->RequestCount(), 0u);

    // The file's bytes past the 32-bit address space: a malformed record, not a highest address that wraps.
    S37File file = NewFile();
    EXPECT_EQ(Patch(1, 0, {S37Line(0xFFFFFFF0, std::vector<std::uint8_t>(0x90, 1)), "S70500000000FA"}, &file),
              CXHID_STATUS_INVALID_PATCH_FILE);
    ASSERT_EQ(Patch(1, 0, {S37Line(0xFFFFFFF0, std::vector<std::uint8_t>(16, 1)), "S70500000000FA"}, &file),
              CXHID_STATUS_OK);
    EXPECT_EQ(file.highestAddress, 0xFFFFFFFFu);
}

TEST_F(CxPatch, TheEepromsOwnSizeBoundsTheFile)
{
    const std::vector<std::uint8_t> big = LayoutImage(0x4000);
    std::vector<std::uint8_t> image16k = big;
    image16k[1] = 0x06; // a 16 KiB part
    const std::vector<std::string> lines16k = S37Lines(image16k, 0, 64);

    // A valid header names 8 KiB: a 16 KiB file would wrap over its own beginning.
    const std::vector<std::uint8_t> onChip = MakeCxEepromImage(0x2000, 0x05);
    m_chip->SetEeprom(onChip);
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(Patch(0, 0x03, lines16k, &stats), CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_EQ(stats.memorySize, 0x2000u);
    EXPECT_EQ(stats.refusedAddress, 0x2000u);
    EXPECT_EQ(stats.bytesDone, 0u);
    EXPECT_EQ(m_chip->Eeprom(), onChip);
    for (const auto& r : m_chip->Requests())
        EXPECT_EQ(r[1] & 0x40, 0) << "no write request";
    // ... and so would a verification of it.
    EXPECT_EQ(Patch(0, 0x02, lines16k, &stats), CXHID_STATUS_PATCH_EEPROM_SIZE);

    // An 8 KiB file whose header names 16 KiB would make the chip believe in bytes it has not.
    std::vector<std::uint8_t> claims = LayoutImage(0x2000);
    claims[1] = 0x06;
    EXPECT_EQ(Patch(0, 0x03, S37Lines(claims, 0, 64), &stats), CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_EQ(m_chip->Eeprom(), onChip);

    // A header that names 16 KiB on an 8 KiB part: the part shows its first bytes again at 8 KiB.
    const std::vector<std::uint8_t> overstated = MakeCxEepromImage(0x2000, 0x06);
    m_chip->SetEeprom(overstated);
    EXPECT_EQ(Patch(0, 0x03, lines16k, &stats), CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_EQ(stats.memorySize, 0x2000u);
    EXPECT_EQ(m_chip->Eeprom(), overstated);

    // A blank 8 KiB part: a write test finds where it wraps, and leaves it blank.
    m_chip->SetEeprom(std::vector<std::uint8_t>(0x2000, 0xFF));
    EXPECT_EQ(Patch(0, 0x03, lines16k, &stats), CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_EQ(stats.memorySize, 0x2000u);
    EXPECT_EQ(m_chip->Eeprom(), std::vector<std::uint8_t>(0x2000, 0xFF));

    // A blank part that takes it, and one that takes nothing.
    CCxBench bench;
    SCxChipConfig large = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    large.eepromSize = 0x20000;
    auto chip = bench.Plug(large);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    const auto p = LinePointers(lines16k);
    stats = NewPatchStats();
    ASSERT_EQ(dev->MemoryPatch(0, 0x03, nullptr, p.data(), static_cast<std::uint32_t>(p.size()), &stats), CXHID_STATUS_OK);
    EXPECT_EQ(stats.memorySize, 0x20000u);
    EXPECT_TRUE(std::equal(image16k.begin(), image16k.end(), chip->Eeprom().begin()));
    CCxBench none;
    SCxChipConfig absent = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    absent.eepromSize = 0;
    none.Plug(absent);
    auto dev2 = none.Connect();
    ASSERT_TRUE(dev2);
    EXPECT_EQ(dev2->MemoryPatch(0, 0x03, nullptr, p.data(), static_cast<std::uint32_t>(p.size()), &stats),
              CXHID_STATUS_EEPROM_NOT_DETECTED);
}

TEST_F(CxPatch, AnotherChipsFileIsRefused)
{
    std::vector<std::string> lines = S37Lines(LayoutImage(0x400), 0, 64);
    lines.insert(lines.end() - 1, S37Line(0x2700, {'C', 'X', '3', 0}));
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(Patch(1, 0x03, lines, &stats), CXHID_STATUS_PATCH_WRONG_DEVICE) << "a CX2077x file on a CX2070x";
    EXPECT_EQ(m_chip->RequestCount(), 0u);
    lines[lines.size() - 2] = S37Line(0x2700, {'C', 'X', '2', 0});
    EXPECT_EQ(Patch(1, 0x03, {S37Line(0x300, {1, 2}), lines[lines.size() - 2], "S70500000000FA"}, &stats),
              CXHID_STATUS_OK);

    // A CX2070x firmware image on a CX2077x.
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2077x);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::vector<std::uint8_t> fw(0x40, 0);
    std::memcpy(fw.data() + 2, "(C) CONEXANT", 12);
    const auto fwLines = S37Lines(fw);
    const auto p = LinePointers(fwLines);
    EXPECT_EQ(dev->MemoryPatch(1, 0x03, nullptr, p.data(), static_cast<std::uint32_t>(p.size()), &stats),
              CXHID_STATUS_PATCH_WRONG_DEVICE);
}

TEST_F(CxPatch, UnsafeContentsAreWrittenOnlyWhenAskedFor)
{
    // A CX20562 file that puts the EEPROM magic byte at 33, on the CX2070x in a CX20562 package.
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070xAs1410);
    config.eepromContents = MakeCxEepromImage(0x2000, 0x05);
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    std::vector<std::uint8_t> image = MakeCxEepromImage(0x100, 0x05);
    image[33] = 0x4C;
    const auto lines = S37Lines(image, 0, 32);
    const auto p = LinePointers(lines);
    const std::uint32_t n = static_cast<std::uint32_t>(p.size());
    S37File file = NewFile();
    EXPECT_EQ(dev->MemoryPatch(0, 0, nullptr, p.data(), n, &file), CXHID_STATUS_PATCH_UNSAFE);
    SCxPatchStatistics stats = NewPatchStats();
    EXPECT_EQ(dev->MemoryPatch(0, 0x03, nullptr, p.data(), n, &stats), CXHID_STATUS_PATCH_UNSAFE);
    EXPECT_EQ(chip->Eeprom(), config.eepromContents);
    for (const auto& r : chip->Requests())
        EXPECT_EQ(r[1] & 0x40, 0) << "no write request";
    EXPECT_EQ(dev->MemoryPatch(0, 0x02, nullptr, p.data(), n, &stats), CXHID_STATUS_OK) << "a verification writes nothing";
    EXPECT_GT(stats.differences, 0u);
    ASSERT_EQ(dev->MemoryPatch(0, 0x03 | kCxPatchAllowMagicBytes, nullptr, p.data(), n, &stats), CXHID_STATUS_OK);
    EXPECT_EQ(chip->Eeprom()[33], 0x4C);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Eeprom().begin()));
}

TEST(CxPatchOffline, AnalysisNeedsNoChip)
{
    CxClearPatchState();
    const std::vector<std::string> lines = S37Lines(LayoutImage(0x200), 0, 16);
    const auto p = LinePointers(lines);
    S37File file = NewFile();
    ASSERT_EQ(CxAnalyseS37(0, nullptr, p.data(), static_cast<std::uint32_t>(p.size()), &file), CXHID_STATUS_OK);
    EXPECT_EQ(file.s3Records, 32u);
    EXPECT_EQ(file.LayoutVersion, 2);
    EXPECT_EQ(CxIgnoreRangeCount(), 3u);
    const std::string folder = MakeTestFolder("cxoffline");
    ASSERT_TRUE(WriteFileBytes(JoinPath(folder, "a.s37"), JoinLines(lines, "\r\n")));
    S37File fromFile = NewFile();
    ASSERT_EQ(CxAnalyseS37(0, JoinPath(folder, "a.s37").c_str(), nullptr, 0, &fromFile), CXHID_STATUS_OK);
    EXPECT_EQ(std::memcmp(&file, &fromFile, sizeof(file)), 0);
    EXPECT_EQ(CxAnalyseS37(0, nullptr, nullptr, 0, &file), CXHID_STATUS_INVALID_OPERATION);
}

TEST(CxStatisticsRecords, FieldsInTheirOrder)
{
    EXPECT_EQ(offsetof(SCxAccessStatistics, chunkBytes), 4u);
    EXPECT_EQ(offsetof(SCxAccessStatistics, compared), 40u);
    EXPECT_EQ(offsetof(SCxAccessStatistics, data), 44u) << "the data bytes follow the comparison flag";
    EXPECT_EQ(offsetof(SCxAccessStatistics, compare), 104u);
    EXPECT_EQ(offsetof(SCxPatchStatistics, toleratedDifferences), 24u);
    EXPECT_EQ(offsetof(SCxPatchStatistics, lastChunkBytes), 28u) << "the last per-call statistics follow the counters";
    EXPECT_EQ(offsetof(SCxPatchStatistics, compared), 60u);
    EXPECT_EQ(offsetof(SCxPatchStatistics, openDifferences), 68u);
    EXPECT_EQ(sizeof(SCxAccessStatistics), 900u);
    EXPECT_EQ(sizeof(SCxPatchStatistics), 900u);
}
