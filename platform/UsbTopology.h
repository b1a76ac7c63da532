#pragma once
// The USB tree of the system: device nodes (instance IDs, parents, driver
// keys), host controllers, their root hubs, and the hub requests that read
// what sits on each port.
//
// The shapes follow the Windows configuration manager and USB hub interface,
// whose terms are used here: a device node has a device instance ID such as
// "USB\VID_2C6D&PID_3240\5&1A2B&0&2"; its parent chain goes interface node ->
// USB device node -> hub device node ... -> root hub ("USB\ROOT_HUB30\...")
// -> host controller. Root hubs and downstream hubs are opened by name (the
// name a host controller or hub port reports, e.g.
// "USB#ROOT_HUB30#4&1A2B&0&0#{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}").
//
// Implementations: CreateSystemUsbTopology() (Windows: CfgMgr32 + SetupAPI +
// hub IOCTLs; Linux: sysfs, with node names mapped to the Windows shapes so
// the same rules give the same answers), and the simulated USB world of the
// bench (bench/usb).
//
// Linux names (sysfs name as the instance part): host controller
// "PCI\LINUX_HCD\<pci name>&BUS<n>" (one per root hub), root hub
// "USB\ROOT_HUB20\usb<n>" (ROOT_HUB30 from 5 Gbit/s), device
// "USB\VID_xxxx&PID_yyyy\1-1.3", interface of a composite device
// "USB\VID_xxxx&PID_yyyy&MI_nn\1-1.3:1.3", HID collection
// "HID\VID_xxxx&PID_yyyy[&MI_nn][&COLmm]\hidrawN". Driver keys are the USB
// class GUID, '\' and the sysfs name. Configuration and string descriptors
// come from sysfs ("descriptors" and the string attributes), language 0x0409.
//
// Contract for every implementation:
// - Threads: any thread; calls do not share state beyond the handles the
//   caller opened. One hub or host-controller handle may be used from one
//   thread at a time.
// - Snapshot: the Linux and bench implementations answer from the tree as it
//   is at the moment of each call; a DevNode stays a valid number after its
//   device went away but then answers NoDevice.
// - Disconnect: requests about a port whose device is gone answer with
//   connection status 0 (no device connected) or NoDevice; a hub handle whose
//   hub was unplugged answers NoDevice to every request.
// - Replies from devices (descriptors) are untrusted: callers check every
//   length before using a field.
// - Failures are returned, never thrown.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"

enum class EUsbResult : std::uint32_t
{
    Ok = 0,
    NoDevice,      // no such node / device, or it is gone
    NoMoreItems,   // enumeration index past the end
    BufferTooSmall,
    InvalidArg,
    NotSupported,
    Failed,
};

inline const char* UsbResultName(EUsbResult result)
{
    switch (result)
    {
    case EUsbResult::Ok: return "Ok";
    case EUsbResult::NoDevice: return "NoDevice";
    case EUsbResult::NoMoreItems: return "NoMoreItems";
    case EUsbResult::BufferTooSmall: return "BufferTooSmall";
    case EUsbResult::InvalidArg: return "InvalidArg";
    case EUsbResult::NotSupported: return "NotSupported";
    case EUsbResult::Failed: return "Failed";
    }
    return "Unknown";
}

// Wire and record layouts, byte for byte as the USB standard and the Windows
// hub interface define them (little-endian, packed).
#pragma pack(push, 1)

struct SUsbDeviceDescriptor
{
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bMaxPacketSize0;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t iManufacturer;
    std::uint8_t iProduct;
    std::uint8_t iSerialNumber;
    std::uint8_t bNumConfigurations;
};
static_assert(sizeof(SUsbDeviceDescriptor) == 18);

struct SUsbEndpointDescriptor
{
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bEndpointAddress;
    std::uint8_t bmAttributes;
    std::uint16_t wMaxPacketSize;
    std::uint8_t bInterval;
};

struct SUsbPipeInfo
{
    SUsbEndpointDescriptor endpointDescriptor;
    std::uint32_t scheduleOffset;
};

enum : std::uint8_t
{
    kUsbLowSpeed = 0,
    kUsbFullSpeed = 1,
    kUsbHighSpeed = 2,
    kUsbSuperSpeed = 3,
};

enum : std::uint32_t
{
    kUsbNoDeviceConnected = 0,
    kUsbDeviceConnected = 1,
};

constexpr std::size_t kUsbMaxPipes = 30;

// The extended connection information of one hub port (365 bytes).
struct SUsbNodeConnectionInformationEx
{
    std::uint32_t connectionIndex;
    SUsbDeviceDescriptor deviceDescriptor;
    std::uint8_t currentConfigurationValue;
    std::uint8_t speed; // kUsbLowSpeed ...
    std::uint8_t deviceIsHub;
    std::uint16_t deviceAddress;
    std::uint32_t numberOfOpenPipes;
    std::uint32_t connectionStatus; // kUsbDeviceConnected when a device is there
    SUsbPipeInfo pipeList[kUsbMaxPipes];
};
static_assert(sizeof(SUsbNodeConnectionInformationEx) == 365);

