#pragma once
// Where a USB device sits in the USB tree, and whether an external hub lies
// between it and its root hub; plus a diagnostic walk over every host
// controller. Everything works through the IUsbTopology port, given as an
// explicit parameter (the system's, or the bench's simulated world).
//
// Threads: no state is kept between calls; any thread may call, each call
// opens its own handles. A device that disappears in the middle of a walk
// simply is not found (every step fails soft).
//
// Everything a device reports (connection information, descriptors, strings)
// is treated as untrusted: lengths are checked before any field is read.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UsbTopology.h"

// One string descriptor as the device returned it, in one language.
struct SUsbStringDescriptorNode
{
    std::uint8_t descriptorIndex = 0;
    std::uint16_t languageId = 0;
    std::vector<std::uint8_t> descriptor; // bLength, bDescriptorType (3), UTF-16LE text
    std::wstring text;                    // the text, decoded
};

// What one hub port tells about its device. Owned by the caller; release with
// ReleaseUSBHubPortInfo (or hold it in a CUSBHubPortInfoPtr).
struct USBHubPortInfo
{
    std::uint32_t kind = 3;
    std::unique_ptr<SUsbNodeConnectionInformationEx> connectionInfo;
    // Request header (12 bytes) followed by the whole configuration
    // descriptor; empty when it could not be read.
    std::vector<std::uint8_t> configDescriptorRequest;
    // In the order read: string 0 (languages) first, then each index in each language.
    std::vector<SUsbStringDescriptorNode> stringDescriptors;

    // The configuration descriptor after the header (nullptr / 0 when none).
    const std::uint8_t* ConfigDescriptor() const;
    std::size_t ConfigDescriptorLength() const;
};

void ReleaseUSBHubPortInfo(USBHubPortInfo* info);

struct SUSBHubPortInfoRelease
{
    void operator()(USBHubPortInfo* info) const { ReleaseUSBHubPortInfo(info); }
};
using CUSBHubPortInfoPtr = std::unique_ptr<USBHubPortInfo, SUSBHubPortInfoRelease>;

// The hub check used before an upgrade.
//   usb               the USB tree to search (CreateSystemUsbTopology() or the bench world)
//   devicePath        device path of one of the device's interfaces (e.g. its HID interface path)
//   portInfo          optional out: the device's port information (null when not found)
//   checkEmbeddedHubs true: a hub whose configuration asks for no bus power (bMaxPower 0)
//                     counts as embedded and does not set the flag
//   hasHubInPath      optional out: true when a (non-embedded) hub lies between root hub and device
// Returns true when the device was found below one of the root hubs. Logs every step.
bool GetUSBDeviceDescriptorInfoAndHubInPathInfo(IUsbTopology& usb, const std::wstring& devicePath,
                                                CUSBHubPortInfoPtr* portInfo, bool checkEmbeddedHubs,
                                                bool* hasHubInPath);

// Recursive scan of a hub's ports (1..numPorts) for the device node with targetId.
bool ScanHubPortsForDevice(IUsbTopology& usb, IUsbHub& hub, std::uint32_t numPorts, const std::wstring& targetId,
                           CUSBHubPortInfoPtr* portInfo, bool checkEmbeddedHubs, bool* hasHubInPath);

// Connection information, configuration descriptor and strings of the device
// on a port; null for a port without a connected device.
CUSBHubPortInfoPtr GetUSBHubPortInfo(IUsbHub& hub, std::uint32_t port);

// Configuration descriptor `index` of the device on a port, as request header
// + descriptor; empty when the reply was short, inconsistent or failed.
std::vector<std::uint8_t> QueryPortConfigDescriptor(IUsbHub& hub, std::uint32_t port, std::uint8_t index);

// True when the device or any configuration/interface descriptor names a string.
// configDescriptor may be null (length 0).
bool HasAnyStringIndex(const SUsbNodeConnectionInformationEx& connectionInfo, const std::uint8_t* configDescriptor,
                       std::size_t configLength);

// Reads string 0 and every string the descriptors name, in every supported language.
std::vector<SUsbStringDescriptorNode> GetAllStringDescriptors(IUsbHub& hub, std::uint32_t port,
                                                              const SUsbDeviceDescriptor& deviceDescriptor,
                                                              const std::uint8_t* configDescriptor,
                                                              std::size_t configLength);

// Reads one string index in each of the languages and appends the nodes; false when none was read.
bool GetStringDescriptors(IUsbHub& hub, std::uint32_t port, std::uint8_t index, const std::uint16_t* languageIds,
                          std::size_t numLanguageIds, std::vector<SUsbStringDescriptorNode>& chain);

// One string descriptor; false when the reply is not a well-formed string descriptor.
bool GetStringDescriptor(IUsbHub& hub, std::uint32_t port, std::uint8_t index, std::uint16_t languageId,
                         SUsbStringDescriptorNode& node);

bool HasStringDescriptor(const std::vector<SUsbStringDescriptorNode>& chain, std::uint8_t index);

// Device tree.
bool GetParentDeviceID(IUsbTopology& usb, const std::wstring& deviceId, std::wstring& parentId, bool findRootHub);
bool GetDeviceNodeID(IUsbTopology& usb, const std::wstring& deviceId, UsbDevNode& node);
// Reads "vid_XXXX" and "pid_XXXX" (any case) out of a path or ID; both outputs 0 when absent.
bool ExtractUSBVidPid(const std::wstring& pathOrId, std::uint16_t* vendorId, std::uint16_t* productId);
// "\\?\hid#vid_1&pid_2#7&abc#{guid}" -> "hid\vid_1&pid_2\7&abc".
std::wstring DevicePathToInstanceID(const std::wstring& devicePath);
bool EnumerateHostController(IUsbTopology& usb, std::uint32_t index, std::wstring& devicePath);
// The device instance ID (wantId) or device description of the node with this driver key.
bool FindDevNodeByDriverKey(IUsbTopology& usb, const std::wstring& driverKey, bool wantId, std::wstring& result);

// Hub helpers.
std::wstring QueryRootHubName(IUsbHostController& hostController);
std::unique_ptr<IUsbHub> OpenRootHubOfController(IUsbTopology& usb, IUsbHostController& hostController);
std::uint32_t QueryHubPortCount(IUsbHub& hub); // 0 when not a hub or the request fails
std::wstring QueryPortDriverKey(IUsbHub& hub, std::uint32_t port);
std::wstring QueryDownstreamHubName(IUsbHub& hub, std::uint32_t port);
bool OpenDownstreamHub(IUsbTopology& usb, IUsbHub& hub, std::uint32_t port, std::unique_ptr<IUsbHub>& downstream);

// Diagnostic walk over every host controller, root hub and root hub port; logs only.
void TraverseUSBTree(IUsbTopology& usb);

// ASCII-case-insensitive comparison and search, as the device tree rules use them.
bool EqualsNoCaseAscii(const std::wstring& a, const std::wstring& b);
