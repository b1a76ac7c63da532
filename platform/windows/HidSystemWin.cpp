// The HID class of Windows: SetupAPI interface enumeration, HidD_/HidP_
// calls and CreateFile/ReadFile/WriteFile on the interface's device path.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// The HID class headers of mingw-w64 declare C functions without C linkage.
extern "C" {
#include <hidsdi.h>

#include <hidpi.h>
}

#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/HidSystem.h"

namespace
{
EHidResult MapError(DWORD error)
{
    switch (error)
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case 433: // ERROR_NO_SUCH_DEVICE
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
        return EHidResult::NoDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EHidResult::AccessDenied;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_INSUFFICIENT_BUFFER:
        return EHidResult::InvalidArg;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return EHidResult::NotSupported;
    case ERROR_SEM_TIMEOUT:
        return EHidResult::Timeout;
    case ERROR_GEN_FAILURE: // 31: a device attached to the system is not functioning
        return EHidResult::DeviceError;
    default:
        return EHidResult::Failed;
    }
}

DWORD ToWaitMs(std::uint32_t productMs)
{
    return productMs == kInfinite ? INFINITE : static_cast<DWORD>(CClock::ToRealMilliseconds(productMs));
}

class CWinHidDevice : public IHidDevice
{
public:
    CWinHidDevice(HANDLE handle, const SHidOpenOptions& options) : m_handle(handle), m_options(options)
    {
        m_cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    ~CWinHidDevice() override
    {
        CloseHandle(m_handle);
        for (HANDLE h : {m_cancel, m_readEvent, m_writeEvent})
        {
            if (h != nullptr)
                CloseHandle(h);
        }
    }

    bool EventsOk() const { return m_cancel != nullptr && m_readEvent != nullptr && m_writeEvent != nullptr; }

    std::uintptr_t GetHandleValue() const override { return reinterpret_cast<std::uintptr_t>(m_handle); }
    bool IsOverlapped() const override { return m_options.overlapped; }
    std::uint32_t GetAccess() const override { return m_options.access; }

    EHidResult GetAttributes(SHidAttributes& attributes) override
    {
        HIDD_ATTRIBUTES a;
        std::memset(&a, 0, sizeof(a));
        a.Size = sizeof(a);
        if (!HidD_GetAttributes(m_handle, &a))
            return MapError(GetLastError());
        attributes.vendorId = a.VendorID;
        attributes.productId = a.ProductID;
        attributes.versionNumber = a.VersionNumber;
        return EHidResult::Ok;
    }

    EHidResult GetCaps(SHidCaps& caps) override
    {
        PHIDP_PREPARSED_DATA data = nullptr;
        if (!HidD_GetPreparsedData(m_handle, &data))
            return MapError(GetLastError());
        HIDP_CAPS c;
        std::memset(&c, 0, sizeof(c));
        const NTSTATUS status = HidP_GetCaps(data, &c);
        HidD_FreePreparsedData(data);
        if (status != HIDP_STATUS_SUCCESS)
            return EHidResult::Failed;
        caps.usage = c.Usage;
        caps.usagePage = c.UsagePage;
        caps.inputReportByteLength = c.InputReportByteLength;
        caps.outputReportByteLength = c.OutputReportByteLength;
        caps.featureReportByteLength = c.FeatureReportByteLength;
        return EHidResult::Ok;
    }

    EHidResult GetProductString(std::wstring& text) override
    {
        return String([this](WCHAR* b, ULONG n) { return HidD_GetProductString(m_handle, b, n); }, text);
    }
    EHidResult GetManufacturerString(std::wstring& text) override
    {
        return String([this](WCHAR* b, ULONG n) { return HidD_GetManufacturerString(m_handle, b, n); }, text);
    }
    EHidResult GetSerialNumberString(std::wstring& text) override
    {
        return String([this](WCHAR* b, ULONG n) { return HidD_GetSerialNumberString(m_handle, b, n); }, text);
    }
    EHidResult GetIndexedString(std::uint32_t index, std::wstring& text) override
    {
        return String([this, index](WCHAR* b, ULONG n) { return HidD_GetIndexedString(m_handle, index, b, n); },
                      text);
    }

    EHidResult SetFeature(const std::uint8_t* report, std::size_t length) override
    {
        if (report == nullptr || length == 0 || length > 0xFFFF)
            return EHidResult::InvalidArg;
        std::vector<std::uint8_t> copy(report, report + length);
        if (!HidD_SetFeature(m_handle, copy.data(), static_cast<ULONG>(length)))
            return MapError(GetLastError());
        return EHidResult::Ok;
    }

    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (returned != nullptr)
            *returned = 0;
        if (report == nullptr || length == 0 || length > 0xFFFF)
            return EHidResult::InvalidArg;
        if (!HidD_GetFeature(m_handle, report, static_cast<ULONG>(length)))
            return MapError(GetLastError());
        if (returned != nullptr)
            *returned = length;
        return EHidResult::Ok;
    }