// The plain (older) connection information: low-speed flag instead of speed.
struct SUsbNodeConnectionInformation
{
    std::uint32_t connectionIndex;
    SUsbDeviceDescriptor deviceDescriptor;
    std::uint8_t currentConfigurationValue;
    std::uint8_t lowSpeed;
    std::uint8_t deviceIsHub;
    std::uint16_t deviceAddress;
    std::uint32_t numberOfOpenPipes;
    std::uint32_t connectionStatus;
    SUsbPipeInfo pipeList[kUsbMaxPipes];
};

// Header of a descriptor request to the device on a hub port (12 bytes); the
// descriptor follows it in the same buffer.
struct SUsbDescriptorRequest
{
    std::uint32_t connectionIndex;
    std::uint8_t bmRequest;
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
    std::uint16_t wLength;
};
static_assert(sizeof(SUsbDescriptorRequest) == 12);

#pragma pack(pop)

constexpr std::uint8_t kUsbRequestGetDescriptor = 6;
constexpr std::uint8_t kUsbDeviceDescriptorType = 1;
constexpr std::uint8_t kUsbConfigurationDescriptorType = 2;
constexpr std::uint8_t kUsbStringDescriptorType = 3;
constexpr std::uint8_t kUsbInterfaceDescriptorType = 4;

// What the node-information request tells about a hub.
struct SUsbNodeInformation
{
    bool isHub = false;             // node type "hub" (else a composite parent)
    std::uint8_t numberOfPorts = 0; // from the hub descriptor
    bool hubIsBusPowered = false;
};

// A device node of the system's device tree (a DEVINST on Windows).
using UsbDevNode = std::uint32_t;

enum class EUsbDevNodeProperty
{
    DriverKey,         // the driver key name, e.g. "{36fc9e60-c465-11cf-8056-444553540000}\0012"
    DeviceDescription, // e.g. "USB Composite Device"
};

// An open host controller.
class IUsbHostController
{
public:
    virtual ~IUsbHostController() = default; // closes
    virtual std::uintptr_t GetHandleValue() const = 0;
    // The root hub's name (open it with IUsbTopology::OpenHub).
    virtual EUsbResult GetRootHubName(std::wstring& name) = 0;
};

// An open hub (root hub or downstream hub). Ports count from 1.
class IUsbHub
{
public:
    virtual ~IUsbHub() = default; // closes
    virtual std::uintptr_t GetHandleValue() const = 0;

    virtual EUsbResult GetNodeInformation(SUsbNodeInformation& info) = 0;
    // Extended connection information; NotSupported on systems that only
    // have the plain form. info.connectionIndex must hold the port.
    virtual EUsbResult GetNodeConnectionInformationEx(SUsbNodeConnectionInformationEx& info) = 0;
    virtual EUsbResult GetNodeConnectionInformation(SUsbNodeConnectionInformation& info) = 0;
    // Driver key of the device on the port; NoDevice for an empty port.
    virtual EUsbResult GetNodeConnectionDriverKeyName(std::uint32_t port, std::wstring& driverKey) = 0;
    // Name of the hub on the port (open it with IUsbTopology::OpenHub);
    // NoDevice or Failed when no hub is there.
    virtual EUsbResult GetNodeConnectionName(std::uint32_t port, std::wstring& hubName) = 0;
    // A standard request to the device on a port. buffer starts with an
    // SUsbDescriptorRequest (connectionIndex = port, setup packet filled in);
    // the reply is written after the header. bytesReturned counts the header
    // and the reply bytes, as the Windows request does.
    virtual EUsbResult GetDescriptorFromNodeConnection(std::uint8_t* buffer, std::size_t bufferSize,
                                                       std::size_t& bytesReturned) = 0;
};

class IUsbTopology
{
public:
    virtual ~IUsbTopology() = default;

    // Device tree.
    virtual EUsbResult GetRootDevNode(UsbDevNode& node) = 0;
    // instanceId is compared without regard to ASCII case.
    virtual EUsbResult LocateDevNode(const std::wstring& instanceId, UsbDevNode& node) = 0;
    virtual EUsbResult GetParent(UsbDevNode node, UsbDevNode& parent) = 0;
    virtual EUsbResult GetChild(UsbDevNode node, UsbDevNode& child) = 0;
    virtual EUsbResult GetSibling(UsbDevNode node, UsbDevNode& sibling) = 0;
    virtual EUsbResult GetDeviceId(UsbDevNode node, std::wstring& instanceId) = 0;
    virtual EUsbResult GetDevNodeProperty(UsbDevNode node, EUsbDevNodeProperty property, std::wstring& value) = 0;

    // The index-th present USB host controller interface (class
    // {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}); NoMoreItems past the last.
    virtual EUsbResult EnumerateHostController(std::uint32_t index, std::wstring& devicePath) = 0;
    virtual EUsbResult OpenHostController(const std::wstring& devicePath, std::unique_ptr<IUsbHostController>& hc) = 0;
    // Opens a root hub or downstream hub by the name a controller or port reported.
    virtual EUsbResult OpenHub(const std::wstring& hubName, std::unique_ptr<IUsbHub>& hub) = 0;
};

// The system's USB tree (Windows or Linux backend).
std::unique_ptr<IUsbTopology> CreateSystemUsbTopology();

// The Linux backend reading another sysfs tree (sysfsRoot holds bus/usb/devices);
// for tests on recorded trees. Defined only in the Linux build.
std::unique_ptr<IUsbTopology> CreateSysfsUsbTopology(const std::string& sysfsRoot);
