#include "bench/tavik/BenchHidApi.h"

#include <cwchar>

#include "platform/Clock.h"

namespace
{
class CBenchHidDevice : public IHidApiDevice
{
public:
    CBenchHidDevice(IBenchHidFace& face, std::string path) : m_face(face), m_path(std::move(path)) {}

    int Write(const std::uint8_t* data, std::size_t length) override
    {
        return Present() ? m_face.OnOutputReport(data, length) : -1;
    }
    int Read(std::uint8_t* data, std::size_t length) override
    {
        return ReadTimeout(data, length, m_nonblocking ? 0 : -1);
    }
    int ReadTimeout(std::uint8_t* data, std::size_t length, int milliseconds) override
    {
        CDeadline deadline(milliseconds < 0 ? kInfinite : static_cast<std::uint32_t>(milliseconds));
        for (;;)
        {
            if (!Present())
                return -1;
            const int n = m_face.ReadInputReport(data, length);
            if (n != 0 || deadline.IsExpired())
                return n;
            CClock::Sleep(1);
        }
    }
    int SetNonblocking(bool nonblocking) override
    {
        m_nonblocking = nonblocking;
        return Present() ? 0 : -1;
    }
    int SendFeatureReport(const std::uint8_t*, std::size_t) override { return -1; }
    int GetFeatureReport(std::uint8_t* data, std::size_t length) override
    {
        return Present() ? m_face.GetFeatureReport(data, length) : -1;
    }
    int GetManufacturerString(wchar_t* text, std::size_t maxChars) override
    {
        return CopyOut(Present() ? m_face.Info().manufacturer : std::wstring(), text, maxChars);
    }
    int GetProductString(wchar_t* text, std::size_t maxChars) override
    {
        return CopyOut(Present() ? m_face.ProductString() : std::wstring(), text, maxChars);
    }
    int GetSerialNumberString(wchar_t* text, std::size_t maxChars) override
    {
        return CopyOut(Present() ? m_face.Info().serialNumber : std::wstring(), text, maxChars);
    }
    int GetIndexedString(int, wchar_t*, std::size_t) override { return -1; }
    std::wstring Error() override { return Present() ? L"" : L"device disconnected"; }

private:
    // The face must still be there, under the path it had when opened.
    bool Present() { return m_face.IsPresent() && m_face.Info().path == m_path; }

    int CopyOut(const std::wstring& value, wchar_t* text, std::size_t maxChars)
    {
        if (text == nullptr || maxChars == 0 || !Present())
            return -1;
        std::wcsncpy(text, value.c_str(), maxChars - 1);
        text[maxChars - 1] = L'\0';
        return 0;
    }

    IBenchHidFace& m_face;
    std::string m_path;
    bool m_nonblocking = false;
};
} // namespace

void CBenchHidApi::AddFace(IBenchHidFace* face)
{
    CMutexLock lock(m_lock);
    m_faces.push_back(face);
}

std::vector<SHidApiDeviceInfo> CBenchHidApi::Enumerate(std::uint16_t vendorId, std::uint16_t productId)
{
    CMutexLock lock(m_lock);
    std::vector<SHidApiDeviceInfo> result;
    for (IBenchHidFace* face : m_faces)
    {
        if (!face->IsPresent())
            continue;
        SHidApiDeviceInfo info = face->Info();
        if ((vendorId == 0 || info.vendorId == vendorId) && (productId == 0 || info.productId == productId))
            result.push_back(std::move(info));
    }
    return result;
}

std::unique_ptr<IHidApiDevice> CBenchHidApi::Open(std::uint16_t vendorId, std::uint16_t productId,
                                                  const wchar_t* serialNumber)
{
    for (const SHidApiDeviceInfo& info : Enumerate(vendorId, productId))
    {
        if (serialNumber == nullptr || info.serialNumber == serialNumber)
            return OpenPath(info.path);
    }
    return nullptr;
}

std::unique_ptr<IHidApiDevice> CBenchHidApi::OpenPath(const std::string& path)
{
    CMutexLock lock(m_lock);
    for (IBenchHidFace* face : m_faces)
    {
        if (face->IsPresent() && face->Info().path == path)
            return std::make_unique<CBenchHidDevice>(*face, path);
    }
    return nullptr;
}

EHidResult CBenchHidApi::ProbeOpen(const std::string& path)
{
    return OpenPath(path) ? EHidResult::Ok : EHidResult::NoDevice;
}

std::string CBenchHidApi::UsbPortLocation(const std::string& path)
{
    static const std::string kPrefix = "bench-hid:";
    if (path.rfind(kPrefix, 0) != 0)
        return {};
    const std::size_t end = path.find(':', kPrefix.size());
    return path.substr(kPrefix.size(), end == std::string::npos ? std::string::npos : end - kPrefix.size());
}
