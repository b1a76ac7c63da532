// System, radio, MAC and battery exports: thin builders of command packets
// and of memory peeks and pokes. An answer counts only when it is the
// command's own and long enough for what is read from it; an assertion is
// -5, a handle that is not open -3.
#include <cstring>

#include "avnera/HostInternal.h"
#include "avnera/VersionRecord.h"
#include "platform/Clock.h"

using namespace avnera;

namespace
{
// The failures these exports give: the handle's (-3), the assertion (-5), else -1.
std::int32_t Failure(std::int32_t result)
{
    return result == 0 || result == kAsserted || result == kNullHandle ? result : kFail;
}

std::int32_t AskFor(AvDeviceHandle* handle, std::uint8_t* packet, std::uint8_t* answer, std::uint32_t minLength)
{
    return Failure(Ask(handle, packet, answer, minLength));
}

std::int32_t Tell(AvDeviceHandle* handle, std::uint8_t* packet)
{
    return Failure(commandSend(handle, packet));
}

std::uint16_t U16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t U32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::int32_t SingleByte(AvDeviceHandle* handle, std::uint8_t opcode)
{
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    std::uint8_t packet[kPacketSize] = {opcode, 0, 0, 0};
    return Tell(handle, packet);
}

std::int32_t PokeByte(AvDeviceHandle* handle, std::uint16_t address, std::uint8_t value)
{
    return MemoryPoke(handle, address, 1, &value);
}

// The pokes of a sequence all go out; the first failure is its result.
void Keep(std::int32_t& first, std::int32_t result)
{
    if (first == 0)
        first = result;
}

bool KnowMode(AvDeviceHandle* handle)
{
    if (handle->mode == kModeUnknown)
        AvDllRefreshDevice(handle);
    return handle->mode <= 2;
}

std::int32_t IdSet(AvDeviceHandle* handle, std::uint8_t sub, const std::uint32_t* id)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (id == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 0, 0, 8, sub, 0, 0,
                                        static_cast<std::uint8_t>(*id), static_cast<std::uint8_t>(*id >> 8),
                                        static_cast<std::uint8_t>(*id >> 16), static_cast<std::uint8_t>(*id >> 24)};
    return Tell(handle, packet);
}

std::int32_t LinkValue(AvDeviceHandle* handle, std::uint8_t& value)
{
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 0, 0, 2, 0x82};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 9))
        return result;
    if (handle->mode == kModeUnknown && AvDllRefreshDevice(handle) != 0)
        return kFail;
    value = handle->state == 3 ? answer[8] : answer[6];
    return 0;
}

std::int32_t BerWindow(AvDeviceHandle* handle, float* ratio, uint32_t* bits, std::uint32_t windowMs, std::uint8_t channel)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (ratio == nullptr || bits == nullptr)
        return kBadArgument;
    // The sequence goes on past a failed poke, but a window whose start or
    // stop did not reach the chip counted something else: that failure is
    // the result.
    std::int32_t first = 0;
    Keep(first, PokeByte(handle, 0xF426, static_cast<std::uint8_t>((channel & 0x0F) << 4)));
    Keep(first, PokeByte(handle, 0xF620, 0x00));
    Keep(first, PokeByte(handle, 0xF572, 0x40));
    WaitMs(windowMs);
    Keep(first, PokeByte(handle, 0xF572, 0x80));
    std::uint8_t errors[2] = {};
    std::uint8_t counted[4] = {};
    Keep(first, MemoryPeek(handle, 0xF570, 2, errors));
    Keep(first, MemoryPeek(handle, 0xF56C, 4, counted));
    const std::uint32_t total = first == 0 ? U32(counted) : 0;
    if (total == 0)
    {
        *bits = 0;
        return first != 0 ? Failure(first) : kFail;
    }
    *ratio = static_cast<float>(U16(errors)) / static_cast<float>(total);
    *bits = total;
    return 0;
}

struct SPeer
{
    std::uint32_t id;
    std::uint8_t second;
    std::uint8_t third;
};
constexpr SPeer kPeers[4] = {{0xAAAAAAAA, 4, 1}, {0xBBBBBBBB, 5, 0}, {0xCCCCCCCC, 6, 2}, {0xDDDDDDDD, 7, 1}};
} // namespace

