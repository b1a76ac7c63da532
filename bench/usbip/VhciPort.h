#pragma once
// One port of the kernel's USB/IP host controller (vhci-hcd): plugging a
// device in is a stream socket pair whose one end is handed to the
// controller through its sysfs attach file; the other end serves the
// device (CUsbIpConnection). Unplugging is closing that end, or writing the
// port to the detach file. Linux only; needs root.
//
// Ports 0..N-1 of the first controller are its USB 2.0 ports (full and high
// speed); a device on port P appears as /sys/bus/usb/devices/B-(P+1), B
// being the bus of the controller's USB 2.0 root hub.

#include <cstdint>
#include <string>

class CVhciPort
{
public:
    explicit CVhciPort(int port, std::string controller = "/sys/devices/platform/vhci_hcd.0");
    int Port() const { return m_port; }
    // Plugs a device of that speed (kUsbFullSpeed, kUsbHighSpeed, kUsbLowSpeed)
    // in; the device end of the connection, or -1 with why. Waits (up to 3 s)
    // for the port to be free after an unplug.
    int Attach(std::uint8_t speed, std::string* why);
    // Unplugs what the port holds through the detach file.
    bool Detach();
    // The usb device path of the port ("/sys/bus/usb/devices/1-3"), when known.
    std::string SysfsDevicePath() const;

private:
    int m_port;
    std::string m_controller;
    std::uint32_t m_attachCount = 0;
};
