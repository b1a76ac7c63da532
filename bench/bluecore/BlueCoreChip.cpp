#include "bench/bluecore/BlueCoreChip.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/Clock.h"

namespace bluecore
{
namespace
{
constexpr std::uint8_t kDfuChannel = 12;
constexpr std::uint8_t kLinkChannel = 1;
constexpr std::size_t kWindow = 4;
constexpr std::uint32_t kLinkResendMs = 250;
constexpr std::uint32_t kResetDelayMs = 50;

// DFU states.
constexpr std::uint8_t kAppIdle = 0;
constexpr std::uint8_t kDfuIdle = 2;
constexpr std::uint8_t kDnloadSync = 3;
constexpr std::uint8_t kDnBusy = 4;
constexpr std::uint8_t kDnloadIdle = 5;
constexpr std::uint8_t kManifestSync = 6;
constexpr std::uint8_t kManifest = 7;
constexpr std::uint8_t kDfuError = 10;
// DFU status codes.
constexpr std::uint8_t kErrStalledPacket = 0x0F;
constexpr std::uint8_t kErrUnknown = 0x0E;

void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

int RateCode(std::uint32_t rate)
{
    switch (rate)
    {
    case 38400: return 0;
    case 57600: return 1;
    case 115200: return 2;
    default: return -1;
    }
}
} // namespace

CBlueCoreChip::CBlueCoreChip(const SChipConfig& config)
    : m_config(config)
    , m_bridgeRate(config.bridgeBaudRate)
    , m_mode(config.startMode)
    , m_version(config.firmwareVersion)
{
    m_inputReady.Create(false, false);
    m_stop.Create(true, false);
    m_state = m_mode == EChipMode::Dfu ? kDfuIdle : kAppIdle;
    m_thread.Start([this]() -> std::uint32_t {
        // Tick at least every 5 product ms, but never more often than every
        // 100 real microseconds.
        const double scale = CClock::GetTimeScale();
        const std::uint32_t tickMs = std::max<std::uint32_t>(5, static_cast<std::uint32_t>(std::ceil(0.1 / scale)));
        while (m_stop.Wait(tickMs) == EWaitResult::Timeout)
        {
            CMutexLock lock(m_mutex);
            Tick();
        }
        return 0;
    });
}

CBlueCoreChip::~CBlueCoreChip()
{
    m_stop.Set();
    m_thread.Wait(kInfinite);
    Cancel();
}

std::uint64_t CBlueCoreChip::NowUs()
{
    return static_cast<std::uint64_t>(static_cast<double>(os::MonotonicMicroseconds()) / CClock::GetTimeScale());
}

std::uint64_t CBlueCoreChip::ByteTimeUs(std::size_t bytes) const
{
    // 10 bits a byte on the UART (start, 8 data, stop).
    const std::uint32_t rate = m_config.chipBaudRate == 0 ? 115200 : m_config.chipBaudRate;
    return static_cast<std::uint64_t>(bytes) * 10u * 1000000u / rate;
}

CBlueCoreChip::ELossAction CBlueCoreChip::DrawLoss(SDirection& dir)
{
    if (!dir.lossy)
        return ELossAction::Pass;
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double r = uniform(dir.rng);
    double edge = dir.loss.dropRate;
    if (r < edge)
        return ELossAction::Drop;
    edge += dir.loss.corruptRate;
    if (r < edge)
        return ELossAction::Corrupt;
    edge += dir.loss.duplicateRate;
    if (r < edge)
        return ELossAction::Duplicate;
    edge += dir.loss.delayRate;
    if (r < edge)
        return ELossAction::Delay;
    return ELossAction::Pass;
}

bool CBlueCoreChip::WriteOutputReport(const std::uint8_t* report, std::size_t length)
{
    if (report == nullptr || length < 5 || report[1] != 0x20 || report[2] != 0x00 || report[3] != 0x11)
        return false;
    const std::size_t n = report[4];
    if (n > 60 || n > length - 5)
        return false;
    std::vector<std::uint8_t> data(report + 5, report + 5 + n);

    std::uint64_t waitUs = 0;
    {
        CMutexLock lock(m_mutex);
        ++m_stats.outputReports;
        if (m_config.pacing)
        {
            const std::uint64_t now = NowUs();
            const std::uint64_t start = std::max(now, m_toChipFreeUs);
            m_toChipFreeUs = start + ByteTimeUs(n);
            waitUs = m_toChipFreeUs - now;
        }
    }
    if (waitUs >= 1000)
        CClock::Sleep(static_cast<std::uint32_t>(waitUs / 1000));

    CMutexLock lock(m_mutex);
    if (m_bridgeRate != m_config.chipBaudRate)
        return true; // the chip hears only noise at the wrong rate
    ELossAction action = DrawLoss(m_toChip);
    if (action == ELossAction::Drop)
        return true;
    if (action == ELossAction::Corrupt && !data.empty())
    {
        std::uniform_int_distribution<std::size_t> pos(0, data.size() - 1);
        std::uniform_int_distribution<int> mask(1, 255);
        data[pos(m_toChip.rng)] ^= static_cast<std::uint8_t>(mask(m_toChip.rng));
    }
    if (action == ELossAction::Delay || !m_delayedToChip.empty())
    {
        const std::uint64_t due = NowUs() + (action == ELossAction::Delay ? m_toChip.loss.delayMs * 1000ull : 0);
        m_delayedToChip.emplace_back(due, data);
        return true;
    }
    ReceiveUartBytes(data.data(), data.size());
    if (action == ELossAction::Duplicate)
        ReceiveUartBytes(data.data(), data.size());
    return true;
}

bool CBlueCoreChip::SetFeatureReport(const std::uint8_t* report, std::size_t length)
{
    if (report == nullptr || length < 5 || report[1] != 0x3E || report[2] != 0x0E)
        return false;
    std::uint32_t rate = 0;
    switch (report[3])
    {
    case 0: rate = 38400; break;
    case 1: rate = 57600; break;
    case 2: rate = 115200; break;
    default: return false;
    }
    CMutexLock lock(m_mutex);
    m_stats.baudRequests.push_back(rate);
    if (std::find(m_config.refusedRates.begin(), m_config.refusedRates.end(), rate) != m_config.refusedRates.end())
        return false;
    m_bridgeRate = rate;
    return RateCode(rate) >= 0;
}

bool CBlueCoreChip::ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs,
                                    std::size_t* read)
{
    if (report == nullptr || capacity == 0)
        return false;
    CDeadline deadline(timeoutMs);
    for (;;)
    {
        std::uint32_t waitMs = 0;
        {
            CMutexLock lock(m_mutex);
            if (m_cancelled.load())
                return false;
            const std::uint64_t now = NowUs();
            if (!m_input.empty() && m_input.front().readyAtUs <= now)
            {
                const std::size_t n = std::min(capacity, kInputReportLength);
                std::memcpy(report, m_input.front().bytes, n);
                m_input.pop_front();
                if (read != nullptr)
                    *read = n;
                return true;
            }
            const std::uint32_t left = deadline.RemainingMs();
            if (left == 0)
                return false;
            waitMs = left;
            if (!m_input.empty())
            {
                const std::uint64_t us = m_input.front().readyAtUs - now;
                waitMs = std::min<std::uint64_t>(waitMs, std::max<std::uint64_t>(1, (us + 999) / 1000));
            }
        }
        m_inputReady.Wait(waitMs);
    }
}

