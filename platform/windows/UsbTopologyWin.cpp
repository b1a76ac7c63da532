// The USB tree of Windows: configuration manager node walk, SetupAPI host
// controller enumeration and the USB hub IOCTLs.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>

#include <usbioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/UsbTopology.h"

namespace
{
// {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
const GUID kHostControllerInterface = {0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

static_assert(sizeof(SUsbDeviceDescriptor) == sizeof(USB_DEVICE_DESCRIPTOR));
static_assert(sizeof(SUsbPipeInfo) == sizeof(USB_PIPE_INFO));
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) == offsetof(SUsbNodeConnectionInformationEx, pipeList));
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) ==
              offsetof(SUsbNodeConnectionInformationEx, connectionStatus));
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == offsetof(SUsbNodeConnectionInformation, pipeList));
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, Data) == sizeof(SUsbDescriptorRequest));

EUsbResult MapError(DWORD error)
{
    switch (error)
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case 433: // ERROR_NO_SUCH_DEVICE
    case ERROR_DEV_NOT_EXIST:
        return EUsbResult::NoDevice;
    case ERROR_NO_MORE_ITEMS:
        return EUsbResult::NoMoreItems;
    case ERROR_INSUFFICIENT_BUFFER:
    case ERROR_MORE_DATA:
        return EUsbResult::BufferTooSmall;
    case ERROR_INVALID_PARAMETER:
        return EUsbResult::InvalidArg;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return EUsbResult::NotSupported;
    default:
        return EUsbResult::Failed;
    }
}

EUsbResult MapConfigRet(CONFIGRET ret)
{
    switch (ret)
    {
    case CR_SUCCESS:
        return EUsbResult::Ok;
    case CR_NO_SUCH_DEVNODE:
    case CR_INVALID_DEVNODE:
        return EUsbResult::NoDevice;
    case CR_BUFFER_SMALL:
        return EUsbResult::BufferTooSmall;
    case CR_NO_SUCH_VALUE:
    case CR_NO_SUCH_REGISTRY_KEY:
        return EUsbResult::NotSupported;
    case CR_INVALID_POINTER:
    case CR_INVALID_FLAG:
        return EUsbResult::InvalidArg;
    default:
        return EUsbResult::Failed;
    }
}

