// The handle table and the exports that list, open, query and command devices.
#include <cstdio>
#include <cstring>

#include "avnera/HostInternal.h"
#include "platform/Clock.h"

namespace avnera
{
AvDeviceHandle g_handles[kSlotCount];
std::uint8_t g_report[kReportBufferSize];

namespace
{
std::uint8_t g_outPacket[kPacketSize];
std::uint8_t g_inPacket[kPacketSize];
IHidSystem* g_hidSystem = nullptr;

void ResetSlot(AvDeviceHandle& slot)
{
    slot.link = 0;
    slot.mode = kModeUnknown;
    slot.state = 0;
    slot.timeout = kDefaultTimeoutMs;
}

void CloseSlot(AvDeviceHandle& slot)
{
    if (slot.link != 0 && slot.ops != nullptr && slot.ops->close != nullptr)
        slot.ops->close(&slot);
    ResetSlot(slot);
}

const AvTransportOps* OpsOf(std::uint32_t type)
{
    switch (type)
    {
    case kTypeGenericHid: return &kGenericHidOps;
    case kTypeVendorHid: return &kVendorHidOps;
    case kTypeAardvark: return &kAardvarkOps;
    default: return nullptr;
    }
}

std::int32_t ListAny(std::uint32_t type, std::uint32_t maximum, std::uint16_t* indexes, std::uint32_t* ids)
{
    if (type == kTypeAardvark)
        return AardvarkList(maximum, indexes, ids);
    if (type == kTypeGenericHid || type == kTypeVendorHid)
        return HidList(type, maximum, indexes, ids);
    return 0;
}
} // namespace

IHidSystem& HidSystem()
{
    if (g_hidSystem != nullptr)
        return *g_hidSystem;
    static std::unique_ptr<IHidSystem> system = CreateSystemHid();
    return *system;
}

void SetHidSystem(IHidSystem* system)
{
    g_hidSystem = system;
}

void WaitMs(std::uint32_t ms)
{
    CClock::Sleep(ms);
}
} // namespace avnera

using namespace avnera;

