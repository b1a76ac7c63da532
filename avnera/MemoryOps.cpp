// Chip memory, EEPROM and serial-memory exports. Serial-memory work is done
// by the chip's firmware: the host fills its parameter block, moves data
// through a RAM buffer and triggers it with short commands.
#include <algorithm>
#include <cstring>
#include <vector>

#include "avnera/HostInternal.h"
#include "avnera/SerialMemory.h"

using namespace avnera;

namespace
{
constexpr std::uint32_t kRamSize = 0x10000;
constexpr std::uint32_t kEepromSpace = 0x10000; // the EEPROM commands carry 16-bit addresses
constexpr std::uint32_t kFlashPage = 256;       // FlashWrite pieces never cross such a boundary

std::int32_t PeekAt(AvDeviceHandle* handle, std::uint8_t remote, std::uint16_t address, std::uint8_t count,
                    std::uint8_t* out)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (out == nullptr || count == 0)
        return kBadArgument;
    if (count > 16)
        return kFail;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, remote, 5, 0x81, static_cast<std::uint8_t>(address),
                                        static_cast<std::uint8_t>(address >> 8), count};
    std::uint8_t answer[kPacketSize] = {};
    const std::int32_t result = Ask(handle, packet, answer, 8u + count);
    if (result != 0)
        return result;
    // The answer echoes the address it read.
    if (answer[6] != static_cast<std::uint8_t>(address) || answer[7] != static_cast<std::uint8_t>(address >> 8))
        return kFail;
    std::memcpy(out, answer + 8, count);
    return 0;
}

std::int32_t PokeAt(AvDeviceHandle* handle, std::uint8_t remote, std::uint16_t address, std::uint8_t count,
                    const std::uint8_t* data)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (data == nullptr || count == 0)
        return kBadArgument;
    // A count above 16 makes a payload count above 20: refused before anything is sent.
    if (count > 16)
        return kFail;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, remote, static_cast<std::uint8_t>(count + 4),
                                        0x00, static_cast<std::uint8_t>(address),
                                        static_cast<std::uint8_t>(address >> 8)};
    std::memcpy(packet + 8, data, count);
    std::uint8_t answer[kPacketSize] = {};
    const std::int32_t result = Ask(handle, packet, answer, 8);
    if (result != 0)
        return result;
    if (answer[6] != static_cast<std::uint8_t>(address) || answer[7] != static_cast<std::uint8_t>(address >> 8))
        return kFail;
    return 0;
}

std::int32_t PokeValue(AvDeviceHandle* handle, std::uint16_t address, std::uint32_t value, std::uint8_t width)
{
    std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return MemoryPoke(handle, address, width, bytes);
}

std::int32_t Trigger(AvDeviceHandle* handle, std::uint8_t subCommand)
{
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 0, 0, 2, subCommand};
    return commandSend(handle, packet);
}

// Reads chip RAM through the transport's block read, 16 bytes a piece.
std::int32_t ReadRam(AvDeviceHandle* handle, std::uint16_t at, std::uint32_t length, std::uint8_t* out)
{
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min<std::uint32_t>(16, length - done);
        const std::int32_t read = handle->ops->blockRead(handle, static_cast<std::uint16_t>(at + done),
                                                         static_cast<std::uint16_t>(n), out + done);
        if (read != 0)
            return read == kAsserted ? kAsserted : kFail;
        done += n;
    }
    return 0;
}

std::int32_t WritePieces(AvDeviceHandle* handle, std::uint16_t at, const std::uint8_t* data, std::uint32_t length,
                         std::uint32_t piece)
{
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(piece, length - done);
        const std::int32_t written = handle->ops->blockWrite(handle, static_cast<std::uint16_t>(at + done),
                                                             static_cast<std::uint16_t>(n), data + done);
        if (written != 0)
            return written == kAsserted ? kAsserted : kFail;
        done += n;
    }
    return 0;
}

struct SSerialJob
{
    std::uint32_t memType, size, page, addressInfo, sector;
    SFirmwareLayout layout;
    std::uint16_t ramBuffer;
};

SSerialJob JobOf(std::uint32_t memType, std::uint32_t size, std::uint32_t page, std::uint32_t addressInfo,
                 std::uint32_t sector)
{
    SSerialJob job = {};
    job.memType = memType;
    job.size = size;
    job.page = page;
    job.addressInfo = addressInfo;
    job.sector = sector;
    return job;
}

