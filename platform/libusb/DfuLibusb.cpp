// The DFU port over libusb, one backend for both systems (Linux: Debian's
// libusb; Windows: the static libusb that ./run setup builds, reaching devices
// bound to WinUSB). Thin: finds DFU interfaces, carries class requests,
// resets; the DFU protocol itself lives in dfu/.
//
// Device names carry the bus number and port path as location ("3-1.4"), so
// a device that re-enumerates with a new product identifier is found again
// by Reopen. On Linux kernel drivers bound to the DFU interface are detached
// while it is claimed (libusb's auto-detach; other systems do not support it
// and ignore the request). On Windows a device without a WinUSB binding cannot be opened (Access: the
// driver-update tool installs one). When libusb cannot start (as under wine)
// enumeration finds nothing and every open reports NoDevice. All calls follow the IDfuTransport
// contract; libusb's own errors are mapped to EDfuIo (and, for devices that
// do not open, to EDfuAccess). The libusb calls go through SLibusbApi
// (LibusbApi.h), so the tests can stand in for the library.
#include "platform/DfuTransport.h"

#if defined(ORVO_HAVE_LIBUSB)

#include <cstdio>

#include "platform/Clock.h"
#include "platform/libusb/LibusbApi.h"

namespace
{
// bmRequestType of DFU class requests to an interface.
constexpr std::uint8_t kClassOut = 0x21;
constexpr std::uint8_t kClassIn = 0xA1;

EDfuIo FromLibusb(int rc)
{
    if (rc >= 0)
        return EDfuIo::Ok;
    switch (rc)
    {
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return EDfuIo::NoDevice;
    case LIBUSB_ERROR_PIPE:
        return EDfuIo::Stall;
    case LIBUSB_ERROR_TIMEOUT:
        return EDfuIo::Timeout;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return EDfuIo::Access;
    case LIBUSB_ERROR_INVALID_PARAM:
        return EDfuIo::InvalidArg;
    default:
        return EDfuIo::Io;
    }
}

// Why an open failed, for a device that is there.
EDfuAccess AccessFromLibusb(int rc)
{
    switch (rc)
    {
    case LIBUSB_SUCCESS:
        return EDfuAccess::Granted;
    case LIBUSB_ERROR_ACCESS:
        return EDfuAccess::Denied;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return EDfuAccess::NoDriver;
    case LIBUSB_ERROR_BUSY:
        return EDfuAccess::Busy;
    default:
        return EDfuAccess::Failed;
    }
}

// One libusb context.
class CLibusbContext
{
public:
    explicit CLibusbContext(const SLibusbApi& api) : m_api(api)
    {
        // Under wine or without the USB stack this fails; the transport then
        // sees no devices.
        if (m_api.init(&m_context) != 0)
            m_context = nullptr;
    }
    ~CLibusbContext()
    {
        if (m_context)
            m_api.exit(m_context);
    }
    CLibusbContext(const CLibusbContext&) = delete;
    CLibusbContext& operator=(const CLibusbContext&) = delete;
    libusb_context* Get() const { return m_context; }

private:
    const SLibusbApi& m_api;
    libusb_context* m_context = nullptr;
};

// Where the contexts of the looks come from.
//
// Linux's libusb (built with udev, as Debian builds it) keeps a context's
// device list from udev's events: it reads the devices from sysfs when the
// context is made and afterwards learns of new and removed devices only from
// udevd. Without udevd (containers, minimal and live systems) a context
// never sees the DFU device that appears after the headset left, and keeps
// listing devices that are gone. Every look therefore takes a new context,
// whose list is read from the system when it is made; the first context
// lives as long as the factory, so libusb's hotplug monitor is not started
// and stopped for every look. Where libusb has no hotplug (Windows), its
// list is read afresh on every call and the one context serves every look.
class CLibusbContexts
{
public:
    explicit CLibusbContexts(const SLibusbApi& api)
        : m_api(api), m_process(std::make_shared<CLibusbContext>(m_api)),
          m_freshPerLook(m_api.has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0)
    {
    }
    std::shared_ptr<CLibusbContext> ForLook() const
    {
        return m_freshPerLook ? std::make_shared<CLibusbContext>(m_api) : m_process;
    }
    const SLibusbApi& Api() const { return m_api; }

private:
    const SLibusbApi m_api;
    std::shared_ptr<CLibusbContext> m_process;
    const bool m_freshPerLook;
};

struct SDeviceList
{
    const SLibusbApi& api;
    libusb_device** list = nullptr;
    ssize_t count = 0;
    SDeviceList(const SLibusbApi& a, libusb_context* context) : api(a)
    {
        if (context)
            count = api.get_device_list(context, &list);
        if (count < 0)
            count = 0;
    }
    ~SDeviceList()
    {
        if (list)
            api.free_device_list(list, 1);
    }
    SDeviceList(const SDeviceList&) = delete;
    SDeviceList& operator=(const SDeviceList&) = delete;
};

struct SDfuInterfaceInfo
{
    int interfaceNumber = -1;
    int altSetting = 0;
    bool runtime = false;
    std::vector<std::uint8_t> functional;
};

// Walks descriptor bytes (untrusted) for the DFU functional descriptor.
bool FindFunctional(const unsigned char* extra, int length, std::vector<std::uint8_t>* out)
{
    if (!extra || length <= 0)
        return false;
    int pos = 0;
    while (pos + 2 <= length)
    {
        const int size = extra[pos];
        if (size < 2 || pos + size > length)
            return false;
        if (extra[pos + 1] == 0x21)
        {
            out->assign(extra + pos, extra + pos + size);
            return true;
        }
        pos += size;
    }
    return false;
}

bool FindDfuInterface(const SLibusbApi& api, libusb_device* device, SDfuInterfaceInfo* info)
{
    libusb_config_descriptor* config = nullptr;
    if (api.get_active_config_descriptor(device, &config) != 0 && api.get_config_descriptor(device, 0, &config) != 0)
        return false;
    if (config == nullptr)
        return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i)
    {
        const libusb_interface& intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting && !found; ++a)
        {
            const libusb_interface_descriptor& alt = intf.altsetting[a];
            if (alt.bInterfaceClass != 0xFE || alt.bInterfaceSubClass != 0x01)
                continue;
            found = true;
            info->interfaceNumber = alt.bInterfaceNumber;
            info->altSetting = alt.bAlternateSetting;
            info->runtime = alt.bInterfaceProtocol == 1;
            if (!FindFunctional(alt.extra, alt.extra_length, &info->functional))
                FindFunctional(config->extra, config->extra_length, &info->functional);
        }
    }
    api.free_config_descriptor(config);
    return found;
}

