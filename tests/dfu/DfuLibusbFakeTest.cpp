// The libusb backend of the DFU port over a libusb that behaves as the
// library does on the systems the program meets: Linux with udevd (a
// context learns of new devices from udev's events), Linux without it
// (containers, minimal and live systems: a context's list stays what it read
// from sysfs when it was made), and Windows (no hotplug: every list is read
// afresh). Devices may refuse an open for want of rights, of a driver, or
// because another program holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "platform/DfuTransport.h"
#include "platform/libusb/LibusbApi.h"

namespace
{
struct SFakeDevice
{
    std::uint8_t bus = 1;
    std::vector<std::uint8_t> ports;
    std::uint8_t address = 2;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint8_t dfuProtocol = 2; // 2 DFU mode, 1 run-time, 0 no DFU interface
    int openError = 0;            // what libusb_open answers
    bool present = true;
};

struct SFakeContext;

// A device as one context knows it (libusb gives every context objects of
// its own for the same device).
struct SFakeListed
{
    SFakeContext* context = nullptr;
    std::shared_ptr<SFakeDevice> physical;
};

struct SFakeContext
{
    std::vector<std::shared_ptr<SFakeDevice>> snapshot; // the devices the context knows of
    std::vector<std::unique_ptr<SFakeListed>> objects;  // its device objects, freed when it goes
    SFakeListed* ObjectFor(const std::shared_ptr<SFakeDevice>& d)
    {
        for (const auto& o : objects)
            if (o->physical == d)
                return o.get();
        objects.push_back(std::make_unique<SFakeListed>(SFakeListed{this, d}));
        return objects.back().get();
    }
};

struct SFakeHandle
{
    std::shared_ptr<SFakeDevice> device;
    SFakeContext* context = nullptr;
};

// The machine and its libusb: one per test (the calls are plain functions).
struct SFakeLibusb
{
    bool hotplug = true;  // LIBUSB_CAP_HAS_HOTPLUG (Linux, macOS)
    bool announced = true; // a hotplug service (udevd) tells the contexts of changes
    std::vector<std::shared_ptr<SFakeDevice>> plugged;
    std::vector<SFakeContext*> contexts;
    int inits = 0;
    int exits = 0;
    int handles = 0;
    std::uint8_t nextAddress = 2;
    std::map<SFakeContext*, int> handlesPerContext;

