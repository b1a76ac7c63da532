// The USB tree and HID interfaces of Linux, read from sysfs
// (bus/usb/devices), named the way Windows names them so the same rules
// (walk up by identical VID/PID, "ROOT_HUB", embedded hubs, "vid_"/"pid_" in
// paths) give the same answers:
//   host controller  PCI\LINUX_HCD\<pci name>&BUS<n>        (one per root hub)
//   root hub         USB\ROOT_HUB20\usb<n> (ROOT_HUB30 at 5 Gbit/s and more)
//   device           USB\VID_xxxx&PID_yyyy\<sysfs name, e.g. 1-1.3>
//   interface        USB\VID_xxxx&PID_yyyy&MI_nn\<sysfs interface name>  (composite devices)
//   HID collection   HID\VID_xxxx&PID_yyyy[&MI_nn][&COLmm]\hidrawN
//   HID path         \\?\hid#vid_xxxx&pid_yyyy[&mi_nn][&colmm]#hidrawN#{4d1e55b2-...}
// The model is rebuilt when the listing of bus/usb/devices changes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/HidSystem.h"
#include "platform/UsbTopology.h"
#include "platform/HidReportDescriptor.h"

EHidResult OpenLinuxHidDevice(const std::string& hidrawNode, const std::string& usbfsNode,
                              const SHidAttributes& attributes, const SHidCaps& caps, bool usesReportIds,
                              const std::wstring& manufacturer, const std::wstring& product,
                              const std::wstring& serialNumber, const SHidOpenOptions& options,
                              CHidDevicePtr& device);