    EHidResult WriteOutputReport(const std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs,
                                 std::size_t* written) override
    {
        if (written != nullptr)
            *written = 0;
        if (report == nullptr || length == 0 || length > 0xFFFF)
            return EHidResult::InvalidArg;
        DWORD n = 0;
        const EHidResult result = Transfer(true, const_cast<std::uint8_t*>(report), length, timeoutMs, &n);
        if (result == EHidResult::Ok && written != nullptr)
            *written = n;
        return result;
    }

    EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs,
                               std::size_t* read) override
    {
        if (read != nullptr)
            *read = 0;
        if (report == nullptr || capacity == 0 || capacity > 0xFFFF)
            return EHidResult::InvalidArg;
        DWORD n = 0;
        const EHidResult result = Transfer(false, report, capacity, timeoutMs, &n);
        if (result == EHidResult::Ok && read != nullptr)
            *read = n;
        return result;
    }

    void Cancel() override
    {
        if (m_cancel != nullptr)
            SetEvent(m_cancel);
    }

    void ResetCancel() override
    {
        if (m_cancel != nullptr)
            ResetEvent(m_cancel);
    }

private:
    template <typename TCall>
    EHidResult String(TCall call, std::wstring& text)
    {
        // The HID class limits strings to 126 characters plus the terminator.
        WCHAR buffer[128] = {};
        if (!call(buffer, static_cast<ULONG>(sizeof(buffer) - sizeof(WCHAR))))
            return MapError(GetLastError());
        buffer[127] = 0;
        text.assign(buffer);
        return EHidResult::Ok;
    }

    bool Cancelled() const { return m_cancel != nullptr && WaitForSingleObject(m_cancel, 0) == WAIT_OBJECT_0; }

    EHidResult Transfer(bool write, std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs, DWORD* done)
    {
        if (Cancelled())
            return EHidResult::Cancelled;
        if (!m_options.overlapped)
        {
            if (timeoutMs != kInfinite)
                return EHidResult::InvalidArg;
            const BOOL ok = write ? WriteFile(m_handle, data, static_cast<DWORD>(length), done, nullptr)
                                  : ReadFile(m_handle, data, static_cast<DWORD>(length), done, nullptr);
            return ok ? EHidResult::Ok : MapError(GetLastError());
        }
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = write ? m_writeEvent : m_readEvent;
        ResetEvent(ov.hEvent);
        const BOOL started = write ? WriteFile(m_handle, data, static_cast<DWORD>(length), nullptr, &ov)
                                   : ReadFile(m_handle, data, static_cast<DWORD>(length), nullptr, &ov);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return MapError(GetLastError());
        HANDLE waits[2] = {ov.hEvent, m_cancel};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, ToWaitMs(timeoutMs));
        if (wait == WAIT_OBJECT_0)
        {
            if (!GetOverlappedResult(m_handle, &ov, done, FALSE))
                return MapError(GetLastError());
            return EHidResult::Ok;
        }
        // Time-out, cancel or a failed wait: stop the transfer and wait until
        // the system no longer uses the buffer.
        CancelIoEx(m_handle, &ov);
        DWORD ignored = 0;
        const BOOL finished = GetOverlappedResult(m_handle, &ov, &ignored, TRUE);
        if (finished)
        {
            *done = ignored; // it completed after all
            return EHidResult::Ok;
        }
        if (wait == WAIT_OBJECT_0 + 1)
            return EHidResult::Cancelled;
        if (wait == WAIT_TIMEOUT)
            return EHidResult::Timeout;
        return EHidResult::Failed;
    }

    HANDLE m_handle;
    SHidOpenOptions m_options;
    HANDLE m_cancel = nullptr;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
};

