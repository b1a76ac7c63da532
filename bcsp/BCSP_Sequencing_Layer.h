#pragma once
// Reliable, ordered delivery on channels 1-15: 3-bit sequence numbers, a
// window of unacknowledged packets, go-back-N retransmission when the client
// raises a timeout (ForceTimeout) or, once enabled, when the retransmission
// timer expires, and in-order acceptance of received reliable packets, each
// answered with an acknowledgement.
//
// An acknowledgement number that acknowledges nothing that was sent is
// ignored (and logged once): it can only be stale or corrupt.
//
// The retransmission timer starts when the multiplexer reports that the
// last packet handed to it has left (PacketSent), and runs for an estimate
// of the round trip (smoothed round-trip time plus four times its
// variation, from packets that were not retransmitted), at least
// kMinRetransmitMs and at most the timeout (SetTimeout, 250 ms by default);
// after three expiries in a row without an acknowledgement each further one
// doubles it, up to the timeout.
// Expiries of the timer do not count against the retry limit: that budget
// stays the client's, counted in ForceTimeout calls.
//
// Threads: Send, ForceTimeout and Reset in the client's thread; ReceivePacket
// and AckReceived in the transport's reader (through the multiplexer); the
// processing step in this layer's worker. The transmit queue and the numbers
// the step works on are guarded by the queue mutex; the receive numbers by the
// receive mutex, held across the client's callback (which therefore must not
// call Reset).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_Packet.h"
#include "bcsp/BCSP_Worker.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_Mux_Layer;

class CBCSP_Sequencing_Layer
{
public:
    CBCSP_Sequencing_Layer();

    virtual HResult Init();
    virtual void Reset();
    virtual void SetReceiveCallback(void* context, BcspReceiveCallback callback);
    virtual bool Send(const std::uint8_t* data, std::size_t length, std::uint8_t channel);
    virtual bool ReceivePacket(const BCSP_Packet& packet);
    virtual void SetLower(CBCSP_Mux_Layer* lower);
    virtual void AckReceived(std::uint8_t ack);
    virtual void SetTimeout(std::uint32_t milliseconds);
    virtual void SetWindowSize(std::uint8_t size);
    virtual void SetRetryLimit(std::uint8_t limit);
    virtual void ForceTimeout();
    // Switches the retransmission timer on or off (off until called).
    virtual void EnableRetransmitTimer(bool enable);
    // Called by the multiplexer when a reliable packet it was handed has
    // gone to the lower layer (or was dropped there).
    virtual void PacketSent();
    virtual ~CBCSP_Sequencing_Layer();
    // Stops the worker for good. The stack stops every worker before any
    // layer goes, since a worker calls into its neighbours.
    void StopWorker() { m_worker.Stop(); }

    static constexpr std::uint32_t kMinRetransmitMs = 5;

    CBCSP_Sequencing_Layer(const CBCSP_Sequencing_Layer&) = delete;
    CBCSP_Sequencing_Layer& operator=(const CBCSP_Sequencing_Layer&) = delete;

    // Observers for diagnostics and tests.
    std::size_t QueuedCount();
    std::size_t InFlightCount();
    bool IsFailed() const { return m_failed.load() != 0; }
    std::uint32_t RetransmitTimeoutMs();
    std::uint32_t TimerRetransmissions() const { return m_timerRetransmissions.load(); }
    // Reliable packets handed to the multiplexer so far, first sends and
    // resends alike (each one is on its way to the line from then on).
    std::uint32_t HandedDownCount() const { return m_handedDown.load(); }
    // Timeouts raised by ForceTimeout that the processing step has acted on.
    std::uint32_t ForcedTimeoutsHandled() const { return m_forcedTimeouts.load(); }

private:
    struct SNode
    {
        BCSP_Packet* packet;
        SNode* next;
    };

    void ProcessQueue();
    void ArmTimer();
    void CancelTimer();
    // Under the queue mutex.
    void SampleRoundTrip(std::uint64_t now);
    SNode* NodeAt(std::size_t index);

    CBCSP_Worker m_worker;
    CMutex m_callbackMutex;
    BcspReceiveCallback m_callback = nullptr;
    void* m_context = nullptr;
    std::atomic<CBCSP_Mux_Layer*> m_lower{nullptr};

    std::atomic<std::uint8_t> m_nextTxSeq{0};
    std::atomic<std::uint8_t> m_ackToSend{0};
    std::atomic<std::uint8_t> m_lastAckProcessed{0};
    std::atomic<std::uint8_t> m_lastAckReceived{0};
    std::atomic<std::uint8_t> m_nextRxSeq{0};
    std::atomic<std::uint8_t> m_freeSlots{4};
    std::uint8_t m_retryCount = 0;
    std::atomic<std::uint32_t> m_timeoutMs{250};
    std::atomic<std::uint8_t> m_windowSize{4};
    std::atomic<std::uint8_t> m_retryLimit{20};
    // Retransmission timer (due time 0 when not running). The fields below
    // are guarded by the queue mutex.
    std::atomic<std::uint64_t> m_timerDueMs{0};
    std::atomic<bool> m_timerEnabled{false};
    std::uint8_t m_sentSpan = 0;     // queue-head packets sent at least once
    std::uint32_t m_unsent = 0;      // handed to the multiplexer, not yet gone
    std::uint64_t m_lastSentMs = 0;  // when the last of them went
    bool m_sampleValid = false;      // nothing in flight was retransmitted
    double m_srttMs = 0;
    double m_rttVarMs = 0;
    bool m_haveRtt = false;
    std::uint32_t m_rtoMs = 250;
    std::uint8_t m_lastRejectedAck = 0xFF;
    std::uint32_t m_expiries = 0; // timer expiries since the last acknowledgement
    std::atomic<std::uint32_t> m_timerRetransmissions{0};
    std::atomic<std::uint32_t> m_handedDown{0};
    std::atomic<std::uint32_t> m_forcedTimeouts{0};
    std::atomic<std::uint8_t> m_timeoutFlag{0};
    std::atomic<std::uint8_t> m_failed{0};

    SNode* m_head = nullptr;
    SNode* m_tail = nullptr;
    CMutex m_queueMutex;
    // Guards the receive numbers across the client's callback (receive and Reset).
    CMutex m_receiveMutex;
    // Wakes the processing step between polls (acknowledgement, timeout, new data).
    CEvent m_poke;
};
