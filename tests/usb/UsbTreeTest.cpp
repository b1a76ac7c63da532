// The hub-in-path check and the descriptor reads, on the simulated USB world.
#include <gtest/gtest.h>

#include <cstring>

#include "bench/usb/BenchUsbWorld.h"
#include "tests/usb/LogCapture.h"
#include "usb/UsbTree.h"

namespace
{
SBenchDevice Headset()
{
    SBenchDevice device = MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001);
    device.manufacturer = L"Tavik";
    device.product = L"Tavik Headset";
    device.serialNumber = L"a1b2c3";
    return device;
}

// A composite headset: audio interfaces 0 and 1, HID interface 3.
SBenchDevice CompositeHeadset()
{
    SBenchDevice device = Headset();
    device.otherInterfaces = 2;
    device.hidInterfaces[0].interfaceNumber = 3;
    return device;
}

struct SCheck
{
    bool found = false;
    bool hubInPath = false;
    CUSBHubPortInfoPtr info;
};

SCheck Check(CBenchUsbWorld& world, const std::wstring& path, bool checkEmbedded)
{
    SCheck result;
    result.hubInPath = !checkEmbedded; // must be overwritten
    result.found = GetUSBDeviceDescriptorInfoAndHubInPathInfo(world, path, &result.info, checkEmbedded,
                                                              &result.hubInPath);
    return result;
}
} // namespace

TEST(UsbHubCheck, DeviceOnRootHubPortIsFoundWithoutHubInPath)
{
    CLogCapture log("usb_root_port");
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId dev = world.Plug(world.RootHub(hc), 2, Headset());
    ASSERT_NE(dev, 0u);

    const SCheck check = Check(world, world.HidInterfacePath(dev), true);
    EXPECT_TRUE(check.found);
    EXPECT_FALSE(check.hubInPath);
    ASSERT_TRUE(check.info);
    EXPECT_EQ(check.info->kind, 3u);
    EXPECT_EQ(+check.info->connectionInfo->connectionIndex, 2u);
    EXPECT_EQ(+check.info->connectionInfo->deviceDescriptor.idVendor, 0x2C6D);
    EXPECT_EQ(+check.info->connectionInfo->deviceDescriptor.idProduct, 0x3240);
    EXPECT_EQ(+check.info->connectionInfo->connectionStatus, kUsbDeviceConnected);
    EXPECT_EQ(world.OpenHubHandleCount(), 0u);

    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "[GetUSBDeviceDescriptorInfoAndHubInPathInfo] - pStrParentID[USB\\VID_2C6D&PID_3240\\A1B2C3]"));
    EXPECT_TRUE(Contains(text, "[GetUSBDeviceDescriptorInfoAndHubInPathInfo] - pStrRootHubID[USB\\ROOT_HUB30\\"));
    EXPECT_TRUE(Contains(text, "[GetParentDeviceID] - Root Hub Found!"));
    EXPECT_TRUE(Contains(text, "] - [0] Match Found! ["));
    EXPECT_TRUE(Contains(text, "] - [0] NumPorts[4]"));
    EXPECT_TRUE(Contains(text, "] - Device Connected on Port 2"));
    EXPECT_TRUE(Contains(text, "[GetUSBDeviceDescriptorInfoAndHubInPathInfo] - [0] ScanHubPortsForDevice - success[1] hasHubInPath[0]"));
    EXPECT_FALSE(Contains(text, "Hub in Path!"));
}

TEST(UsbHubCheck, BusPoweredHubIsInPath)
{
    CLogCapture log("usb_bus_powered_hub");
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId hub = world.Plug(world.RootHub(hc), 1, MakeBenchHub(0x05E3, 0x0610, 4, 50));
    const BenchId dev = world.Plug(hub, 3, Headset());

    const SCheck check = Check(world, world.HidInterfacePath(dev), true);
    EXPECT_TRUE(check.found);
    EXPECT_TRUE(check.hubInPath);
    ASSERT_TRUE(check.info);
    EXPECT_EQ(+check.info->connectionInfo->connectionIndex, 3u);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "] - Port 1 is a USB Hub."));
    EXPECT_TRUE(Contains(text, "] - Hub on Port 1 has 4 ports"));
    EXPECT_TRUE(Contains(text, "] - Max Power Value Hub on Port 1 is 0x32"));
    EXPECT_TRUE(Contains(text, "] - Non-Embedded Hub in Path!"));
    EXPECT_TRUE(Contains(text, "ScanHubPortsForDevice - success[1] hasHubInPath[1]"));
}