void CBlueCoreChip::Cancel()
{
    m_cancelled.store(true);
    m_inputReady.Set();
}

void CBlueCoreChip::ResetCancel()
{
    m_cancelled.store(false);
}

void CBlueCoreChip::SetLoss(const SLossConfig& toChip, const SLossConfig& toHost)
{
    CMutexLock lock(m_mutex);
    m_toChip.loss = toChip;
    m_toChip.rng.seed(toChip.seed);
    m_toChip.lossy = true;
    m_toHost.loss = toHost;
    m_toHost.rng.seed(toHost.seed ^ 0x9E3779B9u);
    m_toHost.lossy = true;
}

void CBlueCoreChip::ClearLoss()
{
    CMutexLock lock(m_mutex);
    m_toChip.lossy = false;
    m_toHost.lossy = false;
}

void CBlueCoreChip::SetDfuMute(bool mute)
{
    CMutexLock lock(m_mutex);
    m_dfuMute = mute;
}

void CBlueCoreChip::ScriptStatusStates(const std::vector<std::uint8_t>& states)
{
    CMutexLock lock(m_mutex);
    m_scriptedStates.assign(states.begin(), states.end());
}

void CBlueCoreChip::SendNoise(const std::vector<std::uint8_t>& bytes)
{
    CMutexLock lock(m_mutex);
    for (std::size_t offset = 0; offset < bytes.size(); offset += kInputDataMax)
        QueueInputReport(bytes.data() + offset, std::min(kInputDataMax, bytes.size() - offset));
}