// The arguments every serial-memory operation checks before it sends
// anything: the handle, the buffer, the memory kind, and a range that lies
// inside the part (a part wraps an address past its end onto its start).
std::int32_t CheckSerial(AvDeviceHandle* handle, const std::uint8_t* buffer, const SSerialJob& job,
                         std::uint32_t address, std::uint32_t length)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (buffer == nullptr || job.memType > 1)
        return kBadArgument;
    if (length > 0 && (job.page == 0 || address >= job.size || length > job.size - address))
        return kBadArgument;
    return 0;
}

// The preparation shared by the serial-memory operations: the mode, the
// firmware's layout, and the part in its parameter block.
std::int32_t Prepare(AvDeviceHandle* handle, SSerialJob& job)
{
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    if (!FirmwareLayout(handle->mode, handle->state, handle->type == kTypeGenericHid, job.layout))
        return kFail;
    job.ramBuffer = job.layout.ramBuffer;
    const std::uint16_t block = job.layout.parameterBlock;
    if (block == 0xFFFF || job.ramBuffer == 0xFFFF)
        return kFail;
    std::int32_t result = PokeValue(handle, block, job.memType + job.layout.memoryKindOffset, 1);
    if (result != 0)
        return result;
    std::uint8_t geometry[7] = {static_cast<std::uint8_t>(job.size),       static_cast<std::uint8_t>(job.size >> 8),
                                static_cast<std::uint8_t>(job.size >> 16), static_cast<std::uint8_t>(job.size >> 24),
                                static_cast<std::uint8_t>(job.addressInfo), static_cast<std::uint8_t>(job.page),
                                static_cast<std::uint8_t>(job.page >> 8)};
    if (job.memType == 0)
    {
        if ((result = PokeValue(handle, static_cast<std::uint16_t>(block + 20), job.sector, 4)) != 0)
            return result;
        return MemoryPoke(handle, static_cast<std::uint16_t>(block + 13), 7, geometry);
    }
    std::uint8_t select = 0;
    std::uint16_t selectRegister = 0;
    switch (handle->mode)
    {
    case 0:
    case 2: selectRegister = 0xF0E2; select = 0x0A; break;
    case 1: selectRegister = 0xF0E1; select = 0xA0; break;
    default: return kFail;
    }
    if ((result = MemoryPoke(handle, selectRegister, 1, &select)) != 0)
        return result;
    if ((result = PokeValue(handle, static_cast<std::uint16_t>(block + 20), 0, 4)) != 0)
        return result;
    std::uint8_t header[3];
    PartHeader(job.memType, job.size, job.page, job.addressInfo, job.sector, header);
    if ((result = MemoryPoke(handle, static_cast<std::uint16_t>(block + 9), 2, header)) != 0)
        return result;
    return MemoryPoke(handle, static_cast<std::uint16_t>(block + 13), 7, geometry);
}

// The transfer fields of the parameter block (the length only when given).
std::int32_t PokeTransfer(AvDeviceHandle* handle, const SSerialJob& job, std::uint32_t address, std::uint16_t ram,
                          std::int32_t length)
{
    const std::uint16_t block = job.layout.parameterBlock;
    std::int32_t result = PokeValue(handle, static_cast<std::uint16_t>(block + 1), address, 4);
    if (result == 0)
        result = PokeValue(handle, static_cast<std::uint16_t>(block + 5), ram, 2);
    if (result == 0 && length >= 0)
        result = PokeValue(handle, static_cast<std::uint16_t>(block + 7), static_cast<std::uint32_t>(length), 2);
    return result;
}

// One chunk of serial memory through the RAM buffer. The copy trigger is
// not answered, and a firmware that refuses the block (or never got the
// trigger) leaves the buffer as it was: the chunk's last byte is marked
// first, and a marker that is still there after the copy is tried once more
// with another marker. Whatever the marker survives twice was not copied.
// expected (may be null): what the chunk should hold; its last byte picks
// a marker that the copy must overwrite.
std::int32_t ReadChunk(AvDeviceHandle* handle, const SSerialJob& job, std::uint32_t address, std::uint32_t n,
                       std::uint8_t* out, const std::uint8_t* expected)
{
    const std::uint16_t ram = job.ramBuffer;
    const std::uint16_t last = static_cast<std::uint16_t>(ram + n - 1);
    std::uint8_t marker = expected != nullptr ? static_cast<std::uint8_t>(~expected[n - 1]) : 0xA5;
    for (int round = 0; round < 2; ++round, marker = static_cast<std::uint8_t>(~marker))
    {
        std::int32_t result = MemoryPoke(handle, last, 1, &marker);
        if (result == 0)
            result = PokeTransfer(handle, job, address, ram, static_cast<std::int32_t>(n));
        if (result == 0)
            result = Trigger(handle, 0x84);
        if (result != 0)
            return result;
        WaitMs(200);
        if ((result = ReadRam(handle, ram, n, out)) != 0)
            return result;
        if (out[n - 1] != marker)
            return 0;
    }
    return kFail;
}

