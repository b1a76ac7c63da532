#pragma once
// The BCSP stack: the six layers, linked from the sequencing layer down to
// the byte layer, and the transport supplied by the client (never owned).
//
//   CBCSP_Sequencing_Layer       reliable delivery
//   CBCSP_Datagram_Queue_Layer   unreliable delivery
//   CBCSP_Mux_Layer              one transmit scheduler for both
//   CBCSP_Packet_Integrity_Layer  header, checksum, CRC
//   CBCSP_Slip_Layer         SLIP framing
//   CBCSP_UART_Driver        byte rings and transport chunks
//   CBCSP_HID_Layer          the transport (client's)
//
// Threads: one worker per queueing layer plus the transport's reader, which
// runs the whole receive path up to the client's callbacks.

#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_Datagram_Queue_Layer.h"
#include "bcsp/BCSP_HID_Layer.h"
#include "bcsp/BCSP_Mux_Layer.h"
#include "bcsp/BCSP_Packet.h"
#include "bcsp/BCSP_Packet_Integrity_Layer.h"
#include "bcsp/BCSP_Sequencing_Layer.h"
#include "bcsp/BCSP_Slip_Layer.h"
#include "bcsp/BCSP_UART_Driver.h"
#include "platform/Types.h"

class CBCSP_Stack
{
public:
    CBCSP_Stack();

    // Stores the transport, initialises the layers from the top and links
    // them when all succeeded. A null transport does nothing.
    virtual void Init(CBCSP_HID_Layer* transport);
    virtual void Reset();
    virtual void ConnectTransport();
    virtual void DisconnectTransport();
    virtual bool SendReliable(const std::uint8_t* data, std::size_t length, std::uint8_t channel);
    virtual bool SendUnreliable(const std::uint8_t* data, std::size_t length, std::uint8_t channel);
    virtual void Reserved();
    virtual void EnableCRC(bool enable);
    virtual void SetReliableCallback(void* context, BcspReceiveCallback callback);
    virtual void SetUnreliableCallback(void* context, BcspReceiveCallback callback);
    virtual bool SetBaudRate(std::uint32_t rate);
    virtual void ForceTimeout();
    virtual ~CBCSP_Stack();

    CBCSP_Stack(const CBCSP_Stack&) = delete;
    CBCSP_Stack& operator=(const CBCSP_Stack&) = delete;

    // The layers, for diagnostics and tests.
    CBCSP_Sequencing_Layer& Sequencing() { return m_sequencing; }
    CBCSP_Datagram_Queue_Layer& Datagram() { return m_datagram; }
    CBCSP_Mux_Layer& Mux() { return m_mux; }
    CBCSP_Packet_Integrity_Layer& PacketIntegrity() { return m_integrity; }
    CBCSP_Slip_Layer& Slip() { return m_slip; }
    CBCSP_UART_Driver& Uart() { return m_uart; }

private:
    CBCSP_HID_Layer* m_transport = nullptr;
    CBCSP_UART_Driver m_uart;
    CBCSP_Slip_Layer m_slip;
    CBCSP_Packet_Integrity_Layer m_integrity;
    CBCSP_Mux_Layer m_mux;
    CBCSP_Datagram_Queue_Layer m_datagram;
    CBCSP_Sequencing_Layer m_sequencing;
};
