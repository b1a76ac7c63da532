#pragma once
// The Tavik HID command channel: product name, firmware version and the
// command that switches the device into USB DFU mode. Diagnostic lines go to
// standard output.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/HidApi.h"

// Turns a version reply (as read, report number first) into the version text
// ("1.05.4"). False when it is not a version reply.
bool ParseTavikVersionReply(const std::uint8_t* reply, int count, std::string* out);

class CHidControl
{
public:
    // The library must outlive the channel.
    CHidControl(std::uint16_t productId, std::uint16_t vendorId, IHidApi& hidApi);
    ~CHidControl(); // closes the device and shuts the library down
    CHidControl(const CHidControl&) = delete;
    CHidControl& operator=(const CHidControl&) = delete;

    std::uint32_t CountDevices();
    bool Open();
    // buffer holds at least 126 wide characters.
    bool GetProductString(wchar_t* buffer);
    bool GetFirmwareVersion(std::string* out);
    bool EnterDFUMode();

    bool IsOpen() const { return m_device != nullptr; }
    // The path of the device the last Open took or tried ("" when none
    // matched), and why that open failed (Ok after a successful one).
    const std::string& DevicePath() const { return m_path; }
    EHidResult LastOpenResult() const { return m_openResult; }

    static constexpr std::size_t kProductNameChars = 126;

private:
    std::uint32_t m_deviceCount = 0;
    std::uint16_t m_vendorId;
    std::uint16_t m_productId;
    IHidApi& m_hidApi;
    std::unique_ptr<IHidApiDevice> m_device;
    std::string m_path;
    EHidResult m_openResult = EHidResult::NoDevice;
};

// The family's general HID helper; this configuration only builds and closes it.
class TavikHIDHelper
{
public:
    TavikHIDHelper();
    virtual ~TavikHIDHelper();
    virtual void Close();
    virtual void StopHIDInterruptThread();

private:
    bool m_deviceOpen = false;   // no device handle
    bool m_threadRunning = false; // no interrupt thread
};
