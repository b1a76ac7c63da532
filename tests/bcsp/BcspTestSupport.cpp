#include "tests/bcsp/BcspTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_UART_Driver.h"
#include "platform/Clock.h"
#include "tests/TestSupport.h"

CCapturedLog::CCapturedLog()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    m_path = JoinPath(MakeTestFolder(name), "bcsp.log");
    m_open = OpenLog(m_path.c_str()) == HR_OK;
}

CCapturedLog::~CCapturedLog()
{
    if (m_open)
        CloseLog();
}

std::vector<std::string> CCapturedLog::Lines()
{
    if (m_open)
        CloseLog();
    m_open = false;
    const std::string bytes = ReadFileBytes(m_path);
    std::vector<std::string> lines;
    static const std::regex stamp(R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3}\] )");
    std::size_t start = 0;
    while (start < bytes.size())
    {
        std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 2;
        if (line == "\r" || line.empty())
            continue;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::regex_replace(line, stamp, ""));
    }
    return lines;
}

std::size_t CCapturedLog::Count(const std::vector<std::string>& lines, const std::string& text)
{
    std::size_t n = 0;
    for (const auto& line : lines)
        n += line == text ? 1 : 0;
    return n;
}

std::size_t CCapturedLog::CountPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::size_t n = 0;
    for (const auto& line : lines)
        n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

CRecordingTransport::~CRecordingTransport()
{
    SetUpper(nullptr);
}

void CRecordingTransport::SetUpper(CBCSP_UART_Driver* upper)
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

bool CRecordingTransport::HasUpper()
{
    CMutexLock lock(m_mutex);
    return m_upper != nullptr;
}

bool CRecordingTransport::SendChunk(const std::uint8_t* bytes, std::size_t count)
{
    CMutexLock lock(m_recordMutex);
    m_chunks.emplace_back(bytes, bytes + count);
    return true;
}

bool CRecordingTransport::ReceiveReport(const std::uint8_t* report, std::size_t reportLength)
{
    CMutexLock lock(m_mutex);
    if (m_upper == nullptr || reportLength < 4)
        return false;
    std::size_t n = report[3];
    if (n > reportLength - 4)
        n = reportLength - 4;
    return m_upper->DeliverBytes(report + 4, n);
}

bool CRecordingTransport::SetBaudRate(std::uint32_t rate)
{
    CMutexLock lock(m_recordMutex);
    rates.push_back(rate);
    return acceptRates;
}

std::vector<std::vector<std::uint8_t>> CRecordingTransport::Chunks()
{
    CMutexLock lock(m_recordMutex);
    return m_chunks;
}

std::vector<bluecore::SWirePacket> CRecordingTransport::Packets()
{
    bluecore::CSlipDecoder decoder;
    std::vector<bluecore::SWirePacket> packets;
    for (const auto& chunk : Chunks())
    {
        for (const auto& frame : decoder.Feed(chunk.data(), chunk.size()))
        {
            if (auto p = bluecore::ParsePacket(frame.data(), frame.size()))
                packets.push_back(*p);
        }
    }
    return packets;
}

bool CRecordingTransport::WaitForPackets(std::size_t count)
{
    CDeadline deadline(RealSeconds(5));
    while (Packets().size() < count)
    {
        if (deadline.IsExpired())
            return false;
        CClock::Sleep(1);
    }
    return true;
}

void CRecordingTransport::Deliver(const std::vector<std::uint8_t>& bytes)
{
    for (std::size_t offset = 0; offset < bytes.size(); offset += 28)
    {
        const std::size_t n = std::min<std::size_t>(28, bytes.size() - offset);
        std::uint8_t report[32] = {};
        report[0] = 1;
        report[2] = 0x28;
        report[3] = static_cast<std::uint8_t>(n);
        std::memcpy(report + 4, bytes.data() + offset, n);
        ReceiveReport(report, sizeof(report));
    }
}

void CRecordingTransport::DeliverPacket(const bluecore::SWirePacket& packet)
{
    Deliver(bluecore::EncodeFrame(packet));
}

bluecore::SWirePacket MakePacket(bool reliable, std::uint8_t seq, std::uint8_t ack, std::uint8_t channel,
                                 std::vector<std::uint8_t> payload, bool crc)
{
    bluecore::SWirePacket p;
    p.reliable = reliable;
    p.seq = seq;
    p.ack = ack;
    p.channel = channel;
    p.payload = std::move(payload);
    p.crcPresent = crc;
    return p;
}

std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = seed;
    for (auto& b : image)
    {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}
