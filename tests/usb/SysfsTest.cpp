// The Linux sysfs and hidraw backends on a recorded machine (tests/usb/fixtures/desk):
// keyboard on a root port, composite headset behind a bus-powered hub, a
// vendor dongle behind an embedded hub (bMaxPower 0).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/HidSystem.h"
#include "platform/UsbTopology.h"
#include "tests/TestSupport.h"
#include "tests/usb/LogCapture.h"
#include "usb/HidLookup.h"
#include "usb/UsbTree.h"

namespace
{
const std::string kDesk = ORVO_USB_FIXTURES "/desk";

std::wstring PathOf(IHidSystem& hid, std::uint16_t vid, std::uint16_t usagePage)
{
    std::vector<std::wstring> paths;
    hid.EnumerateInterfaces(paths);
    for (const auto& p : paths)
    {
        CHidDevicePtr d;
        SHidOpenOptions o;
        o.access = kHidAccessNone;
        SHidAttributes a;
        SHidCaps c;
        if (hid.Open(p, o, d) == EHidResult::Ok && d->GetAttributes(a) == EHidResult::Ok &&
            d->GetCaps(c) == EHidResult::Ok && a.vendorId == vid && c.usagePage == usagePage)
            return p;
    }
    return {};
}
} // namespace

TEST(SysfsUsb, HidInterfacesAppearPerCollectionWithWindowsShapedPaths)
{
    auto hid = CreateHidrawHidSystem(kDesk, "/nonexistent");
    std::vector<std::wstring> paths;
    ASSERT_EQ(hid->EnumerateInterfaces(paths), EHidResult::Ok);
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], L"\\\\?\\hid#vid_046d&pid_c31c#hidraw0#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_EQ(paths[1], L"\\\\?\\hid#vid_2c6d&pid_3240&mi_03&col01#hidraw1#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_EQ(paths[2], L"\\\\?\\hid#vid_2c6d&pid_3240&mi_03&col02#hidraw1#{4d1e55b2-f16f-11cf-88cb-001111000030}");

    CHidDevicePtr d;
    SHidOpenOptions none;
    none.access = kHidAccessNone;
    ASSERT_EQ(hid->Open(paths[2], none, d), EHidResult::Ok);
    SHidAttributes a;
    SHidCaps c;
    ASSERT_EQ(d->GetAttributes(a), EHidResult::Ok);
    ASSERT_EQ(d->GetCaps(c), EHidResult::Ok);
    EXPECT_EQ(a.vendorId, 0x2C6D);
    EXPECT_EQ(a.productId, 0x3240);
    EXPECT_EQ(a.versionNumber, 0x0105);
    EXPECT_EQ(c.usagePage, 0xFF00);
    EXPECT_EQ(c.inputReportByteLength, 33);
    EXPECT_EQ(c.outputReportByteLength, 17);
    EXPECT_EQ(c.featureReportByteLength, 64);
    std::wstring text;
    EXPECT_EQ(d->GetProductString(text), EHidResult::Ok);
    EXPECT_EQ(text, L"Tavik Headset");
    // Reports need access; the node is not there.
    std::uint8_t report[64] = {4};
    EXPECT_EQ(d->GetFeature(report, sizeof(report)), EHidResult::AccessDenied);
    CHidDevicePtr rw;
    EXPECT_EQ(hid->Open(paths[2], SHidOpenOptions(), rw), EHidResult::NoDevice);
    EXPECT_EQ(hid->Open(L"\\\\?\\hid#vid_0000&pid_0000#hidraw9#{x}", none, rw), EHidResult::NoDevice);

    std::wstring usbId;
    EXPECT_EQ(hid->GetUsbDeviceInstanceId(paths[1], usbId), EHidResult::Ok);
    EXPECT_EQ(usbId, L"USB\\VID_2C6D&PID_3240\\1-1.3");
}

TEST(SysfsUsb, HubCheckGivesTheSameAnswersAsOnWindows)
{
    auto hid = CreateHidrawHidSystem(kDesk, "/nonexistent");
    auto usb = CreateSysfsUsbTopology(kDesk);
    struct SCase
    {
        std::uint16_t vid;
        std::uint16_t page;
        bool checkEmbedded;
        bool hubInPath;
        std::uint32_t port;
    };
    const SCase cases[] = {
        {0x046D, 0x0001, true, false, 2},  // keyboard on a root port
        {0x2C6D, 0xFF00, true, true, 3},   // headset behind a bus-powered hub
        {0x170D, 0xFF00, true, false, 4},  // dongle behind the embedded hub, checked
        {0x170D, 0xFF00, false, true, 4},  // ... and not checked
    };
    for (const SCase& c : cases)
    {
        const std::wstring path = PathOf(*hid, c.vid, c.page);
        ASSERT_FALSE(path.empty());
        CUSBHubPortInfoPtr info;
        bool hubInPath = !c.hubInPath;
        EXPECT_TRUE(GetUSBDeviceDescriptorInfoAndHubInPathInfo(*usb, path, &info, c.checkEmbedded, &hubInPath));
        EXPECT_EQ(hubInPath, c.hubInPath) << c.vid;
        ASSERT_TRUE(info);
        EXPECT_EQ(+info->connectionInfo->connectionIndex, c.port);
        EXPECT_EQ(+info->connectionInfo->deviceDescriptor.idVendor, c.vid);
    }
}

