#pragma once
// The multiplexer: the one transmit scheduler above packet integrity. A
// pending acknowledgement goes out first (as an acknowledgement-only packet),
// then unreliable packets, then reliable ones; every packet carries the
// latest acknowledgement number. Received packets are dispatched by their
// reliable bit; the acknowledgement number of every received packet goes
// to the sequencing layer.
//
// Threads: SendPacket in the sequencing and datagram workers; SendAck and
// ReceivePacket in the transport's reader; the transmit step in this
// layer's own worker, which runs the whole path below it.

#include <atomic>
#include <cstdint>

#include "bcsp/BCSP_Packet.h"
#include "bcsp/BCSP_Worker.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_Sequencing_Layer;
class CBCSP_Datagram_Queue_Layer;
class CBCSP_Packet_Integrity_Layer;

class CBCSP_Mux_Layer
{
public:
    CBCSP_Mux_Layer();

    virtual HResult Init();
    virtual void Reset();
    virtual void SetPassThroughMode(bool passThrough);
    virtual std::uint32_t GetLastReceiveTime();
    virtual void SendAck(std::uint8_t ack);
    virtual bool SendPacket(const BCSP_Packet& packet);
    virtual bool ReceivePacket(const BCSP_Packet& packet);
    virtual void SetReliableUpper(CBCSP_Sequencing_Layer* upper);
    virtual void SetUnreliableUpper(CBCSP_Datagram_Queue_Layer* upper);
    virtual void SetLower(CBCSP_Packet_Integrity_Layer* lower);
    virtual ~CBCSP_Mux_Layer();
    // Stops the worker for good. The stack stops every worker before any
    // layer goes, since a worker calls into its neighbours.
    void StopWorker() { m_worker.Stop(); }

    CBCSP_Mux_Layer(const CBCSP_Mux_Layer&) = delete;
    CBCSP_Mux_Layer& operator=(const CBCSP_Mux_Layer&) = delete;

private:
    struct SNode
    {
        BCSP_Packet* packet;
        SNode* next;
    };
    struct SQueue
    {
        SNode* head = nullptr;
        SNode* tail = nullptr;
    };

    void TransmitStep();
    static bool Append(SQueue& queue, CMutex& mutex, BCSP_Packet* packet);
    static BCSP_Packet* Pop(SQueue& queue, CMutex& mutex);
    static void FreeAll(SQueue& queue, CMutex& mutex);

    CBCSP_Worker m_worker;
    std::atomic<CBCSP_Packet_Integrity_Layer*> m_lower{nullptr};
    std::atomic<CBCSP_Sequencing_Layer*> m_reliableUpper{nullptr};
    std::atomic<CBCSP_Datagram_Queue_Layer*> m_unreliableUpper{nullptr};
    SQueue m_reliable;
    SQueue m_unreliable;
    std::atomic<std::uint8_t> m_passThrough{0};
    std::atomic<std::uint32_t> m_ackPending{0};
    std::atomic<std::uint8_t> m_ackToSend{0};
    std::atomic<std::uint8_t> m_lastAckReceived{0};
    std::atomic<std::uint32_t> m_lastReceiveTime{0};
    CMutex m_reliableMutex;
    CMutex m_unreliableMutex;
};