void CBlueCoreChip::SendOversizedDatagram(std::uint8_t channel, std::size_t size)
{
    std::vector<std::uint8_t> payload(size);
    for (std::size_t i = 0; i < size; ++i)
        payload[i] = i % 2 == 0 ? 0xC0 : 0xDB;
    CMutexLock lock(m_mutex);
    SendUnreliable(channel, payload.data(), payload.size());
}

void CBlueCoreChip::DelayNextReply(std::uint8_t request, std::uint32_t delayMs)
{
    CMutexLock lock(m_mutex);
    m_delayRequest = request;
    m_delayMs = delayMs;
}

void CBlueCoreChip::RefuseNext(std::uint8_t request, std::uint32_t count)
{
    CMutexLock lock(m_mutex);
    m_refusals[request] = count;
}

void CBlueCoreChip::SendDatagram(std::uint8_t channel, const std::vector<std::uint8_t>& payload)
{
    CMutexLock lock(m_mutex);
    SendUnreliable(channel, payload.data(), payload.size());
}

EChipMode CBlueCoreChip::Mode()
{
    CMutexLock lock(m_mutex);
    return m_mode;
}

bool CBlueCoreChip::IsLinked()
{
    CMutexLock lock(m_mutex);
    return m_link == ELink::Garrulous;
}

std::uint32_t CBlueCoreChip::BridgeBaudRate()
{
    CMutexLock lock(m_mutex);
    return m_bridgeRate;
}

SChipStats CBlueCoreChip::Stats()
{
    CMutexLock lock(m_mutex);
    return m_stats;
}

std::vector<std::uint8_t> CBlueCoreChip::DownloadedImage()
{
    CMutexLock lock(m_mutex);
    std::vector<std::uint8_t> image;
    for (const auto& block : m_blocks)
        image.insert(image.end(), block.second.begin(), block.second.end());
    return image;
}

std::vector<std::uint8_t> CBlueCoreChip::FirmwareImage()
{
    CMutexLock lock(m_mutex);
    return m_firmware;
}

std::uint16_t CBlueCoreChip::FirmwareVersion()
{
    CMutexLock lock(m_mutex);
    return m_version;
}

std::vector<SWirePacket> CBlueCoreChip::ReceivedPackets()
{
    CMutexLock lock(m_mutex);
    return m_received;
}

// ---- BCSP peer ----

void CBlueCoreChip::ReceiveUartBytes(const std::uint8_t* bytes, std::size_t length)
{
    for (const auto& frame : m_decoder.Feed(bytes, length))
    {
        const auto packet = ParsePacket(frame.data(), frame.size());
        if (!packet)
        {
            ++m_stats.framesBad;
            continue;
        }
        ++m_stats.framesOk;
        m_received.push_back(*packet);
        HandlePacket(*packet);
    }
}

void CBlueCoreChip::HandlePacket(const SWirePacket& packet)
{
    if (m_link == ELink::Garrulous)
        ProcessAck(packet.ack);
    if (!packet.reliable)
    {
        if (packet.channel == kLinkChannel)
            HandleLinkMessage(packet.payload);
        return;
    }
    if (m_link != ELink::Garrulous)
        return;
    if (packet.channel == kDfuChannel)
    {
        ++m_stats.dfuPacketsSeen;
        if (m_dfuMute)
            return;
    }
    // A piggybacking chip acknowledges only in the header of its own packets:
    // the reply to a request, or its retransmission.
    const bool separateAcks = m_config.ackStyle == EAckStyle::Separate;
    if (packet.seq == m_rxExpected)
    {
        m_rxExpected = (m_rxExpected + 1) & 7;
        if (separateAcks)
            SendAckOnly();
        if (packet.channel == kDfuChannel)
            HandleDfuRequest(packet.payload);
    }
    else if (separateAcks)
    {
        SendAckOnly();
    }
}

