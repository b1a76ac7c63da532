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
// Devices are described by SBenchDevice (bench/device/UsbDescription.h, the
// layer both faces of the bench read): a HID interface may carry an
// IBenchHidModel that answers its feature and output reports and produces
// input reports. Devices without a model refuse report traffic with Failed.
//
// Time: every moment is product time of CClock (scaled in tests). Scheduled
// plug events take effect when the world is next used at or after their
// moment; a read waiting on a device that leaves the bus returns NoDevice.
//
// Threads: every call may come from any thread. The world lock is never held
// while a model runs. The world must outlive every handle opened on it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/device/UsbDescription.h"

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

    // Looking at the world (tests, and the USB/IP server that serves it).
    // The root hubs, in the order their controllers were added.
    std::vector<BenchId> RootHubs() const;
    // What a hub port holds now: false when nothing is plugged in there.
    // plugCount changes every time a device (re)appears on the port.
    bool PortDevice(BenchId hub, std::uint8_t port, BenchId* device, SBenchDevice* description,
                    std::uint64_t* plugCount);
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
