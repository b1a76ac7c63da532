// The handle table and the exports that list, open, query and command devices.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "avnera/HostInternal.h"
#include "platform/Clock.h"

namespace avnera
{
std::uint8_t g_report[kReportBufferSize];

namespace
{
std::uint8_t g_outPacket[kPacketSize];
std::uint8_t g_inPacket[kPacketSize];
IHidSystem* g_hidSystem = nullptr;

enum class EEntry : std::uint8_t
{
    Free,
    Opening,
    Open,
};

// What the interface knows of each handle it gave out; the caller's copy of
// the structure is only trusted while it agrees.
struct SEntry
{
    EEntry state = EEntry::Free;
    std::uint32_t slot = 0;
    std::uint32_t generation = 0;
    const AvTransportOps* ops = nullptr;
    std::uint32_t type = 0;
};

AvDeviceHandle g_pool[kHandlePool];
SEntry g_entries[kHandlePool];
bool g_slotTaken[kSlotCount];
std::size_t g_nextEntry = 0;
std::uint32_t g_lastGeneration = 0;

// The pool index of a pointer, or kHandlePool when it is not one of the pool.
std::size_t IndexOf(const AvDeviceHandle* handle)
{
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(handle);
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(&g_pool[0]);
    if (at < base || at >= base + sizeof(g_pool) || (at - base) % sizeof(AvDeviceHandle) != 0)
        return kHandlePool;
    return static_cast<std::size_t>((at - base) / sizeof(AvDeviceHandle));
}

void CloseEntry(std::size_t index)
{
    AvDeviceHandle& handle = g_pool[index];
    SEntry& entry = g_entries[index];
    if (entry.state == EEntry::Free)
        return;
    if (handle.link != 0 && entry.ops != nullptr && entry.ops->close != nullptr)
        entry.ops->close(&handle);
    handle.link = 0;
    handle.mode = kModeUnknown;
    handle.state = 0;
    handle.timeout = kDefaultTimeoutMs;
    handle.reserved = 0;
    if (entry.slot < kSlotCount)
        g_slotTaken[entry.slot] = false;
    entry = SEntry{};
}

void CloseAll()
{
    for (std::size_t i = 0; i < kHandlePool; ++i)
        CloseEntry(i);
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

// The answer of the last command: its length (0..24) or the transport's failure.
std::int32_t ReceiveAnswer(AvDeviceHandle* handle, std::uint8_t* answer, std::uint32_t& length)
{
    length = kPacketSize;
    std::memset(g_inPacket, 0, sizeof(g_inPacket));
    const std::int32_t received = handle->ops->receive(handle, &length, g_inPacket);
    if (received == kAsserted)
    {
        std::memcpy(answer, g_inPacket, 5);
        length = 5;
        return kAsserted;
    }
    if (received < 0 || length < 4 || length > kPacketSize)
        return kFail;
    // Every answer starts with the answer opcode.
    if (g_inPacket[0] != 0xFE)
        return kFail;
    std::memcpy(answer, g_inPacket, length);
    return 0;
}

std::int32_t CheckHandle(const AvDeviceHandle* handle, std::int32_t nullCode)
{
    if (handle == nullptr)
        return nullCode;
    const std::size_t index = IndexOf(handle);
    if (index >= kHandlePool)
        return kNullHandle;
    const SEntry& entry = g_entries[index];
    if (entry.state != EEntry::Open || handle->reserved != entry.generation || handle->ops != entry.ops ||
        handle->type != entry.type)
        return kNullHandle;
    return 0;
}

std::size_t SlotOf(const AvDeviceHandle* handle)
{
    const std::size_t index = IndexOf(handle);
    if (index >= kHandlePool || g_entries[index].state == EEntry::Free)
        return kSlotCount;
    return g_entries[index].slot;
}

std::size_t OpenHandleCount()
{
    std::size_t count = 0;
    for (const SEntry& entry : g_entries)
        count += entry.state == EEntry::Open ? 1 : 0;
    return count;
}

std::int32_t Exchange(AvDeviceHandle* handle, std::uint8_t* packet, std::uint8_t* answer, std::uint32_t& length)
{
    length = 0;
    const std::int32_t sent = commandSend(handle, packet);
    if (sent != 0)
    {
        if (sent == kAsserted)
        {
            // commandSend put the four codes into the packet; the answer gets
            // the five bytes as a receive would.
            answer[0] = 0x40;
            std::memcpy(answer + 1, packet, 4);
            length = 5;
        }
        return sent;
    }
    return ReceiveAnswer(handle, answer, length);
}

bool AnswerFits(const std::uint8_t* packet, const std::uint8_t* answer, std::uint32_t length, std::uint32_t minLength)
{
    return length >= minLength && length >= 6 && answer[0] == 0xFE && answer[2] == packet[2] &&
           answer[3] == packet[3] && answer[5] == packet[5];
}

std::int32_t Ask(AvDeviceHandle* handle, std::uint8_t* packet, std::uint8_t* answer, std::uint32_t minLength)
{
    std::uint8_t sent[kPacketSize];
    std::memcpy(sent, packet, sizeof(sent));
    std::uint32_t length = 0;
    const std::int32_t result = Exchange(handle, packet, answer, length);
    if (result != 0)
        return result;
    return AnswerFits(sent, answer, length, minLength) ? 0 : kFail;
}

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
    CloseAll();
    return 0;
}

int32_t AvDllShutdown(void)
{
    CloseAll();
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
    std::size_t slot = 0;
    while (slot < kSlotCount && g_slotTaken[slot])
        ++slot;
    if (slot == kSlotCount)
        return kFail;
    // The next free structure of the pool, in turn.
    std::size_t at = g_nextEntry;
    while (g_entries[at].state != EEntry::Free)
        at = (at + 1) % kHandlePool;
    g_nextEntry = (at + 1) % kHandlePool;
    if (++g_lastGeneration == 0)
        g_lastGeneration = 1;
    AvDeviceHandle& opened = g_pool[at];
    opened = AvDeviceHandle{};
    opened.ops = ops;
    opened.type = type;
    opened.mode = kModeUnknown;
    opened.reserved = g_lastGeneration;
    opened.timeout = kDefaultTimeoutMs;
    g_entries[at] = SEntry{EEntry::Opening, static_cast<std::uint32_t>(slot), g_lastGeneration, ops, type};
    g_slotTaken[slot] = true;
    const std::int32_t result = type == kTypeAardvark ? AardvarkOpen(&opened, index) : HidOpen(&opened, type, index);
    if (result != 0 || opened.link == 0)
    {
        CloseEntry(at);
        return result != 0 ? result : kFail;
    }
    g_entries[at].state = EEntry::Open;
    opened.mode = kModeUnknown;
    opened.state = 0;
    opened.timeout = kDefaultTimeoutMs;
    *handle = &opened;
    return 0;
}

int32_t AvDllCloseHandle(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    CloseEntry(IndexOf(handle));
    return 0;
}

int32_t AvDllQueryDevice(AvDeviceHandle* handle, AvDeviceQuery* query)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    std::uint8_t state = 0;
    const std::int32_t read = MemoryPeek(handle, 0xF002, 1, &state);
    if (read != 0)
        return read;
    handle->state = state;
    if (query != nullptr)
    {
        if (handle->type == kTypeVendorHid)
        {
            if (!HidGetFeature(handle, 0xF3))
                return kFail;
            const std::uint32_t uniqueId = static_cast<std::uint32_t>(g_report[2]) |
                                           static_cast<std::uint32_t>(g_report[3]) << 8 |
                                           static_cast<std::uint32_t>(g_report[4]) << 16 |
                                           static_cast<std::uint32_t>(g_report[5]) << 24;
            if (!HidGetFeature(handle, 0xF2))
                return kFail;
            query->uniqueId = uniqueId;
            query->version = static_cast<std::uint32_t>(g_report[1]) | static_cast<std::uint32_t>(g_report[2]) << 8;
        }
        else if (handle->type == kTypeAardvark)
        {
            std::uint32_t uniqueId = 0, version = 0;
            if (!AardvarkQuery(handle, uniqueId, version))
                return kFail;
            query->uniqueId = uniqueId;
            query->version = version;
        }
        query->state = handle->state;
    }
    return 0;
}

int32_t AvDllRefreshDevice(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    std::uint8_t state = 0;
    std::int32_t read = MemoryPeek(handle, 0xF002, 1, &state);
    if (read != 0)
        return read;
    handle->state = state;
    std::uint8_t modeRegister = 0;
    read = MemoryPeek(handle, 0xF004, 1, &modeRegister);
    if (read != 0)
        return read;
    switch (modeRegister)
    {
    case 12: handle->mode = 0; break;
    case 13: handle->mode = 1; break;
    case 16: handle->mode = 2; break;
    default: return kFail; // the mode stays as it was
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
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    if (packet == nullptr)
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
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    if (answer == nullptr)
        return kFail;
    std::uint32_t length = 0;
    return ReceiveAnswer(handle, answer, length);
}

int32_t commandSendAndGetResponse(AvDeviceHandle* handle, uint8_t* packet, uint8_t* answer)
{
    if (answer == nullptr)
        return kFail;
    std::uint32_t length = 0;
    return Exchange(handle, packet, answer, length);
}

int32_t commandSetTimeout(AvDeviceHandle* handle, uint32_t milliseconds)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    handle->timeout = milliseconds;
    return 0;
}

int32_t getAssertCode(AvDeviceHandle* handle, uint8_t* code)
{
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    if (code == nullptr)
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
