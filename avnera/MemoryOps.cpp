// Chip memory, EEPROM and serial-memory exports. Serial-memory work is done
// by the chip's firmware: the host fills its parameter block, moves data
// through a RAM buffer and triggers it with short commands.
#include <algorithm>
#include <cstring>

#include "avnera/HostInternal.h"
#include "avnera/SerialMemory.h"

using namespace avnera;

namespace
{
std::int32_t PeekAt(AvDeviceHandle* handle, std::uint8_t remote, std::uint16_t address, std::uint8_t count,
                    std::uint8_t* out)
{
    if (handle == nullptr || out == nullptr || count == 0)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, remote, 5, 0x81, static_cast<std::uint8_t>(address),
                                        static_cast<std::uint8_t>(address >> 8), count};
    std::uint8_t answer[kPacketSize] = {};
    if (count > 16 || commandSendAndGetResponse(handle, packet, answer) != 0)
        return kFail;
    std::memcpy(out, answer + 8, count);
    return 0;
}

std::int32_t PokeAt(AvDeviceHandle* handle, std::uint8_t remote, std::uint16_t address, std::uint8_t count,
                    const std::uint8_t* data)
{
    if (handle == nullptr || data == nullptr || count == 0)
        return kBadArgument;
    std::uint8_t packet[kPacketSize + 8] = {0xFD, Destination(handle), 0, remote, static_cast<std::uint8_t>(count + 4),
                                            0x00, static_cast<std::uint8_t>(address),
                                            static_cast<std::uint8_t>(address >> 8)};
    // A count above 16 makes a payload count above 20: commandSend refuses it
    // before anything is sent.
    std::memcpy(packet + 8, data, std::min<std::size_t>(count, 16));
    std::uint8_t answer[kPacketSize] = {};
    if (count > 16)
        packet[4] = static_cast<std::uint8_t>(count + 4);
    return commandSendAndGetResponse(handle, packet, answer) == 0 ? 0 : kFail;
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

struct SSerialJob
{
    std::uint32_t memType, size, page, addressInfo, sector;
    SFirmwareLayout layout;
    std::uint16_t ramBuffer;
};

// Steps 1..5 of the preparation shared by the serial-memory operations.
std::int32_t Prepare(AvDeviceHandle* handle, const std::uint8_t* buffer, SSerialJob& job)
{
    if (handle == nullptr)
        return kNullHandle;
    if (buffer == nullptr)
        return kBadArgument;
    if (job.memType > 1)
        return kBadArgument;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    if (!FirmwareLayout(handle->mode, handle->state, handle->type == kTypeGenericHid, job.layout))
        return kFail;
    job.ramBuffer = job.layout.ramBuffer;
    const std::uint16_t block = job.layout.parameterBlock;
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

std::int32_t PokeTransfer(AvDeviceHandle* handle, const SSerialJob& job, std::uint32_t address, std::uint16_t ram,
                          std::int32_t length)
{
    const std::uint16_t block = job.layout.parameterBlock;
    std::int32_t result = PokeValue(handle, static_cast<std::uint16_t>(block + 1), address, 4);
    const std::int32_t second = PokeValue(handle, static_cast<std::uint16_t>(block + 5), ram, 2);
    if (result == 0)
        result = second;
    if (length >= 0)
    {
        const std::int32_t third = PokeValue(handle, static_cast<std::uint16_t>(block + 7), static_cast<std::uint32_t>(length), 2);
        if (result == 0)
            result = third;
    }
    return result;
}

std::int32_t WritePieces(AvDeviceHandle* handle, std::uint16_t at, const std::uint8_t* data, std::uint32_t length,
                         std::uint32_t piece)
{
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(piece, length - done);
        if (handle->ops->blockWrite(handle, static_cast<std::uint16_t>(at + done), static_cast<std::uint16_t>(n),
                                    data + done) != 0)
            return kFail;
        done += n;
    }
    return 0;
}

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

const SSerialPart* PartOf(std::uint32_t row)
{
    return row < kPartRows ? &kSerialParts[row] : nullptr;
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
    if (handle == nullptr)
        return kNullHandle;
    if (version == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, 2, 0, 0, 2, 0x83};
    std::uint8_t answer[kPacketSize] = {};
    const std::int32_t result = commandSendAndGetResponse(handle, packet, answer);
    if (result != 0)
        return result;
    *version = answer[8] + answer[9] * 256u;
    return 0;
}

int32_t deviceReset(AvDeviceHandle* handle, uint32_t level)
{
    if (handle == nullptr)
        return kNullHandle;
    if (level != 0)
    {
        handle->ops->control(handle, 1, 0);
        handle->ops->control(handle, 0, 1);
    }
    else
    {
        handle->ops->control(handle, 0, 0);
    }
    return 0;
}

int32_t eepromWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* data)
{
    if (handle == nullptr)
        return kNullHandle;
    if (data == nullptr)
        return kBadArgument;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint32_t>(8, length - done));
        const std::uint16_t at = static_cast<std::uint16_t>(address + done);
        std::uint8_t packet[kPacketSize] = {0xFF, 2, 3, 0, static_cast<std::uint8_t>(n + 5), 0xA0,
                                            static_cast<std::uint8_t>(n + 0xA0), static_cast<std::uint8_t>(at >> 8),
                                            static_cast<std::uint8_t>(at)};
        std::memcpy(packet + 9, data + done, n);
        if (commandSend(handle, packet) != 0)
            return kFail;
        done += n;
    }
    return 0;
}

