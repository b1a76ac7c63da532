#include "bcsp/BCSP_Sequencing_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <new>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_Mux_Layer.h"
#include "platform/Clock.h"

namespace
{
// Longest pause of the processing step between two polls while packets are
// in flight; acknowledgements, timeouts and sends wake it at once.
constexpr std::uint32_t kPollMs = 250;
// Expiries of the retransmission timer in a row that keep its value.
constexpr std::uint32_t kExpiriesBeforeBackoff = 3;
} // namespace

CBCSP_Sequencing_Layer::CBCSP_Sequencing_Layer() = default;

CBCSP_Sequencing_Layer::~CBCSP_Sequencing_Layer()
{
    // Stop the worker before unlinking, so that it never sends through a
    // neighbour that goes away.
    m_worker.Stop();
    SetLower(nullptr);
    Reset();
    CancelTimer();
}

HResult CBCSP_Sequencing_Layer::Init()
{
    if (!m_poke.IsValid() && !m_poke.Create(false, false))
        return HR_FAIL;
    return m_worker.Start(1, "[ERROR]Seq: Processing Thread creation fail\n", [this](int) { ProcessQueue(); });
}

void CBCSP_Sequencing_Layer::Reset()
{
    {
        // Waits for a receive in progress, so that it cannot advance the
        // receive numbers after they were cleared.
        CMutexLock lock(m_receiveMutex);
        m_ackToSend.store(0);
        m_nextRxSeq.store(0);
    }
    SNode* node = nullptr;
    {
        CMutexLock lock(m_queueMutex);
        node = m_head;
        m_head = nullptr;
        m_tail = nullptr;
        m_nextTxSeq.store(0);
        m_ackToSend.store(0);
        m_lastAckProcessed.store(0);
        m_lastAckReceived.store(0);
        m_nextRxSeq.store(0);
        m_freeSlots.store(m_windowSize.load());
        m_retryCount = 0;
        m_failed.store(0);
        m_sentSpan = 0;
        m_unsent = 0;
        m_lastSentMs = 0;
        m_sampleValid = false;
        m_lastRejectedAck = 0xFF;
        m_expiries = 0;
        m_timerDueMs.store(0);
    }
    while (node != nullptr)
    {
        SNode* next = node->next;
        bcsp::FreePacketSingle(node->packet);
        delete node;
        node = next;
    }
}

void CBCSP_Sequencing_Layer::SetReceiveCallback(void* context, BcspReceiveCallback callback)
{
    CMutexLock lock(m_callbackMutex);
    m_context = context;
    m_callback = callback;
}

bool CBCSP_Sequencing_Layer::Send(const std::uint8_t* data, std::size_t length, std::uint8_t channel)
{
    if (channel == 0 || channel > 15 || length >= bcsp::kFrameBufferSize)
        return false;
    if (length == 0 || data == nullptr)
    {
        LogPrintf("[ERROR] Seq : buffer size 0??\n");
    }
    else
    {
        BCSP_Packet packet{};
        packet.header[0] = bcsp::kReliable;
        packet.header[1] = channel & 0x0F;
        packet.payload = const_cast<std::uint8_t*>(data);
        packet.length = static_cast<std::uint16_t>(length);
        BCSP_Packet* copy = bcsp::CopyPacketSingle(packet);
        SNode* node = copy != nullptr ? new (std::nothrow) SNode{copy, nullptr} : nullptr;
        if (node == nullptr)
        {
            bcsp::FreePacketSingle(copy);
            LogPrintf("[ERROR] Seq : Unable to allocate memory for reliable queue!\n");
        }
        else
        {
            CMutexLock lock(m_queueMutex);
            if (m_tail != nullptr)
                m_tail->next = node;
            else
                m_head = node;
            m_tail = node;
        }
    }
    m_worker.Signal(0);
    m_poke.Set();
    return true;
}

void CBCSP_Sequencing_Layer::ArmTimer()
{
    m_timeoutFlag.store(0);
    m_timerDueMs.store(CClock::NowMs() + m_timeoutMs.load());
}

void CBCSP_Sequencing_Layer::CancelTimer()
{
    m_timerDueMs.store(0);
}

