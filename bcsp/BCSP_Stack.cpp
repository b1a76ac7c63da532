#include "bcsp/BCSP_Stack.h"

CBCSP_Stack::CBCSP_Stack() = default;

CBCSP_Stack::~CBCSP_Stack()
{
    // The transport goes first, so that its reader no longer enters the
    // stack; then every worker stops, since the mux's worker reports sent
    // packets up to the sequencing layer and the queues' workers send down
    // through the mux: the members are destroyed from the top, and a worker
    // still running would enter a layer already gone.
    DisconnectTransport();
    m_sequencing.StopWorker();
    m_datagram.StopWorker();
    m_mux.StopWorker();
    m_uart.StopWorker();
}

void CBCSP_Stack::Init(CBCSP_HID_Layer* transport)
{
    if (transport == nullptr)
        return;
    m_transport = transport;
    if (IsFailure(m_sequencing.Init()) || IsFailure(m_datagram.Init()) || IsFailure(m_mux.Init()) ||
        IsFailure(m_integrity.Init()) || IsFailure(m_slip.Init()) || IsFailure(m_uart.Init()))
        return;
    m_sequencing.SetLower(&m_mux);
    m_datagram.SetLower(&m_mux);
    m_mux.SetLower(&m_integrity);
    m_integrity.SetLower(&m_slip);
    m_slip.SetLower(&m_uart);
}

void CBCSP_Stack::Reset()
{
    m_sequencing.Reset();
    m_datagram.Reset();
    m_mux.Reset();
    m_integrity.Reset();
    m_slip.Reset();
    m_uart.Reset();
}

void CBCSP_Stack::ConnectTransport()
{
    m_uart.SetLower(m_transport);
}

void CBCSP_Stack::DisconnectTransport()
{
    m_uart.SetLower(nullptr);
}

bool CBCSP_Stack::SendReliable(const std::uint8_t* data, std::size_t length, std::uint8_t channel)
{
    return m_sequencing.Send(data, length, channel);
}

bool CBCSP_Stack::SendUnreliable(const std::uint8_t* data, std::size_t length, std::uint8_t channel)
{
    return m_datagram.Send(data, length, channel);
}

void CBCSP_Stack::Reserved()
{
}

void CBCSP_Stack::EnableCRC(bool enable)
{
    m_integrity.EnableCRC(enable);
}

void CBCSP_Stack::SetReliableCallback(void* context, BcspReceiveCallback callback)
{
    m_sequencing.SetReceiveCallback(context, callback);
}

void CBCSP_Stack::SetUnreliableCallback(void* context, BcspReceiveCallback callback)
{
    m_datagram.SetReceiveCallback(context, callback);
}

bool CBCSP_Stack::SetBaudRate(std::uint32_t rate)
{
    if (m_transport == nullptr)
        return false;
    return m_transport->SetBaudRate(rate);
}

void CBCSP_Stack::ForceTimeout()
{
    m_sequencing.ForceTimeout();
}