std::string Location(const SLibusbApi& api, libusb_device* device)
{
    std::uint8_t ports[8];
    const int n = api.get_port_numbers(device, ports, sizeof(ports));
    std::string location = std::to_string(api.get_bus_number(device));
    if (n <= 0)
        return location + "-d" + std::to_string(api.get_device_address(device));
    for (int i = 0; i < n; ++i)
    {
        location += (i == 0 ? "-" : ".");
        location += std::to_string(ports[i]);
    }
    return location;
}

// The device's node, for messages.
std::string Node(const SLibusbApi& api, libusb_device* device)
{
#if defined(__linux__)
    char node[40];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(api.get_bus_number(device)),
                  static_cast<unsigned>(api.get_device_address(device)));
    return node;
#else
    (void)api;
    (void)device;
    return {};
#endif
}

class CLibusbTransport : public IDfuTransport
{
public:
    explicit CLibusbTransport(std::shared_ptr<CLibusbContexts> contexts)
        : m_contexts(std::move(contexts)), m_api(m_contexts->Api())
    {
    }
    ~CLibusbTransport() override { Close(); }

    EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& names) override { return List(names, true); }

    EDfuIo EnumerateUnopenable(std::vector<SDfuDeviceEntry>& names) override { return List(names, false); }

    EDfuIo Open(const std::wstring& name) override
    {
        Close();
        std::string location;
        if (!ParseDfuDeviceName(name, nullptr, nullptr, &location))
            return EDfuIo::NoDevice;
        m_location = location;
        return Reopen();
    }

    EDfuIo Reopen() override
    {
        Close();
        if (m_location.empty())
            return EDfuIo::InvalidArg;
        std::shared_ptr<CLibusbContext> context = m_contexts->ForLook();
        SDeviceList devices(m_api, context->Get());
        for (ssize_t i = 0; i < devices.count; ++i)
        {
            if (Location(m_api, devices.list[i]) != m_location)
                continue;
            SDfuInterfaceInfo info;
            libusb_device_descriptor desc;
            if (m_api.get_device_descriptor(devices.list[i], &desc) != 0 ||
                !FindDfuInterface(m_api, devices.list[i], &info))
                return EDfuIo::NoDevice;
            libusb_device_handle* handle = nullptr;
            const int rc = m_api.open(devices.list[i], &handle);
            if (rc != 0)
                return FromLibusb(rc);
            m_api.set_auto_detach_kernel_driver(handle, 1); // LIBUSB_ERROR_NOT_SUPPORTED where there is none
            const int claim = m_api.claim_interface(handle, info.interfaceNumber);
            if (claim != 0)
            {
                m_api.close(handle);
                return FromLibusb(claim);
            }
            if (info.altSetting != 0)
                m_api.set_interface_alt_setting(handle, info.interfaceNumber, info.altSetting);
            m_handle = handle;
            m_handleContext = context; // the handle must not outlive its context
            m_info = info;
            m_identity.idVendor = desc.idVendor;
            m_identity.idProduct = desc.idProduct;
            m_identity.bcdDevice = desc.bcdDevice;
            m_identity.runtimeMode = info.runtime;
            return EDfuIo::Ok;
        }
        return EDfuIo::NoDevice;
    }

    void Close() override
    {
        if (m_handle)
        {
            m_api.release_interface(m_handle, m_info.interfaceNumber);
            m_api.close(m_handle);
            m_handle = nullptr;
        }
        m_handleContext.reset();
    }

    EDfuIo GetIdentity(SDfuDeviceIdentity* identity) override
    {
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        *identity = m_identity;
        return EDfuIo::Ok;
    }

    EDfuIo GetFunctionalDescriptor(std::vector<std::uint8_t>& descriptor) override
    {
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        descriptor = m_info.functional;
        return EDfuIo::Ok;
    }

    EDfuIo ControlOut(std::uint8_t request, std::uint16_t value, const std::uint8_t* data, std::size_t length,
                      std::uint32_t timeoutMs) override
    {
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        if (length > 0xFFFF || (length && !data))
            return EDfuIo::InvalidArg;
        // libusb wants a writable buffer even for OUT transfers.
        std::vector<unsigned char> copy(data, data + length);
        const int rc = m_api.control_transfer(m_handle, kClassOut, request, value,
                                              static_cast<std::uint16_t>(m_info.interfaceNumber),
                                              copy.empty() ? nullptr : copy.data(), static_cast<std::uint16_t>(length),
                                              RealTimeout(timeoutMs));
        if (rc < 0)
            return FromLibusb(rc);
        return static_cast<std::size_t>(rc) == length ? EDfuIo::Ok : EDfuIo::Io;
    }

    EDfuIo ControlIn(std::uint8_t request, std::uint16_t value, std::uint8_t* data, std::size_t capacity,
                     std::size_t* received, std::uint32_t timeoutMs) override
    {
        *received = 0;
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        if (capacity > 0xFFFF || (capacity && !data))
            return EDfuIo::InvalidArg;
        const int rc = m_api.control_transfer(m_handle, kClassIn, request, value,
                                              static_cast<std::uint16_t>(m_info.interfaceNumber), data,
                                              static_cast<std::uint16_t>(capacity), RealTimeout(timeoutMs));
        if (rc < 0)
            return FromLibusb(rc);
        *received = static_cast<std::size_t>(rc) <= capacity ? static_cast<std::size_t>(rc) : capacity;
        return EDfuIo::Ok;
    }

    EDfuIo Reset() override
    {
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        const int rc = m_api.reset_device(m_handle);
        if (rc == 0)
            return EDfuIo::Ok;
        // NOT_FOUND: the device re-enumerates as another device; the handle is spent.
        const EDfuIo io = FromLibusb(rc);
        if (io == EDfuIo::NoDevice)
        {
            m_api.close(m_handle);
            m_handle = nullptr;
            m_handleContext.reset();
        }
        return io;
    }

