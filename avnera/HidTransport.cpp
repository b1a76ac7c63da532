// The two HID transports: generic HID (type 0, any device whose top-level
// collection is 0xFF00/0x0001) and vendor HID (type 1, 170D:FE00). Both move
// everything through feature reports of the device's feature-report length.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "avnera/HostInternal.h"
#include "platform/Clock.h"

namespace avnera
{
namespace
{
constexpr std::uint16_t kUsagePage = 0xFF00;
constexpr std::uint16_t kUsage = 0x0001;
constexpr std::uint16_t kVendorId = 0x170D;
constexpr std::uint16_t kVendorProductId = 0xFE00;
constexpr std::size_t kMaxHidMatches = 8;

CHidDevicePtr g_devices[kSlotCount];
// Capabilities of the most recently opened HID device (kept once per process).
SHidCaps g_lastCaps;

IHidDevice* DeviceOf(const AvDeviceHandle* handle)
{
    const std::size_t slot = SlotOf(handle);
    return slot < kSlotCount ? g_devices[slot].get() : nullptr;
}

std::size_t FeatureLength(IHidDevice& device)
{
    SHidCaps caps;
    if (device.GetCaps(caps) != EHidResult::Ok)
        return 0;
    const std::size_t length = caps.featureReportByteLength;
    return length <= kReportBufferSize ? length : 0;
}

bool GetFeatureOn(IHidDevice& device, std::uint8_t reportId)
{
    const std::size_t length = FeatureLength(device);
    if (length < 2)
        return false;
    g_report[0] = reportId;
    return device.GetFeature(g_report, length) == EHidResult::Ok;
}

bool SetFeatureOn(IHidDevice& device, std::uint8_t reportId)
{
    const std::size_t length = FeatureLength(device);
    if (length < 2)
        return false;
    g_report[0] = reportId;
    if (reportId == 0xE1)
        ++g_report[1];
    return device.SetFeature(g_report, length) == EHidResult::Ok;
}

// The matching devices in system order, opened for shared read/write with
// overlapped I/O; at most kMaxHidMatches.
struct SHidMatch
{
    std::wstring path;
    SHidAttributes attributes;
    CHidDevicePtr device;
};

std::vector<SHidMatch> FindMatches(std::uint32_t type, std::size_t wanted)
{
    std::vector<SHidMatch> matches;
    std::vector<std::wstring> paths;
    IHidSystem& system = HidSystem();
    if (system.EnumerateInterfaces(paths) != EHidResult::Ok)
        return matches;
    for (const std::wstring& path : paths)
    {
        if (matches.size() >= std::min(wanted, kMaxHidMatches))
            break;
        SHidOpenOptions options;
        options.access = kHidAccessReadWrite;
        options.overlapped = true;
        CHidDevicePtr device;
        if (system.Open(path, options, device) != EHidResult::Ok || !device)
            continue;
        SHidAttributes attributes;
        SHidCaps caps;
        if (device->GetAttributes(attributes) != EHidResult::Ok || device->GetCaps(caps) != EHidResult::Ok)
            continue;
        if (caps.usagePage != kUsagePage || caps.usage != kUsage)
            continue;
        if (type == kTypeVendorHid && (attributes.vendorId != kVendorId || attributes.productId != kVendorProductId))
            continue;
        matches.push_back({path, attributes, std::move(device)});
    }
    return matches;
}

std::uint32_t VendorListId(IHidDevice& device)
{
    if (!GetFeatureOn(device, 0xF2))
        return 0;
    const std::uint8_t layout = g_report[1];
    if (layout < 4 || !GetFeatureOn(device, 0xF3))
        return 0;
    const std::size_t first = layout == 4 ? 1 : 2;
    return static_cast<std::uint32_t>(g_report[first]) | static_cast<std::uint32_t>(g_report[first + 1]) << 8 |
           static_cast<std::uint32_t>(g_report[first + 2]) << 16 | static_cast<std::uint32_t>(g_report[first + 3]) << 24;
}

// Status byte: byte 2 of the command report; 0x08 when the report cannot be read.
std::uint8_t ReadStatus(IHidDevice& device, std::uint8_t reportId)
{
    if (!GetFeatureOn(device, reportId))
        return 0x08;
    return g_report[2];
}

// The status report says the chip asserted (0xFF from a vendor-HID device
// is no assertion); its bytes 2..6, the status and the four codes, are the
// assertion bytes.
bool Asserted(std::uint8_t status, bool vendor)
{
    return (status & 0x40) != 0 && (!vendor || status != 0xFF);
}

void CopyAssertion(std::uint8_t* to)
{
    std::memcpy(to, g_report + 2, 5);
}

enum class EWait
{
    Ready,
    Asserted,
    TimedOut,
};

EWait Wait(IHidDevice& device, std::uint8_t reportId, bool vendor, std::uint8_t mask, std::uint8_t want,
           std::uint32_t timeoutMs)
{
    const CDeadline deadline(timeoutMs);
    for (;;)
    {
        // The status read after the deadline passed is the last one: a
        // thread that was held up past the deadline still sees a chip that
        // got ready in time.
        const bool last = deadline.IsExpired();
        const std::uint8_t status = ReadStatus(device, reportId);
        if (Asserted(status, vendor))
            return EWait::Asserted;
        if ((status & mask) == want)
            return EWait::Ready;
        if (last)
            return EWait::TimedOut;
    }
}

std::int32_t CopyAnswer(std::uint32_t* length, std::uint8_t* bytes, std::size_t reportLength)
{
    std::size_t count = std::min<std::size_t>(g_report[1], *length);
    count = std::min(count, reportLength > 3 ? reportLength - 3 : 0);
    std::memcpy(bytes, g_report + 3, count);
    *length = static_cast<std::uint32_t>(count);
    return static_cast<std::int32_t>(count);
}

// Generic HID ----------------------------------------------------------------

int32_t GenericSend(AvDeviceHandle* handle, uint32_t length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || bytes == nullptr)
        return kFail;
    // An asserted chip takes no command: that is said, not sent into the void.
    if (Asserted(ReadStatus(*device, 0xFF), false))
    {
        CopyAssertion(bytes + 2);
        return kAsserted;
    }
    const std::size_t reportLength = FeatureLength(*device);
    if (length + 3 > reportLength)
        return kFail;
    std::memset(g_report, 0, sizeof(g_report));
    g_report[1] = static_cast<std::uint8_t>(length + 1);
    std::memcpy(g_report + 3, bytes, length);
    if (SetFeatureOn(*device, 0xFF))
        return 0;
    if (Asserted(ReadStatus(*device, 0xFF), false))
    {
        CopyAssertion(bytes + 2);
        return kAsserted;
    }
    return kFail;
}

int32_t GenericReceive(AvDeviceHandle* handle, uint32_t* length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || length == nullptr || bytes == nullptr)
        return kFail;
    switch (Wait(*device, 0xFF, false, 0x05, 0x05, handle->timeout))
    {
    case EWait::Asserted:
        // The report carries the assertion, not an answer.
        if (*length >= 5)
            CopyAssertion(bytes);
        return kAsserted;
    case EWait::TimedOut: return kFail;
    case EWait::Ready: break;
    }
    return CopyAnswer(length, bytes, FeatureLength(*device));
}

