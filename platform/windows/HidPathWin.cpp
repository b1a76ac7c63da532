// hidapi's paths on Windows: why an open is refused (CreateFile's error) and
// where the device hangs (the configuration manager's tree, read by the
// portable rule of platform/WinUsbLocation.h).
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "platform/HidApi.h"
#include "platform/System.h"
#include "platform/WinUsbLocation.h"

namespace
{
// {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
const GUID kHostControllerInterface = {0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

class CConfigManagerTree : public IWinDeviceTree
{
public:
    bool LocateInterface(const std::wstring& interfacePath, Node* node) override
    {
        bool found = false;
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE)
            return false;
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof(info));
        info.cbSize = sizeof(info);
        if (SetupDiOpenDeviceInterfaceW(set, interfacePath.c_str(), 0, &data))
        {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, &info);
            if (info.DevInst != 0)
            {
                *node = info.DevInst;
                found = true;
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        if (found)
            return true;
        // Without the interface registered, its instance ID still names the node.
        const std::wstring id = WinInterfacePathToInstanceId(interfacePath);
        if (id.empty())
            return false;
        std::vector<WCHAR> buffer(id.begin(), id.end());
        buffer.push_back(0);
        DEVINST located = 0;
        if (CM_Locate_DevNodeW(&located, buffer.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS)
            return false;
        *node = located;
        return true;
    }

    bool Parent(Node node, Node* parent) override
    {
        DEVINST out = 0;
        if (CM_Get_Parent(&out, node, 0) != CR_SUCCESS)
            return false;
        *parent = out;
        return true;
    }

    std::wstring InstanceId(Node node) override
    {
        ULONG length = 0;
        if (CM_Get_Device_ID_Size(&length, node, 0) != CR_SUCCESS || length > 4096)
            return {};
        std::vector<WCHAR> buffer(length + 1, 0);
        if (CM_Get_Device_IDW(node, buffer.data(), static_cast<ULONG>(buffer.size()), 0) != CR_SUCCESS)
            return {};
        return buffer.data();
    }

    bool LocationInformation(Node node, std::wstring* text) override
    {
        return StringProperty(node, CM_DRP_LOCATION_INFORMATION, text);
    }

    bool FirstLocationPath(Node node, std::wstring* text) override
    {
        // A list of strings; the first is the one libusb reads.
        return StringProperty(node, CM_DRP_LOCATION_PATHS, text);
    }

    bool Address(Node node, std::uint32_t* address) override
    {
        DWORD value = 0;
        ULONG length = sizeof(value);
        ULONG type = 0;
        if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_ADDRESS, &type, &value, &length, 0) != CR_SUCCESS ||
            length != sizeof(value))
            return false;
        *address = value;
        return true;
    }

    std::vector<Node> HostControllers() override
    {
        std::vector<Node> nodes;
        HDEVINFO set =
            SetupDiGetClassDevsW(&kHostControllerInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return nodes;
        for (DWORD index = 0; index < 255; ++index)
        {
            SP_DEVICE_INTERFACE_DATA data;
            std::memset(&data, 0, sizeof(data));
            data.cbSize = sizeof(data);
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kHostControllerInterface, index, &data))
                break;
            SP_DEVINFO_DATA info;
            std::memset(&info, 0, sizeof(info));
            info.cbSize = sizeof(info);
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, &info);
            // A controller whose node cannot be read still takes its bus number.
            nodes.push_back(info.DevInst);
        }
        SetupDiDestroyDeviceInfoList(set);
        return nodes;
    }

private:
    static bool StringProperty(Node node, ULONG property, std::wstring* text)
    {
        WCHAR buffer[512] = {};
        ULONG length = sizeof(buffer) - 2 * sizeof(WCHAR);
        ULONG type = 0;
        if (CM_Get_DevNode_Registry_PropertyW(node, property, &type, buffer, &length, 0) != CR_SUCCESS ||
            (type != REG_SZ && type != REG_MULTI_SZ))
            return false;
        buffer[511] = 0;
        text->assign(buffer);
        return !text->empty();
    }
};
} // namespace

EHidResult ProbeHidPathOpen(const std::string& path)
{
    // The open hidapi makes: read and write, shared.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE)
    {
        CloseHandle(h);
        return EHidResult::Ok;
    }
    switch (GetLastError())
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case 433: // ERROR_NO_SUCH_DEVICE
        return EHidResult::NoDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EHidResult::AccessDenied;
    default:
        return EHidResult::Failed;
    }
}

std::string HidPathUsbPortLocation(const std::string& path)
{
    CConfigManagerTree tree;
    return WinUsbPortLocation(tree, NarrowToWidePath(path));
}
