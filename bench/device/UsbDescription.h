#pragma once
// What a simulated USB device is, as both faces of the bench read it: the
// in-process USB world (bench/usb) and the USB/IP server that attaches the
// same models to a real kernel (bench/usbip). A description holds the
// device's identity, strings, interfaces (HID with its report descriptor,
// DFU with its functional descriptor, other classes as bare interfaces) and
// the models behind its HID interfaces; the descriptors a device answers
// with are built from it here, once, for both faces.
//
// Written from the USB 2.0, HID 1.11 and DFU 1.1 specifications, not from
// the host code that reads them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidSystem.h"
#include "platform/UsbTopology.h"

struct SBenchDevice;

// The side of a face that a model talks to. Obtained in OnAttach; stays
// valid as long as the model keeps the shared pointer, but does nothing once
// the device left the bus (calls then return false).
class IBenchHidSink
{
public:
    virtual ~IBenchHidSink() = default;
    // Queues an input report (report ID first, 0 when the interface uses
    // none) for the host. Any thread, also from inside the model's
    // callbacks. The report is cut or zero-padded to the report's length.
    virtual bool QueueInputReport(const std::uint8_t* report, std::size_t length) = 0;
    // The device leaves the bus delayMs from now (0: at once). The model is
    // detached then.
    virtual bool DropOff(std::uint32_t delayMs) = 0;
    // The device leaves the bus dropDelayMs from now and comes back on the
    // same port backDelayMs later as newDevice (e.g. in its flash mode), with
    // that description's models attached.
    virtual bool ReEnumerate(const SBenchDevice& newDevice, std::uint32_t dropDelayMs, std::uint32_t backDelayMs) = 0;
};

// Report behaviour of one HID interface. Called on the thread of the host
// request, never with a face's lock held; a face makes no two calls to one
// model at the same time. Reports are in the system's shape: report ID
// first, 0 when the interface uses none. Default answers: Failed (a STALL on
// the wire).
class IBenchHidModel
{
public:
    virtual ~IBenchHidModel() = default;
    // The interface appeared on the bus (plug or re-enumeration).
    virtual void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) {}
    // The interface left the bus; input reports queued later are dropped.
    virtual void OnDetach() {}
    // report[0] is the report ID; length is the feature report length.
    virtual EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) { return EHidResult::Failed; }
    // report[0] holds the requested report ID; fill report[0..length).
    virtual EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) { return EHidResult::Failed; }
    virtual EHidResult OnOutputReport(const std::uint8_t* report, std::size_t length) { return EHidResult::Failed; }
};

struct SBenchHidInterface
{
    std::uint8_t interfaceNumber = 0;
    // Capabilities come from this descriptor when it is not empty, else from caps.
    std::vector<std::uint8_t> reportDescriptor;
    SHidCaps caps;
    std::shared_ptr<IBenchHidModel> model;
    // Held by the system (keyboards, mice): opening with read or write access is refused.
    bool exclusive = false;
    // An interrupt OUT endpoint besides the interrupt IN one (output reports
    // then travel there; without it they are SET_REPORT requests).
    bool interruptOut = false;
    // Without a report descriptor: the report IDs the interface's reports
    // carry (empty: none), from which a descriptor is made for the wire.
    std::vector<std::uint8_t> reportIds;
};

// A USB DFU 1.1 interface: run-time (protocol 1) or DFU mode (protocol 2).
struct SBenchDfuInterface
{
    bool present = false;
    std::uint8_t protocol = 2;
    std::uint8_t bmAttributes = 0;
    std::uint16_t wDetachTimeOut = 1000;
    std::uint16_t wTransferSize = 1024;
    std::uint16_t bcdDFUVersion = 0x0110;
};

struct SBenchDevice
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::uint16_t bcdUsb = 0x0200;
    std::uint8_t deviceClass = 0;
    std::uint8_t speed = kUsbFullSpeed;
    // Strings 1, 2, 3 of the device descriptor (absent when empty).
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    std::map<std::uint8_t, std::wstring> strings; // further indexed strings (e.g. 41)
    std::vector<std::uint16_t> languages{0x0409};
    std::wstring description = L"USB Input Device";
    std::uint8_t maxPower = 50; // bMaxPower of the configuration (2 mA units)
    std::uint8_t configurationString = 0;
    // Interfaces that are not HID (audio, ...), counted for composite devices.
    std::uint8_t otherInterfaces = 0;
    std::vector<SBenchHidInterface> hidInterfaces;
    SBenchDfuInterface dfu; // numbered after the HID interfaces
    // A hub: ports > 0.
    std::uint8_t hubPorts = 0;
    // Raw overrides, as the device answers (empty: built from the fields above).
    std::vector<std::uint8_t> deviceDescriptor;
    std::vector<std::uint8_t> configDescriptor;
    // Failure injection.
    bool failConfigDescriptor = false;
    bool failStrings = false;
};

// A device with one HID interface (no report IDs) whose collection is usagePage/usage.
SBenchDevice MakeBenchHidDevice(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t usagePage,
                                std::uint16_t usage, std::uint16_t inputLength = 65, std::uint16_t outputLength = 65,
                                std::uint16_t featureLength = 65);
// A hub with the given ports; maxPower 0 makes it look embedded (self-powered, no bus power).
SBenchDevice MakeBenchHub(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t ports,
                          std::uint8_t maxPower);
// A report descriptor with one vendor-style application collection; lengths
// count the report ID byte (0 when reportId is 0: no IDs), as the system's
// capabilities do; a length below 2 leaves that report out.
std::vector<std::uint8_t> MakeBenchReportDescriptor(std::uint16_t usagePage, std::uint16_t usage,
                                                    std::uint16_t inputLength, std::uint16_t outputLength,
                                                    std::uint16_t featureLength, std::uint8_t reportId = 0);

// The descriptors a device answers with (built from its fields unless overridden).
std::vector<std::uint8_t> BuildBenchDeviceDescriptor(const SBenchDevice& device);
std::vector<std::uint8_t> BuildBenchConfigDescriptor(const SBenchDevice& device);
// String descriptor index (0: the language list); false when there is none.
bool BuildBenchStringDescriptor(const SBenchDevice& device, std::uint8_t index, std::vector<std::uint8_t>& out);
// The report descriptor a HID interface answers with: its own, or one made
// from its capabilities and report IDs (every declared ID carries input,
// output and feature reports of the capabilities' lengths).
std::vector<std::uint8_t> BenchReportDescriptor(const SBenchHidInterface& hid);
// The HID class descriptor (type 0x21) of a HID interface.
std::vector<std::uint8_t> BuildBenchHidDescriptor(const SBenchHidInterface& hid);
// The interface numbers of the non-HID interfaces (audio), in order: the
// lowest numbers the HID interfaces leave free.
std::vector<std::uint8_t> BenchOtherInterfaceNumbers(const SBenchDevice& device);

// Where the endpoints of the configuration descriptor lead.
struct SBenchEndpoint
{
    std::uint8_t address = 0;     // 0x81.. IN, 0x01.. OUT
    std::size_t hidIndex = 0;     // index into hidInterfaces
    std::uint16_t maxPacket = 64;
};
std::vector<SBenchEndpoint> BenchEndpoints(const SBenchDevice& device);
// The interface number of the DFU interface (when present).
std::uint8_t BenchDfuInterfaceNumber(const SBenchDevice& device);
