#pragma once
// Where a USB device hangs, read from the Windows device tree, in the form
// libusb gives the same device on Windows and the DFU port uses in its
// device names: "bus-port.port..." (platform/DfuTransport.h).
//
// libusb numbers the buses by the host controllers' place among the present
// host controller interfaces ({3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}, in
// SetupAPI's order, from 1) and reads a device's port on its hub from the
// device's location information ("Port_#0002.Hub_#0004"), else from the last
// "#USB(n)" of its first location path, else from its address. The chain
// runs from the port on the root hub down to the device; the nodes of a
// composite device's interfaces and of HID collections sit below the device
// and are skipped.
//
// Portable: the tree comes in through IWinDeviceTree, which the Windows
// backend fills from the configuration manager and SetupAPI
// (platform/windows) and the tests from recorded trees.

#include <cstdint>
#include <string>
#include <vector>

class IWinDeviceTree
{
public:
    using Node = std::uint32_t;
    virtual ~IWinDeviceTree() = default;

    // The device node of a device interface (a HID interface path as hidapi
    // gives it); false when there is none.
    virtual bool LocateInterface(const std::wstring& interfacePath, Node* node) = 0;
    virtual bool Parent(Node node, Node* parent) = 0;
    virtual std::wstring InstanceId(Node node) = 0;
    // Registry properties of a node; false when it has none.
    virtual bool LocationInformation(Node node, std::wstring* text) = 0; // SPDRP_LOCATION_INFORMATION
    virtual bool FirstLocationPath(Node node, std::wstring* text) = 0;   // first string of SPDRP_LOCATION_PATHS
    virtual bool Address(Node node, std::uint32_t* address) = 0;         // SPDRP_ADDRESS
    // The nodes of the present host controller interfaces, in SetupAPI's order.
    virtual std::vector<Node> HostControllers() = 0;
};

// The device instance ID behind a device interface path:
// "\\?\hid#vid_2c6d&pid_3240&mi_03#7&1a2b&0&0000#{4d1e55b2-...}" gives
// "hid\vid_2c6d&pid_3240&mi_03\7&1a2b&0&0000" (Windows compares IDs without
// regard to case). Empty when the path is not of that shape.
std::wstring WinInterfacePathToInstanceId(const std::wstring& interfacePath);

// The port of a USB device on its hub, as libusb reads it; false when the
// node tells none.
bool WinUsbPortNumber(IWinDeviceTree& tree, IWinDeviceTree::Node node, std::uint32_t* port);

// The location of the USB device that carries a device interface; empty
// when the tree does not lead from it through USB devices to a root hub and
// one of the host controllers.
std::string WinUsbPortLocation(IWinDeviceTree& tree, const std::wstring& interfacePath);
