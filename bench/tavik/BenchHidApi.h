#pragma once
// The hidapi-shaped port over simulated HID devices ("faces"). A device
// model implements IBenchHidFace; CBenchHidApi enumerates the faces that are
// present and opens them. A face that leaves the bus fails every call on a
// device opened before, as an unplugged device does.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidApi.h"
#include "platform/Sync.h"

class IBenchHidFace
{
public:
    virtual ~IBenchHidFace() = default;
    virtual bool IsPresent() = 0;
    // Path, identifiers and strings of the face as enumerated.
    virtual SHidApiDeviceInfo Info() = 0;
    // Output report, report number first; bytes taken or -1.
    virtual int OnOutputReport(const std::uint8_t* data, std::size_t length) = 0;
    // Next input report (report number first), 0 when none is waiting, -1 when gone.
    virtual int ReadInputReport(std::uint8_t* data, std::size_t length) = 0;
    virtual int GetFeatureReport(std::uint8_t* data, std::size_t length) = 0;
    virtual std::wstring ProductString() = 0;
};

class CBenchHidApi : public IHidApi
{
public:
    // Faces must outlive the API and the devices it opened.
    void AddFace(IBenchHidFace* face);

    int Init() override { return 0; }
    int Exit() override { return 0; }
    std::vector<SHidApiDeviceInfo> Enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<IHidApiDevice> Open(std::uint16_t vendorId, std::uint16_t productId,
                                        const wchar_t* serialNumber) override;
    std::unique_ptr<IHidApiDevice> OpenPath(const std::string& path) override;
    // A present face opens; others are no device.
    EHidResult ProbeOpen(const std::string& path) override;
    // Faces name their port in their path: "bench-hid:<location>:...".
    std::string UsbPortLocation(const std::string& path) override;

private:
    CMutex m_lock;
    std::vector<IBenchHidFace*> m_faces;
};
