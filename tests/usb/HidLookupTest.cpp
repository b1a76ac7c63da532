// HID device lookup on the simulated USB world.
#include <gtest/gtest.h>

#include "bench/usb/BenchUsbWorld.h"
#include "tests/usb/LogCapture.h"
#include "usb/HidLookup.h"

namespace
{
struct SWorld
{
    CBenchUsbWorld world;
    BenchId root = 0;
    SWorld() { root = world.RootHub(world.AddHostController(6)); }
};
} // namespace

TEST(HidLookup, VendorFormTakesTheFirstListedDeviceWithItsProductId)
{
    CLogCapture log("hid_vendor_form");
    SWorld w;
    w.world.Plug(w.root, 1, MakeBenchHidDevice(0x046D, 0xC52B, 0x0001, 0x0006)); // other vendor first
    const BenchId first = w.world.Plug(w.root, 2, MakeBenchHidDevice(0x170D, 0xFE01, 0xFF00, 0x0001));
    w.world.Plug(w.root, 3, MakeBenchHidDevice(0x170D, 0xFE00, 0xFF00, 0x0001));

    std::uint16_t pid = 0xFFFF;
    CHidDevicePtr handle;
    std::wstring path;
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x170D, 0xFF00, 0x0001, 0, &handle, &path, &pid), HR_OK);
    ASSERT_TRUE(handle);
    EXPECT_EQ(pid, 0xFE01);
    EXPECT_EQ(path, w.world.HidInterfacePath(first));
    EXPECT_EQ(w.world.OpenHidHandleCount(), 1u); // the others were closed
    EXPECT_EQ(w.world.OpenHidHandleCount(first), 1u);
    OrvoHID_CloseHIDHandle(handle);
    EXPECT_FALSE(handle);
    OrvoHID_CloseHIDHandle(handle); // closing the invalid handle is harmless
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);

    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::VID[0x046d]\r\n"));
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::VID[0x170d]\r\n"));
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::UsagePage[0xff00] Usage[1]\r\n"));
    EXPECT_FALSE(Contains(text, "OrvoHID_GetHIDHandleByUsage:: VID")); // the vendor form logs no request line
}

TEST(HidLookup, WrongUsageIsSkippedAndClosed)
{
    CLogCapture log("hid_wrong_usage");
    SWorld w;
    const BenchId wrong = w.world.Plug(w.root, 1, MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0002));
    const BenchId right = w.world.Plug(w.root, 2, MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001));
    CHidDevicePtr handle;
    std::wstring path;
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3240, 0xFF00, 0x0001, 0, &handle, &path), HR_OK);
    EXPECT_EQ(path, w.world.HidInterfacePath(right));
    EXPECT_EQ(w.world.OpenHidHandleCount(wrong), 0u);
    EXPECT_EQ(w.world.OpenHidHandleCount(right), 1u);
    handle.reset();
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage:: VID[0x2c6d] PID[0x3240] UsagePage[0xff00] Usage[0x0001]\r\n"));
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::VID[0x2c6d] PID[0x3240]\r\n"));
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::UsagePage[0xff00] Usage[2]\r\n"));
}

TEST(HidLookup, NothingFoundLeavesInvalidHandleZeroProductAndUntouchedPath)
{
    SWorld w;
    w.world.Plug(w.root, 1, MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0002));
    std::uint16_t pid = 0x1234;
    CHidDevicePtr handle;
    std::wstring path = L"untouched";
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0xFF00, 0x0001, 1, &handle, &path, &pid), HR_FAIL);
    EXPECT_FALSE(handle);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(path, L"untouched");
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3241, 0xFF00, 0x0002, 1, &handle, &path), HR_FAIL);
    EXPECT_EQ(path, L"untouched");
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3240, 0xFF00, 0x0002, 64, 1, &handle, &path), HR_FAIL);
    EXPECT_EQ(path, L"untouched");
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);

    // A previously open handle given as output is closed before the search.
    CBenchUsbWorld empty;
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3240, 0xFF00, 0x0002, 0, &handle, nullptr), HR_OK);
    EXPECT_TRUE(handle);
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(empty, 0x2C6D, 0x3240, 0xFF00, 0x0002, 0, &handle, nullptr), HR_FAIL);
    EXPECT_FALSE(handle);
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);
}