void CBlueCoreChip::HandleLinkMessage(const std::vector<std::uint8_t>& payload)
{
    if (payload.size() != 4)
        return;
    const std::uint8_t* p = payload.data();
    if (std::memcmp(p, kSync, 4) == 0)
    {
        ++m_stats.linkMessages[0];
        if (m_config.activeLink)
        {
            // An active chip answers and goes on with its own SYNCs until its
            // peer answers them; a SYNC on a running link means the peer
            // restarted.
            if (m_link == ELink::Garrulous)
            {
                ResetPeer();
                m_link = ELink::Shy;
            }
        }
        else
        {
            // A passive chip takes the host's SYNC as the start of the link.
            ResetPeer();
            m_link = ELink::Curious;
        }
        SendUnreliable(kLinkChannel, kSyncResp, 4);
    }
    else if (std::memcmp(p, kSyncResp, 4) == 0)
    {
        ++m_stats.linkMessages[1];
        if (m_link == ELink::Shy)
        {
            ResetPeer();
            m_link = ELink::Curious;
            SendUnreliable(kLinkChannel, kConf, 4);
            m_lastLinkSendUs = NowUs();
        }
    }
    else if (std::memcmp(p, kConf, 4) == 0)
    {
        ++m_stats.linkMessages[2];
        if (m_link != ELink::Shy)
        {
            m_link = ELink::Garrulous;
            if (m_confRespsLost < m_config.loseConfResps)
                ++m_confRespsLost;
            else
                SendUnreliable(kLinkChannel, kConfResp, 4);
        }
    }
    else if (std::memcmp(p, kConfResp, 4) == 0)
    {
        ++m_stats.linkMessages[3];
        if (m_link == ELink::Curious)
            m_link = ELink::Garrulous;
    }
}

void CBlueCoreChip::ProcessAck(std::uint8_t ack)
{
    if (m_unacked.empty())
        return;
    const std::size_t n = static_cast<std::size_t>((ack - m_unacked.front().seq) & 7);
    if (n == 0 || n > m_unacked.size())
        return;
    for (std::size_t i = 0; i < n; ++i)
        m_unacked.pop_front();
    while (!m_pending.empty() && m_unacked.size() < kWindow)
    {
        SWirePacket p = m_pending.front();
        m_pending.pop_front();
        p.seq = m_txSeq;
        m_txSeq = (m_txSeq + 1) & 7;
        m_unacked.push_back(p);
        SendPacket(p);
    }
    m_lastTxUs = NowUs();
}

void CBlueCoreChip::SendPacket(SWirePacket packet)
{
    packet.crcPresent = m_config.sendCrc;
    packet.ack = m_rxExpected;
    QueueFrame(EncodeFrame(packet));
}

void CBlueCoreChip::SendReliable(std::uint8_t channel, const std::vector<std::uint8_t>& payload)
{
    SWirePacket p;
    p.reliable = true;
    p.channel = channel;
    p.payload = payload;
    if (m_unacked.size() >= kWindow)
    {
        m_pending.push_back(p);
        return;
    }
    p.seq = m_txSeq;
    m_txSeq = (m_txSeq + 1) & 7;
    m_unacked.push_back(p);
    SendPacket(p);
    m_lastTxUs = NowUs();
}

void CBlueCoreChip::SendAckOnly()
{
    SWirePacket p;
    ++m_stats.ackOnlySent;
    SendPacket(p);
}

