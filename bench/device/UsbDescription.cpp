#include "bench/device/UsbDescription.h"

#include <algorithm>

namespace
{
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

constexpr std::uint8_t kEndpointDescriptorType = 5;
constexpr std::uint8_t kHidDescriptorType = 0x21;
constexpr std::uint8_t kReportDescriptorType = 0x22;
constexpr std::uint8_t kDfuFunctionalType = 0x21;
constexpr std::uint8_t kInterrupt = 3;
} // namespace

std::vector<std::uint8_t> MakeBenchReportDescriptor(std::uint16_t usagePage, std::uint16_t usage,
                                                    std::uint16_t inputLength, std::uint16_t outputLength,
                                                    std::uint16_t featureLength, std::uint8_t reportId)
{
    std::vector<std::uint8_t> d;
    d.push_back(0x06); // Usage Page (2 bytes)
    Put16(d, usagePage);
    d.push_back(0x0A); // Usage (2 bytes)
    Put16(d, usage);
    d.insert(d.end(), {0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08}); // App, logical 0..255, 8 bits
    if (reportId != 0)
        d.insert(d.end(), {0x85, reportId});
    auto main = [&d](std::uint8_t item, std::uint16_t length) {
        if (length < 2)
            return;
        d.push_back(0x09); // Usage 1
        d.push_back(0x01);
        d.push_back(0x96); // Report Count (2 bytes): the data bytes, without the ID byte
        Put16(d, static_cast<std::uint16_t>(length - 1));
        d.push_back(item);
        d.push_back(0x02);
    };
    main(0x81, inputLength);
    main(0x91, outputLength);
    main(0xB1, featureLength);
    d.push_back(0xC0);
    return d;
}

SBenchDevice MakeBenchHidDevice(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t usagePage,
                                std::uint16_t usage, std::uint16_t inputLength, std::uint16_t outputLength,
                                std::uint16_t featureLength)
{
    SBenchDevice device;
    device.vendorId = vendorId;
    device.productId = productId;
    device.manufacturer = L"Bench";
    device.product = L"Bench HID Device";
    SBenchHidInterface hid;
    hid.reportDescriptor = MakeBenchReportDescriptor(usagePage, usage, inputLength, outputLength, featureLength);
    device.hidInterfaces.push_back(hid);
    return device;
}

SBenchDevice MakeBenchHub(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t ports, std::uint8_t maxPower)
{
    SBenchDevice device;
    device.vendorId = vendorId;
    device.productId = productId;
    device.deviceClass = 9;
    device.speed = kUsbHighSpeed;
    device.maxPower = maxPower;
    device.hubPorts = ports;
    device.description = L"Generic USB Hub";
    device.product = L"USB2.0 Hub";
    return device;
}

std::vector<std::uint8_t> BuildBenchDeviceDescriptor(const SBenchDevice& device)
{
    if (!device.deviceDescriptor.empty())
        return device.deviceDescriptor;
    std::vector<std::uint8_t> d{18, kUsbDeviceDescriptorType};
    Put16(d, device.bcdUsb);
    d.push_back(device.deviceClass);
    d.push_back(0);
    d.push_back(device.hubPorts > 0 ? 1 : 0);
    d.push_back(64);
    Put16(d, device.vendorId);
    Put16(d, device.productId);
    Put16(d, device.bcdDevice);
    d.push_back(device.manufacturer.empty() ? 0 : 1);
    d.push_back(device.product.empty() ? 0 : 2);
    d.push_back(device.serialNumber.empty() ? 0 : 3);
    d.push_back(1);
    return d;
}