TEST(HidLookup, OverlappedOnlyWhenTheArgumentIsOne)
{
    SWorld w;
    w.world.Plug(w.root, 1, MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001));
    for (int overlapped : {0, 1, 2, -1})
    {
        CHidDevicePtr handle;
        ASSERT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3240, 0xFF00, 0x0001, overlapped, &handle, nullptr),
                  HR_OK);
        EXPECT_EQ(handle->IsOverlapped(), overlapped == 1) << overlapped;
        EXPECT_EQ(handle->GetAccess(), static_cast<std::uint32_t>(kHidAccessReadWrite));
    }
}

TEST(HidLookup, ReportLengthFormComparesTheOutputLength)
{
    CLogCapture log("hid_report_length");
    SWorld w;
    w.world.Plug(w.root, 1, MakeBenchHidDevice(0x0572, 0x1410, 0x000C, 0x0001, 0x21, 0x25, 0));
    const BenchId right = w.world.Plug(w.root, 2, MakeBenchHidDevice(0x0572, 0x1410, 0x000C, 0x0001, 3, 6, 0));
    CHidDevicePtr handle;
    std::wstring path;
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x0572, 0x1410, 0x000C, 0x0001, 6, 0, &handle, &path), HR_OK);
    EXPECT_EQ(path, w.world.HidInterfacePath(right));
    handle.reset();
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage:: VID[0x0572] PID[0x1410] UsagePage[0x000c] Usage[0x0001] OutputReportByteLength[6]\r\n"));
    EXPECT_TRUE(Contains(text, "OrvoHID_GetHIDHandleByUsage::UsagePage[0xc] Usage[1] OutputReportByteLength[37]\r\n"));
}

TEST(HidLookup, InterfacesHeldBySystemAreSkipped)
{
    SWorld w;
    SBenchDevice keyboard = MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001);
    keyboard.hidInterfaces[0].exclusive = true;
    w.world.Plug(w.root, 1, keyboard);
    CHidDevicePtr handle;
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(w.world, 0x2C6D, 0x3240, 0xFF00, 0x0001, 0, &handle, nullptr), HR_FAIL);
}

TEST(HidLookup, ByInstanceIdFindsTheInterfaceOfThatUsbDevice)
{
    CLogCapture log("hid_instance");
    SWorld w;
    SBenchDevice composite = MakeBenchHidDevice(0x0A12, 0x1004, 0xFF00, 0x0001);
    composite.serialNumber = L"SER1";
    composite.otherInterfaces = 2;
    composite.hidInterfaces[0].interfaceNumber = 2;
    w.world.Plug(w.root, 1, MakeBenchHidDevice(0x0A12, 0x1004, 0xFF00, 0x0001));
    const BenchId dev = w.world.Plug(w.root, 2, composite);
    const std::wstring usbId = w.world.DeviceInstanceId(dev);
    ASSERT_EQ(usbId, L"USB\\VID_0A12&PID_1004\\SER1");

    std::uint16_t pid = 0;
    CHidDevicePtr handle;
    std::wstring path;
    EXPECT_EQ(OrvoHID_GetHIDHandleByInstanceID(w.world, w.world, "USB\\VID_0A12&PID_1004\\SER1", 1, &pid, &handle,
                                               &path),
              HR_OK);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(handle->IsOverlapped());
    EXPECT_EQ(pid, 0x1004);
    EXPECT_EQ(path, w.world.HidInterfacePath(dev));
    EXPECT_EQ(w.world.OpenHidHandleCount(), 1u);
    std::wstring viaPort;
    EXPECT_EQ(w.world.GetUsbDeviceInstanceId(path, viaPort), EHidResult::Ok);
    EXPECT_EQ(viaPort, usbId);
    handle.reset();

    // Case matters; a missing path output never matches.
    path = L"untouched";
    EXPECT_EQ(OrvoHID_GetHIDHandleByInstanceID(w.world, w.world, "usb\\vid_0a12&pid_1004\\ser1", 0, &pid, &handle,
                                               &path),
              HR_FAIL);
    EXPECT_EQ(path, L"untouched");
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(OrvoHID_GetHIDHandleByInstanceID(w.world, w.world, "USB\\VID_0A12&PID_1004\\SER1", 0, &pid, &handle,
                                               nullptr),
              HR_FAIL);
    EXPECT_EQ(OrvoHID_GetHIDHandleByInstanceID(w.world, w.world, nullptr, 0, &pid, &handle, &path), HR_FAIL);
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);

    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, "[OrvoHID_GetHIDHandleByInstanceID] - pStrParentID[USB\\VID_0A12&PID_1004\\SER1]\r\n"));
    EXPECT_TRUE(Contains(text, "[OrvoHID_GetHIDHandleByInstanceID] - hRes:[0] hidHandle:[0x"));
}
