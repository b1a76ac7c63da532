#include "bench/bluecore/BlueCoreTransport.h"

#include <cstring>

#include "bcsp/BCSP_UART_Driver.h"
#include "bcsp/NemboReports.h"

namespace bluecore
{
CBlueCoreTransport::CBlueCoreTransport(CBlueCoreChip& chip) : m_chip(chip)
{
    StartReader();
}

CBlueCoreTransport::~CBlueCoreTransport()
{
    StopReader();
    SetUpper(nullptr);
}

bool CBlueCoreTransport::StartReader()
{
    if (m_reader.IsValid())
        return true;
    m_stop.store(false);
    m_chip.ResetCancel();
    return m_reader.Start([this]() -> std::uint32_t {
        std::uint8_t report[kInputReportLength];
        while (!m_stop.load())
        {
            std::size_t read = 0;
            if (!m_chip.ReadInputReport(report, sizeof(report), 100, &read))
                continue;
            if (read >= 4 && report[2] == kDataInMarker)
                ReceiveReport(report, read);
        }
        return 0;
    });
}

void CBlueCoreTransport::StopReader()
{
    if (!m_reader.IsValid())
        return;
    m_stop.store(true);
    m_chip.Cancel();
    m_reader.Wait(kInfinite);
    m_reader.Close();
}

void CBlueCoreTransport::SetUpper(CBCSP_UART_Driver* upper)
{
    CBCSP_UART_Driver* old = nullptr;
    {
        CMutexLock lock(m_mutex);
        if (m_upper == upper)
            return;
        old = m_upper;
        m_upper = upper;
    }
    if (old != nullptr)
        old->SetLower(nullptr);
    if (upper != nullptr)
        upper->SetLower(this);
}

bool CBlueCoreTransport::SendChunk(const std::uint8_t* bytes, std::size_t count)
{
    std::uint8_t report[kNemboReportLength];
    if (!BuildNemboDataOutReport(bytes, count, report))
        return false;
    m_chunks.fetch_add(1);
    return m_chip.WriteOutputReport(report, sizeof(report));
}

bool CBlueCoreTransport::ReceiveReport(const std::uint8_t* report, std::size_t reportLength)
{
    CMutexLock lock(m_mutex);
    const std::uint8_t* data = nullptr;
    if (m_upper == nullptr || report == nullptr || reportLength < 4)
        return false;
    const std::size_t n = NemboDataInPayload(report, reportLength, &data);
    m_upper->DeliverBytes(data, n);
    return true;
}

bool CBlueCoreTransport::SetBaudRate(std::uint32_t rate)
{
    std::uint8_t report[kNemboReportLength];
    if (!BuildNemboBaudRateReport(rate, report))
        return false;
    return m_chip.SetFeatureReport(report, sizeof(report));
}
} // namespace bluecore
