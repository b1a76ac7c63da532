// Where a device hangs, read from a Windows device tree (a recorded one,
// tests/platform/fixtures/windows-desk.tree) by the rule libusb follows on
// Windows, so the DFU device that comes back on the headset's port is known
// by the same name the DFU port gives it.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "platform/WinUsbLocation.h"
#include "tests/TestSupport.h"

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

class CRecordedTree : public IWinDeviceTree
{
public:
    explicit CRecordedTree(const std::string& text)
    {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
        {
            if (line.empty() || line[0] == '#')
                continue;
            std::map<std::string, std::string> fields;
            std::istringstream parts(line);
            std::string field;
            while (std::getline(parts, field, '\t'))
            {
                const std::size_t eq = field.find('=');
                fields[field.substr(0, eq)] = field.substr(eq + 1);
            }
            if (fields.count("hostcontrollers"))
            {
                std::istringstream list(fields["hostcontrollers"]);
                std::string n;
                while (std::getline(list, n, ','))
                    m_controllers.push_back(static_cast<Node>(std::stoul(n)));
                continue;
            }
            SNode node;
            node.parent = fields.count("parent") ? static_cast<Node>(std::stoul(fields["parent"])) : 0;
            node.id = Wide(fields["id"]);
            node.location = Wide(fields["location"]);
            node.paths = Wide(fields["paths"]);
            node.haveAddress = fields.count("address") != 0;
            node.address = node.haveAddress ? static_cast<std::uint32_t>(std::stoul(fields["address"])) : 0;
            m_nodes[static_cast<Node>(std::stoul(fields["node"]))] = node;
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
    std::wstring InstanceId(Node node) override { return m_nodes.count(node) ? m_nodes[node].id : std::wstring(); }
    bool LocationInformation(Node node, std::wstring* text) override
    {
        *text = m_nodes[node].location;
        return !text->empty();
    }
    bool FirstLocationPath(Node node, std::wstring* text) override
    {
        *text = m_nodes[node].paths;
        return !text->empty();
    }
    bool Address(Node node, std::uint32_t* address) override
    {
        *address = m_nodes[node].address;
        return m_nodes[node].haveAddress;
    }
    std::vector<Node> HostControllers() override { return m_controllers; }

private:
    struct SNode
    {
        Node parent = 0;
        std::wstring id, location, paths;
        bool haveAddress = false;
        std::uint32_t address = 0;
    };
    std::map<Node, SNode> m_nodes;
    std::vector<Node> m_controllers;
};

CRecordedTree Desk()
{
    return CRecordedTree(ReadFileBytes(ORVO_PLATFORM_FIXTURES "/windows-desk.tree"));
}
} // namespace

TEST(WinUsbLocation, InterfacePathsNameTheirInstance)
{
    EXPECT_EQ(WinInterfacePathToInstanceId(
                  L"\\\\?\\hid#vid_2c6d&pid_3240&mi_03&col02#8&1f2e3d4c&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              L"hid\\vid_2c6d&pid_3240&mi_03&col02\\8&1f2e3d4c&0&0001");
    EXPECT_EQ(WinInterfacePathToInstanceId(L"\\\\?\\hid#{4d1e55b2-f16f-11cf-88cb-001111000030}"), L"");
    EXPECT_EQ(WinInterfacePathToInstanceId(L"/dev/hidraw3"), L"");
    EXPECT_EQ(WinInterfacePathToInstanceId(L""), L"");
}

// The headset's HID collections lead up through the interface node to the
// composite device behind a hub on the first controller; libusb calls it 1-3.2.
TEST(WinUsbLocation, DevicesAreNamedByBusAndPortsAsLibusbNamesThem)
{
    CRecordedTree tree = Desk();
    const std::wstring guid = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\hid#vid_2c6d&pid_3240&mi_03&col01#8&1f2e3d4c&0&0000" + guid), "1-3.2");
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\HID#VID_2C6D&PID_3240&MI_03&COL02#8&1F2E3D4C&0&0001" + guid), "1-3.2");
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\hid#vid_046d&pid_c31c#6&1b2c3d4e&0&0000" + guid), "1-2");
    // A driver's own location text: the port comes from the location path.
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\hid#vid_170d&pid_fe00#7&1e2d3c4b&0&0000" + guid), "2-1");
    // The DFU device under WinUSB, known by its address only.
    EXPECT_EQ(WinUsbPortLocation(
                  tree, L"\\\\?\\usb#vid_0a12&pid_0001#6&3c2b1a0&0&4#{dee824ef-729b-4a0e-9c14-b7117d33a817}"),
              "2-4");
}

TEST(WinUsbLocation, PortNumbersInLibusbsOrderOfSources)
{
    CRecordedTree tree = Desk();
    std::uint32_t port = 0;
    EXPECT_TRUE(WinUsbPortNumber(tree, 25, &port)); // "Port_#0002.Hub_#0004"
    EXPECT_EQ(port, 2u);
    EXPECT_TRUE(WinUsbPortNumber(tree, 42, &port)); // own text: "...#USB(1)", not the address 9
    EXPECT_EQ(port, 1u);
    EXPECT_TRUE(WinUsbPortNumber(tree, 26, &port)); // an interface: "#USBMI(3)" is no port, "#USB(2)" before it is
    EXPECT_EQ(port, 2u);
    EXPECT_TRUE(WinUsbPortNumber(tree, 44, &port));
    EXPECT_EQ(port, 4u);
    EXPECT_FALSE(WinUsbPortNumber(tree, 21, &port)); // a root hub has no port
}

// No USB port, no name: a Bluetooth HID device, a path the tree does not
// know, a controller that is not among the host controller interfaces.
TEST(WinUsbLocation, WhatHangsOnNoUsbPortHasNoLocation)
{
    CRecordedTree tree = Desk();
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002046d_pid&b33d#"
                                       L"8&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              "");
    EXPECT_EQ(WinUsbPortLocation(tree, L"\\\\?\\hid#vid_dead&pid_beef#1&2&3#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              "");
    CRecordedTree noControllers(
        "node=1\tid=HTREE\\ROOT\\0\nnode=2\tparent=1\tid=PCI\\X\\1\nnode=3\tparent=2\tid=USB\\ROOT_HUB20\\4&1\n"
        "node=4\tparent=3\tid=USB\\VID_2C6D&PID_3240\\5&1\tlocation=Port_#0001.Hub_#0001\n");
    EXPECT_EQ(WinUsbPortLocation(noControllers, L"\\\\?\\usb#vid_2c6d&pid_3240#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
              "");
    // A loop in a broken tree ends.
    CRecordedTree loop("hostcontrollers=2\nnode=2\tparent=3\tid=USB\\VID_1&PID_2\\1\tlocation=Port_#0001.Hub_#0001\n"
                       "node=3\tparent=2\tid=USB\\VID_3&PID_4\\1\tlocation=Port_#0002.Hub_#0001\n");
    EXPECT_EQ(WinUsbPortLocation(loop, L"\\\\?\\usb#vid_1&pid_2#1#{x}"), "");
}