CBCSP_Sequencing_Layer::SNode* CBCSP_Sequencing_Layer::NodeAt(std::size_t index)
{
    SNode* node = m_head;
    while (node != nullptr && index > 0)
    {
        node = node->next;
        --index;
    }
    return node;
}

void CBCSP_Sequencing_Layer::SampleRoundTrip(std::uint64_t now)
{
    // Only packets that went once and have all left give a true sample.
    if (m_sampleValid && m_unsent == 0 && m_lastSentMs != 0 && now >= m_lastSentMs)
    {
        const double sample = static_cast<double>(now - m_lastSentMs);
        if (!m_haveRtt)
        {
            m_srttMs = sample;
            m_rttVarMs = sample / 2;
            m_haveRtt = true;
        }
        else
        {
            const double error = sample > m_srttMs ? sample - m_srttMs : m_srttMs - sample;
            m_rttVarMs = 0.75 * m_rttVarMs + 0.25 * error;
            m_srttMs = 0.875 * m_srttMs + 0.125 * sample;
        }
    }
    double rto = m_haveRtt ? m_srttMs + 4 * m_rttVarMs : static_cast<double>(m_timeoutMs.load());
    const double ceiling = static_cast<double>(m_timeoutMs.load() > kMinRetransmitMs ? m_timeoutMs.load() : kMinRetransmitMs);
    if (rto < kMinRetransmitMs)
        rto = kMinRetransmitMs;
    if (rto > ceiling)
        rto = ceiling;
    m_rtoMs = static_cast<std::uint32_t>(rto + 0.5);
}

void CBCSP_Sequencing_Layer::PacketSent()
{
    {
        CMutexLock lock(m_queueMutex);
        if (m_unsent > 0)
            --m_unsent;
        if (m_unsent == 0)
        {
            const std::uint64_t now = CClock::NowMs();
            m_lastSentMs = now;
            // The round trip starts now that the packets are on the line.
            if (m_freeSlots.load() < m_windowSize.load())
                m_timerDueMs.store(now + m_rtoMs);
        }
    }
    m_poke.Set();
}

void CBCSP_Sequencing_Layer::EnableRetransmitTimer(bool enable)
{
    m_timerEnabled.store(enable);
    m_poke.Set();
}

std::uint32_t CBCSP_Sequencing_Layer::RetransmitTimeoutMs()
{
    CMutexLock lock(m_queueMutex);
    return m_rtoMs;
}

