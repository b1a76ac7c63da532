#pragma once
// The HID class of the system: the present HID interfaces, opened as devices
// for attributes, top-level collection capabilities, strings and reports.
//
// Implementations: CreateSystemHid() (Windows: SetupAPI + HidD_/HidP_ +
// CreateFile; Linux: hidraw), and the simulated USB world of the bench
// (bench/usb), which implements the same interface.
//
// Device paths are wide strings in the Windows shape
//   \\?\hid#vid_046d&pid_0a44&mi_03#<instance>#{4d1e55b2-f16f-11cf-88cb-001111000030}
// on every implementation, so the rules that read identifiers or instance IDs
// out of a path work everywhere (Linux puts the hidraw node's name in the
// <instance> part).
//
// Contract for every implementation:
// - Threads: IHidSystem may be used from any thread; each call works on its
//   own data. One IHidDevice may be used from several threads at once as far
//   as one reader, one writer and any number of feature-report, string and
//   Cancel calls go; two concurrent reads (or writes) on one device are a
//   caller error.
// - Disconnect: once the device behind an open IHidDevice is gone, every
//   report and string call answers EHidResult::NoDevice (a read or write that
//   is waiting at that moment returns NoDevice too). Reopening the path after
//   the device came back gives a new, working device. Opening a path whose
//   device is gone answers NoDevice.
// - Time-outs are product milliseconds and go through CClock; kInfinite waits
//   without end. Time-outs and Cancel work only on a device opened with
//   overlapped = true; on a plain device a read or write with a time-out
//   other than kInfinite is refused with InvalidArg (a plain Windows handle
//   cannot time out).
// - Linux: one path per top-level collection of a hidraw node ("&colNN" as on
//   Windows when there are several). Opening with kHidAccessNone touches no
//   node (attributes, capabilities and strings come from sysfs); reports go
//   through /dev/hidrawN; indexed strings through usbfs (/dev/bus/usb).
// - Failures are returned, never thrown.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Types.h"

// The small set of outcomes every implementation maps its OS errors to.
enum class EHidResult
{
    Ok = 0,
    NoDevice,     // the device is gone (unplugged, re-enumerated) or the path names none
    Timeout,      // the time-out passed before the report moved
    Cancelled,    // Cancel() was called
    AccessDenied, // the system or another program refuses this access
    InvalidArg,   // a length, buffer or option that cannot work
    NotSupported, // the operation does not exist for this device or system
    DeviceError,  // the device is attached but did not carry out the transfer (Windows ERROR_GEN_FAILURE,
                  // Linux EIO, EPROTO, EILSEQ): a stall, a USB protocol error, a hidraw node whose device left
    Failed,       // any other failure
};

inline const char* HidResultName(EHidResult result)
{
    switch (result)
    {
    case EHidResult::Ok: return "Ok";
    case EHidResult::NoDevice: return "NoDevice";
    case EHidResult::Timeout: return "Timeout";
    case EHidResult::Cancelled: return "Cancelled";
    case EHidResult::AccessDenied: return "AccessDenied";
    case EHidResult::InvalidArg: return "InvalidArg";
    case EHidResult::NotSupported: return "NotSupported";
    case EHidResult::DeviceError: return "DeviceError";
    case EHidResult::Failed: return "Failed";
    }
    return "Unknown";
}

struct SHidAttributes
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0; // bcdDevice
};

// Capabilities of the top-level collection. Report byte lengths count the
// report ID byte, as Windows does: a collection without report IDs still gets
// one byte added (for the 0 that leads every report), a collection without
// reports of a kind has length 0 for that kind.
struct SHidCaps
{
    std::uint16_t usage = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
};

// Access wanted when opening. Sharing is always read and write.
enum EHidAccess : std::uint32_t
{
    kHidAccessNone = 0, // attributes, capabilities and strings only (works on keyboards and mice)
    kHidAccessRead = 1,
    kHidAccessWrite = 2,
    kHidAccessReadWrite = 3,
};

struct SHidOpenOptions
{
    std::uint32_t access = kHidAccessReadWrite;
    bool overlapped = false; // time-outs and Cancel need it
};

