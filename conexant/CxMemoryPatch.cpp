// S37 patch programming. A file (or lines in memory) is read whole first:
// every record checked, the records merged into the bytes the file asks for
// (overlaps must agree), the file recognised. Only a file that passed every
// check (and, for a write or verification, fits the chip: memory, addresses,
// family, EEPROM size, safe contents) reaches the chip: it is written, then
// read back and compared.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxPatch.h"
#include "conexant/CxS37.h"
#include "platform/Clock.h"

namespace
{
constexpr const char* kPatch = "CxAudioHidDevice::MemoryPatch";
constexpr std::size_t kMaxOpenDifferences = 8;
constexpr std::uint32_t kPieceBytes = 256; // a write or read of the passes: whole chunks of every memory type
constexpr std::uint8_t kEepromMagic = 0x4C;

std::uint8_t g_shadow[kCxShadowSize];
SCxIgnoreRange g_ranges[kCxIgnoreRangeLimit];
std::size_t g_rangeCount = 0;

bool InIgnoreRanges(std::uint32_t address)
{
    return CxIgnoreRangesOverlap(address, 1);
}

std::uint16_t Shadow16(std::size_t at)
{
    return static_cast<std::uint16_t>(g_shadow[at] | (g_shadow[at + 1] << 8));
}

// A run of consecutive addresses the file gives bytes for.
struct SSegment
{
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
    std::uint64_t End() const { return static_cast<std::uint64_t>(address) + bytes.size(); }
};

// What the whole file says.
struct SScan
{
    S37File file{};
    std::vector<SSegment> segments; // sorted, disjoint, not adjacent
    std::uint32_t magic = 0;
    int definiteFamily = -1; // named by the file's signature or firmware header; -1: not named
};

struct SRecordRef
{
    std::uint32_t address;
    std::uint32_t length;
    std::size_t offset; // into the data pool
};

// The chip family a chip type takes files of.
int FamilyOfChip(int chipType)
{
    return chipType >= kCxChip20562 && chipType <= kCxChip2076x ? chipType : -1;
}

// Reads and checks every record. 0, or 22, 23, 25, 26.
int ScanS37(std::uint32_t memoryType, std::uint32_t options, const char* fileName, const char* const* lines,
            std::uint32_t lineCount, SScan& scan)
{
    int status = CXHID_STATUS_OK;
    S37File& file = scan.file;
    file.size = sizeof(file);
    file.chipFamily = -1;
    file.fileType = -1;

    CS37FileLines source;
    bool opened = false;
    if (fileName != nullptr)
    {
        if (!source.Open(fileName))
            status = CXHID_STATUS_FILE_OPEN_ERROR;
        else
            opened = true;
    }
    if (status == CXHID_STATUS_OK && (options & (kCxPatchClear | kCxPatchRegisterRanges)) != 0)
        CxClearPatchState();

    SS37Record record;
    std::uint8_t lastData[3] = {};
    std::uint8_t previousData[3] = {};
    std::uint32_t lastLength = 0;
    std::uint32_t previousLength = 0;
    bool terminated = false;
    bool haveHighest = false;
    std::uint32_t lineIndex = 0;
    std::string line;
    std::vector<SRecordRef> records;
    std::vector<std::uint8_t> pool;

    while (status == CXHID_STATUS_OK)
    {
        if (opened)
        {
            if (!source.Next(line))
            {
                if (source.Failed())
                    status = CXHID_STATUS_FILE_READ_ERROR;
                break;
            }
        }
        else
        {
            if (lineIndex >= lineCount)
                break;
            const char* text = lines[lineIndex++];
            line.assign(text != nullptr ? text : "");
        }

        if (line.find('\0') != std::string::npos)
        {
            // A NUL ends the line's text for the reader: whatever follows it
            // on the line (a record, the rest of the file's lines) would be
            // dropped unseen.
            LogPrintf("[%d][%s] - ApplyPatch(a NUL character inside a line)\n", __LINE__, kPatch);
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        const ES37Error error = ParseS37Line(line.c_str(), record);
        if (record.type == ES37Type::Termination)
        {
            // Its address is free, but it is a whole record of its own: count
            // 5 (no data), hex digits, a checksum that adds up. The type letter
            // is outside the checksum, and '3' and '7' differ in one bit: a
            // data record that lost it would end the file without its bytes.
            std::string asData = line;
            asData[1] = '3';
            SS37Record termination;
            if (ParseS37Line(asData.c_str(), termination) != ES37Error::None || termination.length != 0)
            {
                LogPrintf("[%d][%s] - ApplyPatch(a termination record that is not one: [%s])\n", __LINE__, kPatch,
                          line.c_str());
                status = CXHID_STATUS_INVALID_PATCH_FILE;
                break;
            }
            ++file.s7Records;
            terminated = true;
            continue;
        }
        if (record.type != ES37Type::Data)
        {
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        ++file.s3Records;
        std::memcpy(previousData, lastData, sizeof(lastData));
        previousLength = lastLength;

        LogPrintf("[%d][%s] - Read - [%s]\n", __LINE__, kPatch, line.c_str() + 2);
        LogPrintf("[%d][%s] - Len Size [%lu] Rep Size [%lu] Addr Size [%lu] Checksum Size [%lu]\n", __LINE__, kPatch,
                  static_cast<unsigned long>(S37_LENGTH_SIZE), static_cast<unsigned long>(S37_BYTE_RESPRESENTATION_SIZE),
                  static_cast<unsigned long>(S37_ADDRESS_SIZE), static_cast<unsigned long>(S37_CHECKSUM_SIZE));
        if (error == ES37Error::SizeNotHex)
        {
            LogPrintf("[%d][%s] - Read Size ApplyPatch(invalid size part) - S37_LENGTH_SIZE[%d] "
                      "S37_BYTE_RESPRESENTATION_SIZE[%d] value[%d]\n",
                      __LINE__, kPatch, S37_LENGTH_SIZE, S37_BYTE_RESPRESENTATION_SIZE, 0);
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        LogPrintf("[%d][%s] - Read Size - S37_LENGTH_SIZE[%d] S37_BYTE_RESPRESENTATION_SIZE[%d] value[%d]\n", __LINE__,
                  kPatch, S37_LENGTH_SIZE, S37_BYTE_RESPRESENTATION_SIZE, static_cast<int>(record.count));
        if (error == ES37Error::SizeTooSmall)
        {
            LogPrintf("[%d][%s] - Read Size ApplyPatch(size is too small) - S37_ADDRESS_SIZE[%d] "
                      "S37_CHECKSUM_SIZE[%d] value[%d]\n",
                      __LINE__, kPatch, S37_ADDRESS_SIZE, S37_CHECKSUM_SIZE, static_cast<int>(record.count));
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        if (error != ES37Error::None)
        {
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        if (terminated)
        {
            // Data after the termination record: two files run together, or
            // one whose end went missing in between.
            LogPrintf("[%d][%s] - ApplyPatch(data record after the termination record)\n", __LINE__, kPatch);
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        const std::uint64_t end = static_cast<std::uint64_t>(record.address) + record.length;
        if (end > 0x100000000ull)
        {
            LogPrintf("[%d][%s] - ApplyPatch(record at 0x%08x runs past the 32-bit address space)\n", __LINE__, kPatch,
                      record.address);
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        if (record.length > 0)
        {
            const std::uint32_t last = static_cast<std::uint32_t>(end - 1);
            if (!haveHighest || last > file.highestAddress)
                file.highestAddress = last;
            haveHighest = true;
            records.push_back({record.address, record.length, pool.size()});
            pool.insert(pool.end(), record.data, record.data + record.length);
        }
        for (std::uint32_t i = 0; i < record.length; ++i)
        {
            const std::uint64_t at = static_cast<std::uint64_t>(record.address) + i;
            if (at < kCxShadowSize)
                g_shadow[at] = record.data[i];
            if (memoryType == 0 && record.data[i] == kEepromMagic && ((at & 0x1F) == 1 || at == 32))
                ++scan.magic;
        }
        std::memset(lastData, 0, sizeof(lastData));
        std::memcpy(lastData, record.data, std::min<std::uint32_t>(record.length, 3));
        lastLength = record.length;
    }

    if (opened && !source.Close() && status == CXHID_STATUS_OK)
        status = CXHID_STATUS_FILE_CLOSE_ERROR;
    if (status == CXHID_STATUS_OK && !terminated)
    {
        // Without its termination record a file may have lost any number of
        // records at its end.
        LogPrintf("[%d][%s] - ApplyPatch(no termination record: the file ends early)\n", __LINE__, kPatch);
        status = CXHID_STATUS_INVALID_PATCH_FILE;
    }

    // The bytes the file asks for, each address once. Records that overlap
    // must agree: a file that says two things about one address is refused.
    if (status == CXHID_STATUS_OK)
    {
        std::stable_sort(records.begin(), records.end(),
                         [](const SRecordRef& a, const SRecordRef& b) { return a.address < b.address; });
        for (const SRecordRef& r : records)
        {
            const std::uint8_t* data = pool.data() + r.offset;
            if (scan.segments.empty() || r.address > scan.segments.back().End())
            {
                scan.segments.push_back({r.address, std::vector<std::uint8_t>(data, data + r.length)});
                continue;
            }
            SSegment& segment = scan.segments.back();
            const std::uint64_t segmentEnd = segment.End();
            const std::uint64_t overlap = std::min<std::uint64_t>(segmentEnd - r.address, r.length);
            for (std::uint64_t i = 0; i < overlap; ++i)
            {
                const std::uint8_t had = segment.bytes[r.address - segment.address + i];
                if (had != data[i])
                {
                    LogPrintf("[%d][%s] - ApplyPatch(records disagree at 0x%08x: 0x%02x and 0x%02x)\n", __LINE__,
                              kPatch, static_cast<unsigned>(r.address + i), had, data[i]);
                    status = CXHID_STATUS_INVALID_PATCH_FILE;
                    break;
                }
            }
            if (status != CXHID_STATUS_OK)
                break;
            segment.bytes.insert(segment.bytes.end(), data + overlap, data + r.length);
        }
    }
    std::uint64_t unique = 0;
    for (const SSegment& segment : scan.segments)
        unique += segment.bytes.size();
    file.totalDataBytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(unique, 0xFFFFFFFFu));

    // Recognition from the shadow.
    if (std::memcmp(g_shadow + 2, "(C) CONEXANT", 12) == 0 && g_shadow[14] == 0)
    {
        file.chipFamily = 1;
        file.fileType = 1;
        file.LayoutVersion = g_shadow[42];
        scan.definiteFamily = 1;
    }
    else if (g_shadow[20] == 'P')
    {
        file.chipFamily = 1;
        file.fileType = 2;
    }
    else if (g_shadow[41] == 's' && g_shadow[42] != 0)
    {
        file.chipFamily = 0;
        file.fileType = 0;
        file.LayoutVersion = g_shadow[42];
    }
    else
    {
        file.chipFamily = 0;
        file.fileType = 0;
    }
    // The device signature in the last data records.
    const std::uint8_t* signature = nullptr;
    if (lastLength >= 2 && lastData[0] == 'C' && lastData[1] == 'X')
        signature = lastLength >= 3 ? lastData : nullptr;
    else if (previousLength >= 2 && previousData[0] == 'C' && previousData[1] == 'X')
        signature = previousLength >= 3 ? previousData : nullptr;
    if (signature != nullptr)
    {
        switch (signature[2])
        {
        case '1': file.chipFamily = 0; file.fileType = 0; file.LayoutVersion = g_shadow[42]; break;
        case '2':
        case '4': file.chipFamily = 1; file.fileType = 2; file.LayoutVersion = g_shadow[42]; break;
        case '3': file.chipFamily = 2; file.fileType = 3; file.LayoutVersion = g_shadow[42]; break;
        case '5': file.chipFamily = 3; file.fileType = 4; file.LayoutVersion = g_shadow[42]; break;
        default: break;
        }
        if (signature[2] >= '1' && signature[2] <= '5')
            scan.definiteFamily = file.chipFamily;
    }
    if (file.LayoutVersion != 0)
    {
        file.LayoutSignature = g_shadow[41];
        file.VendorID = Shadow16(44);
        file.ProductID = Shadow16(46);
        file.RevisionID = Shadow16(48);
        file.SerialNumberStringAddress = Shadow16(56);
        if (file.SerialNumberStringAddress != 0 && file.SerialNumberStringAddress < kCxShadowSize)
            file.SerialNumberStringLength = g_shadow[file.SerialNumberStringAddress];
    }
    if (status == CXHID_STATUS_OK && (options & kCxPatchRegisterRanges) != 0 && file.LayoutVersion != 0)
    {
        CxIgnoreRange(43, 1, 0); // application status byte
        if (file.SerialNumberStringAddress != 0)
        {
            CxIgnoreRange(56, 2, 0); // the serial number's pointer
            if (file.SerialNumberStringAddress < kCxShadowSize && file.SerialNumberStringLength != 0)
                CxIgnoreRange(file.SerialNumberStringAddress, file.SerialNumberStringLength, 0);
        }
    }
    if (file.chipFamily == 0 && scan.magic > 0)
        file.magicBytes = scan.magic;
    return status;
}

// The analysis of options 0: the scan, then the refusal of a CX20562 file
// that writes the EEPROM magic byte.
int Analyse(std::uint32_t memoryType, const char* fileName, const char* const* lines, std::uint32_t lineCount,
            void* result)
{
    SScan scan;
    int status = ScanS37(memoryType, kCxPatchRegisterRanges, fileName, lines, lineCount, scan);
    if (status == CXHID_STATUS_OK && scan.file.magicBytes > 0)
        status = CXHID_STATUS_PATCH_UNSAFE;
    if (result != nullptr)
    {
        std::uint32_t size = 0;
        std::memcpy(&size, result, sizeof(size));
        std::memcpy(result, &scan.file, std::min<std::size_t>(size, sizeof(scan.file)));
    }
    return status;
}

// One write or read of a pass.
struct SPiece
{
    std::uint32_t address;
    std::uint32_t length;
    const std::uint8_t* data;
};

// Cuts the segments into pieces, leaving out the bytes inside the ignore
// ranges when asked to. A piece never starts above the memory's highest start
// when the one before it can take it.
std::vector<SPiece> Plan(const std::vector<SSegment>& segments, bool skipIgnored, std::uint32_t highestStart,
                         std::uint32_t& ignored)
{
    std::vector<SPiece> pieces;
    ignored = 0;
    for (const SSegment& segment : segments)
    {
        const std::uint32_t size = static_cast<std::uint32_t>(segment.bytes.size());
        std::uint32_t i = 0;
        bool continues = false; // the last piece ends right before i
        while (i < size)
        {
            const std::uint32_t address = segment.address + i;
            if (skipIgnored && InIgnoreRanges(address))
            {
                ++ignored;
                ++i;
                continues = false;
                continue;
            }
            std::uint32_t n = 0;
            while (i + n < size && n < kPieceBytes && !(skipIgnored && InIgnoreRanges(address + n)))
                ++n;
            if (continues && address > highestStart)
                pieces.back().length += n;
            else
                pieces.push_back({address, n, segment.bytes.data() + i});
            continues = true;
            i += n;
        }
    }
    return pieces;
}

void Accumulate(SCxPatchStatistics& total, const SCxAccessStatistics& call)
{
    total.differences += call.differencesTotal;
    if (call.compared)
        total.compared = 1;
    total.lastChunkBytes = call.chunkBytes;
    total.lastBytesToGo = call.bytesToGo;
    total.lastBytesDone = call.bytesDone;
    total.lastDirection = call.direction;
    total.lastMemoryType = call.memoryType;
    total.lastFirstAddress = call.firstAddress;
    total.lastLastAddress = call.lastAddress;
    total.lastDifferences = call.differencesTotal;
}

void AddOpenDifference(SCxPatchStatistics& total, std::uint32_t address, std::uint8_t expected, std::uint8_t read)
{
    if (total.openDifferenceCount < kMaxOpenDifferences)
        total.openDifferences[total.openDifferenceCount++] = {address, expected, read, {0, 0}};
}
} // namespace

void CxIgnoreRange(std::uint32_t first, std::uint32_t length, std::uint32_t value)
{
    if (g_rangeCount >= kCxIgnoreRangeLimit)
    {
        LogPrintf("[%d][%s] - ApplyPatch::IgnoreRange (overflow) - first[0x%x] length[%u]\n", __LINE__, kPatch,
                  first, length);
        return;
    }
    g_ranges[g_rangeCount++] = {first, first + length - 1, value};
    LogPrintf("[%d][%s] - ApplyPatch::IgnoreRange - first[0x%x] length[%u]\n", __LINE__, kPatch, first, length);
}

std::size_t CxIgnoreRangeCount()
{
    return g_rangeCount;
}

SCxIgnoreRange CxIgnoreRangeAt(std::size_t index)
{
    return index < g_rangeCount ? g_ranges[index] : SCxIgnoreRange{0, 0, 0};
}

bool CxIgnoreRangesOverlap(std::uint32_t first, std::uint32_t length)
{
    if (length == 0)
        return false;
    const std::uint64_t last = static_cast<std::uint64_t>(first) + length - 1;
    for (std::size_t i = 0; i < g_rangeCount; ++i)
    {
        if (first <= g_ranges[i].last && last >= g_ranges[i].first)
            return true;
    }
    return false;
}

void CxClearPatchState()
{
    std::memset(g_shadow, 0, sizeof(g_shadow));
    g_rangeCount = 0;
}

const std::uint8_t* CxPatchShadow()
{
    return g_shadow;
}

int CxAnalyseS37(std::uint32_t memoryType, const char* fileName, const char* const* lines, std::uint32_t lineCount,
                 S37File* result)
{
    LogPrintf("[%d][%s]\n", __LINE__, kPatch);
    if (fileName == nullptr && (lines == nullptr || lineCount == 0))
        return CXHID_STATUS_INVALID_OPERATION;
    LogPrintf("[%d][%s] - ApplyPatch(start) - options[%d]\n", __LINE__, kPatch, 0);
    return Analyse(memoryType, fileName, lines, lineCount, result);
}

int CxAudioHidDevice::MemoryPatch(const char* fileName, S37File* result)
{
    if (result == nullptr)
        return CXHID_STATUS_NULL_POINTER;
    return MemoryPatch(0, 0, fileName, nullptr, 0, result);
}

int CxAudioHidDevice::MemoryPatch(std::uint32_t memoryType, std::uint32_t options, const char* fileName,
                                  const char* const* lines, std::uint32_t lineCount, void* result)
{
    LogPrintf("[%d][%s]\n", __LINE__, kPatch);
    if (fileName == nullptr && (lines == nullptr || lineCount == 0))
        return CXHID_STATUS_INVALID_OPERATION;
    LogPrintf("[%d][%s] - ApplyPatch(start) - options[%d]\n", __LINE__, kPatch, static_cast<int>(options));
    const bool write = (options & kCxPatchWrite) != 0;
    const bool verify = (options & kCxPatchVerify) != 0;
    if (!write && !verify)
        return Analyse(memoryType, fileName, lines, lineCount, result); // needs no chip
    const bool honour = (options & kCxPatchHonourIgnoreRanges) != 0;

    SCxPatchStatistics total{};
    total.size = sizeof(total);
    SScan scan;
    int status = ScanS37(memoryType, options, fileName, lines, lineCount, scan);
    const S37File& file = scan.file;
    std::vector<SPiece> writes;
    std::vector<SPiece> reads;

    // Whether the file fits this chip, before anything is sent to it.
    const auto refuse = [&](int why, const char* what, std::uint32_t address) {
        LogPrintf("[%d][%s] - ApplyPatch(refused: %s) - address[0x%08x] status[%d]\n", __LINE__, kPatch, what,
                  address, why);
        total.refusedAddress = address;
        status = why;
    };
    if (status == CXHID_STATUS_OK)
    {
        // The memory itself: one the write can write and the verification read.
        int access = CXHID_STATUS_OK;
        if (m_chipType < 0 || m_chipType >= kCxChipTypeCount)
            access = CXHID_STATUS_INVALID_DEVICE_TYPE;
        else if (!m_hasMemoryTable)
            access = CXHID_STATUS_INVALID_OPERATION;
        else if (memoryType >= kCxMemoryTypeCount)
            access = CXHID_STATUS_INVALID_MEMORY_TYPE;
        else if ((write && (m_memories[memoryType].access & kCxMemWritable) == 0) ||
                 (verify && (m_memories[memoryType].access & kCxMemReadable) == 0))
            access = CXHID_STATUS_INVALID_MEMORY_ACCESS;
        if (access != CXHID_STATUS_OK)
            refuse(access, "memory", 0);
    }
    if (status == CXHID_STATUS_OK && scan.definiteFamily >= 0 && scan.definiteFamily != FamilyOfChip(m_chipType))
    {
        LogPrintf("[%d][%s] - ApplyPatch(a file of the %s family, the chip is a %s)\n", __LINE__, kPatch,
                  CxChipName(scan.definiteFamily), CxChipName(m_chipType));
        refuse(CXHID_STATUS_PATCH_WRONG_DEVICE, "wrong device", 0);
    }
    if (status == CXHID_STATUS_OK)
    {
        const SCxMemoryDescriptor& memory = m_memories[memoryType];
        std::uint32_t ignored = 0;
        writes = Plan(scan.segments, honour, memory.highestStart, ignored);
        std::uint32_t none = 0;
        reads = Plan(scan.segments, false, memory.highestStart, none);
        if (write)
            total.ignoredBytes = ignored;
        // Every access the passes make is one the chip can take.
        for (const std::vector<SPiece>* pass : {&writes, &reads})
        {
            const std::uint32_t direction = pass == &writes ? 1 : 0;
            if ((direction == 1 && !write) || (direction == 0 && !verify))
                continue;
            for (const SPiece& piece : *pass)
            {
                const int check = ValidateAccess(direction, memoryType, 0, piece.address, piece.length);
                if (check != CXHID_STATUS_OK)
                {
                    refuse(check, "address", piece.address);
                    break;
                }
            }
            if (status != CXHID_STATUS_OK)
                break;
        }
    }
    if (status == CXHID_STATUS_OK && write && memoryType == 0 && file.magicBytes > 0 &&
        (options & kCxPatchAllowMagicBytes) == 0)
    {
        LogPrintf("[%d][%s] - ApplyPatch(%u EEPROM magic bytes of a CX20562 file)\n", __LINE__, kPatch,
                  file.magicBytes);
        refuse(CXHID_STATUS_PATCH_UNSAFE, "unsafe contents", 0);
    }
    if (status == CXHID_STATUS_OK && memoryType == 0 && !scan.segments.empty())
    {
        // The EEPROM's own size, not the address space of the memory type: a
        // smaller part wraps its addresses and would hold the file's end over
        // its beginning.
        // What the part must hold: the file's bytes and, for a write, the
        // size the file's own header names.
        const SSegment& head = scan.segments.front();
        const bool fileHeader = write && head.address == 0 && head.bytes.size() >= 2 && head.bytes[0] == kEepromMagic &&
                                head.bytes[1] < 24;
        const std::uint64_t named = fileHeader ? static_cast<std::uint64_t>(1) << (head.bytes[1] + 8) : 0;
        // A size test cut short leaves its byte in the part: let it be one
        // this write gives a byte of its own (not the header, not a range
        // left alone), so that the next run that gets through mends it.
        std::uint32_t testAddress = 43;
        for (const SPiece& piece : writes)
        {
            const std::uint32_t at = std::max<std::uint32_t>(piece.address, 2);
            if (at < piece.address + piece.length && at < 256)
            {
                testAddress = at;
                break;
            }
        }
        std::uint64_t capacity = 0;
        status = DetectEepromCapacity(write, std::max(scan.segments.back().End(), named), capacity, testAddress);
        if (status == CXHID_STATUS_PATCH_VERIFY_FAILED)
            total.refusedAddress = testAddress; // the cell the size test could not restore
        // Where the file ends the part must answer: reads cannot tell where
        // nothing answers from an erased part, a test byte at the file's last
        // written address can (cut short, it leaves a byte the next run writes).
        const std::uint32_t top =
            writes.empty() ? 0 : writes.back().address + writes.back().length - 1;
        if (status == CXHID_STATUS_OK && write && capacity != 0 && top >= 256 && top < capacity)
        {
            status = ConfirmEepromReach(top, testAddress, capacity);
            if (status == CXHID_STATUS_PATCH_VERIFY_FAILED)
                total.refusedAddress = top;
        }
        total.memorySize = static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, 0xFFFFFFFFu));
        if (status == CXHID_STATUS_OK && capacity != 0)
        {
            const auto beyond = std::find_if(scan.segments.begin(), scan.segments.end(),
                                             [capacity](const SSegment& s) { return s.End() > capacity; });
            if (beyond != scan.segments.end())
                refuse(CXHID_STATUS_PATCH_EEPROM_SIZE, "beyond the EEPROM",
                       static_cast<std::uint32_t>(std::max<std::uint64_t>(capacity, beyond->address)));
            else if (fileHeader && named > capacity)
                refuse(CXHID_STATUS_PATCH_EEPROM_SIZE, "its header names a larger EEPROM", 1);
        }
    }

    // The write: every piece, then the read-back of the whole file.
    if (status == CXHID_STATUS_OK && write)
    {
        const bool compareReplies = verify && (m_protocol.flags & kCxProtoAlwaysReadBack) != 0;
        for (const SPiece& piece : writes)
        {
            if (m_io.patchWriteDelayMs != 0)
                CClock::Sleep(m_io.patchWriteDelayMs);
            SCxAccessStatistics call{};
            call.size = sizeof(call);
            // A chip that answers every request with the cell's contents
            // shows a wrong byte at once.
            status = MemoryWrite(memoryType, compareReplies ? kCxAccessVerify : 0, piece.address, piece.data,
                                 piece.length, &call);
            total.bytesDone += call.bytesDone;
            Accumulate(total, call);
            if (status != CXHID_STATUS_OK)
            {
                LogPrintf("[%d][%s] - Failed to program S37 record - address[0x%08x] status[%d]\n", __LINE__, kPatch,
                          piece.address, status);
                break;
            }
            if (call.compared && call.differencesTotal > 0)
            {
                for (std::uint32_t i = 0; i < call.compareCount; ++i)
                    if (call.compare[i].differs)
                        AddOpenDifference(total, call.compare[i].address, call.compare[i].written, call.compare[i].read);
                status = CXHID_STATUS_PATCH_VERIFY_FAILED;
                break;
            }
            if (m_patchProgress != nullptr && m_patchProgress(m_callbackContext, total.bytesDone, &total) != 0)
            {
                status = CXHID_STATUS_ABORTED;
                break;
            }
        }
    }
    if (status == CXHID_STATUS_OK && verify)
    {
        std::vector<std::uint8_t> readBack(kPieceBytes * 2);
        for (const SPiece& piece : reads)
        {
            readBack.resize(std::max<std::size_t>(readBack.size(), piece.length));
            SCxAccessStatistics call{};
            call.size = sizeof(call);
            status = MemoryRead(memoryType, 0, piece.address, readBack.data(), piece.length, &call);
            total.lastChunkBytes = call.chunkBytes;
            total.lastBytesDone = call.bytesDone;
            total.lastDirection = call.direction;
            total.lastMemoryType = call.memoryType;
            total.lastFirstAddress = call.firstAddress;
            total.lastLastAddress = call.lastAddress;
            if (status != CXHID_STATUS_OK)
            {
                // A chip that cannot be read back is not verified.
                LogPrintf("[%d][%s] - ApplyPatch(verify) - read %u of %u bytes at 0x%08x\n", __LINE__, kPatch,
                          call.bytesDone, piece.length, piece.address);
                break;
            }
            for (std::uint32_t i = 0; i < piece.length; ++i)
            {
                const std::uint32_t address = piece.address + i;
                if (readBack[i] == piece.data[i])
                    continue;
                if (honour && InIgnoreRanges(address))
                {
                    ++total.toleratedDifferences;
                    continue;
                }
                ++total.differences;
                AddOpenDifference(total, address, piece.data[i], readBack[i]);
            }
            total.compared = 1;
            total.bytesCompared += piece.length;
            if (!write)
                total.bytesDone = total.bytesCompared;
            if (m_patchProgress != nullptr &&
                m_patchProgress(m_callbackContext, total.bytesCompared, &total) != 0)
            {
                status = CXHID_STATUS_ABORTED;
                break;
            }
        }
        // What was written must be what the chip holds.
        if (status == CXHID_STATUS_OK && write && total.differences > 0)
            status = CXHID_STATUS_PATCH_VERIFY_FAILED;
    }

    if (result != nullptr)
    {
        std::uint32_t size = 0;
        std::memcpy(&size, result, sizeof(size));
        total.totalDataBytes = file.totalDataBytes;
        const std::uint32_t handled = write ? total.bytesDone + total.ignoredBytes : total.bytesCompared;
        total.bytesRemaining = total.totalDataBytes > handled ? total.totalDataBytes - handled : 0;
        std::memcpy(result, &total, std::min<std::size_t>(size, sizeof(total)));
    }
    if (status != CXHID_STATUS_OK)
        LogPrintf("[%d][%s] - ApplyPatch(end) - status[%d] %s\n", __LINE__, kPatch, status, CxStatusText(status));
    return status;
}