void CBlueCoreChip::SendReply(const std::vector<std::uint8_t>& reply, std::uint64_t dueUs, bool once)
{
    // Replies leave in request order: one that is due later holds back those
    // behind it.
    if (!m_lateReplies.empty() && m_lateReplies.back().dueUs > dueUs)
        dueUs = m_lateReplies.back().dueUs;
    if (dueUs > NowUs() || !m_lateReplies.empty())
    {
        m_lateReplies.push_back({dueUs, reply, once});
        return;
    }
    SendReliable(kDfuChannel, reply);
    if (once)
    {
        // Like a device that resets after the status stage: the reply goes
        // out once and is never sent again.
        m_unacked.clear();
        m_pending.clear();
    }
}

void CBlueCoreChip::SendUnreliable(std::uint8_t channel, const std::uint8_t* payload, std::size_t length)
{
    SWirePacket p;
    p.channel = channel;
    p.payload.assign(payload, payload + length);
    SendPacket(p);
}

void CBlueCoreChip::QueueFrame(const std::vector<std::uint8_t>& encoded)
{
    std::vector<std::uint8_t> frame = encoded;
    if (m_link == ELink::Garrulous)
        ++m_framesToHost;
    if (m_link == ELink::Garrulous && m_config.badEscapeEvery != 0 && m_framesToHost % m_config.badEscapeEvery == 0 &&
        frame.size() > 3)
    {
        // An escape byte followed by another escape byte or by an ordinary
        // byte, in the middle of the frame.
        const bool doubled = (m_framesToHost / m_config.badEscapeEvery) % 2 == 1;
        const std::size_t at = frame.size() / 2;
        frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(at), {0xDB, static_cast<std::uint8_t>(doubled ? 0xDB : 0x41)});
        ++m_stats.badFramesSent;
    }
    for (std::size_t offset = 0; offset < frame.size(); offset += kInputDataMax)
    {
        const std::size_t n = std::min(kInputDataMax, frame.size() - offset);
        QueueInputReport(frame.data() + offset, n);
    }
}

void CBlueCoreChip::QueueInputReport(const std::uint8_t* data, std::size_t n)
{
    if (m_bridgeRate != m_config.chipBaudRate)
        return; // garbled on the wire at the wrong rate
    SInputReport report{};
    report.bytes[0] = kInputReportId;
    report.bytes[2] = kDataInMarker;
    report.bytes[3] = static_cast<std::uint8_t>(n);
    std::memcpy(report.bytes + 4, data, n);
    const std::uint64_t now = NowUs();
    if (m_config.pacing)
    {
        const std::uint64_t start = std::max(now, m_toHostFreeUs);
        m_toHostFreeUs = start + ByteTimeUs(n);
        report.readyAtUs = m_toHostFreeUs;
    }
    else
    {
        report.readyAtUs = now;
    }
    switch (DrawLoss(m_toHost))
    {
    case ELossAction::Drop:
        return;
    case ELossAction::Corrupt: {
        std::uniform_int_distribution<std::size_t> pos(0, n - 1);
        std::uniform_int_distribution<int> mask(1, 255);
        report.bytes[4 + pos(m_toHost.rng)] ^= static_cast<std::uint8_t>(mask(m_toHost.rng));
        break;
    }
    case ELossAction::Duplicate:
        m_input.push_back(report);
        ++m_stats.inputReports;
        break;
    case ELossAction::Delay:
        report.readyAtUs += m_toHost.loss.delayMs * 1000ull;
        break;
    case ELossAction::Pass:
        break;
    }
    m_input.push_back(report);
    ++m_stats.inputReports;
    m_inputReady.Set();
}

void CBlueCoreChip::ResetPeer()
{
    m_txSeq = 0;
    m_rxExpected = 0;
    m_unacked.clear();
    m_pending.clear();
    m_lateReplies.clear();
}