extern "C" {

int32_t batmanStopCharger(AvDeviceHandle* handle, uint8_t index)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 12, index, 3, 0x02, 0};
    return Tell(handle, packet);
}

int32_t batmanStartCharger(AvDeviceHandle* handle, uint8_t index)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 12, index, 3, 0x02, 1};
    return Tell(handle, packet);
}

int32_t batmanGetChargerCal(AvDeviceHandle* handle, uint8_t index, uint16_t* first, uint16_t* second)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (first == nullptr || second == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 12, index, 2, 0x04};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 10))
        return result;
    *first = U16(answer + 6);
    *second = U16(answer + 8);
    return 0;
}

int32_t batmanSetChargerCal(AvDeviceHandle* handle, uint8_t index, uint16_t first, uint16_t second)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 12, index, 6, 0x04,
                                        static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(first >> 8),
                                        static_cast<std::uint8_t>(second), static_cast<std::uint8_t>(second >> 8)};
    return Tell(handle, packet);
}

int32_t batmanSampleDvm(AvDeviceHandle* handle, uint8_t index, uint8_t a, uint8_t b, uint8_t c, uint16_t* out)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (out == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 12, index, 5, 0x03, a, b, c};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 11))
        return result;
    *out = U16(answer + 9);
    return 0;
}

int32_t batmanGetBattState(AvDeviceHandle* handle, uint8_t index, AvBattState* out)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (out == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 12, index, 2, 0x01};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 12))
        return result;
    out->state = U32(answer + 6);
    out->value = U16(answer + 10);
    return 0;
}

int32_t systemDeviceIdGet(AvDeviceHandle* handle, uint8_t* id4, uint8_t* deviceByte)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (id4 == nullptr || deviceByte == nullptr)
        return kBadArgument;
    if (!KnowMode(handle))
        return kFail;
    static const std::uint16_t kIdAddress[3] = {0xC0D4, 0xB112, 0x0000};
    static const std::uint16_t kByteAddress[3] = {0xC0C5, 0xB0FE, 0x0000};
    std::uint8_t id[4] = {};
    std::uint8_t byte = 0;
    std::int32_t result = MemoryPeek(handle, kIdAddress[handle->mode], 4, id);
    if (result == 0)
        result = MemoryPeek(handle, kByteAddress[handle->mode], 1, &byte);
    if (result != 0)
        return Failure(result);
    std::memcpy(id4, id, 4);
    *deviceByte = byte;
    return 0;
}

int32_t systemDeviceIdSet(AvDeviceHandle* handle, const uint32_t* id)
{
    return IdSet(handle, 0x0E, id);
}

int32_t systemPairedArbDeviceIdGet(AvDeviceHandle* handle, uint8_t* id4)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (id4 == nullptr)
        return kBadArgument;
    if (!KnowMode(handle) || handle->mode != 1)
        return kFail;
    return Failure(MemoryPeek(handle, 0xB10D, 4, id4));
}

int32_t systemPairedArbDeviceIdSet(AvDeviceHandle* handle, const uint32_t* id)
{
    return IdSet(handle, 0x0F, id);
}

int32_t systemDeviceIdsCommit(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 0, 0, 8, 0x10, 0, 0, 6, 0, 0, 0};
    const std::int32_t result = Tell(handle, packet);
    WaitMs(5000);
    return result;
}

int32_t systemPeerDeviceInfoGet(AvDeviceHandle*, uint8_t index, uint32_t* id, uint8_t* second, uint8_t* third)
{
    if (id == nullptr || second == nullptr || third == nullptr)
        return kBadArgument;
    if (index > 3)
        return kFail;
    *id = kPeers[index].id;
    *second = kPeers[index].second;
    *third = kPeers[index].third;
    return 0;
}

