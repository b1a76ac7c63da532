#include "platform/WinUsbLocation.h"

#include <algorithm>

namespace
{
// USB allows five hubs between the root hub and a device; libusb keeps up to
// seven ports. Anything deeper is a broken tree.
constexpr int kMaxDepth = 8;

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
    {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A decimal number at the start of text (at most 9 digits); false without one.
bool LeadingNumber(const std::wstring& text, std::size_t pos, std::uint32_t* value)
{
    std::uint32_t v = 0;
    std::size_t digits = 0;
    while (pos + digits < text.size() && digits < 9 && text[pos + digits] >= L'0' && text[pos + digits] <= L'9')
    {
        v = v * 10 + static_cast<std::uint32_t>(text[pos + digits] - L'0');
        ++digits;
    }
    if (digits == 0)
        return false;
    *value = v;
    return true;
}
} // namespace

std::wstring WinInterfacePathToInstanceId(const std::wstring& interfacePath)
{
    std::wstring path = interfacePath;
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\\\.\\", L"\\??\\"})
    {
        if (StartsWith(path, prefix))
        {
            path.erase(0, 4);
            break;
        }
    }
    const std::size_t guid = path.rfind(L"#{");
    if (guid == std::wstring::npos || guid == 0)
        return {};
    path.erase(guid);
    std::replace(path.begin(), path.end(), L'#', L'\\');
    // Enumerator, device ID and instance: two separators at least.
    if (std::count(path.begin(), path.end(), L'\\') < 2)
        return {};
    return path;
}

bool WinUsbPortNumber(IWinDeviceTree& tree, IWinDeviceTree::Node node, std::uint32_t* port)
{
    std::wstring text;
    if (tree.LocationInformation(node, &text) && StartsWith(text, L"Port_#"))
        return LeadingNumber(text, 6, port);
    if (tree.FirstLocationPath(node, &text))
    {
        // "PCIROOT(B2)#PCI(0300)#USBROOT(0)#USB(1)#USB(2)#USBMI(3)": the last "#USB(n)".
        for (std::size_t hash = text.rfind(L'#'); hash != std::wstring::npos;
             hash = hash == 0 ? std::wstring::npos : text.rfind(L'#', hash - 1))
        {
            if (text.compare(hash, 5, L"#USB(") == 0)
                return LeadingNumber(text, hash + 5, port);
        }
    }
    return tree.Address(node, port);
}

std::string WinUsbPortLocation(IWinDeviceTree& tree, const std::wstring& interfacePath)
{
    IWinDeviceTree::Node node = 0;
    if (!tree.LocateInterface(interfacePath, &node))
        return {};
    // Up to the USB device: the first USB node that is neither an interface
    // of a composite device nor a root hub.
    int depth = 0;
    for (;; ++depth)
    {
        const std::wstring id = Upper(tree.InstanceId(node));
        if (StartsWith(id, L"USB\\") && id.find(L"&MI_") == std::wstring::npos)
        {
            if (id.find(L"ROOT_HUB") != std::wstring::npos)
                return {};
            break;
        }
        if (depth >= kMaxDepth || !tree.Parent(node, &node))
            return {};
    }
    // Up to the root hub, one port a tier.
    std::vector<std::uint32_t> ports;
    IWinDeviceTree::Node hostController = 0;
    for (depth = 0;; ++depth)
    {
        std::uint32_t port = 0;
        IWinDeviceTree::Node parent = 0;
        if (depth >= kMaxDepth || !WinUsbPortNumber(tree, node, &port) || port == 0 || port > 255 ||
            !tree.Parent(node, &parent))
            return {};
        ports.push_back(port);
        const std::wstring parentId = Upper(tree.InstanceId(parent));
        if (parentId.find(L"ROOT_HUB") != std::wstring::npos)
        {
            if (!tree.Parent(parent, &hostController))
                return {};
            break;
        }
        // Between the root hub and the device only hubs, which are USB devices.
        if (!StartsWith(parentId, L"USB\\") || parentId.find(L"&MI_") != std::wstring::npos)
            return {};
        node = parent;
    }
    const std::vector<IWinDeviceTree::Node> controllers = tree.HostControllers();
    const auto it = std::find(controllers.begin(), controllers.end(), hostController);
    if (it == controllers.end() || it - controllers.begin() >= 255)
        return {};
    std::string location = std::to_string(it - controllers.begin() + 1);
    for (std::size_t i = ports.size(); i-- > 0;)
    {
        location += (i + 1 == ports.size() ? "-" : ".");
        location += std::to_string(ports[i]);
    }
    return location;
}
