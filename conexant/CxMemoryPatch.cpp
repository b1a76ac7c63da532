// S37 patch programming: check every record of a file (or of lines in
// memory), then analyse, write or verify, and recognise the file.
#include <algorithm>
#include <cstring>
#include <string>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxPatch.h"
#include "conexant/CxS37.h"
#include "platform/Clock.h"

namespace
{
constexpr const char* kPatch = "CxAudioHidDevice::MemoryPatch";
constexpr std::uint32_t kOptWrite = 0x01;
constexpr std::uint32_t kOptVerify = 0x02;
constexpr std::uint32_t kOptClear = 0x08;
constexpr std::uint32_t kOptRegister = 0x10;
constexpr std::uint32_t kOptHonour = 0x20;
constexpr std::uint32_t kRecordWriteDelayMs = 40;
constexpr std::size_t kMaxOpenDifferences = 8;

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

void Accumulate(SCxPatchStatistics& total, const SCxAccessStatistics& call)
{
    total.bytesDone += call.bytesDone;
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
    int status = CXHID_STATUS_OK;
    S37File file{};
    file.size = sizeof(file);
    file.chipFamily = -1;
    file.fileType = -1;
    SCxPatchStatistics total{};
    total.size = sizeof(total);
    if (fileName == nullptr && (lines == nullptr || lineCount == 0))
        return CXHID_STATUS_INVALID_OPERATION;

    LogPrintf("[%d][%s] - ApplyPatch(start) - options[%d]\n", __LINE__, kPatch, static_cast<int>(options));
    const bool write = (options & kOptWrite) != 0;
    const bool verify = (options & kOptVerify) != 0;
    if (!write && !verify)
        options |= kOptRegister;
    const bool honour = (options & kOptHonour) != 0;

    CS37FileLines source;
    bool opened = false;
    if (fileName != nullptr)
    {
        if (!source.Open(fileName))
            status = CXHID_STATUS_FILE_OPEN_ERROR;
        else
            opened = true;
    }
    if (status == CXHID_STATUS_OK && (options & (kOptClear | kOptRegister)) != 0)
        CxClearPatchState();

    SS37Record record;
    std::uint8_t lastData[3] = {};
    std::uint8_t previousData[3] = {};
    std::uint32_t lastLength = 0;
    std::uint32_t previousLength = 0;
    std::uint32_t magic = 0;
    bool haveHighest = false;
    std::uint32_t lineIndex = 0;
    std::string line;
    std::uint8_t readBack[255];

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

        const ES37Error error = ParseS37Line(line.c_str(), record);
        if (record.type == ES37Type::Termination)
        {
            ++file.s7Records;
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
        file.totalDataBytes += record.length;
        if (error != ES37Error::None)
        {
            status = CXHID_STATUS_INVALID_PATCH_FILE;
            break;
        }
        if (record.length > 0)
        {
            const std::uint32_t last = record.address + record.length - 1;
            if (!haveHighest || last > file.highestAddress)
                file.highestAddress = last;
            haveHighest = true;
        }
        for (std::uint32_t i = 0; i < record.length; ++i)
        {
            const std::uint64_t at = static_cast<std::uint64_t>(record.address) + i;
            if (at < kCxShadowSize)
                g_shadow[at] = record.data[i];
            if (memoryType == 0 && record.data[i] == 0x4C && ((at & 0x1F) == 1 || at == 32))
                ++magic;
        }
        std::memset(lastData, 0, sizeof(lastData));
        std::memcpy(lastData, record.data, std::min<std::uint32_t>(record.length, 3));
        lastLength = record.length;

        if (record.length == 0)
            continue; // nothing to write or compare
        const bool split = honour && CxIgnoreRangesOverlap(record.address, record.length);

        if (write)
        {
            const std::uint32_t calls = split ? record.length : 1;
            for (std::uint32_t c = 0; c < calls && status == CXHID_STATUS_OK; ++c)
            {
                const std::uint32_t address = split ? record.address + c : record.address;
                const std::uint32_t length = split ? 1 : record.length;
                if (split && InIgnoreRanges(address))
                {
                    ++total.ignoredBytes;
                    continue;
                }
                CClock::Sleep(kRecordWriteDelayMs);
                SCxAccessStatistics call{};
                call.size = sizeof(call);
                status = MemoryWrite(memoryType, verify ? kCxAccessVerify : 0, address, record.data + (address - record.address),
                                     length, &call);
                Accumulate(total, call);
                if (status == CXHID_STATUS_OK && verify && call.compared && call.differencesTotal > 0)
                {
                    for (std::uint32_t i = 0; i < call.compareCount && total.openDifferenceCount < kMaxOpenDifferences; ++i)
                    {
                        if (call.compare[i].differs)
                            total.openDifferences[total.openDifferenceCount++] = {call.compare[i].address,
                                                                                  call.compare[i].written,
                                                                                  call.compare[i].read, {0, 0}};
                    }
                    status = CXHID_STATUS_PATCH_VERIFY_FAILED;
                }
            }
            if (status == CXHID_STATUS_OK && m_patchProgress != nullptr &&
                m_patchProgress(m_callbackContext, total.bytesDone, &total) != 0)
                status = CXHID_STATUS_ABORTED;
        }
        else if (verify)
        {
            SCxAccessStatistics call{};
            call.size = sizeof(call);
            const int readStatus = MemoryRead(memoryType, 0, record.address, readBack, record.length, &call);
            const std::uint32_t got = std::min(call.bytesDone, record.length);
            if (got < record.length)
                LogPrintf("[%d][%s] - ApplyPatch(verify) - read %u of %u bytes at 0x%08x\n", __LINE__, kPatch, got,
                          record.length, record.address);
            if (readStatus != CXHID_STATUS_OK)
            {
                // A chip that cannot be read back is not verified.
                status = readStatus;
                break;
            }
            for (std::uint32_t i = 0; i < got; ++i)
            {
                const std::uint32_t address = record.address + i;
                const std::uint8_t expected = record.data[i];
                const std::uint8_t read = readBack[i];
                if (read != expected)
                {
                    if (honour && InIgnoreRanges(address))
                    {
                        ++total.toleratedDifferences;
                        continue;
                    }
                    ++total.differences;
                    if (total.openDifferenceCount < kMaxOpenDifferences)
                        total.openDifferences[total.openDifferenceCount++] = {address, expected, read, {0, 0}};
                    continue;
                }
                for (std::uint32_t d = 0; d < total.openDifferenceCount; ++d)
                {
                    if (total.openDifferences[d].address == address && total.openDifferences[d].read == read)
                    {
                        // A later record wrote what this address holds.
                        std::copy(total.openDifferences + d + 1, total.openDifferences + total.openDifferenceCount,
                                  total.openDifferences + d);
                        --total.openDifferenceCount;
                        --total.differences;
                        break;
                    }
                }
            }
            total.compared = 1;
            total.bytesDone += got;
            total.lastChunkBytes = call.chunkBytes;
            total.lastBytesDone = call.bytesDone;
            total.lastDirection = call.direction;
            total.lastMemoryType = call.memoryType;
            total.lastFirstAddress = call.firstAddress;
            total.lastLastAddress = call.lastAddress;
            if (m_patchProgress != nullptr && m_patchProgress(m_callbackContext, total.bytesDone, &total) != 0)
                status = CXHID_STATUS_ABORTED;
        }
    }

    if (opened && !source.Close() && status == CXHID_STATUS_OK)
        status = CXHID_STATUS_FILE_CLOSE_ERROR;

    // Recognition from the shadow.
    if (std::memcmp(g_shadow + 2, "(C) CONEXANT", 12) == 0 && g_shadow[14] == 0)
    {
        file.chipFamily = 1;
        file.fileType = 1;
        file.LayoutVersion = g_shadow[42];
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
    if (status == CXHID_STATUS_OK && (options & kOptRegister) != 0 && file.LayoutVersion != 0)
    {
        CxIgnoreRange(43, 1, 0); // application status byte
        if (file.SerialNumberStringAddress != 0)
        {
            CxIgnoreRange(56, 2, 0); // the serial number's pointer
            if (file.SerialNumberStringAddress < kCxShadowSize && file.SerialNumberStringLength != 0)
                CxIgnoreRange(file.SerialNumberStringAddress, file.SerialNumberStringLength, 0);
        }
    }
    if (!write && !verify && file.chipFamily == 0 && magic > 0)
    {
        file.magicBytes = magic;
        if (status == CXHID_STATUS_OK)
            status = CXHID_STATUS_PATCH_UNSAFE;
    }

    if (result != nullptr)
    {
        std::uint32_t size = 0;
        std::memcpy(&size, result, sizeof(size));
        if (write || verify)
        {
            total.totalDataBytes = file.totalDataBytes;
            total.bytesRemaining = total.totalDataBytes > total.bytesDone ? total.totalDataBytes - total.bytesDone : 0;
            std::memcpy(result, &total, std::min<std::size_t>(size, sizeof(total)));
        }
        else
        {
            std::memcpy(result, &file, std::min<std::size_t>(size, sizeof(file)));
        }
    }
    return status;
}
