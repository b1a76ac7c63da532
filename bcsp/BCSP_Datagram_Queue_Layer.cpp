#include "bcsp/BCSP_Datagram_Queue_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_Mux_Layer.h"

CBCSP_Datagram_Queue_Layer::CBCSP_Datagram_Queue_Layer() = default;

CBCSP_Datagram_Queue_Layer::~CBCSP_Datagram_Queue_Layer()
{
    m_worker.Stop();
    SetLower(nullptr);
    Reset();
}

HResult CBCSP_Datagram_Queue_Layer::Init()
{
    return m_worker.Start(1, "[ERROR]Datagram: Processing Thread creation fail\n", [this](int) { TransmitStep(); });
}

void CBCSP_Datagram_Queue_Layer::FreeNode(SNode* node)
{
    if (node == nullptr)
        return;
    if (node->record != nullptr)
        std::free(node->record->payload);
    std::free(node->record);
    delete node;
}

void CBCSP_Datagram_Queue_Layer::Reset()
{
    SNode* node = nullptr;
    {
        CMutexLock lock(m_queueMutex);
        node = m_head;
        m_head = nullptr;
        m_tail = nullptr;
    }
    while (node != nullptr)
    {
        SNode* next = node->next;
        FreeNode(node);
        node = next;
    }
}

void CBCSP_Datagram_Queue_Layer::SetReceiveCallback(void* context, BcspReceiveCallback callback)
{
    CMutexLock lock(m_callbackMutex);
    m_context = context;
    m_callback = callback;
}

bool CBCSP_Datagram_Queue_Layer::Send(const std::uint8_t* data, std::size_t length, std::uint8_t channel)
{
    if (channel == 0 || channel > 15 || length >= bcsp::kFrameBufferSize)
        return false;
    if (length == 0 || data == nullptr)
    {
        LogPrintf("[ERROR] Datagram : buffer size 0??\n");
        return true;
    }
    auto* record = static_cast<BCSP_Packet*>(std::calloc(1, sizeof(BCSP_Packet)));
    auto* node = new (std::nothrow) SNode{record, nullptr};
    auto* payload = static_cast<std::uint8_t*>(std::malloc(length));
    if (record == nullptr || node == nullptr || payload == nullptr)
    {
        LogPrintf("[ERROR] Datagram : Unable to allocate memory for unreliable queue!\n");
        std::free(payload);
        std::free(record);
        delete node;
        return true;
    }
    std::memcpy(payload, data, length);
    record->payload = payload;
    record->length = static_cast<std::uint16_t>(length);
    record->header[1] = channel & 0x0F;
    {
        CMutexLock lock(m_queueMutex);
        if (m_tail != nullptr)
            m_tail->next = node;
        else
            m_head = node;
        m_tail = node;
    }
    m_worker.Signal(0);
    return true;
}

void CBCSP_Datagram_Queue_Layer::TransmitStep()
{
    for (;;)
    {
        CBCSP_Mux_Layer* lower = m_lower.load();
        if (lower == nullptr)
            return;
        SNode* node = nullptr;
        {
            CMutexLock lock(m_queueMutex);
            node = m_head;
            if (node == nullptr)
                return;
            m_head = node->next;
            if (m_head == nullptr)
                m_tail = nullptr;
        }
        lower->SendPacket(*node->record);
        FreeNode(node);
    }
}

bool CBCSP_Datagram_Queue_Layer::ReceivePacket(const BCSP_Packet& packet)
{
    BcspReceiveCallback callback = nullptr;
    void* context = nullptr;
    {
        CMutexLock lock(m_callbackMutex);
        callback = m_callback;
        context = m_context;
    }
    if (callback != nullptr)
        callback(packet.payload, packet.length, bcsp::Channel(packet), context);
    return true;
}

void CBCSP_Datagram_Queue_Layer::SetLower(CBCSP_Mux_Layer* lower)
{
    LinkNeighbour(m_lower, lower, this, &CBCSP_Mux_Layer::SetUnreliableUpper);
}
