// The system's own HID class and USB tree: whatever the machine has (often
// nothing in a container or under wine), the calls answer cleanly.
#include <gtest/gtest.h>

#include "platform/HidSystem.h"
#include "platform/UsbTopology.h"
#include "usb/HidLookup.h"
#include "usb/UsbTree.h"

TEST(SystemPorts, EnumerationAndLookupsAnswerWithoutCrashing)
{
    auto hid = CreateSystemHid();
    auto usb = CreateSystemUsbTopology();
    ASSERT_TRUE(hid);
    ASSERT_TRUE(usb);
    std::vector<std::wstring> paths;
    const EHidResult listed = hid->EnumerateInterfaces(paths);
    EXPECT_TRUE(listed == EHidResult::Ok || listed == EHidResult::Failed);
    for (const auto& p : paths)
    {
        SHidOpenOptions none;
        none.access = kHidAccessNone;
        CHidDevicePtr d;
        if (hid->Open(p, none, d) == EHidResult::Ok)
        {
            SHidAttributes a;
            SHidCaps c;
            d->GetAttributes(a);
            d->GetCaps(c);
        }
    }
    CHidDevicePtr handle;
    std::wstring path = L"untouched";
    EXPECT_EQ(OrvoHID_GetHIDHandleByUsage(*hid, 0xFFFE, 0xFFFE, 0xFF00, 0x0001, 1, &handle, &path), HR_FAIL);
    EXPECT_FALSE(handle);
    EXPECT_EQ(path, L"untouched");
    bool hubInPath = true;
    EXPECT_FALSE(GetUSBDeviceDescriptorInfoAndHubInPathInfo(
        *usb, L"\\\\?\\hid#vid_fffe&pid_fffe#0#{4d1e55b2-f16f-11cf-88cb-001111000030}", nullptr, true, &hubInPath));
    EXPECT_FALSE(hubInPath);
    TraverseUSBTree(*usb);
}
