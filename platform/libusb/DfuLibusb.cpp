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
// contract; libusb's own errors are mapped to EDfuIo.
#include "platform/DfuTransport.h"

#if defined(ORVO_HAVE_LIBUSB)

#include <libusb.h>

#include <cstdio>

#include "platform/Clock.h"

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

// One libusb context for the process, shared by every transport.
class CLibusbContext
{
public:
    CLibusbContext()
    {
        // Under wine or without the USB stack this fails; the transport then
        // sees no devices.
        if (libusb_init(&m_context) != 0)
            m_context = nullptr;
    }
    ~CLibusbContext()
    {
        if (m_context)
            libusb_exit(m_context);
    }
    CLibusbContext(const CLibusbContext&) = delete;
    CLibusbContext& operator=(const CLibusbContext&) = delete;
    libusb_context* Get() const { return m_context; }

private:
    libusb_context* m_context = nullptr;
};

struct SDeviceList
{
    libusb_device** list = nullptr;
    ssize_t count = 0;
    explicit SDeviceList(libusb_context* context)
    {
        if (context)
            count = libusb_get_device_list(context, &list);
        if (count < 0)
            count = 0;
    }
    ~SDeviceList()
    {
        if (list)
            libusb_free_device_list(list, 1);
    }
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

bool FindDfuInterface(libusb_device* device, SDfuInterfaceInfo* info)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
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
    libusb_free_config_descriptor(config);
    return found;
}

std::string Location(libusb_device* device)
{
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof(ports));
    std::string location = std::to_string(libusb_get_bus_number(device));
    if (n <= 0)
        return location + "-d" + std::to_string(libusb_get_device_address(device));
    for (int i = 0; i < n; ++i)
    {
        location += (i == 0 ? "-" : ".");
        location += std::to_string(ports[i]);
    }
    return location;
}

class CLibusbTransport : public IDfuTransport
{
public:
    explicit CLibusbTransport(std::shared_ptr<CLibusbContext> context) : m_context(std::move(context)) {}
    ~CLibusbTransport() override { Close(); }

    EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& names) override
    {
        names.clear();
        SDeviceList devices(m_context->Get());
        for (ssize_t i = 0; i < devices.count; ++i)
        {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(devices.list[i], &desc) != 0)
                continue;
            SDfuInterfaceInfo info;
            if (!FindDfuInterface(devices.list[i], &info))
                continue;
            // Only devices this host can open count: one without its driver
            // (or without access rights) is not there until the driver-update
            // tool has installed what it needs.
            libusb_device_handle* probe = nullptr;
            if (libusb_open(devices.list[i], &probe) != 0)
                continue;
            libusb_close(probe);
            names.push_back({MakeDfuDeviceName(desc.idVendor, desc.idProduct, Location(devices.list[i])), info.runtime});
        }
        return EDfuIo::Ok;
    }

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
        SDeviceList devices(m_context->Get());
        for (ssize_t i = 0; i < devices.count; ++i)
        {
            if (Location(devices.list[i]) != m_location)
                continue;
            SDfuInterfaceInfo info;
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(devices.list[i], &desc) != 0 || !FindDfuInterface(devices.list[i], &info))
                return EDfuIo::NoDevice;
            libusb_device_handle* handle = nullptr;
            const int rc = libusb_open(devices.list[i], &handle);
            if (rc != 0)
                return FromLibusb(rc);
            libusb_set_auto_detach_kernel_driver(handle, 1); // LIBUSB_ERROR_NOT_SUPPORTED where there is none
            const int claim = libusb_claim_interface(handle, info.interfaceNumber);
            if (claim != 0)
            {
                libusb_close(handle);
                return FromLibusb(claim);
            }
            if (info.altSetting != 0)
                libusb_set_interface_alt_setting(handle, info.interfaceNumber, info.altSetting);
            m_handle = handle;
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
        if (!m_handle)
            return;
        libusb_release_interface(m_handle, m_info.interfaceNumber);
        libusb_close(m_handle);
        m_handle = nullptr;
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
        const int rc = libusb_control_transfer(
            m_handle, kClassOut, request, value,
            static_cast<std::uint16_t>(m_info.interfaceNumber), copy.empty() ? nullptr : copy.data(),
            static_cast<std::uint16_t>(length), RealTimeout(timeoutMs));
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
        const int rc = libusb_control_transfer(
            m_handle, kClassIn, request, value,
            static_cast<std::uint16_t>(m_info.interfaceNumber), data, static_cast<std::uint16_t>(capacity),
            RealTimeout(timeoutMs));
        if (rc < 0)
            return FromLibusb(rc);
        *received = static_cast<std::size_t>(rc) <= capacity ? static_cast<std::size_t>(rc) : capacity;
        return EDfuIo::Ok;
    }

    EDfuIo Reset() override
    {
        if (!m_handle)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        const int rc = libusb_reset_device(m_handle);
        if (rc == 0)
            return EDfuIo::Ok;
        // NOT_FOUND: the device re-enumerates as another device; the handle is spent.
        const EDfuIo io = FromLibusb(rc);
        if (io == EDfuIo::NoDevice)
        {
            libusb_close(m_handle);
            m_handle = nullptr;
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

    std::shared_ptr<CLibusbContext> m_context;
    libusb_device_handle* m_handle = nullptr;
    std::string m_location;
    SDfuInterfaceInfo m_info;
    SDfuDeviceIdentity m_identity;
};

class CLibusbFactory : public IDfuTransportFactory
{
public:
    std::unique_ptr<IDfuTransport> CreateTransport() override
    {
        return std::make_unique<CLibusbTransport>(m_context);
    }

private:
    std::shared_ptr<CLibusbContext> m_context = std::make_shared<CLibusbContext>();
};
} // namespace

std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory()
{
    return std::make_shared<CLibusbFactory>();
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