TEST(SysfsUsb, PortInformationDescriptorsAndStrings)
{
    CLogCapture log("sysfs_traverse");
    auto usb = CreateSysfsUsbTopology(kDesk);
    std::wstring path;
    ASSERT_TRUE(EnumerateHostController(*usb, 0, path));
    EXPECT_EQ(path, L"\\\\?\\pci#linux_hcd#0000:00:14.0&bus1#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
    std::unique_ptr<IUsbHostController> hc;
    ASSERT_EQ(usb->OpenHostController(path, hc), EUsbResult::Ok);
    EXPECT_EQ(QueryRootHubName(*hc), L"USB#ROOT_HUB20#usb1#{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}");
    std::unique_ptr<IUsbHub> root = OpenRootHubOfController(*usb, *hc);
    ASSERT_TRUE(root);
    EXPECT_EQ(QueryHubPortCount(*root), 4u);
    CUSBHubPortInfoPtr keyboard = GetUSBHubPortInfo(*root, 2);
    ASSERT_TRUE(keyboard);
    EXPECT_EQ(+keyboard->connectionInfo->speed, kUsbLowSpeed);
    EXPECT_EQ(+keyboard->connectionInfo->deviceIsHub, 0);
    ASSERT_EQ(keyboard->stringDescriptors.size(), 3u);
    EXPECT_EQ(keyboard->stringDescriptors[1].text, L"Logitech");
    EXPECT_EQ(keyboard->stringDescriptors[2].text, L"USB Keyboard");
    EXPECT_FALSE(GetUSBHubPortInfo(*root, 3));
    CUSBHubPortInfoPtr hub = GetUSBHubPortInfo(*root, 1);
    ASSERT_TRUE(hub);
    EXPECT_EQ(+hub->connectionInfo->deviceIsHub, 1);
    ASSERT_GE(hub->ConfigDescriptorLength(), 9u);
    EXPECT_EQ(hub->ConfigDescriptor()[8], 50);
    EXPECT_EQ(QueryDownstreamHubName(*root, 1), L"USB#VID_05E3&PID_0610#1-1#{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}");
    std::wstring id;
    EXPECT_TRUE(FindDevNodeByDriverKey(*usb, QueryPortDriverKey(*root, 1), true, id));
    EXPECT_EQ(id, L"USB\\VID_05E3&PID_0610\\1-1");

    TraverseUSBTree(*usb);
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "[2] pStrRootHubDeviceID[USB\\ROOT_HUB20\\usb3]"));
    EXPECT_TRUE(Contains(text, "[1] pStrRootHubDeviceID[USB\\ROOT_HUB30\\usb2]"));
    EXPECT_TRUE(Contains(text, "TraverseUSBTree Done"));
}

TEST(SysfsUsb, ReportsThroughTheNodeWithTimeOutAndCancel)
{
    // A FIFO stands in for the hidraw node: what is written comes back as input.
    const std::string dev = MakeTestFolder("sysfs_fifo");
    ASSERT_EQ(mkfifo((dev + "/hidraw2").c_str(), 0600), 0);
    auto hid = CreateHidrawHidSystem(kDesk, dev);
    const std::wstring path = PathOf(*hid, 0x170D, 0xFF00);
    CHidDevicePtr d;
    std::wstring found;
    ASSERT_EQ(OrvoHID_GetHIDHandleByUsage(*hid, 0x170D, 0xFE00, 0xFF00, 0x0001, 1, &d, &found), HR_OK);
    EXPECT_EQ(found, path);
    ASSERT_TRUE(d->IsOverlapped());

    std::uint8_t in[65] = {};
    std::size_t n = 0;
    EXPECT_EQ(d->ReadInputReport(in, sizeof(in), 50, &n), EHidResult::Timeout);
    // A FIFO is a byte stream: write what one read takes (64 bytes after the added 0).
    std::uint8_t out[64] = {0, 0xAA, 0xBB};
    EXPECT_EQ(d->WriteOutputReport(out, sizeof(out), 1000, &n), EHidResult::Ok);
    EXPECT_EQ(n, sizeof(out));
    // No report IDs: the 0 in front comes from the backend, the rest from the node.
    EXPECT_EQ(d->ReadInputReport(in, sizeof(in), 1000, &n), EHidResult::Ok);
    EXPECT_EQ(n, sizeof(in));
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0);
    EXPECT_EQ(in[2], 0xAA);
    d->Cancel();
    EXPECT_EQ(d->ReadInputReport(in, sizeof(in), kInfinite, &n), EHidResult::Cancelled);
    d->ResetCancel();
    EXPECT_EQ(d->ReadInputReport(in, sizeof(in), 10, &n), EHidResult::Timeout);

    CHidDevicePtr plain;
    ASSERT_EQ(OrvoHID_GetHIDHandleByUsage(*hid, 0x170D, 0xFE00, 0xFF00, 0x0001, 0, &plain, nullptr), HR_OK);
    EXPECT_EQ(plain->ReadInputReport(in, sizeof(in), 10, &n), EHidResult::InvalidArg);
    std::uint8_t feature[65] = {0};
    EXPECT_NE(plain->GetFeature(feature, sizeof(feature)), EHidResult::Ok); // a FIFO knows no feature reports
}