TEST(UsbHubCheck, HubWithoutBusPowerCountsAsEmbeddedOnlyWhenChecked)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId hub = world.Plug(world.RootHub(hc), 4, MakeBenchHub(0x8087, 0x0024, 6, 0));
    const BenchId dev = world.Plug(hub, 6, Headset());
    const std::wstring path = world.HidInterfacePath(dev);
    {
        CLogCapture log("usb_embedded_checked");
        const SCheck check = Check(world, path, true);
        EXPECT_TRUE(check.found);
        EXPECT_FALSE(check.hubInPath);
        const std::string text = log.Text();
        EXPECT_TRUE(Contains(text, "] - Max Power Value Hub on Port 4 is 0x00"));
        EXPECT_FALSE(Contains(text, "Hub in Path!"));
    }
    {
        CLogCapture log("usb_embedded_unchecked");
        const SCheck check = Check(world, path, false);
        EXPECT_TRUE(check.found);
        EXPECT_TRUE(check.hubInPath);
        const std::string text = log.Text();
        EXPECT_TRUE(Contains(text, "] - Hub in Path!"));
        EXPECT_FALSE(Contains(text, "Max Power Value"));
    }
}

TEST(UsbHubCheck, EveryHubOnAPathTwoHubsDeepIsJudged)
{
    struct SCase
    {
        std::uint8_t outerPower;
        std::uint8_t innerPower;
        bool hubInPath;
    };
    const SCase cases[] = {{0, 0, false}, {0, 50, true}, {50, 0, true}, {50, 50, true}};
    for (const SCase& c : cases)
    {
        CBenchUsbWorld world;
        const BenchId hc = world.AddHostController();
        const BenchId outer = world.Plug(world.RootHub(hc), 1, MakeBenchHub(0x8087, 0x0024, 4, c.outerPower));
        const BenchId inner = world.Plug(outer, 2, MakeBenchHub(0x05E3, 0x0610, 4, c.innerPower));
        const BenchId dev = world.Plug(inner, 4, Headset());
        const SCheck check = Check(world, world.HidInterfacePath(dev), true);
        EXPECT_TRUE(check.found);
        EXPECT_EQ(check.hubInPath, c.hubInPath) << int(c.outerPower) << "/" << int(c.innerPower);
        ASSERT_TRUE(check.info);
        EXPECT_EQ(+check.info->connectionInfo->connectionIndex, 4u);
    }
}

TEST(UsbHubCheck, HubsBeforeTheDeviceOnOtherPortsDoNotCount)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId hub = world.Plug(world.RootHub(hc), 1, MakeBenchHub(0x05E3, 0x0610, 4, 50));
    world.Plug(hub, 1, MakeBenchHidDevice(0x046D, 0xC52B, 0x0001, 0x0006));
    const BenchId dev = world.Plug(world.RootHub(hc), 3, Headset());
    const SCheck check = Check(world, world.HidInterfacePath(dev), true);
    EXPECT_TRUE(check.found);
    EXPECT_FALSE(check.hubInPath);
}

