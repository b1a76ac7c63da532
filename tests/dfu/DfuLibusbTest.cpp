// The libusb backend of the DFU port on a machine without DFU devices (and
// under wine, where libusb cannot start): nothing found, nothing crashes.
#include <gtest/gtest.h>

#include "dfu/DFUEngine.h"
#include "platform/DfuTransport.h"

TEST(DfuLibusb, EnumerationAndOpenWithoutDevices)
{
    std::shared_ptr<IDfuTransportFactory> factory = CreateLibusbDfuTransportFactory();
    ASSERT_TRUE(factory);
    std::unique_ptr<IDfuTransport> transport = factory->CreateTransport();
    ASSERT_TRUE(transport);
    std::vector<SDfuDeviceEntry> names;
    EXPECT_EQ(EDfuIo::Ok, transport->Enumerate(names));
    for (const auto& device : names)
        EXPECT_TRUE(ParseDfuDeviceName(device.name, nullptr, nullptr, nullptr));
    EXPECT_EQ(EDfuIo::NoDevice, transport->Open(L"USB\\VID_0A12&PID_0001\\250-9.9.9"));
    EXPECT_EQ(EDfuIo::NoDevice, transport->Open(L"not a device name"));
    std::uint8_t status[6];
    std::size_t got = 1;
    EXPECT_NE(EDfuIo::Ok, transport->ControlIn(3, 0, status, sizeof(status), &got, 100));
    EXPECT_EQ(0u, got);
    EXPECT_NE(EDfuIo::Ok, transport->Reset());
    transport->Close();
    transport->Close();

    DFUEngine::InitDLL(factory);
    CStringListX list;
    EXPECT_EQ(static_cast<int>(names.size()), DFUEngine::GetUSBDeviceNames(list, true));
    DFUEngine engine;
    EXPECT_FALSE(engine.CreateUSB(L"USB\\VID_0A12&PID_0001\\250-9.9.9"));
    EXPECT_FALSE(engine.StartDownload(L"x.dfu"));
}