bool StartsWithNoCase(const std::wstring& s, const wchar_t* prefix)
{
    for (std::size_t i = 0; prefix[i] != 0; ++i)
    {
        if (i >= s.size() || towupper(s[i]) != towupper(prefix[i]))
            return false;
    }
    return true;
}

bool DeviceIdOf(DEVINST node, std::wstring& id)
{
    ULONG length = 0;
    if (CM_Get_Device_ID_Size(&length, node, 0) != CR_SUCCESS)
        return false;
    std::vector<WCHAR> buffer(length + 1, 0);
    if (CM_Get_Device_IDW(node, buffer.data(), static_cast<ULONG>(buffer.size()), 0) != CR_SUCCESS)
        return false;
    id.assign(buffer.data());
    return true;
}

class CWinHidSystem : public IHidSystem
{
public:
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        paths.clear();
        GUID guid;
        HidD_GetHidGuid(&guid);
        HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return EHidResult::Failed;
        for (DWORD index = 0; index < 100000; ++index)
        {
            SP_DEVICE_INTERFACE_DATA data;
            std::memset(&data, 0, sizeof(data));
            data.cbSize = sizeof(data);
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data))
            {
                if (GetLastError() == ERROR_NO_MORE_ITEMS)
                    break;
                continue;
            }
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size > 65536)
                continue;
            std::vector<std::uint8_t> buffer(size, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
                continue;
            buffer.back() = 0;
            // The narrow path in the system code page, as a wide string.
            const int chars = MultiByteToWideChar(CP_ACP, 0, detail->DevicePath, -1, nullptr, 0);
            if (chars <= 1)
                continue;
            std::vector<wchar_t> wide(static_cast<std::size_t>(chars), 0);
            if (MultiByteToWideChar(CP_ACP, 0, detail->DevicePath, -1, wide.data(), chars) != chars)
                continue;
            paths.emplace_back(wide.data());
        }
        SetupDiDestroyDeviceInfoList(set);
        return EHidResult::Ok;
    }

    EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) override
    {
        if (path.empty())
            return EHidResult::InvalidArg;
        DWORD access = 0;
        if ((options.access & kHidAccessRead) != 0)
            access |= GENERIC_READ;
        if ((options.access & kHidAccessWrite) != 0)
            access |= GENERIC_WRITE;
        HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               options.overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return MapError(GetLastError());
        auto opened = std::make_unique<CWinHidDevice>(h, options);
        if (!opened->EventsOk())
            return EHidResult::Failed;
        device = std::move(opened);
        return EHidResult::Ok;
    }

    EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& instanceId) override
    {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE)
            return EHidResult::Failed;
        EHidResult result = EHidResult::NoDevice;
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof(info));
        info.cbSize = sizeof(info);
        if (SetupDiOpenDeviceInterfaceW(set, path.c_str(), 0, &data))
        {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, &info);
            if (info.DevInst != 0)
            {
                // Up from the interface's node to the first USB node that is
                // not an interface of a composite device.
                result = EHidResult::NotSupported;
                DEVINST node = info.DevInst;
                for (int depth = 0; depth < 16; ++depth)
                {
                    std::wstring id;
                    if (!DeviceIdOf(node, id))
                        break;
                    if (StartsWithNoCase(id, L"USB\\") && id.find(L"&MI_") == std::wstring::npos)
                    {
                        instanceId = id;
                        result = EHidResult::Ok;
                        break;
                    }
                    DEVINST parent = 0;
                    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
                        break;
                    node = parent;
                }
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }
};
} // namespace

EHidResult MapSystemHidError(std::uint32_t error)
{
    return MapError(static_cast<DWORD>(error));
}

std::unique_ptr<IHidSystem> CreateSystemHid()
{
    return std::make_unique<CWinHidSystem>();
}