namespace
{
namespace fs = std::filesystem;

const wchar_t* const kHubGuid = L"{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}";
const wchar_t* const kHidGuid = L"{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t* const kHcGuid = L"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
const wchar_t* const kUsbClassGuid = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr std::size_t kMaxFile = 65536;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string data(kMaxFile, '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

std::string ReadText(const fs::path& path)
{
    std::string s = ReadFile(path);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    std::size_t start = 0;
    while (start < s.size() && s[start] == ' ')
        ++start;
    return s.substr(start);
}

unsigned long ReadNumber(const fs::path& path, int base, unsigned long fallback = 0)
{
    const std::string s = ReadText(path);
    if (s.empty())
        return fallback;
    char* end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, base);
    return end == s.c_str() ? fallback : v;
}

std::wstring Widen(const std::string& s) // UTF-8 -> wide
{
    std::wstring out;
    for (std::size_t i = 0; i < s.size();)
    {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = c;
        std::size_t n = 1;
        if (c >= 0xF0 && i + 3 < s.size())
        {
            cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            n = 4;
        }
        else if (c >= 0xE0 && i + 2 < s.size())
        {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            n = 3;
        }
        else if (c >= 0xC0 && i + 1 < s.size())
        {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            n = 2;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += n;
    }
    return out;
}

std::wstring Hex4(unsigned v)
{
    wchar_t b[8];
    swprintf(b, 8, L"%04X", v & 0xFFFFu);
    return b;
}

std::wstring Hex2(unsigned v)
{
    wchar_t b[4];
    swprintf(b, 4, L"%02X", v & 0xFFu);
    return b;
}

std::wstring Lower(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

struct SDev
{
    std::string name;
    fs::path dir;
    bool root = false;
    unsigned bus = 0;
    unsigned devnum = 0;
    std::uint16_t vid = 0, pid = 0, bcd = 0;
    std::uint8_t cls = 0;
    unsigned maxchild = 0;
    unsigned numInterfaces = 0;
    unsigned configValue = 0;
    std::string speed;
    std::vector<std::uint8_t> descriptors;
    std::wstring manufacturer, product, serial;
    std::wstring id, hubName, driverKey;
};

struct SNode
{
    std::wstring id;
    int parent = -1;
    std::vector<int> children;
    std::wstring driverKey, description;
};

struct SHid
{
    std::wstring path;
    std::string hidraw;
    SHidAttributes attributes;
    SHidCaps caps;
    bool usesIds = false;
    std::wstring usbId;
    std::string device; // sysfs name of the USB device
};

struct SModel
{
    std::vector<SNode> nodes;
    std::map<std::string, SDev> devices;
    std::vector<std::string> roots;        // root hub names in bus order
    std::vector<std::wstring> controllers; // device paths, same order
    std::vector<SHid> hids;

    int Add(int parent, const std::wstring& id, const std::wstring& description, const std::wstring& key = L"")
    {
        SNode n;
        n.id = id;
        n.parent = parent;
        n.description = description;
        n.driverKey = key;
        nodes.push_back(n);
        const int index = static_cast<int>(nodes.size() - 1);
        if (parent >= 0)
            nodes[parent].children.push_back(index);
        return index;
    }
};

std::string ChildName(const SDev& hub, unsigned port)
{
    return hub.root ? std::to_string(hub.bus) + "-" + std::to_string(port) : hub.name + "." + std::to_string(port);
}

void AddDevice(SModel& m, const fs::path& devicesDir, int parentNode, SDev& d)
{
    const std::wstring vidPid = L"VID_" + Hex4(d.vid) + L"&PID_" + Hex4(d.pid);
    const std::wstring wname = Widen(d.name);
    d.id = L"USB\\" + vidPid + L"\\" + wname;
    d.driverKey = std::wstring(kUsbClassGuid) + L"\\" + wname;
    if (d.cls == 9)
        d.hubName = L"USB#" + vidPid + L"#" + wname + L"#" + kHubGuid;
    const bool composite = d.numInterfaces > 1;
    const std::wstring description = d.cls == 9 ? L"Generic USB Hub"
                                     : composite ? L"USB Composite Device"
                                                 : (d.product.empty() ? L"USB Device" : d.product);
    const int node = m.Add(parentNode, d.id, description, d.driverKey);

    // Interfaces and their HID collections.
    std::error_code ec;
    std::vector<fs::path> interfaces;
    for (const auto& e : fs::directory_iterator(d.dir, ec))
    {
        const std::string n = e.path().filename().string();
        if (n.rfind(d.name + ":", 0) == 0)
            interfaces.push_back(e.path());
    }
    std::sort(interfaces.begin(), interfaces.end());
    for (const fs::path& intf : interfaces)
    {
        const unsigned number = static_cast<unsigned>(ReadNumber(intf / "bInterfaceNumber", 16));
        int hidParent = node;
        std::wstring hw = vidPid;
        if (composite)
        {
            hw += L"&MI_" + Hex2(number);
            hidParent = m.Add(node, L"USB\\" + hw + L"\\" + Widen(intf.filename().string()), L"USB Input Device");
        }
        std::vector<std::pair<std::string, fs::path>> raws; // hidrawN, hid device dir
        for (const auto& e : fs::directory_iterator(intf, ec))
        {
            std::error_code ec2;
            for (const auto& r : fs::directory_iterator(e.path() / "hidraw", ec2))
                raws.emplace_back(r.path().filename().string(), e.path());
        }
        std::sort(raws.begin(), raws.end());
        for (const auto& [hidraw, hidDir] : raws)
        {
            const std::string rd = ReadFile(hidDir / "report_descriptor");
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(rd.data());
            std::vector<SHidCaps> collections;
            if (!ParseHidReportDescriptorCollections(bytes, rd.size(), collections))
                collections.assign(1, SHidCaps());
            for (std::size_t c = 0; c < collections.size(); ++c)
            {
                std::wstring hidHw = hw;
                if (collections.size() > 1)
                    hidHw += L"&COL" + Hex2(static_cast<unsigned>(c + 1));
                const std::wstring raw = Widen(hidraw);
                m.Add(hidParent, L"HID\\" + hidHw + L"\\" + raw, L"HID-compliant device");
                SHid h;
                h.path = L"\\\\?\\hid#" + Lower(hidHw) + L"#" + raw + L"#" + kHidGuid;
                h.hidraw = hidraw;
                h.attributes = {d.vid, d.pid, d.bcd};
                h.caps = collections[c];
                h.usesIds = HidReportDescriptorUsesReportIds(bytes, rd.size());
                h.usbId = d.id;
                h.device = d.name;
                m.hids.push_back(h);
            }
        }
    }
    // Devices on the hub's ports.
    for (unsigned port = 1; d.cls == 9 && port <= d.maxchild && port <= 255; ++port)
    {
        auto it = m.devices.find(ChildName(d, port));
        if (it != m.devices.end())
            AddDevice(m, devicesDir, node, it->second);
    }
}

SDev ReadDev(const fs::path& dir, const std::string& name)
{
    SDev d;
    d.name = name;
    d.dir = dir;
    d.root = name.rfind("usb", 0) == 0;
    d.bus = static_cast<unsigned>(ReadNumber(dir / "busnum", 10));
    d.devnum = static_cast<unsigned>(ReadNumber(dir / "devnum", 10));
    d.vid = static_cast<std::uint16_t>(ReadNumber(dir / "idVendor", 16));
    d.pid = static_cast<std::uint16_t>(ReadNumber(dir / "idProduct", 16));
    d.bcd = static_cast<std::uint16_t>(ReadNumber(dir / "bcdDevice", 16));
    d.cls = static_cast<std::uint8_t>(ReadNumber(dir / "bDeviceClass", 16));
    d.maxchild = static_cast<unsigned>(ReadNumber(dir / "maxchild", 10));
    d.numInterfaces = static_cast<unsigned>(ReadNumber(dir / "bNumInterfaces", 10));
    d.configValue = static_cast<unsigned>(ReadNumber(dir / "bConfigurationValue", 10));
    d.speed = ReadText(dir / "speed");
    const std::string desc = ReadFile(dir / "descriptors");
    d.descriptors.assign(desc.begin(), desc.end());
    d.manufacturer = Widen(ReadText(dir / "manufacturer"));
    d.product = Widen(ReadText(dir / "product"));
    d.serial = Widen(ReadText(dir / "serial"));
    return d;
}

std::shared_ptr<SModel> BuildModel(const fs::path& sysfsRoot)
{
    auto m = std::make_shared<SModel>();
    const fs::path devicesDir = sysfsRoot / "bus" / "usb" / "devices";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(devicesDir, ec))
    {
        const std::string name = e.path().filename().string();
        if (name.find(':') != std::string::npos)
            continue; // interfaces are read with their device
        m->devices[name] = ReadDev(e.path(), name);
    }
    m->Add(-1, L"HTREE\\ROOT\\0", L"Computer");
    std::vector<std::pair<unsigned, std::string>> roots;
    for (auto& [name, d] : m->devices)
        if (d.root)
            roots.emplace_back(d.bus, name);
    std::sort(roots.begin(), roots.end());
    for (const auto& [bus, name] : roots)
    {
        SDev& d = m->devices[name];
        std::error_code ec2;
        std::string hc = fs::canonical(d.dir, ec2).parent_path().filename().string();
        if (ec2 || hc.empty() || hc == "devices")
            hc = "hcd";
        const std::wstring busTag = hc == "hcd" ? Widen(hc) : Widen(hc);
        const std::wstring hcInstance = busTag + L"&BUS" + std::to_wstring(bus);
        const int hcNode = m->Add(0, L"PCI\\LINUX_HCD\\" + hcInstance, L"USB Host Controller");
        const bool super = std::strtod(d.speed.c_str(), nullptr) >= 5000.0;
        const std::wstring kind = super ? L"ROOT_HUB30" : L"ROOT_HUB20";
        d.id = L"USB\\" + kind + L"\\" + Widen(name);
        d.hubName = L"USB#" + kind + L"#" + Widen(name) + L"#" + kHubGuid;
        d.driverKey = std::wstring(kUsbClassGuid) + L"\\" + Widen(name);
        const int rootNode = m->Add(hcNode, d.id, L"USB Root Hub", d.driverKey);
        m->roots.push_back(name);
        m->controllers.push_back(L"\\\\?\\pci#linux_hcd#" + Lower(hcInstance) + L"#" + kHcGuid);
        for (unsigned port = 1; port <= d.maxchild && port <= 255; ++port)
        {
            auto it = m->devices.find(ChildName(d, port));
            if (it != m->devices.end())
                AddDevice(*m, devicesDir, rootNode, it->second);
        }
    }
    std::stable_sort(m->hids.begin(), m->hids.end(), [](const SHid& a, const SHid& b) {
        return std::strtoul(a.hidraw.c_str() + 6, nullptr, 10) < std::strtoul(b.hidraw.c_str() + 6, nullptr, 10);
    });
    return m;
}

bool SameNoCase(const std::wstring& a, const std::wstring& b)
{
    return Lower(a) == Lower(b);
}

// Shared by the topology, the HID system and their handles.
class CSysfsState
{
public:
    explicit CSysfsState(std::string root) : m_root(std::move(root)) {}

    std::shared_ptr<SModel> Model()
    {
        // The model is rebuilt when a name comes or goes and when a device's
        // identity changes: a device that re-enumerates on the same port (as
        // the upgrade makes it do) keeps its name but not its number, IDs or
        // descriptors.
        std::string listing;
        std::error_code ec;
        const fs::path devices = fs::path(m_root) / "bus" / "usb" / "devices";
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(devices, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        for (const auto& n : names)
        {
            listing += n;
            if (n.find(':') == std::string::npos)
            {
                for (const char* attribute : {"busnum", "devnum", "idVendor", "idProduct"})
                    listing += "|" + ReadText(devices / n / attribute);
            }
            listing += "/";
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_model || listing != m_listing)
        {
            m_model = BuildModel(m_root);
            m_listing = listing;
            for (const SNode& n : m_model->nodes)
                Number(n.id);
        }
        return m_model;
    }

    // Node numbers stay the same for an ID as long as the object lives.
    UsbDevNode Number(const std::wstring& id)
    {
        const std::wstring key = Lower(id);
        auto it = m_numbers.find(key);
        if (it != m_numbers.end())
            return it->second;
        m_ids.push_back(key);
        return m_numbers[key] = static_cast<UsbDevNode>(m_ids.size());
    }

    UsbDevNode NumberLocked(const std::wstring& id)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return Number(id);
    }

    int Find(const SModel& m, UsbDevNode number)
    {
        std::wstring key;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (number == 0 || number > m_ids.size())
                return -1;
            key = m_ids[number - 1];
        }
        for (std::size_t i = 0; i < m.nodes.size(); ++i)
            if (Lower(m.nodes[i].id) == key)
                return static_cast<int>(i);
        return -1;
    }

private:
    std::string m_root;
    std::mutex m_mutex;
    std::shared_ptr<SModel> m_model;
    std::string m_listing;
    std::map<std::wstring, UsbDevNode> m_numbers;
    std::vector<std::wstring> m_ids;
};

std::vector<std::uint8_t> StringDescriptor(const std::wstring& text)
{
    const std::size_t chars = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * chars), 3};
    for (std::size_t i = 0; i < chars; ++i)
    {
        d.push_back(static_cast<std::uint8_t>(text[i] & 0xFF));
        d.push_back(static_cast<std::uint8_t>((text[i] >> 8) & 0xFF));
    }
    return d;
}