// Reads [address, address + length) and compares it with expected (null:
// every byte 0xFF).
std::int32_t Verify(AvDeviceHandle* handle, const SSerialJob& job, std::uint32_t address, std::uint32_t length,
                    const std::uint8_t* expected)
{
    const std::uint32_t chunk = job.layout.chunkSize;
    std::vector<std::uint8_t> back(chunk), want(chunk, 0xFF);
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(chunk, length - done);
        const std::uint8_t* wanted = expected != nullptr ? expected + done : want.data();
        const std::int32_t read = ReadChunk(handle, job, address + done, n, back.data(), wanted);
        if (read != 0)
            return read;
        if (std::memcmp(back.data(), wanted, n) != 0)
            return kFail;
        done += n;
    }
    return 0;
}

const SSerialPart* PartOf(std::uint32_t row)
{
    return row < kPartRows ? &kSerialParts[row] : nullptr;
}

// FlashWrite and FlashRead: pieces of at most 256 bytes through the direct
// memory operations, with the flash passed through for the flash type.
std::int32_t FlashTransfer(AvDeviceHandle* handle, std::uint32_t address, std::uint32_t length, const std::uint8_t* data,
                           std::uint8_t* out)
{
    const std::uint32_t type = handle->flashType;
    // Flash type 0 passes nothing through: the memory operations would not
    // reach the flash (on the adapter they would talk to the chip's host port).
    if (type == 0)
        return kBadArgument;
    // The adapter drives the flash's 24-bit addresses; the memory report 32-bit ones.
    const std::uint64_t end = static_cast<std::uint64_t>(address) + length;
    if (end > (handle->type == kTypeAardvark ? 0x1000000ull : 0x100000000ull))
        return kBadArgument;
    std::int32_t result = handle->ops->control(handle, 2, type);
    if (result != 0)
    {
        handle->ops->control(handle, 2, 0);
        return result == kBadArgument ? kBadArgument : kFail;
    }
    for (std::uint32_t done = 0; done < length && result == 0;)
    {
        const std::uint32_t at = address + done;
        const std::uint32_t n = std::min(length - done, kFlashPage - at % kFlashPage);
        if (data != nullptr)
            result = handle->ops->memWrite(handle, at, static_cast<std::uint16_t>(n), data + done);
        else if ((result = handle->ops->memWrite(handle, at, 0, nullptr)) == 0)
            result = handle->ops->memRead(handle, at, static_cast<std::uint16_t>(n), out + done);
        done += n;
    }
    const std::int32_t closed = handle->ops->control(handle, 2, 0);
    if (result == 0)
        result = closed;
    return result == 0 ? 0 : kFail;
}
} // namespace

extern "C" {

int32_t MemoryPeek(AvDeviceHandle* handle, uint16_t address, uint8_t count, uint8_t* out)
{
    return PeekAt(handle, 0, address, count, out);
}

int32_t MemoryPoke(AvDeviceHandle* handle, uint16_t address, uint8_t count, const uint8_t* data)
{
    return PokeAt(handle, 0, address, count, data);
}

int32_t RemotePeek(AvDeviceHandle* handle, uint8_t remote, uint16_t address, uint8_t count, uint8_t* out)
{
    return PeekAt(handle, remote, address, count, out);
}

int32_t RemotePoke(AvDeviceHandle* handle, uint8_t remote, uint16_t address, uint8_t count, const uint8_t* data)
{
    return PokeAt(handle, remote, address, count, data);
}

int32_t deviceVersion(AvDeviceHandle* handle, uint32_t* version)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (version == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, 2, 0, 0, 2, 0x83};
    std::uint8_t answer[kPacketSize] = {};
    const std::int32_t result = Ask(handle, packet, answer, 10);
    if (result != 0)
        return result;
    *version = answer[8] + answer[9] * 256u;
    return 0;
}

