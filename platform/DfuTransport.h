#pragma once
// The USB DFU port: what the DFU engine needs from a USB stack.
//
// An IDfuTransport enumerates the DFU-capable USB devices (devices with an
// interface of class 0xFE, subclass 0x01, in run-time protocol 1 or DFU-mode
// protocol 2), opens one of them by name and carries the DFU class requests
// to its DFU interface. The names are wide strings of the form
//   "USB\VID_vvvv&PID_pppp\<location>"
// where <location> names the physical port (bus and port path), so a device
// keeps its location when it re-enumerates after a USB reset with a new
// product identifier (run-time mode to DFU mode).
//
// Contract:
// - One transport serves one engine; its operations are called from one
//   thread at a time (the engine serialises them). Enumerate may be called
//   on a transport that has a device open.
// - Every operation returns within a bound: control requests take a time-out
//   in product milliseconds (CClock), the backends add none of their own.
// - A device that is unplugged or re-enumerates makes every request on the
//   open handle fail with EDfuIo::NoDevice; the handle stays open until
//   Close (which is always safe, also twice) or Reopen.
// - Reset issues a USB port reset. Afterwards the device may re-enumerate;
//   the caller then polls Reopen, which finds the device at the same
//   location again (with its new identifiers) or reports NoDevice while it
//   is not back yet.
// - Every look is fresh: Enumerate and Reopen see the devices present at the
//   moment of the call, whether or not a hotplug service (Linux: udevd)
//   announces them to the process.
// - Nothing here throws; failures are mapped to the small set below.
//
// Backends: the libusb one (platform/libusb/DfuLibusb.cpp, library
// orvo_dfu_libusb) for the product, and the simulated DFU device of the
// bench (bench/dfu).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class EDfuIo
{
    Ok,
    NoDevice,     // not present (unplugged, re-enumerating, never there)
    Stall,        // the device refused the request (protocol stall)
    Timeout,      // no answer within the time-out
    Access,       // present but not accessible (no driver, no permission, busy)
    Io,           // any other transfer or system failure
    InvalidArg,   // caller error (nothing open, bad length)
};

const char* DfuIoText(EDfuIo result);

struct SDfuDeviceIdentity
{
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    bool runtimeMode = false; // interface protocol 1 (run-time) rather than 2 (DFU mode)
};

// Why a DFU-capable device that is present cannot be opened: the OS errors
// of an open, mapped by the backend.
enum class EDfuAccess
{
    Granted,  // it opens
    Denied,   // the system refuses this user (Linux: EACCES/EPERM on its usbfs node; LIBUSB_ERROR_ACCESS)
    NoDriver, // no driver the USB stack reaches it through (Windows without WinUSB: LIBUSB_ERROR_NOT_SUPPORTED)
    Busy,     // another driver or program holds it (LIBUSB_ERROR_BUSY)
    Failed,   // any other failure
};

inline const char* DfuAccessText(EDfuAccess access)
{
    switch (access)
    {
    case EDfuAccess::Granted: return "granted";
    case EDfuAccess::Denied: return "permission denied";
    case EDfuAccess::NoDriver: return "no driver";
    case EDfuAccess::Busy: return "busy";
    case EDfuAccess::Failed: return "failed";
    }
    return "unknown";
}

struct SDfuDeviceEntry
{
    std::wstring name;
    bool runtimeMode = false; // an application with a DFU run-time interface, not (yet) in DFU mode
    EDfuAccess access = EDfuAccess::Granted;
    // The device's node where the system has one for it (Linux:
    // "/dev/bus/usb/001/005"), for messages; empty elsewhere.
    std::string node;
};

class IDfuTransport
{
public:
    virtual ~IDfuTransport() = default;

    // The DFU-capable devices present now, in DFU mode or with a run-time
    // DFU interface (an empty list and Ok when there are none; a failure only
    // when the USB stack itself failed). Devices the host cannot open (no
    // driver bound, no access rights) are left out: for the caller they are
    // not there until their driver is installed.
    virtual EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& devices) = 0;

    // The DFU-capable devices present now that this host cannot open, each
    // with the reason (access is never Granted here): what Enumerate leaves
    // out. A transport that cannot tell lists none.
    virtual EDfuIo EnumerateUnopenable(std::vector<SDfuDeviceEntry>& devices)
    {
        devices.clear();
        return EDfuIo::Ok;
    }

    // Opens the named device's DFU interface; closes a previously open one.
    virtual EDfuIo Open(const std::wstring& name) = 0;
    // Opens the device at the location of the last opened name again.
    virtual EDfuIo Reopen() = 0;
    virtual void Close() = 0;

    virtual EDfuIo GetIdentity(SDfuDeviceIdentity* identity) = 0;
    // The raw DFU functional descriptor (type 0x21) of the open interface;
    // untrusted bytes, parsed by the caller.
    virtual EDfuIo GetFunctionalDescriptor(std::vector<std::uint8_t>& descriptor) = 0;

    // Class request host-to-device to the DFU interface (DETACH, DNLOAD,
    // CLRSTATUS, ABORT).
    virtual EDfuIo ControlOut(std::uint8_t request, std::uint16_t value, const std::uint8_t* data,
                              std::size_t length, std::uint32_t timeoutMs) = 0;
    // Class request device-to-host (UPLOAD, GETSTATUS, GETSTATE); received
    // gets the number of bytes the device sent (at most capacity).
    virtual EDfuIo ControlIn(std::uint8_t request, std::uint16_t value, std::uint8_t* data, std::size_t capacity,
                             std::size_t* received, std::uint32_t timeoutMs) = 0;

    // USB port reset of the open device (see the contract above).
    virtual EDfuIo Reset() = 0;
};

// Makes transports; the engine takes one per engine object and a short-lived
// one for device enumeration. Thread-safe.
class IDfuTransportFactory
{
public:
    virtual ~IDfuTransportFactory() = default;
    virtual std::unique_ptr<IDfuTransport> CreateTransport() = 0;
};

// The libusb backend (library orvo_dfu_libusb). Never null; a transport whose
// USB stack cannot start enumerates nothing and opens nothing. Where libusb
// keeps its device list from hotplug events (Linux: udev's, which only come
// while udevd runs), every look takes a context of its own, whose list is
// read from the system when it is made; an open device keeps the context it
// was opened through until it is closed.
std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory();

// Reads a whole DFU file named by a wide path (platform/<os>/DfuFileRead.cpp).
// False when it cannot be opened or read, or is larger than maxSize.
bool ReadDfuFileW(const std::wstring& path, std::vector<std::uint8_t>& bytes, std::size_t maxSize);

// Formats the name of a device (see above).
std::wstring MakeDfuDeviceName(std::uint16_t idVendor, std::uint16_t idProduct, const std::string& location);
// Splits a device name; false when it is not of that form.
bool ParseDfuDeviceName(const std::wstring& name, std::uint16_t* idVendor, std::uint16_t* idProduct,
                        std::string* location);