TEST(UsbHubCheck, InterfaceOfCompositeDeviceReachesTheDeviceNode)
{
    CLogCapture log("usb_composite");
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId hub = world.Plug(world.RootHub(hc), 2, MakeBenchHub(0x05E3, 0x0610, 4, 0));
    const BenchId dev = world.Plug(hub, 1, CompositeHeadset());
    const std::wstring path = world.HidInterfacePath(dev);
    EXPECT_NE(path.find(L"&mi_03#"), std::wstring::npos);

    std::wstring parent;
    EXPECT_TRUE(GetParentDeviceID(world, DevicePathToInstanceID(path), parent, false));
    EXPECT_EQ(parent, world.DeviceInstanceId(dev));

    const SCheck check = Check(world, path, true);
    EXPECT_TRUE(check.found);
    EXPECT_FALSE(check.hubInPath);
    ASSERT_TRUE(check.info);
    // Strings: languages first, then manufacturer, product, serial number.
    const auto& strings = check.info->stringDescriptors;
    ASSERT_EQ(strings.size(), 4u);
    EXPECT_EQ(strings[0].descriptorIndex, 0);
    EXPECT_EQ(strings[1].text, L"Tavik");
    EXPECT_EQ(strings[2].text, L"Tavik Headset");
    EXPECT_EQ(strings[3].text, L"a1b2c3");
    EXPECT_EQ(strings[3].languageId, 0x0409);
    // The configuration carries three interfaces.
    ASSERT_GE(check.info->ConfigDescriptorLength(), 9u);
    EXPECT_EQ(check.info->ConfigDescriptor()[4], 3);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "[GetParentDeviceID] - Parent Device ID - [USB\\VID_2C6D&PID_3240&MI_03\\"));
    EXPECT_TRUE(Contains(text, "GetStringDescriptor - Node DescriptorIndex[2] LanguageID[0x0409] Str[Tavik Headset]"));
}

TEST(UsbHubCheck, DeviceNotPresentIsNotFound)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId dev = world.Plug(world.RootHub(hc), 1, Headset());
    const std::wstring path = world.HidInterfacePath(dev);
    ASSERT_TRUE(world.Unplug(dev));
    SCheck check = Check(world, path, true);
    EXPECT_FALSE(check.found);
    EXPECT_FALSE(check.hubInPath);
    EXPECT_FALSE(check.info);
    // Garbage paths fail soft as well.
    for (const wchar_t* bad : {L"", L"\\", L"\\\\?\\", L"#", L"\\\\?\\hid#vid_#", L"no vid here"})
    {
        check = Check(world, bad, true);
        EXPECT_FALSE(check.found);
    }
}

TEST(UsbHubCheck, DeviceOnSecondControllerWithPlainConnectionInfo)
{
    CLogCapture log("usb_second_controller");
    CBenchUsbWorld world;
    world.AddHostController();
    const BenchId hc2 = world.AddHostController(2, false);
    SBenchDevice device = Headset();
    device.speed = kUsbLowSpeed;
    const BenchId dev = world.Plug(world.RootHub(hc2), 2, device);
    const SCheck check = Check(world, world.HidInterfacePath(dev), true);
    EXPECT_TRUE(check.found);
    ASSERT_TRUE(check.info);
    EXPECT_EQ(+check.info->connectionInfo->speed, kUsbLowSpeed);
    EXPECT_EQ(+check.info->connectionInfo->deviceDescriptor.idProduct, 0x3240);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "] - [1] Match Found! ["));
    EXPECT_FALSE(Contains(text, "] - [0] Match Found!"));
}

TEST(UsbHubCheck, PortInfoOfEmptyPortIsNothing)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    world.Plug(world.RootHub(hc), 1, Headset());
    std::wstring path;
    ASSERT_TRUE(EnumerateHostController(world, 0, path));
    std::unique_ptr<IUsbHostController> controller;
    ASSERT_EQ(world.OpenHostController(path, controller), EUsbResult::Ok);
    std::unique_ptr<IUsbHub> root = OpenRootHubOfController(world, *controller);
    ASSERT_TRUE(root);
    EXPECT_EQ(QueryHubPortCount(*root), 4u);
    EXPECT_TRUE(GetUSBHubPortInfo(*root, 1));
    EXPECT_FALSE(GetUSBHubPortInfo(*root, 2));
    EXPECT_FALSE(GetUSBHubPortInfo(*root, 0));
    EXPECT_FALSE(GetUSBHubPortInfo(*root, 99));
    EXPECT_TRUE(QueryPortDriverKey(*root, 2).empty());
    EXPECT_TRUE(QueryDownstreamHubName(*root, 1).empty());

    std::wstring id;
    EXPECT_TRUE(FindDevNodeByDriverKey(world, QueryPortDriverKey(*root, 1), true, id));
    EXPECT_EQ(id, L"USB\\VID_2C6D&PID_3240\\A1B2C3");
    EXPECT_TRUE(FindDevNodeByDriverKey(world, QueryPortDriverKey(*root, 1), false, id));
    EXPECT_EQ(id, L"USB Input Device");
    EXPECT_FALSE(FindDevNodeByDriverKey(world, L"{36fc9e60-c465-11cf-8056-444553540000}\\9999", true, id));
}

