#pragma once
// A hidapi-shaped port. The product implementation (CreateHidApiLibrary)
// calls the hidapi library itself; the bench supplies one that talks to the
// simulated USB world. Family code written against this interface runs
// unchanged on both.
//
// Results follow hidapi: byte counts >= 0, -1 on failure. A device that was
// unplugged fails every call with -1. Calls on one device must not overlap;
// different devices may be used from different threads.
//
// hidapi says only that an open failed; ProbeOpen says why, in the small set
// of outcomes of platform/HidSystem.h, so the program can tell a user who
// lacks the rights (AccessDenied) from a device that is not there.
// UsbPortLocation names the USB port the device hangs on in the form the DFU
// port names locations ("bus-port.port", platform/DfuTransport.h), so the
// device that comes back on the same port in another mode can be told from
// any other.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidSystem.h"

struct SHidApiDeviceInfo
{
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::wstring serialNumber;
    std::uint16_t releaseNumber = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    int interfaceNumber = -1;
};

class IHidApiDevice
{
public:
    virtual ~IHidApiDevice() = default; // closes the device

    // data[0] is the report number (0 when the device uses none).
    virtual int Write(const std::uint8_t* data, std::size_t length) = 0;
    // Blocking unless non-blocking mode is on; 0 when nothing is there.
    virtual int Read(std::uint8_t* data, std::size_t length) = 0;
    // milliseconds of product time (scaled by the clock); -1 waits for ever.
    virtual int ReadTimeout(std::uint8_t* data, std::size_t length, int milliseconds) = 0;
    virtual int SetNonblocking(bool nonblocking) = 0;
    virtual int SendFeatureReport(const std::uint8_t* data, std::size_t length) = 0;
    virtual int GetFeatureReport(std::uint8_t* data, std::size_t length) = 0;
    // Strings: 0 on success, -1 on failure; the text is zero-terminated and cut to maxChars.
    virtual int GetManufacturerString(wchar_t* text, std::size_t maxChars) = 0;
    virtual int GetProductString(wchar_t* text, std::size_t maxChars) = 0;
    virtual int GetSerialNumberString(wchar_t* text, std::size_t maxChars) = 0;
    virtual int GetIndexedString(int index, wchar_t* text, std::size_t maxChars) = 0;
    virtual std::wstring Error() = 0;
};

class IHidApi
{
public:
    virtual ~IHidApi() = default;
    virtual int Init() = 0;
    virtual int Exit() = 0;
    // vendorId/productId 0 match any.
    virtual std::vector<SHidApiDeviceInfo> Enumerate(std::uint16_t vendorId, std::uint16_t productId) = 0;
    // Opens the first device with these identifiers (and serial number, when given).
    virtual std::unique_ptr<IHidApiDevice> Open(std::uint16_t vendorId, std::uint16_t productId,
                                                const wchar_t* serialNumber) = 0;
    virtual std::unique_ptr<IHidApiDevice> OpenPath(const std::string& path) = 0;

    // Why the system refuses to open this path for reading and writing now:
    // Ok when it opens, NoDevice, AccessDenied (no rights, or another program
    // holds it exclusively), Failed. Opens nothing that stays open.
    virtual EHidResult ProbeOpen(const std::string& path)
    {
        (void)path;
        return EHidResult::Failed;
    }
    // The USB port location of the device the path belongs to
    // ("bus-port.port..."); empty when it cannot be told.
    virtual std::string UsbPortLocation(const std::string& path)
    {
        (void)path;
        return {};
    }
};

// The hidapi library of the system (Linux: hidraw backend; Windows: the
// static build of hidapi).
std::unique_ptr<IHidApi> CreateHidApiLibrary();

// The system's side of ProbeOpen and UsbPortLocation for hidapi's paths
// (Linux: "/dev/hidrawN", the open's errno and sysfs; Windows: the HID
// interface path, CreateFile's error and the configuration manager's tree).
EHidResult ProbeHidPathOpen(const std::string& path);
std::string HidPathUsbPortLocation(const std::string& path);
