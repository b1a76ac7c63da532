#pragma once
// The simulated USB world: host controllers with root hubs, hubs, devices
// with descriptors, strings and HID interfaces. It implements both ports,
// IUsbTopology and IHidSystem, with the same naming (instance IDs, driver
// keys, hub names, device paths) as a Windows machine, so the code under test
// cannot tell it from the system.
//
// Building a world:
//   CBenchUsbWorld world;
//   auto hc = world.AddHostController();                    // root hub with 4 ports
//   auto hub = world.Plug(world.RootHub(hc), 2, MakeBenchHub(0x05E3, 0x0610, 4, 50));
//   auto dev = world.Plug(hub, 1, MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001));
//   world.ScheduleUnplug(dev, 500);                         // 500 product ms from now
//   world.ScheduleReEnumerate(dev, dfuModeSpec, 100, 400);  // off the bus now+100, back 400 later
//
// Device models: a device's HID interface may carry an IBenchHidModel that
// answers its feature and output reports and produces input reports (see
// below). Devices without a model refuse report traffic with Failed.
//
// Time: every moment is product time of CClock (scaled in tests). Scheduled
// plug events take effect when the world is next used at or after their
// moment; a read waiting on a device that leaves the bus returns NoDevice.
//
// Threads: every call may come from any thread. The world lock is never held
// while a model runs. The world must outlive every handle opened on it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidSystem.h"
#include "platform/UsbTopology.h"

struct SBenchDevice;

// The world side that a model talks to. Obtained in OnAttach; stays valid as
// long as the model keeps the shared pointer, but does nothing once the
// device left the bus (calls then return false).
class IBenchHidSink
{
public:
    virtual ~IBenchHidSink() = default;
    // Queues an input report (report ID first) for every open handle with
    // read access. Any thread, also from inside the model's callbacks. The
    // report is cut or zero-padded to the input report length.
    virtual bool QueueInputReport(const std::uint8_t* report, std::size_t length) = 0;
    // The device leaves the bus delayMs from now (0: at the next use of the
    // world). The model is detached then.
    virtual bool DropOff(std::uint32_t delayMs) = 0;
    // The device leaves the bus dropDelayMs from now and comes back on the
    // same port backDelayMs later as newDevice (e.g. in its DFU mode), with
    // that description's models attached.
    virtual bool ReEnumerate(const SBenchDevice& newDevice, std::uint32_t dropDelayMs, std::uint32_t backDelayMs) = 0;
};

// Report behaviour of one HID interface. Called on the thread of the caller
// that sent the report, never with the world lock held; the world makes no
// two calls to one model at the same time. Default answers: Failed.
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
    // Interfaces that are not HID (audio, DFU...), counted for composite devices.
    std::uint8_t otherInterfaces = 0;
    std::vector<SBenchHidInterface> hidInterfaces;
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

// The descriptors a device answers with (built from its fields unless overridden).
std::vector<std::uint8_t> BuildBenchDeviceDescriptor(const SBenchDevice& device);
std::vector<std::uint8_t> BuildBenchConfigDescriptor(const SBenchDevice& device);

using BenchId = std::uint32_t; // a host controller, hub or device of the world; 0 = none

class CBenchUsbWorld : public IUsbTopology, public IHidSystem
{
public:
    CBenchUsbWorld();
    ~CBenchUsbWorld() override;
    CBenchUsbWorld(const CBenchUsbWorld&) = delete;
    CBenchUsbWorld& operator=(const CBenchUsbWorld&) = delete;

    // Building. A host controller comes with its root hub.
    BenchId AddHostController(std::uint8_t rootHubPorts = 4, bool extendedConnectionInfo = true);
    BenchId RootHub(BenchId hostController) const;
    // Plugs a device (or hub) into a hub port now. 0 when the port is taken or unknown.
    BenchId Plug(BenchId hub, std::uint8_t port, const SBenchDevice& device);
    // Plug later: the id is returned now, the device appears delayMs from now.
    BenchId SchedulePlug(BenchId hub, std::uint8_t port, const SBenchDevice& device, std::uint32_t delayMs);
    // Unplugs a device (and everything below a hub) now / later.
    bool Unplug(BenchId device);
    void ScheduleUnplug(BenchId device, std::uint32_t delayMs);
    // The device leaves the bus dropDelayMs from now and comes back on the
    // same port backDelayMs after that, described by newDevice (same id).
    void ScheduleReEnumerate(BenchId device, const SBenchDevice& newDevice, std::uint32_t dropDelayMs,
                             std::uint32_t backDelayMs);

    // Looking at the world (tests).
    bool IsPresent(BenchId device);
    std::wstring DeviceInstanceId(BenchId device);  // "USB\VID_..&PID_..\..."
    std::wstring HidInterfacePath(BenchId device, std::size_t hidIndex = 0);
    std::size_t OpenHidHandleCount();               // HID handles open now
    std::size_t OpenHidHandleCount(BenchId device); // on this device
    std::size_t OpenHubHandleCount();               // hub and controller handles open now

    // IUsbTopology
    EUsbResult GetRootDevNode(UsbDevNode& node) override;
    EUsbResult LocateDevNode(const std::wstring& instanceId, UsbDevNode& node) override;
    EUsbResult GetParent(UsbDevNode node, UsbDevNode& parent) override;
    EUsbResult GetChild(UsbDevNode node, UsbDevNode& child) override;
    EUsbResult GetSibling(UsbDevNode node, UsbDevNode& sibling) override;
    EUsbResult GetDeviceId(UsbDevNode node, std::wstring& instanceId) override;
    EUsbResult GetDevNodeProperty(UsbDevNode node, EUsbDevNodeProperty property, std::wstring& value) override;
    EUsbResult EnumerateHostController(std::uint32_t index, std::wstring& devicePath) override;
    EUsbResult OpenHostController(const std::wstring& devicePath, std::unique_ptr<IUsbHostController>& hc) override;
    EUsbResult OpenHub(const std::wstring& hubName, std::unique_ptr<IUsbHub>& hub) override;

    // IHidSystem
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override;
    EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) override;
    EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& instanceId) override;

    struct SState;

private:
    std::shared_ptr<SState> m_state;
};