void CBCSP_Sequencing_Layer::ProcessQueue()
{
    if (m_failed.load() != 0)
        return;
    for (;;)
    {
        std::uint32_t waitMs = kPollMs;
        {
            CMutexLock lock(m_queueMutex);
            CBCSP_Mux_Layer* lower = m_lower.load();
            // 1. Nowhere to send.
            if (lower == nullptr)
            {
                m_failed.store(1);
                return;
            }
            const std::uint8_t window = m_windowSize.load();
            // 2. The oldest packet not yet sent, when the window has room.
            if (m_freeSlots.load() > 0)
            {
                SNode* node = NodeAt(static_cast<std::size_t>(window - m_freeSlots.load()));
                if (node != nullptr)
                {
                    const std::uint8_t seq = m_nextTxSeq.load();
                    node->packet->header[0] =
                        static_cast<std::uint8_t>((node->packet->header[0] & ~bcsp::kSeqMask) | seq);
                    m_nextTxSeq.store((seq + 1) & 0x07);
                    m_freeSlots.store(static_cast<std::uint8_t>(m_freeSlots.load() - 1));
                    const std::uint8_t inFlight = static_cast<std::uint8_t>(window - m_freeSlots.load());
                    const bool fresh = inFlight > m_sentSpan;
                    if (fresh)
                    {
                        // Only a round trip of packets sent once is timed.
                        if (m_sentSpan == 0)
                            m_sampleValid = true;
                        m_sentSpan = inFlight;
                        // An acknowledgement refused before may cover this one.
                        m_lastRejectedAck = 0xFF;
                    }
                    ++m_unsent;
                    // Armed before the hand-over, so that a timeout raised
                    // as soon as the packet is on its way is not cleared. A
                    // packet sent again leaves a timeout the client raised
                    // meanwhile in place: it still counts.
                    if (fresh)
                        ArmTimer();
                    else
                        m_timerDueMs.store(CClock::NowMs() + m_timeoutMs.load());
                    m_handedDown.fetch_add(1);
                    lower->SendPacket(*node->packet);
                }
                if (m_freeSlots.load() == window)
                {
                    CancelTimer();
                    return;
                }
            }
            // 3. Acknowledgements that arrived since the last pass.
            const std::uint8_t received = m_lastAckReceived.load();
            const std::uint8_t processed = m_lastAckProcessed.load();
            if (received != processed && received != m_lastRejectedAck)
            {
                const std::uint8_t n = (received - processed) & 0x07;
                const std::uint8_t inFlight = static_cast<std::uint8_t>(window - m_freeSlots.load());
                if (n > m_sentSpan)
                {
                    // Acknowledges packets that were never sent: stale or
                    // corrupt. Taking it would free packets still unacknowledged.
                    LogPrintf("<=Seq:: Ack[%d] outside the window (last[%d] sent[%d]) - ignored\n", received,
                              processed, m_sentSpan);
                    m_lastRejectedAck = received;
                }
                else
                {
                    const std::uint64_t now = CClock::NowMs();
                    SampleRoundTrip(now);
                    m_lastAckProcessed.store(received);
                    m_lastRejectedAck = 0xFF;
                    for (std::uint8_t i = 0; i < n && m_head != nullptr; ++i)
                    {
                        SNode* head = m_head;
                        m_head = head->next;
                        if (m_head == nullptr)
                            m_tail = nullptr;
                        bcsp::FreePacketSingle(head->packet);
                        delete head;
                    }
                    m_sentSpan = static_cast<std::uint8_t>(m_sentSpan - n);
                    if (n >= inFlight)
                    {
                        // Also packets that a go-back had not yet sent again.
                        m_freeSlots.store(window);
                        m_nextTxSeq.store(received);
                    }
                    else
                    {
                        m_freeSlots.store(static_cast<std::uint8_t>(m_freeSlots.load() + n));
                    }
                    m_retryCount = 0;
                    m_expiries = 0;
                    ArmTimer();
                    if (m_unsent == 0 && m_freeSlots.load() < window)
                        m_timerDueMs.store(now + m_rtoMs);
                }
            }
            // 4. A timeout: go back to the oldest unacknowledged packet. The
            // client's ForceTimeout counts against the retry limit; the
            // retransmission timer does not.
            bool goBack = false;
            if (m_timeoutFlag.load() != 0)
            {
                m_timeoutFlag.store(0);
                const std::uint8_t limit = m_retryLimit.load();
                LogPrintf("<=Seq:: Timeout! Retry[%d] Limit[%d]\n", m_retryCount, limit);
                m_forcedTimeouts.fetch_add(1);
                if (limit != 0)
                {
                    const std::uint8_t before = m_retryCount;
                    if (m_retryCount < 0xFF)
                        ++m_retryCount;
                    if (before >= limit)
                    {
                        LogPrintf("<=Seq:: Timeout retry Exceeded\n");
                        m_failed.store(1);
                        return;
                    }
                }
                // With the timer running the packets in flight are already
                // being sent again on its schedule: the timeout counts, but
                // a second go-back would only put the same bytes on the line
                // twice.
                const std::uint64_t due = m_timerDueMs.load();
                const bool timerOwnsIt = m_timerEnabled.load() && m_freeSlots.load() < window &&
                                         (m_unsent > 0 || (due != 0 && CClock::NowMs() < due));
                goBack = !timerOwnsIt;
            }
            else if (m_timerEnabled.load() && m_unsent == 0 && m_freeSlots.load() < window)
            {
                const std::uint64_t due = m_timerDueMs.load();
                const std::uint64_t now = CClock::NowMs();
                if (due != 0 && now >= due)
                {
                    m_timerRetransmissions.fetch_add(1);
                    LogPrintf("<=Seq:: Retransmission timer expired [%d ms]\n", static_cast<int>(m_rtoMs));
                    // A lossy line loses packets in a row, so the first few
                    // expiries keep the estimate; only a peer that stays
                    // silent backs the timer off, up to the timeout.
                    if (++m_expiries > kExpiriesBeforeBackoff)
                    {
                        const std::uint32_t ceiling =
                            m_timeoutMs.load() > kMinRetransmitMs ? m_timeoutMs.load() : kMinRetransmitMs;
                        m_rtoMs = m_rtoMs * 2 < ceiling ? m_rtoMs * 2 : ceiling;
                    }
                    goBack = true;
                }
                else if (due != 0)
                {
                    const std::uint64_t left = due - now;
                    waitMs = left < kPollMs ? static_cast<std::uint32_t>(left) + 1 : kPollMs;
                }
            }
            if (goBack)
            {
                const std::uint8_t next = m_nextTxSeq.load();
                const std::uint8_t k = (next - m_lastAckProcessed.load()) & 0x07;
                m_freeSlots.store(static_cast<std::uint8_t>(m_freeSlots.load() + k));
                m_nextTxSeq.store((next - k) & 0x07);
                m_sampleValid = false;
                continue; // resend at once
            }
            // More to send at once?
            if (m_freeSlots.load() > 0 && NodeAt(static_cast<std::size_t>(window - m_freeSlots.load())) != nullptr)
                continue;
        }
        // 5. Wait for the next acknowledgement, timeout, send or timer expiry,
        // then poll again.
        const CEvent* handles[2] = {&m_worker.StopEvent(), &m_poke};
        if (CEvent::WaitAny(handles, 2, waitMs) == 0)
            return;
    }
}

