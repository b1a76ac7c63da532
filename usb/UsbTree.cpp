#include "usb/UsbTree.h"

#include <cstring>
#include <cwctype>

#include "app/DiagnosticLog.h"

namespace
{
// Deepest hub chain we follow: USB allows five hubs below the root hub; a
// few more levels leave room for odd trees without letting a looping tree
// recurse for ever.
constexpr int kMaxHubDepth = 12;
// Nodes visited by one device-tree walk at most.
constexpr std::size_t kMaxDevNodes = 100000;

constexpr std::size_t kRequestHeader = sizeof(SUsbDescriptorRequest);
constexpr std::size_t kConfigHeader = 9;
constexpr std::size_t kStringRequestSize = kRequestHeader + 255;

wchar_t LowerAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

unsigned HandleForLog(std::uintptr_t value)
{
    return static_cast<unsigned>(value & 0xFFFFFFFFu);
}

std::uint16_t ReadLe16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Fills a descriptor request header for GET_DESCRIPTOR.
void FillRequest(std::uint8_t* buffer, std::uint32_t port, std::uint8_t type, std::uint8_t index,
                 std::uint16_t languageId, std::uint16_t length)
{
    SUsbDescriptorRequest request{};
    request.connectionIndex = port;
    request.bmRequest = 0x80;
    request.bRequest = kUsbRequestGetDescriptor;
    request.wValue = static_cast<std::uint16_t>((type << 8) | index);
    request.wIndex = languageId;
    request.wLength = length;
    std::memcpy(buffer, &request, sizeof(request));
}

// Walks a configuration descriptor; calls visit(type, descriptor) for each
// configuration (length 9) and interface (length 9 or 11) descriptor. Stops
// at a configuration/interface descriptor of another length, at a
// zero-length descriptor, and at one that runs past the end.
template <typename Visit>
void WalkConfigDescriptor(const std::uint8_t* config, std::size_t length, Visit visit)
{
    if (config == nullptr || length < 2)
        return;
    std::size_t total = length;
    if (length >= 4)
    {
        const std::size_t stated = ReadLe16(config + 2);
        if (stated < total)
            total = stated;
    }
    std::size_t offset = 0;
    while (offset + 2 <= total)
    {
        const std::uint8_t* d = config + offset;
        const std::size_t len = d[0];
        const std::uint8_t type = d[1];
        if (len < 2 || offset + len > total)
            return;
        if (type == kUsbConfigurationDescriptorType)
        {
            if (len != 9)
                return;
            if (!visit(type, d))
                return;
        }
        else if (type == kUsbInterfaceDescriptorType)
        {
            if (len != 9 && len != 11)
                return;
            if (!visit(type, d))
                return;
        }
        offset += len;
    }
}

std::uint8_t StringIndexOf(std::uint8_t type, const std::uint8_t* d)
{
    return type == kUsbConfigurationDescriptorType ? d[6] : d[8];
}

// UTF-16LE code units -> wide text (surrogate pairs joined where wchar_t is 32-bit).
std::wstring DecodeUtf16(const std::uint8_t* p, std::size_t bytes)
{
    std::wstring text;
    const std::size_t units = bytes / 2;
    for (std::size_t i = 0; i < units; ++i)
    {
        std::uint32_t c = ReadLe16(p + 2 * i);
        if constexpr (sizeof(wchar_t) == 4)
        {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units)
            {
                const std::uint32_t low = ReadLe16(p + 2 * (i + 1));
                if (low >= 0xDC00 && low <= 0xDFFF)
                {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        text.push_back(static_cast<wchar_t>(c));
    }
    return text;
}
} // namespace

bool EqualsNoCaseAscii(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

const std::uint8_t* USBHubPortInfo::ConfigDescriptor() const
{
    return configDescriptorRequest.size() > kRequestHeader ? configDescriptorRequest.data() + kRequestHeader : nullptr;
}

std::size_t USBHubPortInfo::ConfigDescriptorLength() const
{
    return configDescriptorRequest.size() > kRequestHeader ? configDescriptorRequest.size() - kRequestHeader : 0;
}

void ReleaseUSBHubPortInfo(USBHubPortInfo* info)
{
    delete info;
}

std::wstring DevicePathToInstanceID(const std::wstring& devicePath)
{
    std::wstring id = devicePath;
    if (!id.empty() && id[0] == L'\\')
        id = id.size() > 4 ? id.substr(4) : std::wstring();
    const std::size_t last = id.rfind(L'#');
    if (last != std::wstring::npos)
        id.resize(last);
    for (wchar_t& c : id)
    {
        if (c == L'#')
            c = L'\\';
    }
    return id;
}

bool ExtractUSBVidPid(const std::wstring& pathOrId, std::uint16_t* vendorId, std::uint16_t* productId)
{
    static const char* const kFunction = "ExtractUSBVidPid";
    LogPrintf("[%s] - pDevicePath[%ls]\n", kFunction, pathOrId.c_str());
    std::wstring lower = pathOrId;
    for (wchar_t& c : lower)
        c = LowerAscii(c);

    auto readHex = [&lower](std::size_t at, std::uint16_t* value) {
        std::uint32_t v = 0;
        for (std::size_t i = at; i < at + 4 && i < lower.size(); ++i)
        {
            const wchar_t c = lower[i];
            std::uint32_t digit;
            if (c >= L'0' && c <= L'9')
                digit = static_cast<std::uint32_t>(c - L'0');
            else if (c >= L'a' && c <= L'f')
                digit = static_cast<std::uint32_t>(c - L'a' + 10);
            else
                break;
            v = (v << 4) | digit;
        }
        *value = static_cast<std::uint16_t>(v);
    };

    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    const std::size_t vidAt = lower.find(L"vid_");
    const std::size_t pidAt = lower.find(L"pid_");
    if (vidAt != std::wstring::npos)
        readHex(vidAt + 4, &vid);
    if (pidAt != std::wstring::npos)
        readHex(pidAt + 4, &pid);
    LogPrintf("[%s] - VID[0x%04X] PID[0x%04X]\n", kFunction, vid, pid);
    if (vendorId != nullptr)
        *vendorId = vid;
    if (productId != nullptr)
        *productId = pid;
    return vidAt != std::wstring::npos && pidAt != std::wstring::npos;
}

bool GetDeviceNodeID(IUsbTopology& usb, const std::wstring& deviceId, UsbDevNode& node)
{
    const EUsbResult ret = usb.LocateDevNode(deviceId, node);
    LogPrintf("%s - CM_Locate_DevNode [%ls] ret[%08x]\n", "GetDeviceNodeID", deviceId.c_str(),
              static_cast<unsigned>(ret));
    return ret == EUsbResult::Ok;
}

bool GetParentDeviceID(IUsbTopology& usb, const std::wstring& deviceId, std::wstring& parentId, bool findRootHub)
{
    static const char* const kFunction = "GetParentDeviceID";
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    ExtractUSBVidPid(deviceId, &vid, &pid);
    LogPrintf("[%s] - Device VID[0x%04X] PID[0x%04X]\n", kFunction, vid, pid);

    UsbDevNode node = 0;
    if (!GetDeviceNodeID(usb, deviceId, node))
        return false;

    std::wstring currentId = deviceId;
    for (std::size_t step = 0; step < kMaxDevNodes; ++step)
    {
        UsbDevNode parent = 0;
        EUsbResult ret = usb.GetParent(node, parent);
        LogPrintf("[%s] - Get Parent Instance - Ret[%08x]\n", kFunction, static_cast<unsigned>(ret));
        if (ret != EUsbResult::Ok)
            return false;
        std::wstring id;
        ret = usb.GetDeviceId(parent, id);
        LogPrintf("[%s] - Get Parent ID Size - size[%d] Ret[%08x]\n", kFunction, static_cast<int>(id.size()),
                  static_cast<unsigned>(ret));
        if (ret != EUsbResult::Ok || id.empty())
            return false;
        LogPrintf("[%s] - Parent Device ID - [%ls]\n", kFunction, id.c_str());

        if (findRootHub)
        {
            if (id.find(L"ROOT_HUB") != std::wstring::npos || id.find(L"TIUSBD_HUB") != std::wstring::npos)
            {
                LogPrintf("[%s] - Root Hub Found!\n", kFunction);
                parentId = id;
                return true;
            }
        }
        else
        {
            std::uint16_t parentVid = 0;
            std::uint16_t parentPid = 0;
            ExtractUSBVidPid(id, &parentVid, &parentPid);
            LogPrintf("[%s] - Parent Device VID[0x%04X] PID[0x%04X]\n", kFunction, parentVid, parentPid);
            if (parentVid != vid || parentPid != pid)
            {
                parentId = currentId;
                return true;
            }
            currentId = id;
        }
        node = parent;
    }
    return false;
}

bool EnumerateHostController(IUsbTopology& usb, std::uint32_t index, std::wstring& devicePath)
{
    std::wstring path;
    if (usb.EnumerateHostController(index, path) != EUsbResult::Ok || path.empty())
        return false;
    devicePath = path;
    return true;
}

bool FindDevNodeByDriverKey(IUsbTopology& usb, const std::wstring& driverKey, bool wantId, std::wstring& result)
{
    if (driverKey.empty())
        return false;
    UsbDevNode root = 0;
    if (usb.GetRootDevNode(root) != EUsbResult::Ok)
        return false;

    UsbDevNode node = root;
    for (std::size_t visited = 0; visited < kMaxDevNodes; ++visited)
    {
        std::wstring key;
        if (usb.GetDevNodeProperty(node, EUsbDevNodeProperty::DriverKey, key) == EUsbResult::Ok &&
            EqualsNoCaseAscii(key, driverKey))
        {
            std::wstring value;
            const EUsbResult ret = wantId ? usb.GetDeviceId(node, value)
                                          : usb.GetDevNodeProperty(node, EUsbDevNodeProperty::DeviceDescription, value);
            if (ret != EUsbResult::Ok)
                return false;
            result = value;
            return true;
        }

        // Depth first: child, else sibling, else up until a parent has a sibling.
        UsbDevNode next = 0;
        if (usb.GetChild(node, next) == EUsbResult::Ok)
        {
            node = next;
            continue;
        }
        bool moved = false;
        while (!moved)
        {
            if (node == root)
                return false;
            if (usb.GetSibling(node, next) == EUsbResult::Ok)
            {
                node = next;
                moved = true;
                break;
            }
            UsbDevNode parent = 0;
            if (usb.GetParent(node, parent) != EUsbResult::Ok)
                return false;
            node = parent;
        }
    }
    return false;
}

std::wstring QueryRootHubName(IUsbHostController& hostController)
{
    std::wstring name;
    if (hostController.GetRootHubName(name) != EUsbResult::Ok)
        return std::wstring();
    return name;
}

std::unique_ptr<IUsbHub> OpenRootHubOfController(IUsbTopology& usb, IUsbHostController& hostController)
{
    const std::wstring name = QueryRootHubName(hostController);
    if (name.empty())
        return nullptr;
    std::unique_ptr<IUsbHub> hub;
    if (usb.OpenHub(name, hub) != EUsbResult::Ok)
        return nullptr;
    return hub;
}

std::uint32_t QueryHubPortCount(IUsbHub& hub)
{
    SUsbNodeInformation info;
    if (hub.GetNodeInformation(info) != EUsbResult::Ok || !info.isHub)
        return 0;
    return info.numberOfPorts;
}

std::wstring QueryPortDriverKey(IUsbHub& hub, std::uint32_t port)
{
    std::wstring key;
    if (hub.GetNodeConnectionDriverKeyName(port, key) != EUsbResult::Ok)
        return std::wstring();
    return key;
}

std::wstring QueryDownstreamHubName(IUsbHub& hub, std::uint32_t port)
{
    std::wstring name;
    if (hub.GetNodeConnectionName(port, name) != EUsbResult::Ok)
        return std::wstring();
    return name;
}

bool OpenDownstreamHub(IUsbTopology& usb, IUsbHub& hub, std::uint32_t port, std::unique_ptr<IUsbHub>& downstream)
{
    const std::wstring name = QueryDownstreamHubName(hub, port);
    if (name.empty())
        return false;
    return usb.OpenHub(name, downstream) == EUsbResult::Ok && downstream != nullptr;
}

std::vector<std::uint8_t> QueryPortConfigDescriptor(IUsbHub& hub, std::uint32_t port, std::uint8_t index)
{
    // First the 9-byte header, for the total length.
    std::vector<std::uint8_t> request(kRequestHeader + kConfigHeader, 0);
    FillRequest(request.data(), port, kUsbConfigurationDescriptorType, index, 0, kConfigHeader);
    std::size_t returned = 0;
    if (hub.GetDescriptorFromNodeConnection(request.data(), request.size(), returned) != EUsbResult::Ok ||
        returned != request.size())
        return {};
    const std::uint8_t* header = request.data() + kRequestHeader;
    const std::uint16_t total = ReadLe16(header + 2);
    if (header[1] != kUsbConfigurationDescriptorType || total < kConfigHeader)
        return {};

    // Then the whole configuration.
    request.assign(kRequestHeader + total, 0);
    FillRequest(request.data(), port, kUsbConfigurationDescriptorType, index, 0, total);
    returned = 0;
    if (hub.GetDescriptorFromNodeConnection(request.data(), request.size(), returned) != EUsbResult::Ok ||
        returned != request.size())
        return {};
    header = request.data() + kRequestHeader;
    if (header[1] != kUsbConfigurationDescriptorType || ReadLe16(header + 2) != total)
        return {};
    return request;
}

bool HasAnyStringIndex(const SUsbNodeConnectionInformationEx& connectionInfo, const std::uint8_t* configDescriptor,
                       std::size_t configLength)
{
    const SUsbDeviceDescriptor& device = connectionInfo.deviceDescriptor;
    if (device.iManufacturer != 0 || device.iProduct != 0 || device.iSerialNumber != 0)
        return true;
    bool any = false;
    WalkConfigDescriptor(configDescriptor, configLength, [&any](std::uint8_t type, const std::uint8_t* d) {
        if (StringIndexOf(type, d) != 0)
        {
            any = true;
            return false;
        }
        return true;
    });
    return any;
}

bool HasStringDescriptor(const std::vector<SUsbStringDescriptorNode>& chain, std::uint8_t index)
{
    static const char* const kFunction = "HasStringDescriptor";
    LogPrintf("%s - DescriptorIndex[%d]\n", kFunction, index);
    for (const SUsbStringDescriptorNode& node : chain)
    {
        LogPrintf("%s - StringDescs-DescriptorIndex[%d] DescriptorIndex[%d]\n", kFunction, node.descriptorIndex,
                  index);
        if (node.descriptorIndex == index)
            return true;
    }
    return false;
}

bool GetStringDescriptor(IUsbHub& hub, std::uint32_t port, std::uint8_t index, std::uint16_t languageId,
                         SUsbStringDescriptorNode& node)
{
    static const char* const kFunction = "GetStringDescriptor";
    LogPrintf("%s - ConnectionIndex[%d] DescriptorIndex[%d] Lang[0x%04X]", kFunction, static_cast<int>(port), index,
              languageId);
    std::uint8_t buffer[kStringRequestSize] = {};
    FillRequest(buffer, port, kUsbStringDescriptorType, index, languageId, 255);
    std::size_t returned = 0;
    const bool success = hub.GetDescriptorFromNodeConnection(buffer, sizeof(buffer), returned) == EUsbResult::Ok;
    if (returned > sizeof(buffer))
        returned = 0; // a reply longer than the buffer cannot be trusted
    const bool haveHeader = success && returned >= kRequestHeader + 2;
    const std::uint8_t length = haveHeader ? buffer[kRequestHeader] : 0;
    const std::uint8_t type = haveHeader ? buffer[kRequestHeader + 1] : 0;
    LogPrintf("%s - success[%d] nBytesReturned[%d] DescType[%d] Len[%d]", kFunction, success ? 1 : 0,
              static_cast<int>(returned), type, length);
    if (!haveHeader || type != kUsbStringDescriptorType || length != returned - kRequestHeader || (length & 1) != 0)
        return false;

    node.descriptorIndex = index;
    node.languageId = languageId;
    node.descriptor.assign(buffer + kRequestHeader, buffer + kRequestHeader + length);
    node.text = DecodeUtf16(buffer + kRequestHeader + 2, length - 2u);
    LogPrintf("%s - Node DescriptorIndex[%d] LanguageID[0x%04X] Str[%ls]", kFunction, index, languageId,
              node.text.c_str());
    return true;
}

bool GetStringDescriptors(IUsbHub& hub, std::uint32_t port, std::uint8_t index, const std::uint16_t* languageIds,
                          std::size_t numLanguageIds, std::vector<SUsbStringDescriptorNode>& chain)
{
    LogPrintf("%s - ConnectionIndex[%d] DescriptorIndex[%d] NumLanguageIDs[%d]", "GetStringDescriptors",
              static_cast<int>(port), index, static_cast<int>(numLanguageIds));
    bool any = false;
    for (std::size_t i = 0; i < numLanguageIds; ++i)
    {
        SUsbStringDescriptorNode node;
        if (GetStringDescriptor(hub, port, index, languageIds[i], node))
        {
            chain.push_back(std::move(node));
            any = true;
        }
    }
    return any;
}

std::vector<SUsbStringDescriptorNode> GetAllStringDescriptors(IUsbHub& hub, std::uint32_t port,
                                                              const SUsbDeviceDescriptor& deviceDescriptor,
                                                              const std::uint8_t* configDescriptor,
                                                              std::size_t configLength)
{
    std::vector<SUsbStringDescriptorNode> chain;
    SUsbStringDescriptorNode languages;
    if (!GetStringDescriptor(hub, port, 0, 0, languages))
        return chain;
    LogPrintf("%s - SupportLang Len[%d]", "GetAllStringDescriptors", languages.descriptor[0]);
    // The accepted descriptor has an even length of at least 2.
    const std::size_t numLanguages = (languages.descriptor.size() - 2) / 2;
    std::vector<std::uint16_t> languageIds(numLanguages);
    for (std::size_t i = 0; i < numLanguages; ++i)
        languageIds[i] = ReadLe16(languages.descriptor.data() + 2 + 2 * i);
    chain.push_back(std::move(languages));
    if (numLanguages == 0)
        return chain;

    auto readIndex = [&](std::uint8_t index) {
        if (index != 0 && !HasStringDescriptor(chain, index))
            GetStringDescriptors(hub, port, index, languageIds.data(), languageIds.size(), chain);
    };
    readIndex(deviceDescriptor.iManufacturer);
    readIndex(deviceDescriptor.iProduct);
    readIndex(deviceDescriptor.iSerialNumber);
    WalkConfigDescriptor(configDescriptor, configLength, [&](std::uint8_t type, const std::uint8_t* d) {
        readIndex(StringIndexOf(type, d));
        return true;
    });
    return chain;
}

CUSBHubPortInfoPtr GetUSBHubPortInfo(IUsbHub& hub, std::uint32_t port)
{
    auto connection = std::make_unique<SUsbNodeConnectionInformationEx>();
    std::memset(connection.get(), 0, sizeof(*connection));
    connection->connectionIndex = port;
    if (hub.GetNodeConnectionInformationEx(*connection) != EUsbResult::Ok)
    {
        SUsbNodeConnectionInformation plain;
        std::memset(&plain, 0, sizeof(plain));
        plain.connectionIndex = port;
        if (hub.GetNodeConnectionInformation(plain) != EUsbResult::Ok)
            return nullptr;
        std::memset(connection.get(), 0, sizeof(*connection));
        connection->connectionIndex = plain.connectionIndex;
        connection->deviceDescriptor = plain.deviceDescriptor;
        connection->currentConfigurationValue = plain.currentConfigurationValue;
        connection->speed = plain.lowSpeed ? kUsbLowSpeed : kUsbFullSpeed;
        connection->deviceIsHub = plain.deviceIsHub;
        connection->deviceAddress = plain.deviceAddress;
        connection->numberOfOpenPipes = plain.numberOfOpenPipes;
        connection->connectionStatus = plain.connectionStatus;
        std::memcpy(connection->pipeList, plain.pipeList, sizeof(connection->pipeList));
    }
    if (connection->connectionStatus != kUsbDeviceConnected)
        return nullptr;
    if (connection->numberOfOpenPipes > kUsbMaxPipes)
        connection->numberOfOpenPipes = kUsbMaxPipes;

    CUSBHubPortInfoPtr info(new USBHubPortInfo);
    info->configDescriptorRequest = QueryPortConfigDescriptor(hub, port, 0);
    if (HasAnyStringIndex(*connection, info->ConfigDescriptor(), info->ConfigDescriptorLength()))
    {
        info->stringDescriptors = GetAllStringDescriptors(hub, port, connection->deviceDescriptor,
                                                          info->ConfigDescriptor(), info->ConfigDescriptorLength());
    }
    info->connectionInfo = std::move(connection);
    return info;
}

namespace
{
bool ScanHubPortsAtDepth(IUsbTopology& usb, IUsbHub& hub, std::uint32_t numPorts, const std::wstring& targetId,
                         CUSBHubPortInfoPtr* portInfo, bool checkEmbeddedHubs, bool* hasHubInPath, int depth)
{
    static const char* const kFunction = "ScanHubPortsForDevice";
    const unsigned h = HandleForLog(hub.GetHandleValue());
    bool hubInPath = false;
    bool found = false;
    if (hasHubInPath != nullptr)
        *hasHubInPath = false;

    for (std::uint32_t port = 1; port <= numPorts && !found; ++port)
    {
        const std::wstring driverKey = QueryPortDriverKey(hub, port);
        if (driverKey.empty())
            continue;
        LogPrintf("[%s][%08x] - Port %d: DriverKey[%ls]\n", kFunction, h, static_cast<int>(port), driverKey.c_str());

        std::wstring description;
        FindDevNodeByDriverKey(usb, driverKey, false, description);
        LogPrintf("[%s][%08x] - Port %d: DescDesc[%ls]\n", kFunction, h, static_cast<int>(port), description.c_str());
        std::wstring deviceId;
        if (!FindDevNodeByDriverKey(usb, driverKey, true, deviceId))
            continue;
        LogPrintf("[%s][%08x] - Port %d: TargetDeviceID[%ls] CheckDescID[%ls]\n", kFunction, h,
                  static_cast<int>(port), targetId.c_str(), deviceId.c_str());

        if (EqualsNoCaseAscii(deviceId, targetId))
        {
            LogPrintf("[%s][%08x] - Device Connected on Port %d\n", kFunction, h, static_cast<int>(port));
            CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, port);
            LogPrintf("[%s][%08x] - GetUSBHubPortInfo[%p]\n", kFunction, h, static_cast<void*>(info.get()));
            if (!info)
            {
                LogPrintf("[%s][%08x] - Error: Unable to get device info\n", kFunction, h);
                break;
            }
            if (portInfo != nullptr)
                *portInfo = std::move(info);
            found = true;
            break;
        }

        CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, port);
        LogPrintf("[%s][%08x] - GetUSBHubPortInfo[%p]\n", kFunction, h, static_cast<void*>(info.get()));
        if (!info || info->connectionInfo->deviceIsHub != 1)
            continue;
        LogPrintf("[%s][%08x] - Port %d is a USB Hub.\n", kFunction, h, static_cast<int>(port));
        if (depth >= kMaxHubDepth)
            continue;
        std::unique_ptr<IUsbHub> downstream;
        if (!OpenDownstreamHub(usb, hub, port, downstream))
            continue;
        const std::uint32_t downstreamPorts = QueryHubPortCount(*downstream);
        LogPrintf("[%s][%08x] - Hub on Port %d has %d ports\n", kFunction, h, static_cast<int>(port),
                  static_cast<int>(downstreamPorts));
        bool hubBelow = false;
        found = ScanHubPortsAtDepth(usb, *downstream, downstreamPorts, targetId, portInfo, checkEmbeddedHubs,
                                    &hubBelow, depth + 1);
        downstream.reset();
        if (!found)
            continue;
        hubInPath = hubBelow;
        if (checkEmbeddedHubs)
        {
            // bMaxPower is byte 8 of the configuration descriptor. A hub whose
            // configuration could not be read is not known to be embedded.
            if (info->ConfigDescriptorLength() >= kConfigHeader)
            {
                const std::uint8_t maxPower = info->ConfigDescriptor()[8];
                LogPrintf("[%s][%08x] - Max Power Value Hub on Port %d is 0x%02X\n", kFunction, h,
                          static_cast<int>(port), maxPower);
                if (maxPower != 0)
                {
                    hubInPath = true;
                    LogPrintf("[%s][%08x] - Non-Embedded Hub in Path!\n", kFunction, h);
                }
            }
            else
            {
                hubInPath = true;
                LogPrintf("[%s][%08x] - Non-Embedded Hub in Path!\n", kFunction, h);
            }
        }
        else
        {
            hubInPath = true;
            LogPrintf("[%s][%08x] - Hub in Path!\n", kFunction, h);
        }
    }
    if (hasHubInPath != nullptr)
        *hasHubInPath = hubInPath;
    return found;
}
} // namespace

bool ScanHubPortsForDevice(IUsbTopology& usb, IUsbHub& hub, std::uint32_t numPorts, const std::wstring& targetId,
                           CUSBHubPortInfoPtr* portInfo, bool checkEmbeddedHubs, bool* hasHubInPath)
{
    return ScanHubPortsAtDepth(usb, hub, numPorts, targetId, portInfo, checkEmbeddedHubs, hasHubInPath, 0);
}

bool GetUSBDeviceDescriptorInfoAndHubInPathInfo(IUsbTopology& usb, const std::wstring& devicePath,
                                                CUSBHubPortInfoPtr* portInfo, bool checkEmbeddedHubs,
                                                bool* hasHubInPath)
{
    static const char* const kFunction = "GetUSBDeviceDescriptorInfoAndHubInPathInfo";
    if (portInfo != nullptr)
        portInfo->reset();
    if (hasHubInPath != nullptr)
        *hasHubInPath = false;

    const std::wstring deviceId = DevicePathToInstanceID(devicePath);
    LogPrintf("[%s] - pDevicePath[%ls]\n", kFunction, devicePath.c_str());
    LogPrintf("[%s] - pStrDeviceID[%ls]\n", kFunction, deviceId.c_str());

    std::wstring parentId;
    const bool haveParent = GetParentDeviceID(usb, deviceId, parentId, false);
    if (haveParent)
        LogPrintf("[%s] - pStrParentID[%ls]\n", kFunction, parentId.c_str());
    else
        LogPrintf("[%s] - pStrParentID not found\n", kFunction);
    std::wstring rootHubId;
    const bool haveRootHub = GetParentDeviceID(usb, deviceId, rootHubId, true);
    if (haveRootHub)
        LogPrintf("[%s] - pStrRootHubID[%ls]\n", kFunction, rootHubId.c_str());
    else
        LogPrintf("[%s] - pStrRootHubID not found\n", kFunction);

    bool found = false;
    std::wstring controllerPath;
    for (std::uint32_t index = 0; !found && EnumerateHostController(usb, index, controllerPath); ++index)
    {
        const int i = static_cast<int>(index);
        LogPrintf("[%s] - [%d] pStrHostControllerDevicePath[%ls]\n", kFunction, i, controllerPath.c_str());
        std::unique_ptr<IUsbHostController> controller;
        if (usb.OpenHostController(controllerPath, controller) != EUsbResult::Ok || !controller)
            continue;
        const std::wstring rootHubName = QueryRootHubName(*controller);
        LogPrintf("[%s] - [%d] pStrRootHubName[%ls]\n", kFunction, i, rootHubName.c_str());
        if (rootHubName.empty())
            continue;
        const std::wstring rootHubDeviceId = DevicePathToInstanceID(rootHubName);
        LogPrintf("[%s] - [%d] pStrRootHubDeviceID[%ls]\n", kFunction, i, rootHubDeviceId.c_str());
        if (!haveParent || !haveRootHub || !EqualsNoCaseAscii(rootHubDeviceId, rootHubId))
            continue;
        LogPrintf("[%s] - [%d] Match Found! [%ls] [%ls]\n", kFunction, i, rootHubDeviceId.c_str(), rootHubId.c_str());
        std::unique_ptr<IUsbHub> rootHub;
        if (usb.OpenHub(rootHubName, rootHub) != EUsbResult::Ok || !rootHub)
            continue;
        const std::uint32_t numPorts = QueryHubPortCount(*rootHub);
        LogPrintf("[%s] - [%d] NumPorts[%d]\n", kFunction, i, static_cast<int>(numPorts));
        bool hubInPath = false;
        found = ScanHubPortsForDevice(usb, *rootHub, numPorts, parentId, portInfo, checkEmbeddedHubs, &hubInPath);
        LogPrintf("[%s] - [%d] ScanHubPortsForDevice - success[%d] hasHubInPath[%d]\n", kFunction, i, found ? 1 : 0,
                  hubInPath ? 1 : 0);
        if (hasHubInPath != nullptr)
            *hasHubInPath = hubInPath;
    }
    return found;
}

void TraverseUSBTree(IUsbTopology& usb)
{
    LogPrintf("TraverseUSBTree\n");
    std::wstring controllerPath;
    for (std::uint32_t index = 0; EnumerateHostController(usb, index, controllerPath); ++index)
    {
        const int i = static_cast<int>(index);
        LogPrintf("[%d] Path[%ls]\n", i, controllerPath.c_str());
        std::unique_ptr<IUsbHostController> controller;
        if (usb.OpenHostController(controllerPath, controller) != EUsbResult::Ok || !controller)
            continue;
        const std::wstring rootHubName = QueryRootHubName(*controller);
        LogPrintf("[%d] pStrRootHubName[%ls]\n", i, rootHubName.c_str());
        if (rootHubName.empty())
            continue;
        LogPrintf("[%d] pStrRootHubDeviceID[%ls]\n", i, DevicePathToInstanceID(rootHubName).c_str());
        std::unique_ptr<IUsbHub> rootHub;
        if (usb.OpenHub(rootHubName, rootHub) != EUsbResult::Ok || !rootHub)
            continue;
        const std::uint32_t numPorts = QueryHubPortCount(*rootHub);
        LogPrintf("NumPorts[%d]\n", static_cast<int>(numPorts));
        for (std::uint32_t port = 1; port <= numPorts; ++port)
        {
            CUSBHubPortInfoPtr info = GetUSBHubPortInfo(*rootHub, port);
            LogPrintf("GetUSBHubPortInfo[%p]\n", static_cast<void*>(info.get()));
        }
    }
    LogPrintf("TraverseUSBTree Done\n");
}