std::vector<std::uint8_t> BenchReportDescriptor(const SBenchHidInterface& hid)
{
    if (!hid.reportDescriptor.empty())
        return hid.reportDescriptor;
    const SHidCaps& c = hid.caps;
    if (hid.reportIds.empty())
        return MakeBenchReportDescriptor(c.usagePage, c.usage, c.inputReportByteLength, c.outputReportByteLength,
                                         c.featureReportByteLength);
    std::vector<std::uint8_t> d;
    d.push_back(0x06);
    Put16(d, c.usagePage);
    d.push_back(0x0A);
    Put16(d, c.usage);
    d.insert(d.end(), {0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    for (std::uint8_t id : hid.reportIds)
    {
        d.insert(d.end(), {0x85, id});
        const std::pair<std::uint8_t, std::uint16_t> mains[] = {
            {0x81, c.inputReportByteLength}, {0x91, c.outputReportByteLength}, {0xB1, c.featureReportByteLength}};
        for (const auto& [item, length] : mains)
        {
            if (length < 2)
                continue;
            d.insert(d.end(), {0x09, 0x01, 0x96});
            Put16(d, static_cast<std::uint16_t>(length - 1));
            d.insert(d.end(), {item, 0x02});
        }
    }
    d.push_back(0xC0);
    return d;
}

std::vector<std::uint8_t> BuildBenchHidDescriptor(const SBenchHidInterface& hid)
{
    std::vector<std::uint8_t> d{9, kHidDescriptorType, 0x11, 0x01, 0, 1, kReportDescriptorType};
    Put16(d, static_cast<std::uint16_t>(BenchReportDescriptor(hid).size()));
    return d;
}

std::vector<std::uint8_t> BenchOtherInterfaceNumbers(const SBenchDevice& device)
{
    std::vector<std::uint8_t> numbers;
    for (unsigned n = 0; numbers.size() < device.otherInterfaces && n < 255; ++n)
    {
        bool used = false;
        for (const SBenchHidInterface& hid : device.hidInterfaces)
            used = used || hid.interfaceNumber == n;
        if (!used)
            numbers.push_back(static_cast<std::uint8_t>(n));
    }
    return numbers;
}

std::vector<SBenchEndpoint> BenchEndpoints(const SBenchDevice& device)
{
    std::vector<SBenchEndpoint> endpoints;
    if (device.hubPorts > 0)
        return endpoints;
    std::uint8_t number = 1;
    for (std::size_t i = 0; i < device.hidInterfaces.size(); ++i)
    {
        endpoints.push_back({static_cast<std::uint8_t>(0x80 | number), i, 64});
        if (device.hidInterfaces[i].interruptOut)
            endpoints.push_back({number, i, 64});
        ++number;
    }
    return endpoints;
}

std::uint8_t BenchDfuInterfaceNumber(const SBenchDevice& device)
{
    std::uint8_t number = 0;
    for (const SBenchHidInterface& hid : device.hidInterfaces)
        number = std::max<std::uint8_t>(number, static_cast<std::uint8_t>(hid.interfaceNumber + 1));
    for (std::uint8_t other : BenchOtherInterfaceNumbers(device))
        number = std::max<std::uint8_t>(number, static_cast<std::uint8_t>(other + 1));
    return number;
}

std::vector<std::uint8_t> BuildBenchConfigDescriptor(const SBenchDevice& device)
{
    if (!device.configDescriptor.empty())
        return device.configDescriptor;
    std::vector<std::uint8_t> body;
    std::uint8_t count = 0;
    const std::vector<SBenchEndpoint> endpoints = BenchEndpoints(device);
    if (device.hubPorts > 0)
    {
        body.insert(body.end(), {9, kUsbInterfaceDescriptorType, 0, 0, 1, 9, 0, 0, 0});
        body.insert(body.end(), {7, kEndpointDescriptorType, 0x81, kInterrupt, 64, 0, 1});
        count = 1;
    }
    else
    {
        for (std::size_t i = 0; i < device.hidInterfaces.size(); ++i)
        {
            const SBenchHidInterface& hid = device.hidInterfaces[i];
            std::uint8_t endpointCount = 0;
            for (const SBenchEndpoint& e : endpoints)
                endpointCount = static_cast<std::uint8_t>(endpointCount + (e.hidIndex == i ? 1 : 0));
            body.insert(body.end(), {9, kUsbInterfaceDescriptorType, hid.interfaceNumber, 0, endpointCount, 3, 0, 0, 0});
            const std::vector<std::uint8_t> hidDescriptor = BuildBenchHidDescriptor(hid);
            body.insert(body.end(), hidDescriptor.begin(), hidDescriptor.end());
            for (const SBenchEndpoint& e : endpoints)
            {
                if (e.hidIndex != i)
                    continue;
                body.insert(body.end(), {7, kEndpointDescriptorType, e.address, kInterrupt});
                Put16(body, e.maxPacket);
                body.push_back(1); // bInterval: 1 ms
            }
            ++count;
        }
        std::uint8_t next = static_cast<std::uint8_t>(device.hidInterfaces.size() + 1);
        for (std::uint8_t number : BenchOtherInterfaceNumbers(device))
        {
            // An audio interface with its interrupt endpoint (no class-specific descriptors).
            body.insert(body.end(), {9, kUsbInterfaceDescriptorType, number, 0, 1, 1, 0, 0, 0});
            body.insert(body.end(), {7, kEndpointDescriptorType, static_cast<std::uint8_t>(0x80 | next++), kInterrupt, 64, 0, 1});
            ++count;
        }
        if (device.dfu.present)
        {
            body.insert(body.end(), {9, kUsbInterfaceDescriptorType, BenchDfuInterfaceNumber(device), 0, 0, 0xFE, 0x01,
                                     device.dfu.protocol, 0});
            body.insert(body.end(), {9, kDfuFunctionalType, device.dfu.bmAttributes});
            Put16(body, device.dfu.wDetachTimeOut);
            Put16(body, device.dfu.wTransferSize);
            Put16(body, device.dfu.bcdDFUVersion);
            ++count;
        }
    }
    std::vector<std::uint8_t> d{9, kUsbConfigurationDescriptorType};
    Put16(d, static_cast<std::uint16_t>(9 + body.size()));
    d.push_back(count);
    d.push_back(1);
    d.push_back(device.configurationString);
    d.push_back(device.maxPower == 0 ? 0xC0 : 0x80);
    d.push_back(device.maxPower);
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

bool BuildBenchStringDescriptor(const SBenchDevice& device, std::uint8_t index, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (index == 0)
    {
        if (device.languages.empty())
            return false;
        const std::size_t count = std::min<std::size_t>(device.languages.size(), 126);
        out.assign({static_cast<std::uint8_t>(2 + 2 * count), kUsbStringDescriptorType});
        for (std::size_t i = 0; i < count; ++i)
            Put16(out, device.languages[i]);
        return true;
    }
    std::wstring text;
    if (index == 1 && !device.manufacturer.empty())
        text = device.manufacturer;
    else if (index == 2 && !device.product.empty())
        text = device.product;
    else if (index == 3 && !device.serialNumber.empty())
        text = device.serialNumber;
    else
    {
        auto it = device.strings.find(index);
        if (it == device.strings.end())
            return false;
        text = it->second;
    }
    const std::size_t chars = std::min<std::size_t>(text.size(), 126);
    out.assign({static_cast<std::uint8_t>(2 + 2 * chars), kUsbStringDescriptorType});
    for (std::size_t i = 0; i < chars; ++i)
        Put16(out, static_cast<std::uint16_t>(text[i]));
    return true;
}