HANDLE OpenForHubRequests(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// IOCTLs whose reply is { ULONG index/length..., ULONG ActualLength, WCHAR name[] }:
// ask once for the length, then for the whole name.
template <typename TRecord>
EUsbResult QueryName(HANDLE h, DWORD ioctl, ULONG connectionIndex, std::wstring& name)
{
    TRecord probe;
    std::memset(&probe, 0, sizeof(probe));
    if constexpr (requires { probe.ConnectionIndex; })
        probe.ConnectionIndex = connectionIndex;
    DWORD returned = 0;
    if (!DeviceIoControl(h, ioctl, &probe, sizeof(probe), &probe, sizeof(probe), &returned, nullptr))
        return MapError(GetLastError());
    const ULONG actual = probe.ActualLength;
    if (actual <= sizeof(probe) || actual > 65536)
        return EUsbResult::Failed;
    std::vector<std::uint8_t> buffer(actual + sizeof(WCHAR), 0);
    auto* record = reinterpret_cast<TRecord*>(buffer.data());
    if constexpr (requires { probe.ConnectionIndex; })
        record->ConnectionIndex = connectionIndex;
    if (!DeviceIoControl(h, ioctl, record, actual, record, actual, &returned, nullptr))
        return MapError(GetLastError());
    // The name runs from its field to the end of what came back.
    const std::size_t offset = reinterpret_cast<std::uint8_t*>(&record->ActualLength) + sizeof(ULONG) - buffer.data();
    const std::size_t bytes = std::min<std::size_t>(returned, actual);
    if (bytes <= offset)
        return EUsbResult::Failed;
    const auto* text = reinterpret_cast<const WCHAR*>(buffer.data() + offset);
    std::size_t chars = (bytes - offset) / sizeof(WCHAR);
    std::size_t length = 0;
    while (length < chars && text[length] != 0)
        ++length;
    name.assign(text, text + length);
    return name.empty() ? EUsbResult::Failed : EUsbResult::Ok;
}

class CWinHostController : public IUsbHostController
{
public:
    explicit CWinHostController(HANDLE h) : m_handle(h) {}
    ~CWinHostController() override { CloseHandle(m_handle); }
    std::uintptr_t GetHandleValue() const override { return reinterpret_cast<std::uintptr_t>(m_handle); }
    EUsbResult GetRootHubName(std::wstring& name) override
    {
        return QueryName<USB_ROOT_HUB_NAME>(m_handle, IOCTL_USB_GET_ROOT_HUB_NAME, 0, name);
    }

private:
    HANDLE m_handle;
};

class CWinHub : public IUsbHub
{
public:
    explicit CWinHub(HANDLE h) : m_handle(h) {}
    ~CWinHub() override { CloseHandle(m_handle); }
    std::uintptr_t GetHandleValue() const override { return reinterpret_cast<std::uintptr_t>(m_handle); }

    EUsbResult GetNodeInformation(SUsbNodeInformation& info) override
    {
        USB_NODE_INFORMATION node;
        std::memset(&node, 0, sizeof(node));
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, IOCTL_USB_GET_NODE_INFORMATION, &node, sizeof(node), &node, sizeof(node),
                             &returned, nullptr))
            return MapError(GetLastError());
        info.isHub = node.NodeType == UsbHub;
        info.numberOfPorts = info.isHub ? node.u.HubInformation.HubDescriptor.bNumberOfPorts : 0;
        info.hubIsBusPowered = info.isHub && node.u.HubInformation.HubIsBusPowered;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionInformationEx(SUsbNodeConnectionInformationEx& info) override
    {
        return Connection(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, &info, sizeof(info));
    }

    EUsbResult GetNodeConnectionInformation(SUsbNodeConnectionInformation& info) override
    {
        return Connection(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, &info, sizeof(info));
    }

    EUsbResult GetNodeConnectionDriverKeyName(std::uint32_t port, std::wstring& driverKey) override
    {
        return QueryName<USB_NODE_CONNECTION_DRIVERKEY_NAME>(m_handle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
                                                              port, driverKey);
    }

    EUsbResult GetNodeConnectionName(std::uint32_t port, std::wstring& hubName) override
    {
        return QueryName<USB_NODE_CONNECTION_NAME>(m_handle, IOCTL_USB_GET_NODE_CONNECTION_NAME, port, hubName);
    }

    EUsbResult GetDescriptorFromNodeConnection(std::uint8_t* buffer, std::size_t bufferSize,
                                               std::size_t& bytesReturned) override
    {
        bytesReturned = 0;
        if (buffer == nullptr || bufferSize < sizeof(SUsbDescriptorRequest) || bufferSize > 0xFFFF)
            return EUsbResult::InvalidArg;
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer,
                             static_cast<DWORD>(bufferSize), buffer, static_cast<DWORD>(bufferSize), &returned,
                             nullptr))
            return MapError(GetLastError());
        bytesReturned = returned;
        return EUsbResult::Ok;
    }

private:
    // The portable records have the Windows layout (checked above); the
    // connection index is the first field of both.
    EUsbResult Connection(DWORD ioctl, void* record, std::size_t size)
    {
        DWORD returned = 0;
        std::vector<std::uint8_t> buffer(size, 0);
        std::memcpy(buffer.data(), record, sizeof(ULONG));
        if (!DeviceIoControl(m_handle, ioctl, buffer.data(), static_cast<DWORD>(size), buffer.data(),
                             static_cast<DWORD>(size), &returned, nullptr))
            return MapError(GetLastError());
        std::memset(record, 0, size);
        std::memcpy(record, buffer.data(), std::min<std::size_t>(returned, size));
        return EUsbResult::Ok;
    }

    HANDLE m_handle;
};