void CBlueCoreChip::Tick()
{
    const std::uint64_t now = NowUs();
    while (!m_delayedToChip.empty() && m_delayedToChip.front().first <= now)
    {
        const std::vector<std::uint8_t> data = std::move(m_delayedToChip.front().second);
        m_delayedToChip.pop_front();
        ReceiveUartBytes(data.data(), data.size());
    }
    while (m_link == ELink::Garrulous && !m_lateReplies.empty() && m_lateReplies.front().dueUs <= now)
    {
        SLateReply late = std::move(m_lateReplies.front());
        m_lateReplies.pop_front();
        SendReliable(kDfuChannel, late.payload);
        if (late.once)
        {
            m_unacked.clear();
            m_pending.clear();
        }
    }
    if (m_link == ELink::Garrulous && !m_unacked.empty() && now - m_lastTxUs >= m_config.retransmitMs * 1000ull)
    {
        for (const SWirePacket& p : m_unacked)
            SendPacket(p);
        m_lastTxUs = now;
        ++m_stats.timerResends;
    }
    if (m_config.activeLink && m_link != ELink::Garrulous && now - m_lastLinkSendUs >= kLinkResendMs * 1000ull)
    {
        SendUnreliable(kLinkChannel, m_link == ELink::Shy ? kSync : kConf, 4);
        m_lastLinkSendUs = now;
    }
    if (m_resetPending && now >= m_resetDueUs)
        DoReset();
}

void CBlueCoreChip::DoReset()
{
    ++m_stats.resets;
    m_resetPending = false;
    m_link = ELink::Shy;
    ResetPeer();
    m_decoder.Reset();
    m_scriptedStates.clear();
    if (m_mode == EChipMode::Runtime)
    {
        if (m_detached)
        {
            m_mode = EChipMode::Dfu;
            m_blocks.clear();
        }
    }
    else if (m_manifested)
    {
        m_mode = EChipMode::Runtime;
        ++m_version;
    }
    m_detached = false;
    m_manifested = false;
    m_statusCode = 0;
    m_state = m_mode == EChipMode::Dfu ? kDfuIdle : kAppIdle;
}

// ---- DFU personality ----

std::uint8_t CBlueCoreChip::CurrentState()
{
    if (m_mode == EChipMode::Runtime)
        return kAppIdle;
    const std::uint64_t now = NowUs();
    if (m_state == kDnloadSync)
    {
        if (now < m_busyUntilUs)
            return kDnBusy;
        m_state = kDnloadIdle;
    }
    if (m_state == kManifestSync)
    {
        if (now < m_busyUntilUs)
            return kManifest;
        if (m_config.manifestFails)
        {
            m_state = kDfuError;
            m_statusCode = 0x0A; // errFIRMWARE
            return m_state;
        }
        // Manifestation tolerant: back to idle, the new firmware in place.
        m_firmware.clear();
        for (const auto& block : m_blocks)
            m_firmware.insert(m_firmware.end(), block.second.begin(), block.second.end());
        m_manifested = true;
        m_state = kDfuIdle;
    }
    return m_state;
}

std::vector<std::uint8_t> CBlueCoreChip::DeviceDescriptorReply()
{
    std::vector<std::uint8_t> r;
    Put16(r, 0);
    Put16(r, 12);
    if (m_mode == EChipMode::Dfu)
    {
        Put16(r, 0xFE);
        Put16(r, 0x01);
        Put16(r, 0x00);
        Put16(r, 0x0A12);
        Put16(r, 0xFFFE);
        Put16(r, m_version);
    }
    else
    {
        Put16(r, 0xE0);
        Put16(r, 0x01);
        Put16(r, 0x01);
        Put16(r, m_config.runtimeVendor);
        Put16(r, m_config.runtimeProduct);
        Put16(r, m_version);
    }
    return r;
}

