#pragma once
// Inner parts of the host interface shared by its source files: the handles,
// the process-wide buffers, the per-slot transport objects, the checks every
// answer goes through, and the seams through which the transports reach HID
// devices and the adapter library.
//
// Handles. At most ten devices are open at once (ten slots: the transports
// keep their objects per slot). The handle a caller gets is one of a static
// pool of handle structures given out in turn, so a handle that was closed
// (by AvDllCloseHandle, AvDllShutdown, AvDllInitialize or a re-enumeration)
// is not the handle of the device opened after it: it stays closed, and
// every export refuses it. Its `reserved` word carries the generation of the
// open it belongs to (0 once closed). A pointer that is not one of the pool
// (a structure the caller made) is refused without being read.

#include <cstddef>
#include <cstdint>

#include "avnera/OrvoHostApi.h"
#include "platform/HidSystem.h"

namespace avnera
{
constexpr std::size_t kSlotCount = 10;
// Handle structures given out in turn: a closed handle could only name a
// device again after this many opens.
constexpr std::size_t kHandlePool = 1024;
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

// The shared feature-report buffer (report ID in byte 0).
extern std::uint8_t g_report[kReportBufferSize];

extern const AvTransportOps kGenericHidOps;
extern const AvTransportOps kVendorHidOps;
extern const AvTransportOps kAardvarkOps;

// 0 when handle is an open handle of this interface; nullCode for a null
// pointer; -3 for a handle that was closed or that this interface never
// gave out (such a pointer is not read).
std::int32_t CheckHandle(const AvDeviceHandle* handle, std::int32_t nullCode = kNullHandle);
inline bool IsOpenHandle(const AvDeviceHandle* handle)
{
    return CheckHandle(handle) == 0;
}
// The slot (0..9) of a handle that is open or being opened; kSlotCount for
// any other pointer.
std::size_t SlotOf(const AvDeviceHandle* handle);
// Handles open now (tests).
std::size_t OpenHandleCount();

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

// Answers. ReceiveAnswer fetches the answer of the last command (24 bytes)
// and its length: 0, the transport's failure, -1 for an answer that does not
// start with 0xFE, or -5 with the five assertion bytes in answer[0..4].
std::int32_t ReceiveAnswer(AvDeviceHandle* handle, std::uint8_t* answer, std::uint32_t& length);
// Exchange sends a packet and receives its answer (24 bytes) with
// the length the transport reported: 0, or the failure of either step (-5
// for an assertion, whose five bytes are then in answer[0..4]).
std::int32_t Exchange(AvDeviceHandle* handle, std::uint8_t* packet, std::uint8_t* answer, std::uint32_t& length);
// Whether an answer is the answer to packet: opcode 0xFE, the packet's unit
// and remote, its sub-command echoed, at least minLength bytes.
bool AnswerFits(const std::uint8_t* packet, const std::uint8_t* answer, std::uint32_t length, std::uint32_t minLength);
// Exchange, then AnswerFits: 0, the exchange's failure, or -1 for an answer
// that does not fit.
std::int32_t Ask(AvDeviceHandle* handle, std::uint8_t* packet, std::uint8_t* answer, std::uint32_t minLength);

// Destination byte of memory and system commands.
inline std::uint8_t Destination(const AvDeviceHandle* handle)
{
    return handle->type == kTypeGenericHid ? 4 : 2;
}

// Waits in product time (the platform clock).
void WaitMs(std::uint32_t ms);
} // namespace avnera
