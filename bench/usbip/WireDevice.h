#pragma once
// A device as the USB wire sees it: control transfers on endpoint 0 and
// data on its interrupt endpoints, each answered with data, a STALL, no
// answer yet, or the device being gone. The USB/IP connection
// (UsbIpConnection.h) carries a host's URBs to one of these.
//
// CDescribedWireDevice answers everything a device's description decides
// (bench/device/UsbDescription.h): the standard requests (descriptors,
// configuration, interface, status, features) and the HID class requests;
// subclasses supply the reports and the DFU class requests from a model.
//
// Reports cross the wire as the HID specification has them (the report ID
// first only when the interface declares IDs) and reach the models in the
// system's shape (ID first, 0 without IDs), cut or padded to the report's
// declared length.
//
// Not thread-safe: one connection drives one device from one thread.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <deque>
#include <vector>

#include "bench/device/UsbDescription.h"

enum class EWireStatus
{
    Ok,
    Stall,   // the endpoint stalls the request (-EPIPE)
    Pending, // no answer yet: IN data not there, or a device that never answers
    Gone,    // the device left the bus in the middle of this transfer
    Error,   // the transfer failed on the bus (-EPROTO)
};

struct SWireSetup
{
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};
SWireSetup ParseWireSetup(const std::uint8_t raw[8]);

class IUsbWireDevice
{
public:
    virtual ~IUsbWireDevice() = default;
    // A control transfer: out holds the data stage of an OUT request; an IN
    // request fills in (at most wLength bytes).
    virtual EWireStatus Control(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                std::vector<std::uint8_t>& in) = 0;
    // Data for OUT endpoint (1..15).
    virtual EWireStatus DataOut(std::uint8_t endpoint, const std::vector<std::uint8_t>& data) = 0;
    // Data from IN endpoint (0x81..0x8F), at most capacity bytes; Pending
    // while the device has none (the host's URB waits).
    virtual EWireStatus DataIn(std::uint8_t endpoint, std::size_t capacity, std::vector<std::uint8_t>& data) = 0;
};

class CDescribedWireDevice : public IUsbWireDevice
{
public:
    explicit CDescribedWireDevice(SBenchDevice description);
    ~CDescribedWireDevice() override;

    EWireStatus Control(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                        std::vector<std::uint8_t>& in) override;
    EWireStatus DataOut(std::uint8_t endpoint, const std::vector<std::uint8_t>& data) override;
    EWireStatus DataIn(std::uint8_t endpoint, std::size_t capacity, std::vector<std::uint8_t>& data) override;

    const SBenchDevice& Description() const { return m_description; }
    std::uint8_t Configuration() const { return m_configuration; }
    // HID class or output requests to stall: the Nth such request (1-based)
    // and, with every, each one from there on.
    void StallHidRequest(std::uint32_t nth) { m_stallHidAt = nth; }
    // The device is pulled out as it takes its Nth HID request (1-based;
    // report or output transfer): no answer, the socket closes, for good.
    void UnplugAtHidRequest(std::uint32_t nth) { m_unplugHidAt = nth; }
    std::uint32_t HidRequests() const { return m_hidRequests; }

protected:
    // Reports in the system's shape (ID first); length is the report's
    // declared length with its ID byte.
    virtual EWireStatus OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report);
    virtual EWireStatus SetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report);
    virtual EWireStatus GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report);
    // The next input report of the interface (ID first); Pending when none.
    virtual EWireStatus TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report);
    // A class request to the DFU interface.
    virtual EWireStatus DfuRequest(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                   std::vector<std::uint8_t>& in);
    // The host reset the port: the first request of an enumeration (the
    // device descriptor asked for with room for 64 bytes) is all a device
    // behind vhci-hcd sees of a bus reset.
    virtual void OnBusReset() {}

    // The declared length of a report with its ID byte (the system's shape);
    // 0 when the interface has no such report. kind: 0 input, 1 output, 2 feature.
    std::size_t ReportLength(std::size_t hidIndex, int kind, std::uint8_t reportId) const;
    bool UsesReportIds(std::size_t hidIndex) const;

private:
    EWireStatus Standard(const SWireSetup& setup, const std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& in);
    EWireStatus HidClass(std::size_t hidIndex, const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                         std::vector<std::uint8_t>& in);
    bool HidIndexOfInterface(std::uint16_t interfaceNumber, std::size_t* hidIndex) const;
    // Counts a HID request; Ok, or the fault it meets (Stall, Gone).
    EWireStatus TakeHidFault();
    // Wire bytes to the system's shape and back.
    std::vector<std::uint8_t> ToSystem(std::size_t hidIndex, int kind, std::uint8_t reportId,
                                       const std::vector<std::uint8_t>& wire) const;
    std::vector<std::uint8_t> ToWire(std::size_t hidIndex, int kind, const std::vector<std::uint8_t>& system) const;

    SBenchDevice m_description;
    std::vector<std::vector<std::uint8_t>> m_reportDescriptors; // by HID interface
    std::vector<SBenchEndpoint> m_endpoints;
    std::uint8_t m_configuration = 0;
    std::map<std::size_t, std::uint16_t> m_idle; // by HID interface: the idle rate
    std::uint32_t m_stallHidAt = 0;
    std::uint32_t m_unplugHidAt = 0;
    std::uint32_t m_hidRequests = 0;
};

// A device whose HID interfaces carry IBenchHidModel objects (the Avnera,
// Conexant and BlueCore models): reports go to the models, input reports
// come from the sink they got in OnAttach. DropOff and ReEnumerate are
// recorded for the port to act on (TakePlugRequest).
class CModelWireDevice : public CDescribedWireDevice
{
public:
    explicit CModelWireDevice(SBenchDevice description);
    ~CModelWireDevice() override;
    // Attaches the models (call once the device is on the wire).
    void Attach();
    // Detaches them (the device left the wire).
    void Detach();

    struct SPlugRequest
    {
        bool pending = false;
        std::uint64_t dropAtMs = 0; // CClock
        bool comesBack = false;
        std::uint32_t backAfterMs = 0;
        SBenchDevice newDevice;
    };
    // What the models asked of the bus; pending false when nothing.
    SPlugRequest PlugRequest();

protected:
    EWireStatus OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus SetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;

public:
    struct SShared; // between the device and the sinks its models hold

private:
    std::shared_ptr<SShared> m_shared;
    bool m_attached = false;
};
