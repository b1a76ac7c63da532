#include "families/tavik/HidControl.h"

#include <cstdio>
#include <cwchar>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"

namespace
{
constexpr std::uint8_t kReportNumber = 0x02;
constexpr std::uint8_t kVersionReplyTag = 0x33;
constexpr std::size_t kReplyBufferSize = 256;
constexpr int kVersionReadAttempts = 5;
constexpr std::uint32_t kVersionReadPauseMs = 500;

void PrintDevice(const SHidApiDeviceInfo& d)
{
    std::printf("Device Found\n  type: %04hx %04hx\n  path: %s\n  serial_number: %ls\n", d.vendorId, d.productId,
                d.path.c_str(), d.serialNumber.c_str());
    std::printf("  Manufacturer: %ls\n", d.manufacturer.c_str());
    std::printf("  Product:      %ls\n", d.product.c_str());
    std::printf("  Release:      %hx\n", d.releaseNumber);
    std::printf("  Interface:    %d\n\n", d.interfaceNumber);
}

// Inserts like a string class that clamps the position to the end.
void InsertAt(std::string& text, std::size_t position, char c)
{
    text.insert(position > text.size() ? text.size() : position, 1, c);
}
} // namespace

bool ParseTavikVersionReply(const std::uint8_t* reply, int count, std::string* out)
{
    // A reply needs the tag and all four digits; a shorter one is not read
    // from whatever the buffer held before.
    if (reply == nullptr || out == nullptr || count < 6 || reply[1] != kVersionReplyTag)
        return false;
    const unsigned value = static_cast<unsigned>(reply[2]) | (static_cast<unsigned>(reply[3]) << 4) |
                           (static_cast<unsigned>(reply[4]) << 8) | (static_cast<unsigned>(reply[5]) << 12);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", value);
    std::string text = hex;
    if (text.size() == 3)
        text.insert(0, "0");
    else if (text.size() == 2)
        text.insert(0, "00");
    InsertAt(text, 3, '.');
    InsertAt(text, 1, '.');
    *out = text;
    return true;
}

CHidControl::CHidControl(std::uint16_t productId, std::uint16_t vendorId, IHidApi& hidApi)
    : m_vendorId(vendorId), m_productId(productId), m_hidApi(hidApi)
{
}

CHidControl::~CHidControl()
{
    m_device.reset();
    m_hidApi.Exit();
}

std::uint32_t CHidControl::CountDevices()
{
    m_deviceCount = 0;
    for (const SHidApiDeviceInfo& d : m_hidApi.Enumerate(m_vendorId, m_productId))
    {
        PrintDevice(d);
        ++m_deviceCount;
    }
    std::fflush(stdout);
    return m_deviceCount;
}

bool CHidControl::Open()
{
    m_device.reset();
    m_device = m_hidApi.Open(m_vendorId, m_productId, nullptr);
    // The library opens the first device it lists with the identifiers.
    const std::vector<SHidApiDeviceInfo> listed = m_hidApi.Enumerate(m_vendorId, m_productId);
    m_path = listed.empty() ? std::string() : listed.front().path;
    if (!m_device)
    {
        // The library does not say why; the system does.
        m_openResult = m_path.empty() ? EHidResult::NoDevice : m_hidApi.ProbeOpen(m_path);
        std::printf("unable to open device\n");
        std::fflush(stdout);
        return false;
    }
    m_openResult = EHidResult::Ok;
    m_device->SetNonblocking(true);
    return true;
}

bool CHidControl::GetProductString(wchar_t* buffer)
{
    if (buffer == nullptr)
        return false;
    if (!m_device && !Open())
        return false;
    wchar_t product[256] = {};
    if (m_device->GetProductString(product, 255) != 0)
        return false;
    product[255] = L'\0';
    std::wcsncpy(buffer, product, kProductNameChars - 1);
    buffer[kProductNameChars - 1] = L'\0';
    return true;
}

bool CHidControl::GetFirmwareVersion(std::string* out)
{
    if (!m_device)
        return false;
    const std::uint8_t query[5] = {kReportNumber, 0x32, 0x33, 0x00, 0x00};
    if (m_device->Write(query, sizeof query) < 0)
    {
        std::printf("Unable to write() (2)\n");
        std::fflush(stdout);
        return false;
    }
    std::uint8_t reply[kReplyBufferSize] = {};
    int count = 0;
    for (int attempt = 0; attempt < kVersionReadAttempts; ++attempt)
    {
        count = m_device->Read(reply, sizeof reply);
        CClock::Sleep(kVersionReadPauseMs);
        if (count != 0)
            break;
    }
    if (count == 0)
        return false;
    return ParseTavikVersionReply(reply, count, out);
}

bool CHidControl::EnterDFUMode()
{
    if (!m_device)
        return false;
    std::uint8_t command[17] = {kReportNumber, 0x01, 0x01};
    if (m_device->Write(command, sizeof command) < 0)
    {
        std::printf("Unable to write() (2)\n");
        std::fflush(stdout);
        return false;
    }
    return true;
}

TavikHIDHelper::TavikHIDHelper()
{
    LogPrintf("TavikHIDHelper::TavikHIDHelper\n");
}

TavikHIDHelper::~TavikHIDHelper()
{
    LogPrintf("TavikHIDHelper::~TavikHIDHelper\n");
    TavikHIDHelper::Close();
    LogPrintf("TavikHIDHelper::~TavikHIDHelper - END\n");
}

void TavikHIDHelper::Close()
{
    StopHIDInterruptThread();
    m_deviceOpen = false;
}

void TavikHIDHelper::StopHIDInterruptThread()
{
    LogPrintf("CVHIDHelper::StopHIDInterruptThread\n");
    m_threadRunning = false;
}