int32_t eepromRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* out)
{
    if (handle == nullptr)
        return kNullHandle;
    if (out == nullptr)
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
        if (commandSendAndGetResponse(handle, packet, answer) != 0)
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
    std::int32_t result = Prepare(handle, buffer, job);
    if (result != 0)
        return result;
    const std::uint32_t chunk = job.layout.chunkSize;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(chunk, length - done);
        PokeTransfer(handle, job, address + done, job.ramBuffer, static_cast<std::int32_t>(n));
        Trigger(handle, 0x84);
        WaitMs(200);
        for (std::uint32_t piece = 0; piece < n;)
        {
            const std::uint32_t m = std::min<std::uint32_t>(16, n - piece);
            if (handle->ops->blockRead(handle, static_cast<std::uint16_t>(job.ramBuffer + piece),
                                       static_cast<std::uint16_t>(m), buffer + done + piece) != 0)
                return kFail;
            piece += m;
        }
        done += n;
    }
    return 0;
}

int32_t SerialMemWrite2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t memType,
                        uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector)
{
    if (handle == nullptr)
        return kNullHandle;
    if (buffer == nullptr)
        return kBadArgument;
    if (memType > 1)
        return kBadArgument;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    if (address == 0 && length >= 3)
        PartHeader(memType, size, page, addressInfo, sector, buffer);
    SSerialJob job = JobOf(memType, size, page, addressInfo, sector);
    std::int32_t result = Prepare(handle, buffer, job);
    if (result != 0)
        return result;
    const bool direct = handle->type == kTypeGenericHid && handle->state != 0;
    const std::uint32_t piece = direct ? 256 : 15;
    const std::uint16_t ram = direct ? job.layout.downloadBase : job.ramBuffer;
    const std::uint32_t limit = direct ? (0xEEFFu > ram ? 0xEEFFu - ram : 0u) : job.layout.chunkSize;
    const std::uint16_t writeBase = direct ? 0 : ram;
    if (limit == 0)
        return kFail;
    const bool chunked = memType == 1 || length > (0xEEBFu > ram ? 0xEEBFu - ram : 0u);
    if (chunked)
    {
        for (std::uint32_t done = 0; done < length;)
        {
            const std::uint32_t n = std::min(limit, length - done);
            PokeTransfer(handle, job, address + done, ram, -1);
            if (WritePieces(handle, writeBase, buffer + done, n, piece) != 0)
                return kFail;
            PokeTransfer(handle, job, address + done, ram, static_cast<std::int32_t>(n));
            Trigger(handle, 0x03);
            if (memType == 1)
                WaitMs(200);
            done += n;
        }
        return 0;
    }
    PokeTransfer(handle, job, address, ram, -1);
    if (WritePieces(handle, writeBase, buffer, length, piece) != 0)
        return kFail;
    PokeTransfer(handle, job, address, ram, static_cast<std::int32_t>(length));
    Trigger(handle, 0x03);
    return 0;
}

