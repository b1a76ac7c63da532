// Descriptor reads against a device that answers with short, inconsistent or
// hostile replies.
#include <gtest/gtest.h>

#include "tests/usb/ScriptedHub.h"
#include "usb/UsbTree.h"

namespace
{
std::uint16_t Key(std::uint8_t type, std::uint8_t index)
{
    return static_cast<std::uint16_t>(type << 8 | index);
}

// Configuration: one interface with string index 4.
std::vector<std::uint8_t> Config(std::uint8_t interfaceString = 4)
{
    return {9, 2, 25, 0, 1, 1, 0, 0x80, 50,            // configuration
            9, 4, 0, 0, 1, 3, 0, 0, interfaceString,   // interface
            7, 5, 0x81, 3, 64, 0, 1};                  // endpoint
}

std::vector<std::uint8_t> StringDesc(const std::u16string& text)
{
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t c : text)
    {
        d.push_back(static_cast<std::uint8_t>(c & 0xFF));
        d.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return d;
}

CScriptedHub WellBehaved()
{
    CScriptedHub hub;
    hub.connection.connectionIndex = 1;
    hub.connection.connectionStatus = kUsbDeviceConnected;
    hub.connection.deviceDescriptor.bLength = 18;
    hub.connection.deviceDescriptor.iProduct = 2;
    hub.replies[Key(2, 0)].bytes = Config();
    hub.replies[Key(3, 0)].bytes = {6, 3, 0x09, 0x04, 0x07, 0x04};
    hub.replies[Key(3, 2)].bytes = StringDesc(u"Headset");
    hub.replies[Key(3, 4)].bytes = StringDesc(u"HID");
    return hub;
}
} // namespace

TEST(UsbDescriptors, WellBehavedDeviceGivesConfigurationAndStringsInEveryLanguage)
{
    CScriptedHub hub = WellBehaved();
    CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ConfigDescriptorLength(), 25u);
    // string 0, then index 2 and index 4 in two languages each.
    ASSERT_EQ(info->stringDescriptors.size(), 5u);
    EXPECT_EQ(info->stringDescriptors[1].text, L"Headset");
    EXPECT_EQ(info->stringDescriptors[2].languageId, 0x0407);
    EXPECT_EQ(info->stringDescriptors[4].text, L"HID");
}

TEST(UsbDescriptors, PlainConnectionInformationIsUsedWhenExtendedFails)
{
    CScriptedHub hub = WellBehaved();
    hub.extended = false;
    hub.connection.speed = kUsbLowSpeed;
    CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_EQ(+info->connectionInfo->speed, kUsbLowSpeed);
    hub.connection.speed = kUsbHighSpeed; // the plain form only knows low or full
    info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_EQ(+info->connectionInfo->speed, kUsbFullSpeed);
}

TEST(UsbDescriptors, ConfigurationRepliesThatDoNotAddUpAreDiscarded)
{
    CScriptedHub hub = WellBehaved();
    EXPECT_EQ(QueryPortConfigDescriptor(hub, 1, 0).size(), 12u + 25u);

    hub.replies[Key(2, 0)].bytes = {9, 2, 25, 0, 1}; // short header
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
    hub.replies[Key(2, 0)].bytes = {9, 2, 4, 0, 1, 1, 0, 0x80, 50}; // total below 9
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
    hub.replies[Key(2, 0)].bytes = {9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50}; // claims 65535, delivers 9
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
    hub.replies[Key(2, 0)].bytes = Config();
    hub.replies[Key(2, 0)].extraReturned = 100; // hub claims more than the buffer
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
    hub.replies[Key(2, 0)].extraReturned = 0;
    hub.replies[Key(2, 0)].bytes[1] = 7; // not a configuration
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
    hub.replies[Key(2, 0)].fail = true;
    EXPECT_TRUE(QueryPortConfigDescriptor(hub, 1, 0).empty());
}

TEST(UsbDescriptors, StringIndexWalkStopsAtBrokenDescriptors)
{
    SUsbNodeConnectionInformationEx connection{};
    EXPECT_FALSE(HasAnyStringIndex(connection, nullptr, 0));
    std::vector<std::uint8_t> config = Config();
    EXPECT_TRUE(HasAnyStringIndex(connection, config.data(), config.size()));
    config = Config(0);
    EXPECT_FALSE(HasAnyStringIndex(connection, config.data(), config.size()));
    config = Config();
    config[9] = 10; // interface of length 10: the walk stops before it
    EXPECT_FALSE(HasAnyStringIndex(connection, config.data(), config.size()));
    config = Config();
    config[9] = 0; // zero length must not loop
    EXPECT_FALSE(HasAnyStringIndex(connection, config.data(), config.size()));
    config = Config();
    config[2] = 12; // total length cuts the interface short
    EXPECT_FALSE(HasAnyStringIndex(connection, config.data(), config.size()));
    config = Config();
    EXPECT_FALSE(HasAnyStringIndex(connection, config.data(), 17)); // buffer shorter than stated
    connection.deviceDescriptor.iSerialNumber = 3;
    EXPECT_TRUE(HasAnyStringIndex(connection, nullptr, 0));
}

TEST(UsbDescriptors, MalformedStringDescriptorsAreRejected)
{
    CScriptedHub hub = WellBehaved();
    SUsbStringDescriptorNode node;
    EXPECT_TRUE(GetStringDescriptor(hub, 1, 2, 0x0409, node));
    EXPECT_EQ(node.text, L"Headset");

    hub.replies[Key(3, 2)].bytes = {5, 3, 'a', 0, 'b'}; // odd length
    EXPECT_FALSE(GetStringDescriptor(hub, 1, 2, 0x0409, node));
    hub.replies[Key(3, 2)].bytes = {4, 2, 'a', 0}; // wrong type
    EXPECT_FALSE(GetStringDescriptor(hub, 1, 2, 0x0409, node));
    hub.replies[Key(3, 2)].bytes = {8, 3, 'a', 0}; // claims more than came
    EXPECT_FALSE(GetStringDescriptor(hub, 1, 2, 0x0409, node));
    hub.replies[Key(3, 2)].bytes = {4}; // one byte
    EXPECT_FALSE(GetStringDescriptor(hub, 1, 2, 0x0409, node));
    hub.replies[Key(3, 2)].bytes = StringDesc(u"ok");
    hub.replies[Key(3, 2)].extraReturned = 1000;
    EXPECT_FALSE(GetStringDescriptor(hub, 1, 2, 0x0409, node));

    // A language list of odd or zero length leaves only what can be trusted.
    hub = WellBehaved();
    hub.replies[Key(3, 0)].bytes = {3, 3, 9};
    CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->stringDescriptors.empty());
    hub.replies[Key(3, 0)].bytes = {2, 3};
    info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stringDescriptors.size(), 1u);
}

TEST(UsbDescriptors, DisconnectedPortGivesNothing)
{
    CScriptedHub hub = WellBehaved();
    hub.connection.connectionStatus = kUsbNoDeviceConnected;
    EXPECT_FALSE(GetUSBHubPortInfo(hub, 1));
    hub.connection.connectionStatus = 7;
    EXPECT_FALSE(GetUSBHubPortInfo(hub, 1));
}

TEST(UsbDescriptors, OpenPipeCountIsBounded)
{
    CScriptedHub hub = WellBehaved();
    hub.connection.numberOfOpenPipes = 1000;
    CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, 1);
    ASSERT_TRUE(info);
    EXPECT_LE(+info->connectionInfo->numberOfOpenPipes, kUsbMaxPipes);
}
