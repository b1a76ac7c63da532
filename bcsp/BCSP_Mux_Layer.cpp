#include "bcsp/BCSP_Mux_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <new>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_Datagram_Queue_Layer.h"
#include "bcsp/BCSP_Packet_Integrity_Layer.h"
#include "bcsp/BCSP_Sequencing_Layer.h"
#include "platform/Clock.h"

CBCSP_Mux_Layer::CBCSP_Mux_Layer() = default;

CBCSP_Mux_Layer::~CBCSP_Mux_Layer()
{
    // The worker stops first, so that it never sends through a neighbour
    // that is being unlinked.
    m_worker.Stop();
    SetReliableUpper(nullptr);
    SetUnreliableUpper(nullptr);
    SetLower(nullptr);
    Reset();
}

HResult CBCSP_Mux_Layer::Init()
{
    return m_worker.Start(1, "[ERROR]MUX: Processing Thread creation fail\n", [this](int) { TransmitStep(); });
}

void CBCSP_Mux_Layer::Reset()
{
    m_passThrough.store(0);
    m_ackPending.store(0);
    m_lastReceiveTime.store(0);
    m_ackToSend.store(0);
    m_lastAckReceived.store(0);
    FreeAll(m_reliable, m_reliableMutex);
    FreeAll(m_unreliable, m_unreliableMutex);
}

void CBCSP_Mux_Layer::SetPassThroughMode(bool passThrough)
{
    m_passThrough.store(passThrough ? 1 : 0);
}

std::uint32_t CBCSP_Mux_Layer::GetLastReceiveTime()
{
    return m_lastReceiveTime.load();
}

void CBCSP_Mux_Layer::SendAck(std::uint8_t ack)
{
    m_ackToSend.store(ack & 0x07);
    std::uint32_t expected = 0;
    m_ackPending.compare_exchange_strong(expected, 1);
    m_worker.Signal(0);
}

bool CBCSP_Mux_Layer::Append(SQueue& queue, CMutex& mutex, BCSP_Packet* packet)
{
    auto* node = new (std::nothrow) SNode{packet, nullptr};
    if (node == nullptr)
        return false;
    CMutexLock lock(mutex);
    if (queue.tail != nullptr)
        queue.tail->next = node;
    else
        queue.head = node;
    queue.tail = node;
    return true;
}

BCSP_Packet* CBCSP_Mux_Layer::Pop(SQueue& queue, CMutex& mutex)
{
    SNode* node = nullptr;
    {
        CMutexLock lock(mutex);
        node = queue.head;
        if (node == nullptr)
            return nullptr;
        queue.head = node->next;
        if (queue.head == nullptr)
            queue.tail = nullptr;
    }
    BCSP_Packet* packet = node->packet;
    delete node;
    return packet;
}

void CBCSP_Mux_Layer::FreeAll(SQueue& queue, CMutex& mutex)
{
    SNode* node = nullptr;
    {
        CMutexLock lock(mutex);
        node = queue.head;
        queue.head = nullptr;
        queue.tail = nullptr;
    }
    while (node != nullptr)
    {
        SNode* next = node->next;
        bcsp::FreePacketSingle(node->packet);
        delete node;
        node = next;
    }
}

bool CBCSP_Mux_Layer::SendPacket(const BCSP_Packet& packet)
{
    const bool reliable = bcsp::IsReliable(packet);
    BCSP_Packet* copy = bcsp::CopyPacketSingle(packet);
    bool queued = false;
    if (copy != nullptr)
        queued = reliable ? Append(m_reliable, m_reliableMutex, copy) : Append(m_unreliable, m_unreliableMutex, copy);
    if (!queued)
    {
        bcsp::FreePacketSingle(copy);
        LogPrintf(reliable ? "[ERROR] Mux : Unable to allocate memory for reliable queue!\n"
                           : "[ERROR] Mux : Unable to allocate memory for unreliable queue!\n");
        // Gone as far as it will: the sequencing layer's timer may run.
        if (reliable)
        {
            if (CBCSP_Sequencing_Layer* upper = m_reliableUpper.load())
                upper->PacketSent();
        }
        return true;
    }
    m_worker.Signal(0);
    return true;
}