    std::shared_ptr<SFakeDevice> Plug(std::uint16_t vid, std::uint16_t pid, std::vector<std::uint8_t> ports,
                                      std::uint8_t dfuProtocol = 2)
    {
        auto d = std::make_shared<SFakeDevice>();
        d->vid = vid;
        d->pid = pid;
        d->ports = std::move(ports);
        d->address = nextAddress++;
        d->dfuProtocol = dfuProtocol;
        plugged.push_back(d);
        return d;
    }
    void Unplug(const std::shared_ptr<SFakeDevice>& d)
    {
        d->present = false;
        plugged.erase(std::remove(plugged.begin(), plugged.end(), d), plugged.end());
    }
};

SFakeLibusb* g_fake = nullptr;

SFakeListed* Listed(libusb_device* d)
{
    return reinterpret_cast<SFakeListed*>(d);
}

SFakeDevice* Dev(libusb_device* d)
{
    return Listed(d)->physical.get();
}

int LIBUSB_CALL FakeInit(libusb_context** out)
{
    ++g_fake->inits;
    auto* c = new SFakeContext;
    c->snapshot = g_fake->plugged;
    g_fake->contexts.push_back(c);
    *out = reinterpret_cast<libusb_context*>(c);
    return 0;
}

void LIBUSB_CALL FakeExit(libusb_context* context)
{
    auto* c = reinterpret_cast<SFakeContext*>(context);
    // libusb: every handle of a context is closed before it goes.
    EXPECT_EQ(g_fake->handlesPerContext[c], 0) << "a context went while a handle of it was open";
    ++g_fake->exits;
    g_fake->contexts.erase(std::remove(g_fake->contexts.begin(), g_fake->contexts.end(), c), g_fake->contexts.end());
    delete c;
}

int LIBUSB_CALL FakeHasCapability(std::uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_HOTPLUG && g_fake->hotplug ? 1 : 0;
}

ssize_t LIBUSB_CALL FakeGetDeviceList(libusb_context* context, libusb_device*** list)
{
    auto* c = reinterpret_cast<SFakeContext*>(context);
    // With hotplug the list is the context's own, kept up to date only by
    // the events it is told of; without, libusb reads the system each time.
    if (!g_fake->hotplug || g_fake->announced)
        c->snapshot = g_fake->plugged;
    auto* array = new libusb_device*[c->snapshot.size() + 1];
    for (std::size_t i = 0; i < c->snapshot.size(); ++i)
        array[i] = reinterpret_cast<libusb_device*>(c->ObjectFor(c->snapshot[i]));
    array[c->snapshot.size()] = nullptr;
    *list = array;
    return static_cast<ssize_t>(c->snapshot.size());
}

void LIBUSB_CALL FakeFreeDeviceList(libusb_device** list, int)
{
    delete[] list;
}

int LIBUSB_CALL FakeGetDeviceDescriptor(libusb_device* device, libusb_device_descriptor* desc)
{
    *desc = libusb_device_descriptor{};
    desc->bLength = 18;
    desc->bDescriptorType = 1;
    desc->idVendor = Dev(device)->vid;
    desc->idProduct = Dev(device)->pid;
    desc->bcdDevice = 0x0100;
    desc->bNumConfigurations = 1;
    return 0;
}

// A DFU interface with its functional descriptor (or none at all).
int LIBUSB_CALL FakeGetConfigDescriptor(libusb_device* device, libusb_config_descriptor** config)
{
    static const unsigned char functional[9] = {9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01};
    auto* alt = new libusb_interface_descriptor{};
    alt->bLength = 9;
    alt->bDescriptorType = 4;
    alt->bInterfaceNumber = 0;
    alt->bNumEndpoints = 0;
    alt->bInterfaceClass = Dev(device)->dfuProtocol != 0 ? 0xFE : 0x03;
    alt->bInterfaceSubClass = Dev(device)->dfuProtocol != 0 ? 0x01 : 0x00;
    alt->bInterfaceProtocol = Dev(device)->dfuProtocol;
    alt->extra = functional;
    alt->extra_length = sizeof(functional);
    auto* intf = new libusb_interface{};
    intf->altsetting = alt;
    intf->num_altsetting = 1;
    auto* c = new libusb_config_descriptor{};
    c->bLength = 9;
    c->bDescriptorType = 2;
    c->bNumInterfaces = 1;
    c->interface = intf;
    *config = c;
    return 0;
}

int LIBUSB_CALL FakeGetConfigByIndex(libusb_device* device, std::uint8_t, libusb_config_descriptor** config)
{
    return FakeGetConfigDescriptor(device, config);
}

void LIBUSB_CALL FakeFreeConfigDescriptor(libusb_config_descriptor* config)
{
    if (config == nullptr)
        return;
    delete config->interface->altsetting;
    delete config->interface;
    delete config;
}

int LIBUSB_CALL FakeGetPortNumbers(libusb_device* device, std::uint8_t* ports, int length)
{
    const auto& p = Dev(device)->ports;
    if (static_cast<int>(p.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(p.begin(), p.end(), ports);
    return static_cast<int>(p.size());
}

std::uint8_t LIBUSB_CALL FakeGetBusNumber(libusb_device* device)
{
    return Dev(device)->bus;
}

std::uint8_t LIBUSB_CALL FakeGetDeviceAddress(libusb_device* device)
{
    return Dev(device)->address;
}

int LIBUSB_CALL FakeOpen(libusb_device* device, libusb_device_handle** handle)
{
    // A device that left (the list was old) is no device: usbfs answers ENOENT.
    if (!Dev(device)->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (Dev(device)->openError != 0)
        return Dev(device)->openError;
    SFakeContext* context = Listed(device)->context;
    auto* h = new SFakeHandle{Listed(device)->physical, context};
    ++g_fake->handles;
    ++g_fake->handlesPerContext[context];
    *handle = reinterpret_cast<libusb_device_handle*>(h);
    return 0;
}

void LIBUSB_CALL FakeClose(libusb_device_handle* handle)
{
    auto* h = reinterpret_cast<SFakeHandle*>(handle);
    --g_fake->handles;
    --g_fake->handlesPerContext[h->context];
    delete h;
}

int LIBUSB_CALL FakeSetAutoDetach(libusb_device_handle*, int)
{
    return 0;
}

int LIBUSB_CALL FakeClaim(libusb_device_handle* handle, int)
{
    return reinterpret_cast<SFakeHandle*>(handle)->device->present ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL FakeRelease(libusb_device_handle*, int)
{
    return 0;
}

int LIBUSB_CALL FakeSetAlt(libusb_device_handle*, int, int)
{
    return 0;
}

int LIBUSB_CALL FakeControl(libusb_device_handle* handle, std::uint8_t type, std::uint8_t, std::uint16_t,
                            std::uint16_t, unsigned char* data, std::uint16_t length, unsigned int)
{
    if (!reinterpret_cast<SFakeHandle*>(handle)->device->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if ((type & 0x80) != 0)
    {
        // GETSTATUS: OK, dfuIDLE.
        const unsigned char status[6] = {0, 10, 0, 0, 2, 0};
        const std::uint16_t n = std::min<std::uint16_t>(length, 6);
        std::copy(status, status + n, data);
        return n;
    }
    return length;
}

int LIBUSB_CALL FakeReset(libusb_device_handle* handle)
{
    return reinterpret_cast<SFakeHandle*>(handle)->device->present ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

SLibusbApi FakeApi()
{
    SLibusbApi api;
    api.init = FakeInit;
    api.exit = FakeExit;
    api.has_capability = FakeHasCapability;
    api.get_device_list = FakeGetDeviceList;
    api.free_device_list = FakeFreeDeviceList;
    api.get_device_descriptor = FakeGetDeviceDescriptor;
    api.get_active_config_descriptor = FakeGetConfigDescriptor;
    api.get_config_descriptor = FakeGetConfigByIndex;
    api.free_config_descriptor = FakeFreeConfigDescriptor;
    api.get_port_numbers = FakeGetPortNumbers;
    api.get_bus_number = FakeGetBusNumber;
    api.get_device_address = FakeGetDeviceAddress;
    api.open = FakeOpen;
    api.close = FakeClose;
    api.set_auto_detach_kernel_driver = FakeSetAutoDetach;
    api.claim_interface = FakeClaim;
    api.release_interface = FakeRelease;
    api.set_interface_alt_setting = FakeSetAlt;
    api.control_transfer = FakeControl;
    api.reset_device = FakeReset;
    return api;
}

class DfuLibusbFake : public testing::Test
{
protected:
    void SetUp() override { g_fake = &m_fake; }
    void TearDown() override
    {
        m_factory.reset();
        EXPECT_EQ(m_fake.inits, m_fake.exits) << "every context is let go";
        EXPECT_EQ(m_fake.handles, 0);
        g_fake = nullptr;
    }
    std::unique_ptr<IDfuTransport> Transport()
    {
        if (!m_factory)
            m_factory = CreateLibusbDfuTransportFactory(FakeApi());
        return m_factory->CreateTransport();
    }
    static std::vector<std::wstring> Names(IDfuTransport& t)
    {
        std::vector<SDfuDeviceEntry> found;
        EXPECT_EQ(t.Enumerate(found), EDfuIo::Ok);
        std::vector<std::wstring> names;
        for (const auto& e : found)
            names.push_back(e.name);
        return names;
    }

    SFakeLibusb m_fake;
    std::shared_ptr<IDfuTransportFactory> m_factory;
};
} // namespace

// The headset leaves and comes back as the DFU device after the program
// started: without udevd nothing tells the process's libusb of it.
TEST_F(DfuLibusbFake, ADeviceThatAppearsLaterIsFoundWithAndWithoutUdevd)
{
    for (const bool udevd : {true, false})
    {
        SCOPED_TRACE(udevd ? "udevd runs" : "no udevd");
        m_factory.reset();
        ASSERT_EQ(m_fake.inits, m_fake.exits);
        m_fake = SFakeLibusb();
        m_fake.announced = udevd;
        auto headset = m_fake.Plug(0x2C6D, 0x3240, {3}, 0); // HID mode: no DFU interface
        auto transport = Transport();
        EXPECT_TRUE(Names(*transport).empty());

        m_fake.Unplug(headset);
        auto dfu = m_fake.Plug(0x0A12, 0x0001, {3});
        EXPECT_EQ(Names(*transport), std::vector<std::wstring>{L"USB\\VID_0A12&PID_0001\\1-3"});
        ASSERT_EQ(transport->Open(L"USB\\VID_0A12&PID_0001\\1-3"), EDfuIo::Ok);
        SDfuDeviceIdentity id;
        ASSERT_EQ(transport->GetIdentity(&id), EDfuIo::Ok);
        EXPECT_EQ(id.idVendor, 0x0A12);

        // Gone again: a list of before must not offer it any more.
        transport->Close();
        m_fake.Unplug(dfu);
        EXPECT_TRUE(Names(*transport).empty());
        EXPECT_EQ(transport->Reopen(), EDfuIo::NoDevice);
    }
}

// A reset makes the device re-enumerate on the same port with a new address
// (and here a new identity): Reopen finds it there, also without udevd.
TEST_F(DfuLibusbFake, ReopenFindsTheDeviceBackOnItsPortAndTheHandleKeepsItsContext)
{
    m_fake.announced = false;
    auto transport = Transport();
    auto runtime = m_fake.Plug(0x0A12, 0x0042, {2, 4}, 1);
    ASSERT_EQ(transport->Open(L"USB\\VID_0A12&PID_0042\\1-2.4"), EDfuIo::Ok);
    SDfuDeviceIdentity id;
    ASSERT_EQ(transport->GetIdentity(&id), EDfuIo::Ok);
    EXPECT_TRUE(id.runtimeMode);
    // The contexts the looks made are gone but the one the handle needs.
    EXPECT_EQ(m_fake.inits - m_fake.exits, 2); // the factory's own and the handle's

    m_fake.Unplug(runtime);
    std::uint8_t status[6];
    std::size_t got = 0;
    EXPECT_EQ(transport->ControlIn(3, 0, status, sizeof status, &got, 100), EDfuIo::NoDevice);
    EXPECT_EQ(transport->Reopen(), EDfuIo::NoDevice); // not back yet
    m_fake.Plug(0x0A12, 0x0001, {2, 4}, 2);
    ASSERT_EQ(transport->Reopen(), EDfuIo::Ok);
    ASSERT_EQ(transport->GetIdentity(&id), EDfuIo::Ok);
    EXPECT_FALSE(id.runtimeMode);
    EXPECT_EQ(id.idProduct, 0x0001);
    EXPECT_EQ(transport->ControlIn(3, 0, status, sizeof status, &got, 100), EDfuIo::Ok);
    EXPECT_EQ(got, 6u);
    transport->Close();
    transport->Close();
    EXPECT_EQ(m_fake.inits - m_fake.exits, 1);
}

// Devices that do not open are left out of the list, and listed apart with
// the reason: no rights (the user needs the udev rules or the group), no
// driver (Windows needs the driver tool), or held by another program.
TEST_F(DfuLibusbFake, DevicesThatDoNotOpenAreListedApartWithTheReason)
{
    auto transport = Transport();
    m_fake.Plug(0x0A12, 0x0001, {1})->openError = LIBUSB_ERROR_ACCESS;
    m_fake.Plug(0x0A12, 0x0001, {2})->openError = LIBUSB_ERROR_NOT_SUPPORTED;
    m_fake.Plug(0x0A12, 0x0001, {3})->openError = LIBUSB_ERROR_BUSY;
    m_fake.Plug(0x0A12, 0x0001, {4});
    m_fake.Plug(0x1234, 0x5678, {5}, 0); // no DFU interface
    EXPECT_EQ(Names(*transport), std::vector<std::wstring>{L"USB\\VID_0A12&PID_0001\\1-4"});

    std::vector<SDfuDeviceEntry> refused;
    ASSERT_EQ(transport->EnumerateUnopenable(refused), EDfuIo::Ok);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].name, L"USB\\VID_0A12&PID_0001\\1-1");
    EXPECT_EQ(refused[0].access, EDfuAccess::Denied);
    EXPECT_EQ(refused[1].access, EDfuAccess::NoDriver);
    EXPECT_EQ(refused[2].access, EDfuAccess::Busy);
#ifdef __linux__
    EXPECT_EQ(refused[0].node, "/dev/bus/usb/001/002");
#endif
    EXPECT_EQ(transport->Open(L"USB\\VID_0A12&PID_0001\\1-1"), EDfuIo::Access);
    EXPECT_EQ(m_fake.handles, 0);
}

// Where libusb reads the system on every list (Windows), the one context of
// the factory serves every look.
TEST_F(DfuLibusbFake, WithoutHotplugOneContextServesEveryLook)
{
    m_fake.hotplug = false;
    m_fake.announced = false;
    auto transport = Transport();
    for (int i = 0; i < 5; ++i)
        Names(*transport);
    m_fake.Plug(0x0A12, 0x0001, {7});
    EXPECT_EQ(Names(*transport).size(), 1u);
    ASSERT_EQ(transport->Open(L"USB\\VID_0A12&PID_0001\\1-7"), EDfuIo::Ok);
    EXPECT_EQ(m_fake.inits, 1);
    transport->Close();
}