private:
    static unsigned int RealTimeout(std::uint32_t timeoutMs)
    {
        // libusb's 0 means "no limit": never hand it a zero.
        const std::uint32_t real = CClock::ToRealMilliseconds(timeoutMs == 0 ? 1 : timeoutMs);
        return real == 0 || real == kInfinite ? 60000u : real;
    }

    // The DFU-capable devices present now: those that open (openable) or
    // those that do not, with the reason.
    EDfuIo List(std::vector<SDfuDeviceEntry>& names, bool openable)
    {
        names.clear();
        std::shared_ptr<CLibusbContext> context = m_contexts->ForLook();
        SDeviceList devices(m_api, context->Get());
        for (ssize_t i = 0; i < devices.count; ++i)
        {
            libusb_device* device = devices.list[i];
            libusb_device_descriptor desc;
            if (m_api.get_device_descriptor(device, &desc) != 0)
                continue;
            SDfuInterfaceInfo info;
            if (!FindDfuInterface(m_api, device, &info))
                continue;
            // Only devices this host can open count: one without its driver
            // (or without access rights) is not there until the driver-update
            // tool has installed what it needs.
            libusb_device_handle* probe = nullptr;
            const int rc = m_api.open(device, &probe);
            if (rc == 0)
                m_api.close(probe);
            // A device that left between the listing and the open is no device.
            if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_NOT_FOUND || (rc == 0) != openable)
                continue;
            SDfuDeviceEntry entry;
            entry.name = MakeDfuDeviceName(desc.idVendor, desc.idProduct, Location(m_api, device));
            entry.runtimeMode = info.runtime;
            entry.access = AccessFromLibusb(rc);
            entry.node = Node(m_api, device);
            names.push_back(std::move(entry));
        }
        return EDfuIo::Ok;
    }

    std::shared_ptr<CLibusbContexts> m_contexts;
    const SLibusbApi& m_api;
    std::shared_ptr<CLibusbContext> m_handleContext; // the context m_handle was opened through
    libusb_device_handle* m_handle = nullptr;
    std::string m_location;
    SDfuInterfaceInfo m_info;
    SDfuDeviceIdentity m_identity;
};

