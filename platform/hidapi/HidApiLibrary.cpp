// IHidApi on the hidapi library. hidapi is portable, so one backend serves
// both systems; the build links the right library.
#include <hidapi.h>

#include <climits>
#include <cwchar>

#include "platform/Clock.h"
#include "platform/HidApi.h"

namespace
{
// hidapi leaves the text unterminated when it fills the whole buffer.
int Terminated(int rc, wchar_t* text, std::size_t maxChars)
{
    if (text != nullptr && maxChars > 0)
        text[maxChars - 1] = L'\0';
    return rc;
}

class CHidApiLibraryDevice : public IHidApiDevice
{
public:
    explicit CHidApiLibraryDevice(hid_device* device) : m_device(device) {}
    ~CHidApiLibraryDevice() override { hid_close(m_device); }

    int Write(const std::uint8_t* data, std::size_t length) override { return hid_write(m_device, data, length); }
    int Read(std::uint8_t* data, std::size_t length) override { return hid_read(m_device, data, length); }
    int ReadTimeout(std::uint8_t* data, std::size_t length, int milliseconds) override
    {
        const int real = milliseconds < 0 ? -1 : static_cast<int>(CClock::ToRealMilliseconds(static_cast<std::uint32_t>(milliseconds)));
        return hid_read_timeout(m_device, data, length, real);
    }
    int SetNonblocking(bool nonblocking) override { return hid_set_nonblocking(m_device, nonblocking ? 1 : 0); }
    int SendFeatureReport(const std::uint8_t* data, std::size_t length) override
    {
        return hid_send_feature_report(m_device, data, length);
    }
    int GetFeatureReport(std::uint8_t* data, std::size_t length) override
    {
        return hid_get_feature_report(m_device, data, length);
    }
    int GetManufacturerString(wchar_t* text, std::size_t maxChars) override
    {
        return Terminated(hid_get_manufacturer_string(m_device, text, maxChars), text, maxChars);
    }
    int GetProductString(wchar_t* text, std::size_t maxChars) override
    {
        return Terminated(hid_get_product_string(m_device, text, maxChars), text, maxChars);
    }
    int GetSerialNumberString(wchar_t* text, std::size_t maxChars) override
    {
        return Terminated(hid_get_serial_number_string(m_device, text, maxChars), text, maxChars);
    }
    int GetIndexedString(int index, wchar_t* text, std::size_t maxChars) override
    {
        return Terminated(hid_get_indexed_string(m_device, index, text, maxChars), text, maxChars);
    }
    std::wstring Error() override
    {
        const wchar_t* e = hid_error(m_device);
        return e != nullptr ? std::wstring(e) : std::wstring();
    }

private:
    hid_device* m_device;
};

std::wstring Wide(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

class CHidApiLibrary : public IHidApi
{
public:
    int Init() override { return hid_init(); }
    int Exit() override { return hid_exit(); }

    std::vector<SHidApiDeviceInfo> Enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        std::vector<SHidApiDeviceInfo> result;
        hid_device_info* list = hid_enumerate(vendorId, productId);
        for (hid_device_info* d = list; d != nullptr; d = d->next)
        {
            SHidApiDeviceInfo info;
            info.path = d->path != nullptr ? d->path : "";
            info.vendorId = d->vendor_id;
            info.productId = d->product_id;
            info.serialNumber = Wide(d->serial_number);
            info.releaseNumber = d->release_number;
            info.manufacturer = Wide(d->manufacturer_string);
            info.product = Wide(d->product_string);
            info.usagePage = d->usage_page;
            info.usage = d->usage;
            info.interfaceNumber = d->interface_number;
            result.push_back(std::move(info));
        }
        hid_free_enumeration(list);
        return result;
    }

    std::unique_ptr<IHidApiDevice> Open(std::uint16_t vendorId, std::uint16_t productId,
                                        const wchar_t* serialNumber) override
    {
        hid_device* device = hid_open(vendorId, productId, serialNumber);
        return device != nullptr ? std::make_unique<CHidApiLibraryDevice>(device) : nullptr;
    }

    std::unique_ptr<IHidApiDevice> OpenPath(const std::string& path) override
    {
        hid_device* device = hid_open_path(path.c_str());
        return device != nullptr ? std::make_unique<CHidApiLibraryDevice>(device) : nullptr;
    }

    EHidResult ProbeOpen(const std::string& path) override { return ProbeHidPathOpen(path); }
    std::string UsbPortLocation(const std::string& path) override { return HidPathUsbPortLocation(path); }
};
} // namespace

std::unique_ptr<IHidApi> CreateHidApiLibrary()
{
    return std::make_unique<CHidApiLibrary>();
}