TEST(SysfsUsb, MissingTreeIsEmptyNotAnError)
{
    auto hid = CreateHidrawHidSystem("/nonexistent", "/nonexistent");
    auto usb = CreateSysfsUsbTopology("/nonexistent");
    std::vector<std::wstring> paths{L"x"};
    EXPECT_EQ(hid->EnumerateInterfaces(paths), EHidResult::Ok);
    EXPECT_TRUE(paths.empty());
    std::wstring path;
    EXPECT_FALSE(EnumerateHostController(*usb, 0, path));
    bool hubInPath = true;
    EXPECT_FALSE(GetUSBDeviceDescriptorInfoAndHubInPathInfo(*usb, L"\\\\?\\hid#vid_1&pid_2#x#{y}", nullptr, true,
                                                            &hubInPath));
    EXPECT_FALSE(hubInPath);
}

// A device that re-enumerates on the same port keeps its sysfs name but gets
// a new number and, here, another identity (HID mode to DFU mode): the model
// must follow, or the upgrade would look for the old device.
TEST(SysfsUsb, ReplugOnTheSamePortWithAnotherIdentityIsSeen)
{
    namespace fs = std::filesystem;
    const fs::path copy = fs::path(MakeTestFolder("sysfs-replug")) / "desk";
    fs::copy(kDesk, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    auto hid = CreateHidrawHidSystem(copy.string(), "/nonexistent");
    std::vector<std::wstring> paths;
    ASSERT_EQ(hid->EnumerateInterfaces(paths), EHidResult::Ok);
    ASSERT_GE(paths.size(), 2u);
    std::wstring usbId;
    ASSERT_EQ(hid->GetUsbDeviceInstanceId(paths[1], usbId), EHidResult::Ok);
    ASSERT_EQ(usbId, L"USB\\VID_2C6D&PID_3240\\1-1.3");

    // Back in DFU mode on the same port: a new number and new IDs.
    const fs::path device = copy / "bus" / "usb" / "devices" / "1-1.3";
    ASSERT_TRUE(WriteFileBytes((device / "devnum").string(), "9\n"));
    ASSERT_TRUE(WriteFileBytes((device / "idVendor").string(), "0a12\n"));
    ASSERT_TRUE(WriteFileBytes((device / "idProduct").string(), "0001\n"));
    // The headset's HID interface path (VID_2C6D&PID_3240) names no device now.
    EXPECT_EQ(hid->GetUsbDeviceInstanceId(paths[1], usbId), EHidResult::NoDevice);
    std::vector<std::wstring> now;
    ASSERT_EQ(hid->EnumerateInterfaces(now), EHidResult::Ok);
    for (const std::wstring& path : now)
        EXPECT_EQ(path.find(L"vid_2c6d&pid_3240"), std::wstring::npos);

    // Back in HID mode after the upgrade: the same IDs as at first, a new
    // number and the new firmware's bcdDevice, which the attributes show.
    ASSERT_TRUE(WriteFileBytes((device / "idVendor").string(), "2c6d\n"));
    ASSERT_TRUE(WriteFileBytes((device / "idProduct").string(), "3240\n"));
    ASSERT_EQ(hid->GetUsbDeviceInstanceId(paths[1], usbId), EHidResult::Ok);
    EXPECT_EQ(usbId, L"USB\\VID_2C6D&PID_3240\\1-1.3");
    ASSERT_TRUE(WriteFileBytes((device / "bcdDevice").string(), "0106\n"));
    ASSERT_TRUE(WriteFileBytes((device / "devnum").string(), "10\n"));
    CHidDevicePtr d;
    SHidOpenOptions none;
    none.access = kHidAccessNone;
    ASSERT_EQ(hid->Open(paths[1], none, d), EHidResult::Ok);
    SHidAttributes a;
    ASSERT_EQ(d->GetAttributes(a), EHidResult::Ok);
    EXPECT_EQ(a.versionNumber, 0x0106);
}

// The USB port a hidraw node hangs on, by the name libusb gives the device
// there (and so the DFU device that comes back on the same port).
TEST(SysfsUsb, HidrawNodesNameTheirUsbPort)
{
    EXPECT_EQ(SysfsHidrawUsbLocation(kDesk, "hidraw0"), "1-2");   // keyboard on a root port
    EXPECT_EQ(SysfsHidrawUsbLocation(kDesk, "hidraw1"), "1-1.3"); // headset behind a hub
    EXPECT_EQ(SysfsHidrawUsbLocation(kDesk, "hidraw2"), "3-1.4"); // dongle on the second bus
    EXPECT_EQ(SysfsHidrawUsbLocation(kDesk, "hidraw9"), "");
    EXPECT_EQ(SysfsHidrawUsbLocation(kDesk + "/nonexistent", "hidraw1"), "");
}