void CBlueCoreChip::HandleDfuRequest(const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> reply;
    const std::uint64_t due = NowUs() + m_config.replyDelayMs * 1000ull;
    if (payload.size() < 8)
    {
        Put16(reply, 0xFFFF);
        Put16(reply, 0);
        SendReply(reply, due, false);
        return;
    }
    const std::uint8_t request = payload[1];
    const std::uint16_t value = static_cast<std::uint16_t>(payload[2] | (payload[3] << 8));
    const std::uint16_t length = static_cast<std::uint16_t>(payload[6] | (payload[7] << 8));
    ++m_stats.dfuRequests[request & 0x0F];
    const std::uint64_t now = NowUs();
    std::uint16_t status = 0;
    auto refusal = m_refusals.find(request);
    if (refusal != m_refusals.end() && refusal->second > 0)
    {
        --refusal->second;
        Put16(reply, 1);
        Put16(reply, 0);
        SendReply(reply, due, false);
        return;
    }

    switch (request)
    {
    case 8: // device descriptor
        reply = DeviceDescriptorReply();
        break;
    case 9: // functional descriptor
        Put16(reply, 0);
        Put16(reply, 6);
        reply.push_back(0x21);
        reply.push_back(0x07);
        Put16(reply, 5000);
        Put16(reply, m_config.transferSize);
        break;
    case 3: { // status
        std::uint8_t state = CurrentState();
        if (!m_scriptedStates.empty())
        {
            state = m_scriptedStates.front();
            m_scriptedStates.pop_front();
        }
        Put16(reply, 0);
        Put16(reply, 6);
        reply.push_back(state == kDfuError ? (m_statusCode != 0 ? m_statusCode : kErrUnknown) : m_statusCode);
        const std::uint32_t poll = state == kDnBusy ? m_config.programMs : (state == kManifest ? m_config.manifestMs : 0);
        reply.push_back(static_cast<std::uint8_t>(poll & 0xFF));
        reply.push_back(static_cast<std::uint8_t>((poll >> 8) & 0xFF));
        reply.push_back(static_cast<std::uint8_t>((poll >> 16) & 0xFF));
        reply.push_back(state);
        reply.push_back(0);
        break;
    }
    case 4: // clear status
        if (m_mode == EChipMode::Dfu && m_state == kDfuError)
            m_state = kDfuIdle;
        m_statusCode = 0;
        break;
    case 0: // detach
        if (m_mode == EChipMode::Runtime)
            m_detached = true;
        else
            status = 1;
        break;
    case 7: // reset, shortly after the reply has left
        m_resetPending = true;
        m_resetDueUs = now + kResetDelayMs * 1000ull;
        break;
    case 1: { // download
        if (m_mode != EChipMode::Dfu)
        {
            status = 1;
            break;
        }
        const std::size_t size = payload.size() - 8;
        const std::uint8_t state = CurrentState();
        if (size != length || size > m_config.transferSize || (state != kDfuIdle && state != kDnloadIdle))
        {
            m_state = kDfuError;
            m_statusCode = kErrStalledPacket;
            status = 1;
            break;
        }
        if (size > 0 && m_config.refuseBlock >= 0 && value == static_cast<std::uint16_t>(m_config.refuseBlock))
        {
            // The block cannot be written: the device stalls it.
            if (state == kDfuIdle)
                m_blocks.clear();
            m_state = kDfuError;
            m_statusCode = 0x03; // errWRITE
            status = m_config.refuseQuietly ? 0 : 1;
            break;
        }
        if (size > 0)
        {
            if (state == kDfuIdle)
                m_blocks.clear(); // a new download
            m_blocks[value].assign(payload.begin() + 8, payload.end());
            m_state = kDnloadSync;
            m_busyUntilUs = now + m_config.programMs * 1000ull;
        }
        else if (state == kDnloadIdle)
        {
            m_state = kManifestSync;
            m_busyUntilUs = now + m_config.manifestMs * 1000ull;
        }
        else
        {
            m_state = kDfuError;
            m_statusCode = kErrStalledPacket;
            status = 1;
        }
        break;
    }
    default:
        status = 1;
        break;
    }
    if (reply.empty())
    {
        Put16(reply, status);
        Put16(reply, 0);
    }
    std::uint64_t replyDue = due;
    if (m_delayRequest == request)
    {
        replyDue = now + m_delayMs * 1000ull;
        m_delayRequest = -1;
    }
    if (request == 7)
    {
        // The reset comes shortly after its reply has left, late or not.
        const std::uint64_t leaves =
            m_lateReplies.empty() ? replyDue : std::max<std::uint64_t>(replyDue, m_lateReplies.back().dueUs);
        m_resetDueUs = std::max<std::uint64_t>(m_resetDueUs, leaves + kResetDelayMs * 1000ull);
    }
    if (request == 7 && m_resetRepliesLost < m_config.loseResetReplies)
    {
        ++m_resetRepliesLost;
        return;
    }
    SendReply(reply, replyDue, request == 7);
}
} // namespace bluecore
