#pragma once
// Finding and opening a device's HID interface: by vendor ID, product ID and
// top-level collection (usage page, usage, optionally output report length),
// or by the USB device instance the interface belongs to.
//
// The HID system (and, for the instance form, the USB tree) are explicit
// parameters: CreateSystemHid()/CreateSystemUsbTopology() in the product, the
// bench world in tests. No state is kept between calls; any thread may call.
//
// Every form sets *handle to null (and *productId to 0 where there is one)
// before it searches. Result: HR_OK with an open handle (read and write
// access, shared read/write, overlapped exactly when overlapped == 1), or
// HR_FAIL with a null handle. The usage forms write *devicePath (optional)
// only for the device that matched.

#include <cstdint>
#include <string>

#include "platform/HidSystem.h"
#include "platform/Types.h"
#include "platform/UsbTopology.h"

// Vendor form: any product ID; *productId gets the product ID found.
HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t usagePage,
                                    std::uint16_t usage, int overlapped, CHidDevicePtr* handle,
                                    std::wstring* devicePath, std::uint16_t* productId);

// Product form.
HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                    std::uint16_t usagePage, std::uint16_t usage, int overlapped,
                                    CHidDevicePtr* handle, std::wstring* devicePath);

// Report-length form: the output report byte length must match as well.
HResult OrvoHID_GetHIDHandleByUsage(IHidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                    std::uint16_t usagePage, std::uint16_t usage,
                                    std::uint16_t outputReportByteLength, int overlapped, CHidDevicePtr* handle,
                                    std::wstring* devicePath);

// The HID interface whose USB device node has exactly (case matters) this
// instance ID. devicePath is required (a null one never matches); it and
// *productId (read from the path) are written only for the device found.
HResult OrvoHID_GetHIDHandleByInstanceID(IHidSystem& hid, IUsbTopology& usb, const char* instanceId,
                                         int overlapped, std::uint16_t* productId, CHidDevicePtr* handle,
                                         std::wstring* devicePath);

// Closes the handle unless it is already invalid (null).
void OrvoHID_CloseHIDHandle(CHidDevicePtr& handle);