class CLibusbFactory : public IDfuTransportFactory
{
public:
    explicit CLibusbFactory(const SLibusbApi& api) : m_contexts(std::make_shared<CLibusbContexts>(api)) {}
    std::unique_ptr<IDfuTransport> CreateTransport() override
    {
        return std::make_unique<CLibusbTransport>(m_contexts);
    }

private:
    std::shared_ptr<CLibusbContexts> m_contexts;
};
} // namespace

SLibusbApi SLibusbApi::Library()
{
    SLibusbApi api;
    api.init = libusb_init;
    api.exit = libusb_exit;
    api.has_capability = libusb_has_capability;
    api.get_device_list = libusb_get_device_list;
    api.free_device_list = libusb_free_device_list;
    api.get_device_descriptor = libusb_get_device_descriptor;
    api.get_active_config_descriptor = libusb_get_active_config_descriptor;
    api.get_config_descriptor = libusb_get_config_descriptor;
    api.free_config_descriptor = libusb_free_config_descriptor;
    api.get_port_numbers = libusb_get_port_numbers;
    api.get_bus_number = libusb_get_bus_number;
    api.get_device_address = libusb_get_device_address;
    api.open = libusb_open;
    api.close = libusb_close;
    api.set_auto_detach_kernel_driver = libusb_set_auto_detach_kernel_driver;
    api.claim_interface = libusb_claim_interface;
    api.release_interface = libusb_release_interface;
    api.set_interface_alt_setting = libusb_set_interface_alt_setting;
    api.control_transfer = libusb_control_transfer;
    api.reset_device = libusb_reset_device;
    return api;
}

std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory(const SLibusbApi& api)
{
    return std::make_shared<CLibusbFactory>(api);
}

std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory()
{
    return CreateLibusbDfuTransportFactory(SLibusbApi::Library());
}

#else // no libusb for this target: a transport that finds nothing

namespace
{
class CNoUsbTransport : public IDfuTransport
{
public:
    EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& names) override
    {
        names.clear();
        return EDfuIo::Ok;
    }
    EDfuIo Open(const std::wstring&) override { return EDfuIo::NoDevice; }
    EDfuIo Reopen() override { return EDfuIo::NoDevice; }
    void Close() override {}
    EDfuIo GetIdentity(SDfuDeviceIdentity*) override { return EDfuIo::NoDevice; }
    EDfuIo GetFunctionalDescriptor(std::vector<std::uint8_t>&) override { return EDfuIo::NoDevice; }
    EDfuIo ControlOut(std::uint8_t, std::uint16_t, const std::uint8_t*, std::size_t, std::uint32_t) override
    {
        return EDfuIo::NoDevice;
    }
    EDfuIo ControlIn(std::uint8_t, std::uint16_t, std::uint8_t*, std::size_t, std::size_t* received,
                     std::uint32_t) override
    {
        *received = 0;
        return EDfuIo::NoDevice;
    }
    EDfuIo Reset() override { return EDfuIo::NoDevice; }
};

class CNoUsbFactory : public IDfuTransportFactory
{
public:
    std::unique_ptr<IDfuTransport> CreateTransport() override { return std::make_unique<CNoUsbTransport>(); }
};
} // namespace

std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory()
{
    return std::make_shared<CNoUsbFactory>();
}

#endif