int32_t deviceReset(AvDeviceHandle* handle, uint32_t level)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    // The level is the chip's reset line: 0 holds the chip in reset, any other
    // value releases it. A generic-HID device has no line to drive.
    if (handle->type == kTypeGenericHid)
        return kNotSupported;
    std::int32_t result = 0;
    if (level != 0)
    {
        handle->ops->control(handle, 1, 0);
        result = handle->ops->control(handle, 0, 1);
    }
    else
    {
        result = handle->ops->control(handle, 0, 0);
    }
    return result == 0 ? 0 : kFail;
}

int32_t eepromWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* data)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (data == nullptr)
        return kBadArgument;
    // Past 0xFFFF the 16-bit address would start again at 0.
    if (static_cast<std::uint32_t>(address) + length > kEepromSpace)
        return kBadArgument;
    for (std::uint32_t done = 0; done < length;)
    {
        // Each packet is one page write of the EEPROM: pieces end on 8-byte
        // boundaries, which are page boundaries of every EEPROM, so that none
        // wraps inside its page.
        const std::uint32_t at = address + done;
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint32_t>(8 - at % 8, length - done));
        std::uint8_t packet[kPacketSize] = {0xFF, 2, 3, 0, static_cast<std::uint8_t>(n + 5), 0xA0,
                                            static_cast<std::uint8_t>(n + 0xA0), static_cast<std::uint8_t>(at >> 8),
                                            static_cast<std::uint8_t>(at)};
        std::memcpy(packet + 9, data + done, n);
        const std::int32_t sent = commandSend(handle, packet);
        if (sent != 0)
            return sent;
        done += n;
    }
    // The writes are not answered: what the EEPROM holds is read back.
    std::vector<std::uint8_t> back(length);
    const std::int32_t read = eepromRead(handle, address, length, back.data());
    if (read != 0)
        return read;
    return length == 0 || std::memcmp(back.data(), data, length) == 0 ? 0 : kFail;
}

int32_t eepromRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* out)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (out == nullptr)
        return kBadArgument;
    if (static_cast<std::uint32_t>(address) + length > kEepromSpace)
        return kBadArgument;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint32_t>(8, length - done));
        const std::uint16_t at = static_cast<std::uint16_t>(address + done);
        // Count 5: the address low byte is part of what is sent, and the data
        // follow the five echoed payload bytes at answer byte 9.
        std::uint8_t packet[kPacketSize] = {0xFD, 2, 3, 0, 5, 0xA1, static_cast<std::uint8_t>(n + 0xA0),
                                            static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at)};
        std::uint8_t answer[kPacketSize] = {};
        const std::int32_t result = Ask(handle, packet, answer, 9u + n);
        if (result != 0)
            return result;
        // The answer echoes the piece's length and address.
        if (answer[6] != packet[6] || answer[7] != packet[7] || answer[8] != packet[8])
            return kFail;
        std::memcpy(out + done, answer + 9, n);
        done += n;
    }
    return 0;
}

int32_t SerialMemRead2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t memType,
                       uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector)
{
    SSerialJob job = JobOf(memType, size, page, addressInfo, sector);
    std::int32_t result = CheckSerial(handle, buffer, job, address, length);
    if (result != 0 || length == 0)
        return result;
    if ((result = Prepare(handle, job)) != 0)
        return result;
    const std::uint32_t chunk = job.layout.chunkSize;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(chunk, length - done);
        if ((result = ReadChunk(handle, job, address + done, n, buffer + done, nullptr)) != 0)
            return result;
        done += n;
    }
    return 0;
}