int32_t systemVersionAppNameGet(AvDeviceHandle* handle, char* version32, char* name95)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (version32 == nullptr || name95 == nullptr)
        return kBadArgument;
    char record[256] = {};
    std::size_t total = 0;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 7, 0, 5, 0x02, 5, 0, 0};
    for (;;)
    {
        std::uint8_t sent[kPacketSize];
        std::memcpy(sent, packet, sizeof(sent));
        std::uint8_t answer[kPacketSize] = {};
        std::uint32_t length = 0;
        if (const std::int32_t result = Exchange(handle, packet, answer, length))
            return Failure(result);
        WaitMs(50);
        // A piece is answer byte 4 - 2 long from answer byte 6; an answer is
        // at most 24 bytes, so a piece is at most 18. The answer must be this
        // request's and carry its whole piece.
        const std::size_t piece = answer[4] >= 2 ? static_cast<std::size_t>(answer[4] - 2) : 0;
        const std::size_t bounded = piece < 18 ? piece : 18;
        if (!AnswerFits(sent, answer, length, static_cast<std::uint32_t>(6 + bounded)))
            return kFail;
        if (total + bounded >= sizeof(record))
            break;
        std::memcpy(record + total, answer + 6, bounded);
        total += bounded;
        if (piece < 18)
            break;
        std::uint8_t next[kPacketSize] = {0xFD, Destination(handle), 7, 0, 5, 0x03, 5,
                                          static_cast<std::uint8_t>(total), 0};
        std::memcpy(packet, next, sizeof(packet));
    }
    ParseVersionRecord(record, total, version32, name95);
    return 0;
}

int32_t systemReset(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle, kFail))
        return bad;
    // The chip restarts as it takes the poke: its answer need not come.
    PokeByte(handle, 0xF003, 0x01);
    return 0;
}

int32_t systemDefaultLI(AvDeviceHandle* handle)
{
    return SingleByte(handle, 0x3B);
}

int32_t systemPair(AvDeviceHandle* handle)
{
    return SingleByte(handle, 0x40);
}

int32_t systemPairCancel(AvDeviceHandle* handle)
{
    return SingleByte(handle, 0x49);
}

int32_t systemStandby(AvDeviceHandle* handle)
{
    return SingleByte(handle, 0x3C);
}

int32_t macGetLinkStatus(AvDeviceHandle* handle, uint8_t* link)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (link == nullptr)
        return kBadArgument;
    std::uint8_t value = 0;
    if (const std::int32_t result = LinkValue(handle, value))
        return result;
    *link = value == 1 || value == 9 || value == 11 ? 1 : 0;
    return 0;
}

int32_t macGetMACState(AvDeviceHandle* handle, uint8_t* state)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (state == nullptr)
        return kBadArgument;
    std::uint8_t value = 0;
    if (const std::int32_t result = LinkValue(handle, value))
        return result;
    *state = value;
    return 0;
}

int32_t macGetBer(AvDeviceHandle* handle, float* ratio, uint32_t* bits, uint8_t channel)
{
    return BerWindow(handle, ratio, bits, 4000, channel);
}

int32_t macGetBerEx(AvDeviceHandle* handle, float* ratio, uint32_t* bits, uint32_t windowMs, uint8_t channel)
{
    return BerWindow(handle, ratio, bits, windowMs, channel);
}

int32_t macGetStats(AvDeviceHandle* handle, uint8_t index, AvMacStats* stats, uint8_t selector)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (stats == nullptr)
        return kBadArgument;
    std::uint8_t answers[3][kPacketSize] = {};
    static const std::uint32_t kLengths[3] = {12, 13, 18};
    for (std::uint8_t k = 0; k < 3; ++k)
    {
        std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 11, index, 4, 0x02, k, selector};
        if (const std::int32_t result = AskFor(handle, packet, answers[k], kLengths[k]))
        {
            // A chip without the third query leaves its counters at 0; an
            // asserted chip fails the whole call.
            if (k < 2 || result == kAsserted)
                return result;
            std::memset(answers[2], 0, sizeof(answers[2]));
        }
    }
    const std::uint8_t* q0 = answers[0];
    const std::uint8_t* q1 = answers[1];
    const std::uint8_t* q2 = answers[2];
    stats->counter[0] = q1[12];
    stats->counter[1] = U16(q1 + 6);
    stats->counter[2] = U16(q1 + 8);
    stats->counter[3] = U16(q0 + 6);
    stats->counter[4] = U16(q0 + 8);
    stats->counter[5] = U16(q0 + 10);
    stats->counter[6] = U16(q1 + 10);
    stats->counter[7] = U16(q2 + 6);
    stats->counter[8] = U16(q2 + 8);
    stats->counter[9] = U16(q2 + 10);
    stats->counter[10] = U16(q2 + 12);
    stats->total = U32(q2 + 14);
    return 0;
}

int32_t macEnableStats(AvDeviceHandle* handle, uint8_t index, uint8_t on)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 11, index, 3, 0x04, static_cast<std::uint8_t>(on > 0 ? 1 : 0)};
    return Tell(handle, packet);
}