class CWinUsbTopology : public IUsbTopology
{
public:
    EUsbResult GetRootDevNode(UsbDevNode& node) override
    {
        DEVINST root = 0;
        const EUsbResult r = MapConfigRet(CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL));
        if (r == EUsbResult::Ok)
            node = root;
        return r;
    }

    EUsbResult LocateDevNode(const std::wstring& instanceId, UsbDevNode& node) override
    {
        if (instanceId.empty())
            return EUsbResult::InvalidArg;
        std::vector<WCHAR> id(instanceId.begin(), instanceId.end());
        id.push_back(0);
        DEVINST found = 0;
        const EUsbResult r = MapConfigRet(CM_Locate_DevNodeW(&found, id.data(), CM_LOCATE_DEVNODE_NORMAL));
        if (r == EUsbResult::Ok)
            node = found;
        return r;
    }

    EUsbResult GetParent(UsbDevNode node, UsbDevNode& parent) override
    {
        DEVINST out = 0;
        const EUsbResult r = MapConfigRet(CM_Get_Parent(&out, node, 0));
        if (r == EUsbResult::Ok)
            parent = out;
        return r;
    }

    EUsbResult GetChild(UsbDevNode node, UsbDevNode& child) override
    {
        DEVINST out = 0;
        const EUsbResult r = MapConfigRet(CM_Get_Child(&out, node, 0));
        if (r == EUsbResult::Ok)
            child = out;
        return r;
    }

    EUsbResult GetSibling(UsbDevNode node, UsbDevNode& sibling) override
    {
        DEVINST out = 0;
        const EUsbResult r = MapConfigRet(CM_Get_Sibling(&out, node, 0));
        if (r == EUsbResult::Ok)
            sibling = out;
        return r;
    }

    EUsbResult GetDeviceId(UsbDevNode node, std::wstring& instanceId) override
    {
        ULONG length = 0;
        EUsbResult r = MapConfigRet(CM_Get_Device_ID_Size(&length, node, 0));
        if (r != EUsbResult::Ok)
            return r;
        std::vector<WCHAR> buffer(length + 1, 0);
        r = MapConfigRet(CM_Get_Device_IDW(node, buffer.data(), static_cast<ULONG>(buffer.size()), 0));
        if (r == EUsbResult::Ok)
            instanceId.assign(buffer.data());
        return r;
    }

    EUsbResult GetDevNodeProperty(UsbDevNode node, EUsbDevNodeProperty property, std::wstring& value) override
    {
        // 400 bytes hold any driver key or description the hub check compares.
        WCHAR buffer[200] = {};
        ULONG length = sizeof(buffer) - sizeof(WCHAR);
        const ULONG which = property == EUsbDevNodeProperty::DriverKey ? CM_DRP_DRIVER : CM_DRP_DEVICEDESC;
        const EUsbResult r = MapConfigRet(CM_Get_DevNode_Registry_PropertyW(node, which, nullptr, buffer, &length, 0));
        if (r == EUsbResult::Ok)
        {
            buffer[199] = 0;
            value.assign(buffer);
        }
        return r;
    }

    EUsbResult EnumerateHostController(std::uint32_t index, std::wstring& devicePath) override
    {
        HDEVINFO set = SetupDiGetClassDevsW(&kHostControllerInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return EUsbResult::Failed;
        EUsbResult result = EUsbResult::Failed;
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kHostControllerInterface, index, &data))
        {
            result = GetLastError() == ERROR_NO_MORE_ITEMS ? EUsbResult::NoMoreItems : EUsbResult::Failed;
        }
        else
        {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
            if (size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) && size <= 65536)
            {
                std::vector<std::uint8_t> buffer(size + sizeof(WCHAR), 0);
                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
                {
                    devicePath.assign(detail->DevicePath);
                    result = EUsbResult::Ok;
                }
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }

    EUsbResult OpenHostController(const std::wstring& devicePath, std::unique_ptr<IUsbHostController>& hc) override
    {
        HANDLE h = OpenForHubRequests(devicePath);
        if (h == INVALID_HANDLE_VALUE)
            return MapError(GetLastError());
        hc = std::make_unique<CWinHostController>(h);
        return EUsbResult::Ok;
    }

    EUsbResult OpenHub(const std::wstring& hubName, std::unique_ptr<IUsbHub>& hub) override
    {
        if (hubName.empty())
            return EUsbResult::InvalidArg;
        HANDLE h = OpenForHubRequests(L"\\\\.\\" + hubName);
        if (h == INVALID_HANDLE_VALUE)
            return MapError(GetLastError());
        hub = std::make_unique<CWinHub>(h);
        return EUsbResult::Ok;
    }
};
} // namespace

std::unique_ptr<IUsbTopology> CreateSystemUsbTopology()
{
    return std::make_unique<CWinUsbTopology>();
}
