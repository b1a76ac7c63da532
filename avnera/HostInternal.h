#pragma once
// Inner parts of the host interface shared by its source files: the handle
// table, the process-wide buffers, the per-slot transport objects, and the
// seams through which the transports reach HID devices and the adapter
// library.

#include <cstddef>
#include <cstdint>

#include "avnera/OrvoHostApi.h"
#include "platform/HidSystem.h"

namespace avnera
{
constexpr std::size_t kSlotCount = 10;
constexpr std::size_t kReportBufferSize = 263;
constexpr std::size_t kPacketSize = 24;
constexpr std::uint32_t kMaxPayloadCount = 20;

constexpr std::int32_t kFail = -1;
constexpr std::int32_t kNotSupported = -2;
constexpr std::int32_t kNullHandle = -3;
constexpr std::int32_t kBadArgument = -4;
constexpr std::int32_t kAsserted = -5;
constexpr std::int32_t kOutOfRange = -6;

constexpr std::uint32_t kTypeGenericHid = 0;
constexpr std::uint32_t kTypeVendorHid = 1;
constexpr std::uint32_t kTypeAardvark = 2;

constexpr std::uint32_t kModeUnknown = 255;
constexpr std::uint32_t kDefaultTimeoutMs = 1000;

extern AvDeviceHandle g_handles[kSlotCount];
// The shared feature-report buffer (report ID in byte 0).
extern std::uint8_t g_report[kReportBufferSize];

extern const AvTransportOps kGenericHidOps;
extern const AvTransportOps kVendorHidOps;
extern const AvTransportOps kAardvarkOps;

inline std::size_t SlotOf(const AvDeviceHandle* handle)
{
    return static_cast<std::size_t>(handle - g_handles);
}
inline bool IsTableHandle(const AvDeviceHandle* handle)
{
    return handle >= g_handles && handle < g_handles + kSlotCount;
}

// The HID system the HID transports use: the system's own unless a bench
// world was set (tests, bench programs). Not thread-safe; set before use.
IHidSystem& HidSystem();
void SetHidSystem(IHidSystem* system);

// HID transports (HidTransport.cpp).
std::int32_t HidList(std::uint32_t type, std::uint32_t maximum, std::uint16_t* indexes, std::uint32_t* ids);
std::int32_t HidOpen(AvDeviceHandle* handle, std::uint32_t type, std::uint32_t index);
IHidDevice* HidDeviceOf(const AvDeviceHandle* handle);
bool HidGetFeature(AvDeviceHandle* handle, std::uint8_t reportId);
bool HidSetFeature(AvDeviceHandle* handle, std::uint8_t reportId);

// Aardvark transport (AardvarkTransport.cpp).
std::int32_t AardvarkList(std::uint32_t maximum, std::uint16_t* indexes, std::uint32_t* ids);
std::int32_t AardvarkOpen(AvDeviceHandle* handle, std::uint32_t index);
bool AardvarkQuery(AvDeviceHandle* handle, std::uint32_t& uniqueId, std::uint32_t& version);

// Destination byte of memory and system commands.
inline std::uint8_t Destination(const AvDeviceHandle* handle)
{
    return handle->type == kTypeGenericHid ? 4 : 2;
}

// Waits in product time (the platform clock).
void WaitMs(std::uint32_t ms);
} // namespace avnera