int32_t macClearStats(AvDeviceHandle* handle, uint8_t index, uint8_t on)
{
    const std::int32_t enabled = macEnableStats(handle, index, on);
    if (enabled != 0)
        return enabled;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 11, index, 2, 0x03};
    return Tell(handle, packet);
}

int32_t macRfFixedChannelSetup(AvDeviceHandle* handle, uint8_t channel)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 11, 0, 7, 0x01, 0, channel, 1, 0, 1};
    return Tell(handle, packet);
}

int32_t macWlanChannelTables(AvDeviceHandle* handle, uint16_t* first, uint16_t* second)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (first == nullptr || second == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 11, 0, 2, 0x05};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 10))
        return result;
    *first = U16(answer + 6);
    *second = U16(answer + 8);
    return 0;
}

int32_t macDebugTables(AvDeviceHandle* handle, uint16_t* value)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    if (value == nullptr)
        return kBadArgument;
    std::uint8_t packet[kPacketSize] = {0xFD, Destination(handle), 11, 0, 2, 0x09};
    std::uint8_t answer[kPacketSize] = {};
    if (const std::int32_t result = AskFor(handle, packet, answer, 8))
        return result;
    *value = U16(answer + 6);
    return 0;
}

int32_t rfFixedChannelSetup(AvDeviceHandle* handle, uint8_t channel)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 11, 0, 7, 0x01, 1, channel, 0, 1, 0};
    return Tell(handle, packet);
}

int32_t rfDynamicChannelSetup(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle, kBadArgument))
        return bad;
    std::uint8_t packet[kPacketSize] = {0xFF, Destination(handle), 11, 0, 7, 0x01, 0, 0, 0, 0, 0};
    return Tell(handle, packet);
}

int32_t rfAntennaDiversitySetup(AvDeviceHandle* handle, uint32_t mode)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    static const std::uint8_t kValues[3] = {0x00, 0x80, 0x81};
    if (mode > 2)
        return kBadArgument;
    return Failure(PokeByte(handle, 0xF3CA, kValues[mode]));
}

int32_t rfContinuousTransmitEnable(AvDeviceHandle* handle, uint8_t on)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    static const std::uint16_t kAddresses[11] = {0xF4B0, 0xF402, 0xF403, 0xF401, 0xF404, 0xF401,
                                                 0xF404, 0xF406, 0xF3CB, 0xF401, 0xF40B};
    static const std::uint8_t kValues[11] = {0x42, 0x00, 0x00, 0x00, 0x00, 0x20, 0x80, 0x81, 0x90, 0xFF, 0xFF};
    // Every poke goes out; the first that failed is the result.
    std::int32_t first = 0;
    for (std::size_t i = 0; i < 11; ++i)
        Keep(first, PokeByte(handle, kAddresses[i], kValues[i]));
    if (on != 0)
    {
        Keep(first, PokeByte(handle, 0xF010, 0x00));
    }
    else
    {
        Keep(first, PokeByte(handle, 0xF012, 0xFF));
        Keep(first, PokeByte(handle, 0xF013, 0xFF));
        Keep(first, PokeByte(handle, 0xF010, 0x0A));
    }
    return Failure(first);
}

int32_t rfRevertToFlashSettings(AvDeviceHandle* handle)
{
    if (const std::int32_t bad = CheckHandle(handle))
        return bad;
    if (handle->type == kTypeGenericHid)
        return kNotSupported; // no reset line to pulse
    // A reset pulse: the line held low for a second, then released. The chip
    // starts again from its serial memory, with its settings from there.
    if (deviceReset(handle, 0) != 0)
        return kFail;
    WaitMs(1000);
    if (deviceReset(handle, 1) != 0)
        return kFail;
    // Done when the chip runs and answers again; its mode is read anew when needed.
    handle->mode = kModeUnknown;
    const CDeadline deadline(2000);
    for (;;)
    {
        std::uint8_t state = 0;
        if (MemoryPeek(handle, 0xF002, 1, &state) == 0)
            return 0;
        if (deadline.IsExpired())
            return kFail;
        WaitMs(50);
    }
}

int32_t rfSetTxPower(AvDeviceHandle*, uint32_t)
{
    return kNotSupported;
}

} // extern "C"