int32_t HidClose(AvDeviceHandle* handle)
{
    const std::size_t slot = SlotOf(handle);
    if (slot >= kSlotCount)
        return kFail;
    g_devices[slot].reset();
    return 0;
}

int32_t GenericControl(AvDeviceHandle* handle, uint32_t code, uint32_t value)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr)
        return kFail;
    if (code != 2 || value == 0)
        return 0;
    std::memset(g_report, 0, sizeof(g_report));
    g_report[1] = 2;
    g_report[3] = 0x0A;
    return SetFeatureOn(*device, 0xFF) ? 0 : kFail;
}

void PutMemoryParameters(uint32_t address, uint16_t length)
{
    g_report[1] = static_cast<std::uint8_t>(address);
    g_report[2] = static_cast<std::uint8_t>(address >> 8);
    g_report[3] = static_cast<std::uint8_t>(address >> 16);
    g_report[4] = static_cast<std::uint8_t>(address >> 24);
    g_report[5] = static_cast<std::uint8_t>(length);
    g_report[6] = static_cast<std::uint8_t>(length >> 8);
}

int32_t HidMemWrite(AvDeviceHandle* handle, uint32_t address, uint16_t length, const uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || (length > 0 && bytes == nullptr))
        return kFail;
    if (static_cast<std::size_t>(length) + 7 > FeatureLength(*device))
        return kFail;
    std::memset(g_report, 0, sizeof(g_report));
    PutMemoryParameters(address, length);
    if (length > 0)
        std::memcpy(g_report + 7, bytes, length);
    return SetFeatureOn(*device, 0xE2) ? 0 : kFail;
}

int32_t HidMemRead(AvDeviceHandle* handle, uint32_t address, uint16_t length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || bytes == nullptr)
        return kFail;
    if (static_cast<std::size_t>(length) + 7 > FeatureLength(*device))
        return kFail;
    std::memset(g_report, 0, sizeof(g_report));
    PutMemoryParameters(address, length);
    if (!GetFeatureOn(*device, 0xE2))
        return kFail;
    std::memcpy(bytes, g_report + 7, length);
    return 0;
}

bool RefreshIfUnknown(AvDeviceHandle* handle)
{
    return handle->mode != kModeUnknown || AvDllRefreshDevice(handle) == 0;
}