int32_t SerialMemWrite2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t memType,
                        uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector)
{
    SSerialJob job = JobOf(memType, size, page, addressInfo, sector);
    std::int32_t result = CheckSerial(handle, buffer, job, address, length);
    if (result != 0 || length == 0)
        return result;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    if (address == 0 && length >= 3)
        PartHeader(memType, size, page, addressInfo, sector, buffer);
    if ((result = Prepare(handle, job)) != 0)
        return result;
    const bool direct = handle->type == kTypeGenericHid && handle->state != 0;
    const std::uint32_t piece = direct ? 256 : 15;
    const std::uint16_t ram = direct ? job.layout.downloadBase : job.ramBuffer;
    std::uint32_t limit = direct ? (0xEEFFu > ram ? 0xEEFFu - ram : 0u) : job.layout.chunkSize;
    const std::uint16_t writeBase = direct ? 0 : ram;
    // The firmware writes a transfer in page writes counted from the
    // transfer's address, and the part wraps each inside its page: a
    // transfer that starts inside a page ends at that page's end, and the
    // others start on a page boundary and are whole pages but the last.
    if (limit >= page)
        limit -= limit % page;
    if (limit == 0)
        return kFail;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t at = address + done;
        std::uint32_t n = std::min(limit, length - done);
        if (at % page != 0)
            n = std::min(n, page - at % page);
        if ((result = PokeTransfer(handle, job, at, ram, -1)) != 0)
            return result;
        if ((result = WritePieces(handle, writeBase, buffer + done, n, piece)) != 0)
            return result;
        if ((result = PokeTransfer(handle, job, at, ram, static_cast<std::int32_t>(n))) != 0)
            return result;
        if ((result = Trigger(handle, 0x03)) != 0)
            return result;
        if (memType == 1)
            WaitMs(200);
        done += n;
    }
    // The write trigger is not answered: the part is read back.
    return Verify(handle, job, address, length, buffer);
}

int32_t SerialMemErase2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t memType,
                        uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector)
{
    SSerialJob job = JobOf(memType, size, page, addressInfo, sector);
    std::int32_t result = CheckSerial(handle, buffer, job, address, length);
    if (result != 0)
        return result;
    if (memType == 0 && sector == 0)
        return kBadArgument;
    if (length == 0)
        return 0;
    if ((result = Prepare(handle, job)) != 0)
        return result;
    const std::uint16_t block = job.layout.parameterBlock;
    if (memType == 0)
    {
        // Every sector the range touches, the last one too when the range
        // does not start on a sector boundary.
        for (std::uint32_t at = address / sector * sector; at < address + length; at += sector)
        {
            if ((result = PokeValue(handle, static_cast<std::uint16_t>(block + 1), at, 4)) != 0 ||
                (result = PokeValue(handle, static_cast<std::uint16_t>(block + 7), 1, 2)) != 0)
                return result;
            // The chip answers when the sector is erased; the answer is
            // fetched after the erase's time, with the transport's time-out
            // on top for a slow part.
            std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, 0, 5, 0x0C, 0, 0};
            std::uint8_t sent[kPacketSize];
            std::memcpy(sent, packet, sizeof(sent));
            if ((result = commandSend(handle, packet)) != 0)
                return result;
            WaitMs(1500);
            std::uint8_t answer[kPacketSize] = {};
            std::uint32_t answerLength = 0;
            if ((result = ReceiveAnswer(handle, answer, answerLength)) != 0)
                return result;
            if (!AnswerFits(sent, answer, answerLength, 8))
                return kFail;
        }
        return Verify(handle, job, address, length, nullptr);
    }
    const bool direct = handle->type == kTypeGenericHid && handle->state != 0;
    // One transfer, inside the page it starts in.
    std::uint32_t n = std::min<std::uint32_t>({direct ? 256u : 15u, length, page - address % page});
    // The bytes go where the trigger takes them from: the RAM buffer (on a
    // direct generic-HID handle the download base, whose offset is 0).
    std::uint16_t ram = direct ? job.layout.downloadBase : job.ramBuffer;
    const std::uint16_t writeAt = direct ? 0 : ram;
    const std::uint8_t zeros[3] = {0, 0, 0};
    const std::uint8_t* written = buffer;
    if (handle->ops->blockWrite(handle, writeAt, static_cast<std::uint16_t>(n), buffer) != 0)
    {
        ram = job.layout.downloadBase;
        n = std::min<std::uint32_t>({3, size - address, page - address % page});
        written = zeros;
        if ((result = MemoryPoke(handle, ram, 3, zeros)) != 0)
            return result;
    }
    if ((result = PokeTransfer(handle, job, address, ram, static_cast<std::int32_t>(n))) != 0 ||
        (result = Trigger(handle, 0x03)) != 0)
        return result;
    WaitMs(1000);
    std::vector<std::uint8_t> expected(written, written + n);
    return Verify(handle, job, address, n, expected.data());
}

int32_t SerialMemRead(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow)
{
    const SSerialPart* part = PartOf(partRow);
    if (part == nullptr)
        return kBadArgument;
    return SerialMemRead2(handle, address, length, buffer, part->memType, part->size, part->page, part->addressInfo,
                          part->sector);
}

int32_t SerialMemWrite(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow)
{
    const SSerialPart* part = PartOf(partRow);
    if (part == nullptr)
        return kBadArgument;
    return SerialMemWrite2(handle, address, length, buffer, part->memType, part->size, part->page, part->addressInfo,
                           part->sector);
}

