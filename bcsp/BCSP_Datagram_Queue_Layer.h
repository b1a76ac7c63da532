#pragma once
// Unreliable datagrams on channels 1-15: a queue emptied by this layer's
// worker into the multiplexer, and delivery of received unreliable packets
// to the client's callback (whose result is ignored).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_Packet.h"
#include "bcsp/BCSP_Worker.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_Mux_Layer;

class CBCSP_Datagram_Queue_Layer
{
public:
    CBCSP_Datagram_Queue_Layer();

    virtual HResult Init();
    virtual void Reset();
    virtual void SetReceiveCallback(void* context, BcspReceiveCallback callback);
    virtual bool Send(const std::uint8_t* data, std::size_t length, std::uint8_t channel);
    virtual bool ReceivePacket(const BCSP_Packet& packet);
    virtual void SetLower(CBCSP_Mux_Layer* lower);
    virtual ~CBCSP_Datagram_Queue_Layer();
    // Stops the worker for good. The stack stops every worker before any
    // layer goes, since a worker calls into its neighbours.
    void StopWorker() { m_worker.Stop(); }

    CBCSP_Datagram_Queue_Layer(const CBCSP_Datagram_Queue_Layer&) = delete;
    CBCSP_Datagram_Queue_Layer& operator=(const CBCSP_Datagram_Queue_Layer&) = delete;

private:
    struct SNode
    {
        BCSP_Packet* record;
        SNode* next;
    };

    void TransmitStep();
    static void FreeNode(SNode* node);

    CBCSP_Worker m_worker;
    CMutex m_callbackMutex;
    BcspReceiveCallback m_callback = nullptr;
    void* m_context = nullptr;
    std::atomic<CBCSP_Mux_Layer*> m_lower{nullptr};
    SNode* m_head = nullptr;
    SNode* m_tail = nullptr;
    CMutex m_queueMutex;
};
