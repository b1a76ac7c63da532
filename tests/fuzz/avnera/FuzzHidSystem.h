#pragma once
// A HID system with one device whose feature reports come from the fuzz
// input, for the fuzz targets of the Avnera host interface and upgraders.
// Writes are taken and dropped; every report read takes the next bytes of
// the input, either as they come (a whole report's worth) or as chunks of a
// length byte and that many bytes (the rest of the report reads 0).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidSystem.h"

enum class EFuzzReports
{
    Raw,     // each read takes a report's length - 1 bytes
    Chunked, // each read takes a length byte, then that many bytes
};

class CFuzzHidDevice : public IHidDevice
{
public:
    CFuzzHidDevice(const std::uint8_t* data, std::size_t size, std::uint16_t featureLength, std::uint16_t vendorId,
                   std::uint16_t productId, EFuzzReports reports)
        : m_data(data), m_size(size), m_featureLength(featureLength), m_vendorId(vendorId), m_productId(productId),
          m_reports(reports)
    {
    }
    std::uintptr_t GetHandleValue() const override { return 7; }
    bool IsOverlapped() const override { return true; }
    std::uint32_t GetAccess() const override { return kHidAccessReadWrite; }
    EHidResult GetAttributes(SHidAttributes& attributes) override
    {
        attributes.vendorId = m_vendorId;
        attributes.productId = m_productId;
        return EHidResult::Ok;
    }
    EHidResult GetCaps(SHidCaps& caps) override
    {
        caps.usagePage = 0xFF00;
        caps.usage = 0x0001;
        caps.featureReportByteLength = m_featureLength;
        return EHidResult::Ok;
    }
    EHidResult GetProductString(std::wstring& text) override
    {
        text = L"fuzz";
        return EHidResult::Ok;
    }
    EHidResult GetManufacturerString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetSerialNumberString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetIndexedString(std::uint32_t, std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult SetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (m_offset >= m_size || length < 1)
            return EHidResult::Failed;
        std::size_t n = length - 1;
        if (m_reports == EFuzzReports::Chunked)
        {
            n = m_data[m_offset++];
            std::memset(report + 1, 0, length - 1);
        }
        n = std::min({n, length - 1, m_size - m_offset});
        std::memcpy(report + 1, m_data + m_offset, n);
        m_offset += n;
        if (returned != nullptr)
            *returned = length;
        return EHidResult::Ok;
    }
    EHidResult WriteOutputReport(const std::uint8_t*, std::size_t, std::uint32_t, std::size_t*) override
    {
        return EHidResult::NotSupported;
    }
    EHidResult ReadInputReport(std::uint8_t*, std::size_t, std::uint32_t, std::size_t*) override
    {
        return EHidResult::NotSupported;
    }
    void Cancel() override {}
    void ResetCancel() override {}

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
    std::uint16_t m_featureLength;
    std::uint16_t m_vendorId;
    std::uint16_t m_productId;
    EFuzzReports m_reports;
};

class CFuzzHidSystem : public IHidSystem
{
public:
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint16_t featureLength = 263;
    std::uint16_t vendorId = 0x170D;
    std::uint16_t productId = 0xFE00;
    EFuzzReports reports = EFuzzReports::Raw;

    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        wchar_t path[96];
        std::swprintf(path, sizeof path / sizeof path[0],
                      L"\\\\?\\hid#vid_%04x&pid_%04x#fuzz#{4d1e55b2-f16f-11cf-88cb-001111000030}", vendorId, productId);
        paths = {path};
        return EHidResult::Ok;
    }
    EHidResult Open(const std::wstring&, const SHidOpenOptions&, CHidDevicePtr& device) override
    {
        device = std::make_unique<CFuzzHidDevice>(data, size, featureLength, vendorId, productId, reports);
        return EHidResult::Ok;
    }
    EHidResult GetUsbDeviceInstanceId(const std::wstring&, std::wstring&) override { return EHidResult::NotSupported; }
};