int32_t SerialMemErase(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow)
{
    const SSerialPart* part = PartOf(partRow);
    if (part == nullptr)
        return kBadArgument;
    return SerialMemErase2(handle, address, length, buffer, part->memType, part->size, part->page, part->addressInfo,
                           part->sector);
}

int32_t SerialMemEnterFlashMode(AvDeviceHandle** handlePointer)
{
    if (handlePointer == nullptr)
        return kFail;
    AvDeviceHandle* handle = *handlePointer;
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    const std::uint32_t mode = handle->mode;
    std::uint8_t packet[kPacketSize] = {0x0A, 0xAD, 0xDE, 0x00};
    const std::int32_t sent = commandSend(handle, packet);
    if (handle->type != kTypeGenericHid)
    {
        if (sent != 0)
            return kFail;
        WaitMs(5000);
        return 0;
    }
    // An asserted chip does not leave the bus. A transport failure may be
    // the chip leaving it already: the search below decides.
    if (sent == kAsserted)
        return kFail;
    // The chip leaves the bus and comes back as its flash-mode device.
    if (AvDllCloseHandle(handle) != 0)
        return kFail;
    *handlePointer = nullptr;
    WaitMs(5000);
    AvDeviceSearch search = {};
    search.type = kTypeGenericHid;
    if (mode == 0)
        search.id = 0x170D0100;
    else if (mode == 1)
        search.id = 0x170D0101;
    else
        return kFail;
    std::uint32_t index = 0;
    if (AvDllFindDevice(1, &search, &index) != 0)
        return kFail;
    AvDeviceHandle* reopened = nullptr;
    if (AvDllOpenDevice(kTypeGenericHid, index, &reopened) != 0)
        return kFail;
    *handlePointer = reopened;
    return AvDllRefreshDevice(reopened) == 0 ? 0 : kFail;
}

int32_t SerialMemDownload(AvDeviceHandle* handle, uint32_t, uint16_t length, const uint8_t* image)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (image == nullptr)
        return kBadArgument;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    // The download area of the firmware running now: the image must fit in RAM.
    SFirmwareLayout layout = {};
    if (!FirmwareLayout(handle->mode, handle->state, false, layout) || layout.downloadBase == 0xFFFF)
        return kFail;
    const std::uint16_t base = layout.downloadBase;
    if (static_cast<std::uint32_t>(base) + length > kRamSize)
        return kBadArgument;
    // The rest goes to the re-opened device when the chip re-enumerated.
    AvDeviceHandle* current = handle;
    if (SerialMemEnterFlashMode(&current) != 0 || current == nullptr)
        return kFail;
    // A generic-HID chip in flash mode takes the image at offsets from its download area.
    const std::uint16_t writeBase = current->type == kTypeGenericHid ? 0 : base;
    if (WritePieces(current, writeBase, image, length, 256) != 0)
        return kFail;
    // The image runs only as it was meant to: read back before it is started.
    std::vector<std::uint8_t> back(length);
    if (ReadRam(current, base, length, back.data()) != 0 || (length > 0 && std::memcmp(back.data(), image, length) != 0))
        return kFail;
    std::uint8_t packet[kPacketSize] = {0x0B, 0, 0, 0};
    return commandSend(current, packet) == 0 ? 0 : kFail;
}

int32_t SetFlashType(AvDeviceHandle* handle, uint32_t type)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    handle->flashType = type;
    if (type == 0 && handle->ops->control(handle, 2, 0) != 0)
        return kFail;
    return 0;
}

int32_t FlashWrite(AvDeviceHandle* handle, uint32_t address, uint32_t length, const uint8_t* data)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (data == nullptr)
        return kBadArgument;
    std::int32_t result = FlashTransfer(handle, address, length, data, nullptr);
    if (result != 0 || length == 0)
        return result;
    // The flash is read back: a part that was not erased, or that took the
    // bytes elsewhere, holds something else.
    std::vector<std::uint8_t> back(length);
    if ((result = FlashTransfer(handle, address, length, nullptr, back.data())) != 0)
        return result;
    return std::memcmp(back.data(), data, length) == 0 ? 0 : kFail;
}

int32_t FlashRead(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* out)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (out == nullptr)
        return kBadArgument;
    return FlashTransfer(handle, address, length, nullptr, out);
}

} // extern "C"