TEST(UsbHubCheck, DeviceWithoutConfigurationIsStillFoundAndHubWithoutOneIsNotEmbedded)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    SBenchDevice hubSpec = MakeBenchHub(0x8087, 0x0024, 4, 0);
    hubSpec.failConfigDescriptor = true;
    const BenchId hub = world.Plug(world.RootHub(hc), 1, hubSpec);
    SBenchDevice device = Headset();
    device.failConfigDescriptor = true;
    device.failStrings = true;
    const BenchId dev = world.Plug(hub, 1, device);
    const SCheck check = Check(world, world.HidInterfacePath(dev), true);
    EXPECT_TRUE(check.found);
    EXPECT_TRUE(check.hubInPath); // its power could not be read
    ASSERT_TRUE(check.info);
    EXPECT_TRUE(check.info->configDescriptorRequest.empty());
    EXPECT_TRUE(check.info->stringDescriptors.empty());
}

TEST(UsbHubCheck, TraverseLogsEveryControllerAndPort)
{
    CLogCapture log("usb_traverse");
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController(3);
    world.AddHostController(2);
    world.Plug(world.RootHub(hc), 1, Headset());
    TraverseUSBTree(world);
    EXPECT_EQ(world.OpenHubHandleCount(), 0u);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "TraverseUSBTree\r\n"));
    EXPECT_TRUE(Contains(text, "[0] Path[\\\\?\\pci#"));
    EXPECT_TRUE(Contains(text, "[1] pStrRootHubName[USB#ROOT_HUB30#"));
    EXPECT_TRUE(Contains(text, "[1] pStrRootHubDeviceID[USB\\ROOT_HUB30\\"));
    EXPECT_TRUE(Contains(text, "NumPorts[3]"));
    EXPECT_TRUE(Contains(text, "NumPorts[2]"));
    EXPECT_TRUE(Contains(text, "GetUSBHubPortInfo["));
    EXPECT_TRUE(Contains(text, "TraverseUSBTree Done\r\n"));
}

TEST(UsbNames, DevicePathToInstanceId)
{
    EXPECT_EQ(DevicePathToInstanceID(L"\\\\?\\hid#vid_2c6d&pid_3240&mi_03#7&1a&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              L"hid\\vid_2c6d&pid_3240&mi_03\\7&1a&0&0000");
    EXPECT_EQ(DevicePathToInstanceID(L"USB#ROOT_HUB30#4&2000&0&0#{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}"),
              L"USB\\ROOT_HUB30\\4&2000&0&0");
    EXPECT_EQ(DevicePathToInstanceID(L"\\ab"), L"");
    EXPECT_EQ(DevicePathToInstanceID(L"plain"), L"plain");
}

TEST(UsbNames, ExtractVidPid)
{
    std::uint16_t vid = 1;
    std::uint16_t pid = 1;
    EXPECT_TRUE(ExtractUSBVidPid(L"USB\\VID_2C6D&PID_3240\\x", &vid, &pid));
    EXPECT_EQ(vid, 0x2C6D);
    EXPECT_EQ(pid, 0x3240);
    EXPECT_FALSE(ExtractUSBVidPid(L"USB\\ROOT_HUB30\\4&1", &vid, &pid));
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(ExtractUSBVidPid(L"vid_12", &vid, &pid));
    EXPECT_TRUE(ExtractUSBVidPid(L"pid_1&vid_", &vid, &pid)); // both present, digits cut short
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(pid, 1);
}