bool CBCSP_Sequencing_Layer::ReceivePacket(const BCSP_Packet& packet)
{
    BcspReceiveCallback callback = nullptr;
    void* context = nullptr;
    {
        CMutexLock lock(m_callbackMutex);
        callback = m_callback;
        context = m_context;
    }
    CMutexLock lock(m_receiveMutex);
    if (bcsp::Seq(packet) == m_nextRxSeq.load() && callback != nullptr)
    {
        if (callback(packet.payload, packet.length, bcsp::Channel(packet), context))
        {
            m_ackToSend.store((m_ackToSend.load() + 1) & 0x07);
            m_nextRxSeq.store((m_nextRxSeq.load() + 1) & 0x07);
        }
    }
    if (CBCSP_Mux_Layer* lower = m_lower.load())
        lower->SendAck(m_ackToSend.load());
    return true;
}

void CBCSP_Sequencing_Layer::SetLower(CBCSP_Mux_Layer* lower)
{
    LinkNeighbour(m_lower, lower, this, &CBCSP_Mux_Layer::SetReliableUpper);
}

void CBCSP_Sequencing_Layer::AckReceived(std::uint8_t ack)
{
    m_lastAckReceived.store(ack & 0x07);
    m_poke.Set();
}

void CBCSP_Sequencing_Layer::SetTimeout(std::uint32_t milliseconds)
{
    m_timeoutMs.store(milliseconds);
}

void CBCSP_Sequencing_Layer::SetWindowSize(std::uint8_t size)
{
    // The window must fit the 3-bit sequence space.
    if (size < 1)
        size = 1;
    if (size > 7)
        size = 7;
    // Keeps the packets in flight at the head of the queue: a window smaller
    // than what is in flight is not taken.
    CMutexLock lock(m_queueMutex);
    const std::uint8_t inFlight = static_cast<std::uint8_t>(m_windowSize.load() - m_freeSlots.load());
    if (size < inFlight)
        return;
    m_windowSize.store(size);
    m_freeSlots.store(static_cast<std::uint8_t>(size - inFlight));
}

void CBCSP_Sequencing_Layer::SetRetryLimit(std::uint8_t limit)
{
    m_retryLimit.store(limit);
}

void CBCSP_Sequencing_Layer::ForceTimeout()
{
    m_timeoutFlag.store(1);
    m_poke.Set();
}

std::size_t CBCSP_Sequencing_Layer::QueuedCount()
{
    CMutexLock lock(m_queueMutex);
    std::size_t count = 0;
    for (SNode* node = m_head; node != nullptr; node = node->next)
        ++count;
    return count;
}

std::size_t CBCSP_Sequencing_Layer::InFlightCount()
{
    CMutexLock lock(m_queueMutex);
    return static_cast<std::size_t>(m_windowSize.load() - m_freeSlots.load());
}
