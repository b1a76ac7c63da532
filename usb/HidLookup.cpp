#include "usb/HidLookup.h"

#include <vector>

#include "app/DiagnosticLog.h"
#include "usb/UsbTree.h"

namespace
{
enum class EForm
{
    Vendor,
    Product,
    ReportLength,
};

struct SWanted
{
    EForm form;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t usagePage;
    std::uint16_t usage;
    std::uint16_t outputReportByteLength;
};

SHidOpenOptions LookupOpenOptions(int overlapped)
{
    SHidOpenOptions options;
    options.access = kHidAccessReadWrite;
    options.overlapped = overlapped == 1;
    return options;
}

HResult FindByUsage(IHidSystem& hid, const SWanted& wanted, int overlapped, std::uint16_t* productIdOut,
                    CHidDevicePtr* handle, std::wstring* devicePath)
{
    if (handle != nullptr)
        handle->reset();
    if (productIdOut != nullptr)
        *productIdOut = 0;

    if (wanted.form == EForm::Product)
    {
        LogPrintf("OrvoHID_GetHIDHandleByUsage:: VID[0x%04x] PID[0x%04x] UsagePage[0x%04x] Usage[0x%04x]\n",
                  wanted.vendorId, wanted.productId, wanted.usagePage, wanted.usage);
    }
    else if (wanted.form == EForm::ReportLength)
    {
        LogPrintf("OrvoHID_GetHIDHandleByUsage:: VID[0x%04x] PID[0x%04x] UsagePage[0x%04x] Usage[0x%04x] "
                  "OutputReportByteLength[%d]\n",
                  wanted.vendorId, wanted.productId, wanted.usagePage, wanted.usage, wanted.outputReportByteLength);
    }

    std::vector<std::wstring> paths;
    if (hid.EnumerateInterfaces(paths) != EHidResult::Ok)
        return HR_FAIL;

    const SHidOpenOptions options = LookupOpenOptions(overlapped);
    for (const std::wstring& path : paths)
    {
        CHidDevicePtr device;
        if (hid.Open(path, options, device) != EHidResult::Ok || !device)
            continue;
        SHidAttributes attributes;
        if (device->GetAttributes(attributes) != EHidResult::Ok)
            continue; // closed by the smart pointer
        if (wanted.form == EForm::Vendor)
            LogPrintf("OrvoHID_GetHIDHandleByUsage::VID[0x%04x]\n", attributes.vendorId);
        else
            LogPrintf("OrvoHID_GetHIDHandleByUsage::VID[0x%04x] PID[0x%04x]\n", attributes.vendorId,
                      attributes.productId);

        const bool idsMatch = attributes.vendorId == wanted.vendorId &&
                              (wanted.form == EForm::Vendor || attributes.productId == wanted.productId);
        if (!idsMatch)
            continue;
        SHidCaps caps;
        const bool capsOk = device->GetCaps(caps) == EHidResult::Ok;
        if (!capsOk)
            caps = SHidCaps();
        if (wanted.form == EForm::ReportLength)
            LogPrintf("OrvoHID_GetHIDHandleByUsage::UsagePage[0x%x] Usage[%x] OutputReportByteLength[%d]\n",
                      caps.usagePage, caps.usage, caps.outputReportByteLength);
        else
            LogPrintf("OrvoHID_GetHIDHandleByUsage::UsagePage[0x%x] Usage[%x]\n", caps.usagePage, caps.usage);
        if (!capsOk || caps.usagePage != wanted.usagePage || caps.usage != wanted.usage)
            continue;
        if (wanted.form == EForm::ReportLength && caps.outputReportByteLength != wanted.outputReportByteLength)
            continue;

        if (productIdOut != nullptr && wanted.form == EForm::Vendor)
            *productIdOut = attributes.productId;
        if (devicePath != nullptr)
            *devicePath = path;
        if (handle != nullptr)
            *handle = std::move(device);
        return HR_OK;
    }
    return HR_FAIL;
}
} // namespace

HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t usagePage,
                                    std::uint16_t usage, int overlapped, CHidDevicePtr* handle,
                                    std::wstring* devicePath, std::uint16_t* productId)
{
    const SWanted wanted{EForm::Vendor, vendorId, 0, usagePage, usage, 0};
    return FindByUsage(hid, wanted, overlapped, productId, handle, devicePath);
}

HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                    std::uint16_t usagePage, std::uint16_t usage, int overlapped,
                                    CHidDevicePtr* handle, std::wstring* devicePath)
{
    const SWanted wanted{EForm::Product, vendorId, productId, usagePage, usage, 0};
    return FindByUsage(hid, wanted, overlapped, nullptr, handle, devicePath);
}

HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                    std::uint16_t usagePage, std::uint16_t usage,
                                    std::uint16_t outputReportByteLength, int overlapped, CHidDevicePtr* handle,
                                    std::wstring* devicePath)
{
    const SWanted wanted{EForm::ReportLength, vendorId, productId, usagePage, usage, outputReportByteLength};
    return FindByUsage(hid, wanted, overlapped, nullptr, handle, devicePath);
}

HResult OrvoHID_GetHIDHandleByInstanceID(IHidSystem& hid, IUsbTopology& usb, const char* instanceId,
                                         int overlapped, std::uint16_t* productId, CHidDevicePtr* handle,
                                         std::wstring* devicePath)
{
    static const char* const kFunction = "OrvoHID_GetHIDHandleByInstanceID";
    if (handle != nullptr)
        handle->reset();
    if (productId != nullptr)
        *productId = 0;
    if (instanceId == nullptr || devicePath == nullptr)
        return HR_FAIL;

    // Instance IDs are ASCII; each byte becomes one wide character.
    std::wstring wantedId;
    for (const char* p = instanceId; *p != '\0'; ++p)
        wantedId.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));

    std::vector<std::wstring> paths;
    if (hid.EnumerateInterfaces(paths) != EHidResult::Ok)
        return HR_FAIL;

    const SHidOpenOptions options = LookupOpenOptions(overlapped);
    for (const std::wstring& path : paths)
    {
        std::wstring parentId;
        if (!GetParentDeviceID(usb, DevicePathToInstanceID(path), parentId, false))
            continue;
        LogPrintf("[%s] - pStrParentID[%ls]\n", kFunction, parentId.c_str());
        if (parentId != wantedId)
            continue;
        CHidDevicePtr device;
        if (hid.Open(path, options, device) != EHidResult::Ok || !device)
            continue;
        std::uint16_t vid = 0;
        std::uint16_t pid = 0;
        if (!ExtractUSBVidPid(path, &vid, &pid))
            continue;

        const unsigned handleValue = static_cast<unsigned>(device->GetHandleValue() & 0xFFFFFFFFu);
        if (productId != nullptr)
            *productId = pid;
        *devicePath = path;
        if (handle != nullptr)
            *handle = std::move(device);
        LogPrintf("[%s] - hRes:[%x] hidHandle:[0x%08x]\n", kFunction, static_cast<unsigned>(HR_OK), handleValue);
        return HR_OK;
    }
    return HR_FAIL;
}

void OrvoHID_CloseHIDHandle(CHidDevicePtr& handle)
{
    handle.reset();
}