class CSysfsHostController : public IUsbHostController
{
public:
    CSysfsHostController(std::shared_ptr<CSysfsState> state, std::string root, std::uintptr_t handle)
        : m_state(std::move(state)), m_root(std::move(root)), m_handle(handle)
    {
    }
    std::uintptr_t GetHandleValue() const override { return m_handle; }
    EUsbResult GetRootHubName(std::wstring& name) override
    {
        auto m = m_state->Model();
        auto it = m->devices.find(m_root);
        if (it == m->devices.end() || it->second.hubName.empty())
            return EUsbResult::NoDevice;
        name = it->second.hubName;
        return EUsbResult::Ok;
    }

private:
    std::shared_ptr<CSysfsState> m_state;
    std::string m_root;
    std::uintptr_t m_handle;
};

class CSysfsHub : public IUsbHub
{
public:
    CSysfsHub(std::shared_ptr<CSysfsState> state, std::string hub, std::uintptr_t handle)
        : m_state(std::move(state)), m_hub(std::move(hub)), m_handle(handle)
    {
    }
    std::uintptr_t GetHandleValue() const override { return m_handle; }

    EUsbResult GetNodeInformation(SUsbNodeInformation& info) override
    {
        auto m = m_state->Model();
        const SDev* hub = Hub(*m);
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        info.isHub = true;
        info.numberOfPorts = static_cast<std::uint8_t>(std::min(hub->maxchild, 255u));
        info.hubIsBusPowered = (ReadNumber(hub->dir / "bmAttributes", 16) & 0x40) == 0;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionInformationEx(SUsbNodeConnectionInformationEx& info) override
    {
        return Connection(info, [&info](const SDev& d) {
            const double speed = std::strtod(d.speed.c_str(), nullptr);
            info.speed = speed < 2 ? kUsbLowSpeed : speed < 100 ? kUsbFullSpeed : speed < 1000 ? kUsbHighSpeed
                                                                                               : kUsbSuperSpeed;
        });
    }

    EUsbResult GetNodeConnectionInformation(SUsbNodeConnectionInformation& info) override
    {
        return Connection(info, [&info](const SDev& d) {
            info.lowSpeed = std::strtod(d.speed.c_str(), nullptr) < 2 ? 1 : 0;
        });
    }

    EUsbResult GetNodeConnectionDriverKeyName(std::uint32_t port, std::wstring& driverKey) override
    {
        auto m = m_state->Model();
        const SDev* d = On(*m, port);
        if (d == nullptr)
            return EUsbResult::NoDevice;
        driverKey = d->driverKey;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionName(std::uint32_t port, std::wstring& hubName) override
    {
        auto m = m_state->Model();
        const SDev* d = On(*m, port);
        if (d == nullptr)
            return EUsbResult::NoDevice;
        if (d->hubName.empty())
            return EUsbResult::Failed;
        hubName = d->hubName;
        return EUsbResult::Ok;
    }

    EUsbResult GetDescriptorFromNodeConnection(std::uint8_t* buffer, std::size_t bufferSize,
                                               std::size_t& bytesReturned) override
    {
        bytesReturned = 0;
        if (buffer == nullptr || bufferSize < sizeof(SUsbDescriptorRequest))
            return EUsbResult::InvalidArg;
        SUsbDescriptorRequest request;
        std::memcpy(&request, buffer, sizeof(request));
        auto m = m_state->Model();
        const SDev* d = On(*m, request.connectionIndex);
        if (d == nullptr)
            return EUsbResult::NoDevice;
        const std::uint8_t type = static_cast<std::uint8_t>(request.wValue >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(request.wValue & 0xFF);
        const std::vector<std::uint8_t>& raw = d->descriptors;
        std::vector<std::uint8_t> reply;
        if (type == kUsbDeviceDescriptorType)
        {
            if (raw.size() < 18)
                return EUsbResult::Failed;
            reply.assign(raw.begin(), raw.begin() + 18);
        }
        else if (type == kUsbConfigurationDescriptorType)
        {
            // After the device descriptor: the configurations, each wTotalLength long.
            std::size_t offset = raw.size() >= 18 ? 18 : raw.size();
            for (unsigned i = 0; offset + 4 <= raw.size(); ++i)
            {
                const std::size_t total = raw[offset + 2] | (raw[offset + 3] << 8);
                if (total < 9 || offset + total > raw.size())
                    break;
                if (i == index)
                {
                    reply.assign(raw.begin() + static_cast<std::ptrdiff_t>(offset),
                                 raw.begin() + static_cast<std::ptrdiff_t>(offset + total));
                    break;
                }
                offset += total;
            }
            if (reply.empty())
                return EUsbResult::Failed;
        }
        else if (type == kUsbStringDescriptorType)
        {
            if (index == 0)
                reply = {4, 3, 0x09, 0x04};
            else if (!StringFor(*d, index, reply))
                return EUsbResult::Failed;
        }
        else
            return EUsbResult::Failed;
        const std::size_t n =
            std::min({reply.size(), static_cast<std::size_t>(request.wLength), bufferSize - sizeof(request)});
        std::memcpy(buffer + sizeof(request), reply.data(), n);
        bytesReturned = sizeof(request) + n;
        return EUsbResult::Ok;
    }

private:
    const SDev* Hub(const SModel& m) const
    {
        auto it = m.devices.find(m_hub);
        return it == m.devices.end() ? nullptr : &it->second;
    }

    const SDev* On(const SModel& m, std::uint32_t port) const
    {
        const SDev* hub = Hub(m);
        if (hub == nullptr || port == 0 || port > hub->maxchild)
            return nullptr;
        auto it = m.devices.find(ChildName(*hub, port));
        return it == m.devices.end() ? nullptr : &it->second;
    }

    template <typename TInfo, typename TSpeed>
    EUsbResult Connection(TInfo& info, TSpeed speed)
    {
        auto m = m_state->Model();
        const SDev* hub = Hub(*m);
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        const std::uint32_t port = info.connectionIndex;
        if (port == 0 || port > hub->maxchild)
            return EUsbResult::InvalidArg;
        std::memset(&info, 0, sizeof(info));
        info.connectionIndex = port;
        const SDev* d = On(*m, port);
        if (d == nullptr)
            return EUsbResult::Ok;
        SUsbDeviceDescriptor descriptor;
        std::memset(&descriptor, 0, sizeof(descriptor));
        std::memcpy(&descriptor, d->descriptors.data(), std::min(d->descriptors.size(), sizeof(descriptor)));
        info.deviceDescriptor = descriptor;
        info.currentConfigurationValue = static_cast<std::uint8_t>(d->configValue);
        info.deviceIsHub = d->cls == 9 ? 1 : 0;
        info.deviceAddress = static_cast<std::uint16_t>(d->devnum);
        info.numberOfOpenPipes = 0;
        info.connectionStatus = kUsbDeviceConnected;
        speed(*d);
        return EUsbResult::Ok;
    }

    // Strings the descriptors name, from the text sysfs keeps for them.
    static bool StringFor(const SDev& d, std::uint8_t index, std::vector<std::uint8_t>& reply)
    {
        const auto& raw = d.descriptors;
        if (raw.size() >= 18)
        {
            const std::pair<std::uint8_t, const std::wstring*> fixed[] = {
                {raw[14], &d.manufacturer}, {raw[15], &d.product}, {raw[16], &d.serial}};
            for (const auto& [i, text] : fixed)
            {
                if (i == index && !text->empty())
                {
                    reply = StringDescriptor(*text);
                    return true;
                }
            }
        }
        // Configuration and interface strings.
        std::size_t offset = raw.size() >= 18 ? 18 : raw.size();
        while (offset + 2 <= raw.size())
        {
            const std::size_t len = raw[offset];
            if (len < 2 || offset + len > raw.size())
                break;
            const std::uint8_t t = raw[offset + 1];
            if (t == kUsbConfigurationDescriptorType && len >= 9 && raw[offset + 6] == index)
            {
                reply = StringDescriptor(Widen(ReadText(d.dir / "configuration")));
                return reply.size() > 2;
            }
            if (t == kUsbInterfaceDescriptorType && len >= 9 && raw[offset + 8] == index)
            {
                const std::string intf = d.name + ":" + std::to_string(d.configValue) + "." +
                                         std::to_string(raw[offset + 2]);
                reply = StringDescriptor(Widen(ReadText(d.dir / intf / "interface")));
                return reply.size() > 2;
            }
            offset += len;
        }
        return false;
    }

    std::shared_ptr<CSysfsState> m_state;
    std::string m_hub;
    std::uintptr_t m_handle;
};

class CSysfsTopology : public IUsbTopology
{
public:
    explicit CSysfsTopology(const std::string& root) : m_state(std::make_shared<CSysfsState>(root)) {}

    EUsbResult GetRootDevNode(UsbDevNode& node) override
    {
        auto m = m_state->Model();
        if (m->nodes.empty())
            return EUsbResult::NoDevice;
        node = m_state->NumberLocked(m->nodes[0].id);
        return EUsbResult::Ok;
    }
    EUsbResult LocateDevNode(const std::wstring& instanceId, UsbDevNode& node) override
    {
        auto m = m_state->Model();
        for (const SNode& n : m->nodes)
        {
            if (SameNoCase(n.id, instanceId))
            {
                node = m_state->NumberLocked(n.id);
                return EUsbResult::Ok;
            }
        }
        return EUsbResult::NoDevice;
    }
    EUsbResult GetParent(UsbDevNode node, UsbDevNode& parent) override
    {
        return Step(node, parent, [](const SModel& m, int i) { return m.nodes[i].parent; });
    }
    EUsbResult GetChild(UsbDevNode node, UsbDevNode& child) override
    {
        return Step(node, child, [](const SModel& m, int i) {
            return m.nodes[i].children.empty() ? -1 : m.nodes[i].children.front();
        });
    }
    EUsbResult GetSibling(UsbDevNode node, UsbDevNode& sibling) override
    {
        return Step(node, sibling, [](const SModel& m, int i) {
            const int p = m.nodes[i].parent;
            if (p < 0)
                return -1;
            const auto& c = m.nodes[p].children;
            auto it = std::find(c.begin(), c.end(), i);
            return it == c.end() || it + 1 == c.end() ? -1 : *(it + 1);
        });
    }
    EUsbResult GetDeviceId(UsbDevNode node, std::wstring& instanceId) override
    {
        auto m = m_state->Model();
        const int i = m_state->Find(*m, node);
        if (i < 0)
            return EUsbResult::NoDevice;
        instanceId = m->nodes[i].id;
        return EUsbResult::Ok;
    }
    EUsbResult GetDevNodeProperty(UsbDevNode node, EUsbDevNodeProperty property, std::wstring& value) override
    {
        auto m = m_state->Model();
        const int i = m_state->Find(*m, node);
        if (i < 0)
            return EUsbResult::NoDevice;
        const std::wstring& v =
            property == EUsbDevNodeProperty::DriverKey ? m->nodes[i].driverKey : m->nodes[i].description;
        if (v.empty())
            return EUsbResult::NotSupported;
        value = v;
        return EUsbResult::Ok;
    }
    EUsbResult EnumerateHostController(std::uint32_t index, std::wstring& devicePath) override
    {
        auto m = m_state->Model();
        if (index >= m->controllers.size())
            return EUsbResult::NoMoreItems;
        devicePath = m->controllers[index];
        return EUsbResult::Ok;
    }
    EUsbResult OpenHostController(const std::wstring& devicePath, std::unique_ptr<IUsbHostController>& hc) override
    {
        auto m = m_state->Model();
        for (std::size_t i = 0; i < m->controllers.size(); ++i)
        {
            if (SameNoCase(m->controllers[i], devicePath))
            {
                hc = std::make_unique<CSysfsHostController>(m_state, m->roots[i], NextHandle());
                return EUsbResult::Ok;
            }
        }
        return EUsbResult::NoDevice;
    }
    EUsbResult OpenHub(const std::wstring& hubName, std::unique_ptr<IUsbHub>& hub) override
    {
        std::wstring name = hubName;
        if (name.rfind(L"\\\\.\\", 0) == 0)
            name = name.substr(4);
        auto m = m_state->Model();
        for (const auto& [sysName, d] : m->devices)
        {
            if (!d.hubName.empty() && SameNoCase(d.hubName, name))
            {
                hub = std::make_unique<CSysfsHub>(m_state, sysName, NextHandle());
                return EUsbResult::Ok;
            }
        }
        return EUsbResult::NoDevice;
    }

private:
    template <typename TStep>
    EUsbResult Step(UsbDevNode node, UsbDevNode& out, TStep step)
    {
        auto m = m_state->Model();
        const int i = m_state->Find(*m, node);
        if (i < 0)
            return EUsbResult::NoDevice;
        const int next = step(*m, i);
        if (next < 0)
            return EUsbResult::NoDevice;
        out = m_state->NumberLocked(m->nodes[next].id);
        return EUsbResult::Ok;
    }

    std::uintptr_t NextHandle()
    {
        std::lock_guard<std::mutex> guard(m_handleMutex);
        return m_nextHandle++;
    }

    std::shared_ptr<CSysfsState> m_state;
    std::mutex m_handleMutex;
    std::uintptr_t m_nextHandle = 0x100;
};

class CSysfsHidSystem : public IHidSystem
{
public:
    CSysfsHidSystem(const std::string& root, const std::string& devRoot)
        : m_state(std::make_shared<CSysfsState>(root)), m_devRoot(devRoot)
    {
    }

    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        paths.clear();
        auto m = m_state->Model();
        for (const SHid& h : m->hids)
            paths.push_back(h.path);
        return EHidResult::Ok;
    }

    EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) override
    {
        auto m = m_state->Model();
        const SHid* h = Find(*m, path);
        if (h == nullptr)
            return EHidResult::NoDevice;
        const SDev& d = m->devices.at(h->device);
        char usbfs[64];
        std::snprintf(usbfs, sizeof(usbfs), "/bus/usb/%03u/%03u", d.bus, d.devnum);
        return OpenLinuxHidDevice(m_devRoot + "/" + h->hidraw, m_devRoot + usbfs, h->attributes, h->caps, h->usesIds,
                                  d.manufacturer, d.product, d.serial, options, device);
    }

    EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& instanceId) override
    {
        auto m = m_state->Model();
        const SHid* h = Find(*m, path);
        if (h == nullptr)
            return EHidResult::NoDevice;
        instanceId = h->usbId;
        return EHidResult::Ok;
    }

private:
    static const SHid* Find(const SModel& m, const std::wstring& path)
    {
        for (const SHid& h : m.hids)
            if (SameNoCase(h.path, path))
                return &h;
        return nullptr;
    }

    std::shared_ptr<CSysfsState> m_state;
    std::string m_devRoot;
};
} // namespace

std::unique_ptr<IUsbTopology> CreateSysfsUsbTopology(const std::string& sysfsRoot)
{
    return std::make_unique<CSysfsTopology>(sysfsRoot);
}

std::unique_ptr<IUsbTopology> CreateSystemUsbTopology()
{
    return CreateSysfsUsbTopology("/sys");
}

std::unique_ptr<IHidSystem> CreateHidrawHidSystem(const std::string& sysfsRoot, const std::string& devRoot)
{
    return std::make_unique<CSysfsHidSystem>(sysfsRoot, devRoot);
}

std::string SysfsHidrawUsbLocation(const std::string& sysfsRoot, const std::string& hidrawName)
{
    const std::shared_ptr<SModel> m = BuildModel(sysfsRoot);
    for (const SHid& h : m->hids)
    {
        if (h.hidraw == hidrawName)
            return h.device;
    }
    return {};
}

std::unique_ptr<IHidSystem> CreateSystemHid()
{
    return CreateHidrawHidSystem("/sys", "/dev");
}