extern "C" {

int32_t AvDllInitialize(void)
{
    for (AvDeviceHandle& slot : g_handles)
        CloseSlot(slot);
    return 0;
}

int32_t AvDllShutdown(void)
{
    for (AvDeviceHandle& slot : g_handles)
        if (slot.link != 0)
            CloseSlot(slot);
    return 0;
}

int32_t AvDllGetVersion(uint32_t version[2])
{
    if (version == nullptr)
        return kFail;
    version[0] = 1;
    version[1] = 18;
    return 0;
}

int32_t AvDllListDevices(uint32_t type, uint32_t maximum, uint16_t* indexes, uint32_t* ids)
{
    if (indexes == nullptr || ids == nullptr)
        return 0;
    return ListAny(type, maximum, indexes, ids);
}

int32_t AvDllOpenDevice(uint32_t type, uint32_t index, AvDeviceHandle** handle)
{
    const AvTransportOps* ops = OpsOf(type);
    if (ops == nullptr)
        return kFail;
    if (handle == nullptr)
        return kBadArgument;
    AvDeviceHandle* slot = nullptr;
    for (AvDeviceHandle& candidate : g_handles)
    {
        if (candidate.link == 0)
        {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr)
        return kFail;
    slot->ops = ops;
    slot->type = type;
    slot->i2cMode = 0;
    const std::int32_t result = type == kTypeAardvark ? AardvarkOpen(slot, index) : HidOpen(slot, type, index);
    if (result != 0 || slot->link == 0)
    {
        CloseSlot(*slot);
        return result != 0 ? result : kFail;
    }
    slot->mode = kModeUnknown;
    slot->state = 0;
    slot->timeout = kDefaultTimeoutMs;
    *handle = slot;
    return 0;
}

int32_t AvDllCloseHandle(AvDeviceHandle* handle)
{
    if (handle == nullptr)
        return kNullHandle;
    if (handle->ops != nullptr && handle->ops->close != nullptr && handle->link != 0)
        handle->ops->close(handle);
    ResetSlot(*handle);
    return 0;
}

int32_t AvDllQueryDevice(AvDeviceHandle* handle, AvDeviceQuery* query)
{
    if (handle == nullptr)
        return kNullHandle;
    std::uint8_t state = 0;
    const std::int32_t read = MemoryPeek(handle, 0xF002, 1, &state);
    if (read != 0)
        return read;
    handle->state = state;
    if (query != nullptr)
    {
        if (handle->type == kTypeVendorHid)
        {
            if (HidGetFeature(handle, 0xF3))
                query->uniqueId = static_cast<std::uint32_t>(g_report[2]) | static_cast<std::uint32_t>(g_report[3]) << 8 |
                                  static_cast<std::uint32_t>(g_report[4]) << 16 |
                                  static_cast<std::uint32_t>(g_report[5]) << 24;
            if (HidGetFeature(handle, 0xF2))
                query->version = static_cast<std::uint32_t>(g_report[1]) | static_cast<std::uint32_t>(g_report[2]) << 8;
        }
        else if (handle->type == kTypeAardvark)
        {
            std::uint32_t uniqueId = 0, version = 0;
            if (AardvarkQuery(handle, uniqueId, version))
            {
                query->uniqueId = uniqueId;
                query->version = version;
            }
        }
        query->state = handle->state;
    }
    return 0;
}

int32_t AvDllRefreshDevice(AvDeviceHandle* handle)
{
    if (handle == nullptr)
        return kNullHandle;
    std::uint8_t state = 0;
    std::int32_t read = MemoryPeek(handle, 0xF002, 1, &state);
    if (read != 0)
        return read;
    handle->state = state;
    std::uint8_t modeRegister = 0;
    read = MemoryPeek(handle, 0xF004, 1, &modeRegister);
    if (read != 0)
        return read;
    std::uint32_t mode = 0;
    switch (modeRegister)
    {
    case 12: mode = 0; break;
    case 13: mode = 1; break;
    case 16: mode = 2; break;
    default: return kFail;
    }
    handle->mode = mode;
    if (handle->mode > 2)
    {
        handle->mode = kModeUnknown;
        return kOutOfRange;
    }
    if (handle->state >= 4)
    {
        handle->state = 0;
        return kOutOfRange;
    }
    return 0;
}

int32_t AvDllFindDevice(uint32_t flags, const AvDeviceSearch* search, uint32_t* index)
{
    if (search == nullptr || index == nullptr)
        return kBadArgument;
    std::uint16_t indexes[kSlotCount] = {};
    std::uint32_t ids[kSlotCount] = {};
    const std::int32_t count = ListAny(search->type, kSlotCount, indexes, ids);
    for (std::int32_t i = 0; i < count; ++i)
    {
        AvDeviceQuery query = {};
        if (flags & 2u)
        {
            AvDeviceHandle* handle = nullptr;
            if (AvDllOpenDevice(search->type, indexes[i], &handle) != 0)
                continue;
            AvDllQueryDevice(handle, &query);
            AvDllCloseHandle(handle);
        }
        if ((flags & 1u) && ids[i] == search->id)
            flags &= ~1u;
        if ((flags & 2u) && query.serial == search->serial)
            flags &= ~2u;
        if ((flags & 3u) == 0)
        {
            *index = indexes[i];
            return 0;
        }
    }
    return kFail;
}

int32_t commandSend(AvDeviceHandle* handle, uint8_t* packet)
{
    if (handle == nullptr || packet == nullptr || handle->ops == nullptr)
        return kFail;
    std::uint32_t length = 4;
    if (packet[0] >= 0xFC)
    {
        const std::uint32_t count = packet[4];
        if (count == 0 || count > kMaxPayloadCount)
            return kFail;
        length = 4 + count;
    }
    handle->ops->control(handle, 1, 1);
    std::memset(g_outPacket, 0, sizeof(g_outPacket));
    std::memcpy(g_outPacket, packet, length);
    const std::int32_t sent = handle->ops->send(handle, length, g_outPacket);
    if (sent == kAsserted)
    {
        std::memcpy(packet, g_outPacket + 3, 4);
        return kAsserted;
    }
    return sent < 0 ? kFail : 0;
}

int32_t commandGetResponse(AvDeviceHandle* handle, uint8_t* answer)
{
    if (handle == nullptr || answer == nullptr || handle->ops == nullptr)
        return kFail;
    std::uint32_t length = kPacketSize;
    std::memset(g_inPacket, 0, sizeof(g_inPacket));
    const std::int32_t received = handle->ops->receive(handle, &length, g_inPacket);
    if (received == kAsserted)
    {
        std::memcpy(answer, g_inPacket, 5);
        return kAsserted;
    }
    if (received < 0 || length < 4 || length > kPacketSize)
        return kFail;
    std::memcpy(answer, g_inPacket, length);
    return 0;
}

int32_t commandSendAndGetResponse(AvDeviceHandle* handle, uint8_t* packet, uint8_t* answer)
{
    const std::int32_t sent = commandSend(handle, packet);
    if (sent != 0)
        return sent;
    return commandGetResponse(handle, answer);
}

int32_t commandSetTimeout(AvDeviceHandle* handle, uint32_t milliseconds)
{
    if (handle == nullptr)
        return kNullHandle;
    handle->timeout = milliseconds;
    return 0;
}

int32_t getAssertCode(AvDeviceHandle* handle, uint8_t* code)
{
    if (handle == nullptr || code == nullptr || handle->ops == nullptr)
        return kFail;
    handle->ops->control(handle, 1, 1);
    // The transport may copy a whole answer; only the five assertion bytes
    // reach the caller's buffer.
    std::uint32_t length = kPacketSize;
    std::uint8_t answer[kPacketSize] = {};
    if (handle->ops->receive(handle, &length, answer) != kAsserted)
        return kFail;
    std::memcpy(code, answer, 5);
    return 0;
}

} // extern "C"