int32_t SerialMemErase2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t memType,
                        uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector)
{
    SSerialJob job = JobOf(memType, size, page, addressInfo, sector);
    std::int32_t result = Prepare(handle, buffer, job);
    if (result != 0)
        return result;
    const std::uint16_t block = job.layout.parameterBlock;
    if (memType == 0)
    {
        if (sector == 0)
            return kBadArgument;
        for (std::uint32_t offset = 0; offset < length; offset += sector)
        {
            PokeValue(handle, static_cast<std::uint16_t>(block + 1), address + offset, 4);
            PokeValue(handle, static_cast<std::uint16_t>(block + 7), 1, 2);
            std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, 0, 5, 0x0C, 0, 0};
            std::uint8_t answer[kPacketSize] = {};
            commandSendAndGetResponse(handle, packet, answer);
            WaitMs(1500);
        }
        return 0;
    }
    const bool direct = handle->type == kTypeGenericHid && handle->state != 0;
    std::uint32_t n = std::min<std::uint32_t>(direct ? 256 : 15, length);
    // The bytes go where the trigger takes them from: the RAM buffer (on a
    // direct generic-HID handle the download base, whose offset is 0).
    std::uint16_t ram = direct ? job.layout.downloadBase : job.ramBuffer;
    const std::uint16_t writeAt = direct ? 0 : ram;
    if (handle->ops->blockWrite(handle, writeAt, static_cast<std::uint16_t>(n), buffer) != 0)
    {
        ram = job.layout.downloadBase;
        n = 3;
        const std::uint8_t zeros[3] = {0, 0, 0};
        MemoryPoke(handle, ram, 3, zeros);
    }
    PokeTransfer(handle, job, address, ram, static_cast<std::int32_t>(n));
    Trigger(handle, 0x03);
    WaitMs(1000);
    return 0;
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
    if (handlePointer == nullptr || *handlePointer == nullptr)
        return kFail;
    AvDeviceHandle* handle = *handlePointer;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    const std::uint32_t mode = handle->mode;
    std::uint8_t packet[kPacketSize] = {0x0A, 0xAD, 0xDE, 0x00};
    commandSend(handle, packet);
    if (handle->type != kTypeGenericHid)
    {
        WaitMs(5000);
        return 0;
    }
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
    if (handle == nullptr)
        return kNullHandle;
    if (image == nullptr)
        return kBadArgument;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    // The rest goes to the re-opened device when the chip re-enumerated.
    AvDeviceHandle* current = handle;
    if (SerialMemEnterFlashMode(&current) != 0 || current == nullptr)
        return kFail;
    SFirmwareLayout layout = {};
    std::uint16_t base = 0;
    if (current->type != kTypeGenericHid)
    {
        if (!FirmwareLayout(current->mode, current->state, false, layout))
            return kFail;
        base = layout.downloadBase;
    }
    if (WritePieces(current, base, image, length, 256) != 0)
        return kFail;
    std::uint8_t packet[kPacketSize] = {0x0B, 0, 0, 0};
    commandSend(current, packet);
    return 0;
}

int32_t SetFlashType(AvDeviceHandle* handle, uint32_t type)
{
    if (handle == nullptr)
        return kNullHandle;
    handle->flashType = type;
    if (type == 0)
        handle->ops->control(handle, 2, 0);
    return 0;
}

int32_t FlashWrite(AvDeviceHandle* handle, uint32_t address, uint32_t length, const uint8_t* data)
{
    if (handle == nullptr)
        return kNullHandle;
    if (data == nullptr)
        return kBadArgument;
    handle->ops->control(handle, 2, handle->flashType);
    std::int32_t result = 0;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min<std::uint32_t>(256, length - done);
        if (handle->ops->memWrite(handle, address + done, static_cast<std::uint16_t>(n), data + done) != 0)
        {
            result = kFail;
            break;
        }
        done += n;
    }
    handle->ops->control(handle, 2, 0);
    return result;
}

int32_t FlashRead(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* out)
{
    if (handle == nullptr)
        return kNullHandle;
    if (out == nullptr)
        return kBadArgument;
    handle->ops->control(handle, 2, handle->flashType);
    std::int32_t result = 0;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min<std::uint32_t>(256, length - done);
        if (handle->ops->memWrite(handle, address + done, 0, nullptr) != 0 ||
            handle->ops->memRead(handle, address + done, static_cast<std::uint16_t>(n), out + done) != 0)
        {
            result = kFail;
            break;
        }
        done += n;
    }
    handle->ops->control(handle, 2, 0);
    return result;
}

} // extern "C"