int32_t BlockWritePackets(AvDeviceHandle* handle, IHidDevice& device, bool vendor, uint16_t address, uint16_t length,
                          const uint8_t* bytes)
{
    const std::size_t reportLength = FeatureLength(device);
    std::uint16_t done = 0;
    while (done < length)
    {
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint16_t>(16, length - done));
        const std::uint16_t at = static_cast<std::uint16_t>(address + done);
        if (static_cast<std::size_t>(n) + 12 > reportLength)
            return kFail;
        // The report buffer is shared with receive: every packet is built whole.
        std::memset(g_report, 0, sizeof(g_report));
        g_report[1] = static_cast<std::uint8_t>(n + 9);
        g_report[3] = vendor ? 0xFD : 0xFF;
        g_report[4] = vendor ? 2 : 4;
        g_report[7] = static_cast<std::uint8_t>(n + 4);
        g_report[8] = 0x00;
        g_report[9] = static_cast<std::uint8_t>(at);
        g_report[10] = static_cast<std::uint8_t>(at >> 8);
        std::memcpy(g_report + 11, bytes + done, n);
        if (!SetFeatureOn(device, vendor ? 0xE1 : 0xFF))
            return kFail;
        if (vendor)
        {
            // Each packet is answered: the answer must be the poke's.
            std::uint8_t answer[kPacketSize] = {};
            std::uint32_t answerLength = sizeof(answer);
            const std::int32_t received = handle->ops->receive(handle, &answerLength, answer);
            if (received == kAsserted)
                return kAsserted;
            const std::uint8_t sent[6] = {0xFD, 2, 0, 0, static_cast<std::uint8_t>(n + 4), 0x00};
            if (received < 0 || !AnswerFits(sent, answer, answerLength, 8) || answer[6] != static_cast<std::uint8_t>(at) ||
                answer[7] != static_cast<std::uint8_t>(at >> 8))
                return kFail;
        }
        done = static_cast<std::uint16_t>(done + n);
    }
    return 0;
}

int32_t GenericBlockWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || (length > 0 && bytes == nullptr))
        return kFail;
    if (!RefreshIfUnknown(handle))
        return kFail;
    if (handle->type == kTypeGenericHid && handle->state != 0)
    {
        if (static_cast<std::size_t>(length) + 7 > FeatureLength(*device))
            return kFail;
        std::memset(g_report, 0, sizeof(g_report));
        PutMemoryParameters(address, length);
        std::memcpy(g_report + 7, bytes, length);
        return SetFeatureOn(*device, 0xE4) ? 0 : kFail;
    }
    return BlockWritePackets(handle, *device, false, address, length, bytes);
}

int32_t BlockReadPackets(AvDeviceHandle* handle, bool vendor, uint16_t address, uint16_t length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || bytes == nullptr)
        return kFail;
    std::uint16_t done = 0;
    while (done < length)
    {
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint16_t>(16, length - done));
        const std::uint16_t at = static_cast<std::uint16_t>(address + done);
        std::memset(g_report, 0, sizeof(g_report));
        g_report[1] = 10;
        g_report[3] = 0xFD;
        g_report[4] = vendor ? 2 : 4;
        g_report[7] = 5;
        g_report[8] = 0x81;
        g_report[9] = static_cast<std::uint8_t>(at);
        g_report[10] = static_cast<std::uint8_t>(at >> 8);
        g_report[11] = n;
        if (!SetFeatureOn(*device, vendor ? 0xE1 : 0xFF))
            return kFail;
        std::uint8_t answer[kPacketSize] = {};
        std::uint32_t answerLength = static_cast<std::uint32_t>(n) + 8;
        const std::int32_t received = handle->ops->receive(handle, &answerLength, answer);
        if (received == kAsserted)
            return kAsserted;
        // The answer must be this piece's: the peek and its address echoed.
        const std::uint8_t sent[6] = {0xFD, static_cast<std::uint8_t>(vendor ? 2 : 4), 0, 0, 5, 0x81};
        if (received < 0 || !AnswerFits(sent, answer, answerLength, static_cast<std::uint32_t>(n) + 8) ||
            answer[6] != static_cast<std::uint8_t>(at) || answer[7] != static_cast<std::uint8_t>(at >> 8))
            return kFail;
        // Each piece copies its own n data bytes, whatever the answer's count.
        std::memcpy(bytes + done, answer + 8, n);
        done = static_cast<std::uint16_t>(done + n);
    }
    return 0;
}

int32_t GenericBlockRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* bytes)
{
    return BlockReadPackets(handle, false, address, length, bytes);
}

// Vendor HID -------------------------------------------------------------------