void CBCSP_Mux_Layer::TransmitStep()
{
    bool sent = true;
    CBCSP_Packet_Integrity_Layer* lower = nullptr;
    while (sent && (lower = m_lower.load()) != nullptr)
    {
        sent = false;
        std::uint32_t pending = 1;
        if (m_ackPending.compare_exchange_strong(pending, 0))
        {
            BCSP_Packet ack{};
            ack.header[0] = static_cast<std::uint8_t>((m_ackToSend.load() & 0x07) << bcsp::kAckShift);
            lower->SendPacket(ack);
            sent = true;
            continue;
        }
        BCSP_Packet* packet = Pop(m_unreliable, m_unreliableMutex);
        if (packet == nullptr)
            packet = Pop(m_reliable, m_reliableMutex);
        if (packet != nullptr)
        {
            packet->header[0] = static_cast<std::uint8_t>((packet->header[0] & ~bcsp::kAckMask) |
                                                          ((m_ackToSend.load() & 0x07) << bcsp::kAckShift));
            const bool reliable = bcsp::IsReliable(*packet);
            if (!lower->SendPacket(*packet))
                LogPrintf("[ERROR] Mux : the lower layer refused a %s packet of %d bytes\n",
                          reliable ? "reliable" : "unreliable", static_cast<int>(packet->length));
            bcsp::FreePacketSingle(packet);
            // The sequencing layer times its retransmission from here.
            if (reliable)
            {
                if (CBCSP_Sequencing_Layer* upper = m_reliableUpper.load())
                    upper->PacketSent();
            }
            sent = true;
        }
    }
}

bool CBCSP_Mux_Layer::ReceivePacket(const BCSP_Packet& packet)
{
    m_lastReceiveTime.store(static_cast<std::uint32_t>(CClock::NowMs()));
    CBCSP_Sequencing_Layer* reliableUpper = m_reliableUpper.load();
    CBCSP_Datagram_Queue_Layer* unreliableUpper = m_unreliableUpper.load();
    const bool reliable = bcsp::IsReliable(packet);
    if (m_passThrough.load() == 0)
    {
        // Every valid packet carries the peer's acknowledgement number, not
        // only acknowledgement-only packets: a chip may acknowledge on its
        // own replies alone. (The sequencing layer ignores a number that
        // acknowledges nothing it sent.)
        const std::uint8_t ack = bcsp::Ack(packet);
        m_lastAckReceived.store(ack);
        if (reliableUpper != nullptr)
            reliableUpper->AckReceived(ack);
        if (reliable)
        {
            if (reliableUpper != nullptr)
                reliableUpper->ReceivePacket(packet);
        }
        else if (unreliableUpper != nullptr)
        {
            unreliableUpper->ReceivePacket(packet);
        }
        return true;
    }
    if (!reliable)
    {
        if (unreliableUpper != nullptr)
            unreliableUpper->ReceivePacket(packet);
    }
    else if (bcsp::Channel(packet) == 1 && reliableUpper != nullptr)
    {
        reliableUpper->ReceivePacket(packet);
    }
    return true;
}

void CBCSP_Mux_Layer::SetReliableUpper(CBCSP_Sequencing_Layer* upper)
{
    CBCSP_Sequencing_Layer* old = m_reliableUpper.load();
    if (old == upper)
        return;
    m_reliableUpper.store(upper);
    if (old != nullptr)
        old->SetLower(nullptr);
    if (upper != nullptr)
    {
        upper->SetLower(this);
        upper->AckReceived(m_lastAckReceived.load());
    }
}

void CBCSP_Mux_Layer::SetUnreliableUpper(CBCSP_Datagram_Queue_Layer* upper)
{
    LinkNeighbour(m_unreliableUpper, upper, this, &CBCSP_Datagram_Queue_Layer::SetLower);
}

void CBCSP_Mux_Layer::SetLower(CBCSP_Packet_Integrity_Layer* lower)
{
    LinkNeighbour(m_lower, lower, this, &CBCSP_Packet_Integrity_Layer::SetUpper);
}
