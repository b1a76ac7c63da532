// The Windows port-location rule on device trees of any shape: instance IDs,
// location texts and addresses as drivers set them (untrusted), parents that
// loop, controllers that are missing. Input: the recorded-tree format of
// tests/platform/fixtures (one node a line, tab-separated key=value fields).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/WinUsbLocation.h"

namespace
{
std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - 32);
    return s;
}

class CFuzzTree : public IWinDeviceTree
{
public:
    explicit CFuzzTree(const std::string& text)
    {
        std::size_t start = 0;
        while (start < text.size() && m_nodes.size() < 64)
        {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            Line(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool LocateInterface(const std::wstring& path, Node* node) override
    {
        const std::wstring id = Upper(WinInterfacePathToInstanceId(path));
        for (const auto& [n, record] : m_nodes)
            if (!id.empty() && Upper(record.id) == id)
                return *node = n, true;
        return false;
    }
    bool Parent(Node node, Node* parent) override
    {
        auto it = m_nodes.find(node);
        if (it == m_nodes.end() || it->second.parent == 0)
            return false;
        *parent = it->second.parent;
        return true;
    }
    std::wstring InstanceId(Node node) override
    {
        auto it = m_nodes.find(node);
        return it == m_nodes.end() ? std::wstring() : it->second.id;
    }
    bool LocationInformation(Node node, std::wstring* text) override
    {
        auto it = m_nodes.find(node);
        *text = it == m_nodes.end() ? std::wstring() : it->second.location;
        return !text->empty();
    }
    bool FirstLocationPath(Node node, std::wstring* text) override
    {
        auto it = m_nodes.find(node);
        *text = it == m_nodes.end() ? std::wstring() : it->second.paths;
        return !text->empty();
    }
    bool Address(Node node, std::uint32_t* address) override
    {
        auto it = m_nodes.find(node);
        if (it == m_nodes.end() || !it->second.haveAddress)
            return false;
        *address = it->second.address;
        return true;
    }
    std::vector<Node> HostControllers() override { return m_controllers; }

    std::vector<std::wstring> Ids() const
    {
        std::vector<std::wstring> ids;
        for (const auto& [n, record] : m_nodes)
            ids.push_back(record.id);
        return ids;
    }

private:
    struct SRecord
    {
        Node parent = 0;
        std::wstring id, location, paths;
        bool haveAddress = false;
        std::uint32_t address = 0;
    };

    void Line(const std::string& line)
    {
        std::map<std::string, std::string> fields;
        std::size_t start = 0;
        while (start <= line.size())
        {
            std::size_t end = line.find('\t', start);
            if (end == std::string::npos)
                end = line.size();
            const std::string field = line.substr(start, end - start);
            const std::size_t eq = field.find('=');
            if (eq != std::string::npos)
                fields[field.substr(0, eq)] = field.substr(eq + 1);
            start = end + 1;
        }
        auto number = [](const std::string& s) { return static_cast<Node>(std::strtoul(s.c_str(), nullptr, 10)); };
        if (fields.count("hostcontrollers"))
        {
            const std::string& list = fields["hostcontrollers"];
            for (std::size_t at = 0; at < list.size() && m_controllers.size() < 16;)
            {
                m_controllers.push_back(number(list.substr(at)));
                const std::size_t comma = list.find(',', at);
                at = comma == std::string::npos ? list.size() : comma + 1;
            }
            return;
        }
        if (!fields.count("node"))
            return;
        SRecord r;
        r.parent = fields.count("parent") ? number(fields["parent"]) : 0;
        r.id = Wide(fields["id"]);
        r.location = Wide(fields["location"]);
        r.paths = Wide(fields["paths"]);
        r.haveAddress = fields.count("address") != 0;
        r.address = r.haveAddress ? number(fields["address"]) : 0;
        m_nodes[number(fields["node"])] = r;
    }

    std::map<Node, SRecord> m_nodes;
    std::vector<Node> m_controllers;
};

// "bus-port.port...": digits, one '-', then digits separated by '.'.
bool WellFormed(const std::string& location)
{
    const std::size_t dash = location.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= location.size())
        return false;
    bool digit = false;
    for (std::size_t i = dash + 1; i < location.size(); ++i)
    {
        if (location[i] == '.')
        {
            if (!digit)
                return false;
            digit = false;
        }
        else if (location[i] >= '0' && location[i] <= '9')
            digit = true;
        else
            return false;
    }
    return digit && location.find_first_not_of("0123456789") == dash;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CFuzzTree tree(std::string(reinterpret_cast<const char*>(data), size));
    for (std::wstring id : tree.Ids())
    {
        // Every node asked for as the interface path that would name it.
        for (wchar_t& c : id)
            if (c == L'\\')
                c = L'#';
        const std::string location = WinUsbPortLocation(tree, L"\\\\?\\" + id + L"#{4d1e55b2-f16f-11cf-88cb-001111000030}");
        if (!location.empty() && !WellFormed(location))
            std::abort();
        std::uint32_t port = 0;
        (void)WinUsbPortNumber(tree, 1, &port);
    }
    (void)WinInterfacePathToInstanceId(std::wstring(data, data + size));
    return 0;
}