int32_t VendorSend(AvDeviceHandle* handle, uint32_t length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || bytes == nullptr)
        return kFail;
    std::uint8_t status = ReadStatus(*device, 0xE1);
    if (Asserted(status, true))
    {
        CopyAssertion(bytes + 2);
        return kAsserted;
    }
    if ((status & 0x04) != 0)
        status = ReadStatus(*device, 0xE1);
    const std::size_t reportLength = FeatureLength(*device);
    if (length + 3 > reportLength)
        return kFail;
    std::memset(g_report, 0, sizeof(g_report));
    g_report[1] = static_cast<std::uint8_t>(length + 2);
    std::memcpy(g_report + 3, bytes, length);
    if (SetFeatureOn(*device, 0xE1))
        return 0;
    status = ReadStatus(*device, 0xE1);
    if (Asserted(status, true))
    {
        CopyAssertion(bytes + 2);
        return kAsserted;
    }
    return kFail;
}

int32_t VendorReceive(AvDeviceHandle* handle, uint32_t* length, uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || length == nullptr || bytes == nullptr)
        return kFail;
    switch (Wait(*device, 0xE1, true, 0x05, 0x05, 2000))
    {
    case EWait::Asserted:
        if (*length >= 5)
            CopyAssertion(bytes);
        return kAsserted;
    case EWait::TimedOut: return kFail;
    case EWait::Ready: break;
    }
    return CopyAnswer(length, bytes, FeatureLength(*device));
}

int32_t VendorControl(AvDeviceHandle* handle, uint32_t code, uint32_t value)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr)
        return kFail;
    std::memset(g_report, 0, sizeof(g_report));
    g_report[1] = static_cast<std::uint8_t>(code);
    g_report[2] = static_cast<std::uint8_t>(code >> 8);
    g_report[3] = static_cast<std::uint8_t>(value);
    return SetFeatureOn(*device, 0xE0) ? 0 : kFail;
}

int32_t VendorBlockWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* bytes)
{
    IHidDevice* device = DeviceOf(handle);
    if (device == nullptr || (length > 0 && bytes == nullptr))
        return kFail;
    if (!RefreshIfUnknown(handle))
        return kFail;
    return BlockWritePackets(handle, *device, true, address, length, bytes);
}

int32_t VendorBlockRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* bytes)
{
    return BlockReadPackets(handle, true, address, length, bytes);
}
} // namespace

const AvTransportOps kGenericHidOps = {GenericSend,    GenericReceive,    HidClose,         GenericControl,
                                       HidMemWrite,    HidMemRead,        GenericBlockWrite, GenericBlockRead};
const AvTransportOps kVendorHidOps = {VendorSend,  VendorReceive, HidClose,         VendorControl,
                                      HidMemWrite, HidMemRead,    VendorBlockWrite, VendorBlockRead};

IHidDevice* HidDeviceOf(const AvDeviceHandle* handle)
{
    return DeviceOf(handle);
}

bool HidGetFeature(AvDeviceHandle* handle, std::uint8_t reportId)
{
    IHidDevice* device = DeviceOf(handle);
    return device != nullptr && GetFeatureOn(*device, reportId);
}

bool HidSetFeature(AvDeviceHandle* handle, std::uint8_t reportId)
{
    IHidDevice* device = DeviceOf(handle);
    return device != nullptr && SetFeatureOn(*device, reportId);
}

std::int32_t HidList(std::uint32_t type, std::uint32_t maximum, std::uint16_t* indexes, std::uint32_t* ids)
{
    std::vector<SHidMatch> matches = FindMatches(type, kMaxHidMatches);
    const std::size_t count = std::min<std::size_t>(maximum, matches.size());
    for (std::size_t i = 0; i < count; ++i)
    {
        indexes[i] = static_cast<std::uint16_t>(i);
        ids[i] = type == kTypeVendorHid ? VendorListId(*matches[i].device)
                                        : static_cast<std::uint32_t>(matches[i].attributes.vendorId) << 16 |
                                              matches[i].attributes.productId;
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t HidOpen(AvDeviceHandle* handle, std::uint32_t type, std::uint32_t index)
{
    const std::size_t slot = SlotOf(handle);
    if (slot >= kSlotCount)
        return kFail;
    std::vector<SHidMatch> matches = FindMatches(type, static_cast<std::size_t>(index) + 1);
    if (index >= matches.size())
        return kFail;
    CHidDevicePtr device = std::move(matches[index].device);
    SHidCaps caps;
    if (device->GetCaps(caps) != EHidResult::Ok)
    {
        std::printf("Accessed Device not OK\n");
        std::fflush(stdout);
        return kFail;
    }
    g_lastCaps = caps;
    std::uint32_t link = static_cast<std::uint32_t>(device->GetHandleValue());
    if (link == 0)
        link = 0xFFFF0000u | static_cast<std::uint32_t>(slot + 1);
    g_devices[slot] = std::move(device);
    handle->link = link;
    return 0;
}
} // namespace avnera