class IHidDevice
{
public:
    virtual ~IHidDevice() = default; // closes the device; a pending read or write must have ended

    // A number that names the open handle in log lines (Windows HANDLE value,
    // Linux file descriptor, bench handle number). Never the all-ones value.
    virtual std::uintptr_t GetHandleValue() const = 0;
    virtual bool IsOverlapped() const = 0;
    virtual std::uint32_t GetAccess() const = 0;

    virtual EHidResult GetAttributes(SHidAttributes& attributes) = 0;
    virtual EHidResult GetCaps(SHidCaps& caps) = 0;

    // USB strings of the device, at most 126 characters (the HID class limit).
    virtual EHidResult GetProductString(std::wstring& text) = 0;
    virtual EHidResult GetManufacturerString(std::wstring& text) = 0;
    virtual EHidResult GetSerialNumberString(std::wstring& text) = 0;
    // A string descriptor by index (e.g. 41); NotSupported or Failed when the
    // device has none at that index.
    virtual EHidResult GetIndexedString(std::uint32_t index, std::wstring& text) = 0;

    // Feature reports: report[0] is the report ID (0 when the collection uses
    // none). length is normally the feature report byte length. GetFeature
    // reads into the same buffer; *returned (optional) gets the byte count.
    virtual EHidResult SetFeature(const std::uint8_t* report, std::size_t length) = 0;
    virtual EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned = nullptr) = 0;

    // Output report through the interrupt (or control) pipe: report[0] is the
    // report ID, length normally the output report byte length.
    virtual EHidResult WriteOutputReport(const std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs,
                                         std::size_t* written = nullptr) = 0;
    // Next input report, report ID first. capacity normally the input report
    // byte length; a longer report is cut to capacity.
    virtual EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs,
                                       std::size_t* read = nullptr) = 0;

    // Any thread: makes the read or write in progress, and every one started
    // later, return Cancelled until ResetCancel() is called.
    virtual void Cancel() = 0;
    virtual void ResetCancel() = 0;
};

using CHidDevicePtr = std::unique_ptr<IHidDevice>;

class IHidSystem
{
public:
    virtual ~IHidSystem() = default;

    // Paths of the present HID interfaces in the order the system lists them.
    // Failed when the list cannot be obtained; an empty list is Ok.
    virtual EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) = 0;

    virtual EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) = 0;

    // Device instance ID of the USB device (not the interface, not the HID
    // node) that carries this HID interface, e.g. "USB\VID_2C6D&PID_3240\5&1A2B&0&2".
    // NoDevice when the path names no present interface, NotSupported for a
    // HID interface that is not on USB.
    virtual EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& instanceId) = 0;
};

// The system's HID class (Windows or Linux backend).
std::unique_ptr<IHidSystem> CreateSystemHid();

// The outcome the system's backend reports for an OS error number (Windows:
// a GetLastError code; Linux: an errno value). Callers that act on the OS's
// error (for instance a read loop that ends on a device that is gone or not
// functioning and reads again otherwise) rely on this mapping.
EHidResult MapSystemHidError(std::uint32_t error);

// The Linux backend reading another sysfs tree (sysfsRoot holds
// bus/usb/devices) and opening hidraw nodes below devRoot (normally "/dev").
// Defined only in the Linux build.
std::unique_ptr<IHidSystem> CreateHidrawHidSystem(const std::string& sysfsRoot, const std::string& devRoot);

// Linux only: the sysfs name of the USB device that carries a hidraw node
// ("hidraw3" -> "1-1.3", bus and port path, the location libusb gives the
// same device), read from the sysfs tree below sysfsRoot; empty when none.
std::string SysfsHidrawUsbLocation(const std::string& sysfsRoot, const std::string& hidrawName);

// Linux only: an errno of a failed open or request, mapped to the small set
// above (EACCES, EPERM, EBUSY: AccessDenied; ENOENT, ENODEV, ENXIO: NoDevice...).
EHidResult HidResultFromErrno(int error);
