#include "bcsp/BCSP_UART_Driver.h"

#include <new>

#include "bcsp/BCSP_HID_Layer.h"
#include "bcsp/BCSP_Slip_Layer.h"
#include "platform/Clock.h"

namespace
{
constexpr std::uint8_t kEnd = 0xC0;
}

CBCSP_UART_Driver::CBCSP_UART_Driver() = default;

CBCSP_UART_Driver::~CBCSP_UART_Driver()
{
    SetUpper(nullptr);
    SetLower(nullptr);
    Reset();
    StopWorker();
    m_linkMutex.reset();
    m_rxMutex.reset();
}

HResult CBCSP_UART_Driver::Init()
{
    if (!m_linkMutex)
        m_linkMutex.reset(new (std::nothrow) CMutex);
    if (!m_rxMutex)
        m_rxMutex.reset(new (std::nothrow) CMutex);
    if (!m_linkMutex || !m_rxMutex)
        return HR_FAIL;
    return StartWorker();
}

void CBCSP_UART_Driver::Reset()
{
}

HResult CBCSP_UART_Driver::StartWorker()
{
    return m_worker.Start(2, "[ERROR]UART: Processing Thread creation fail\n", [this](int index) {
        if (index == 0)
            DrainTransmit();
        else
            DrainReceive();
    });
}

void CBCSP_UART_Driver::StopWorker()
{
    m_worker.Stop();
}

void CBCSP_UART_Driver::ClearTransmit()
{
    m_txRead = 0;
    m_txWrite = 0;
    m_chunkCount = 0;
    m_chunkDelimiters = 0;
}

void CBCSP_UART_Driver::ClearReceive()
{
    m_rxRead = 0;
    m_rxWrite = 0;
    m_frameCount = 0;
    m_frameDelimiters = 0;
}

void CBCSP_UART_Driver::SetUpper(CBCSP_Slip_Layer* upper)
{
    CBCSP_Slip_Layer* old = m_upper.load();
    if (old == upper)
        return;
    m_upper.store(upper);
    if (old != nullptr)
        old->SetLower(nullptr);
    if (upper != nullptr)
        upper->SetLower(this);
    ClearTransmit();
}

void CBCSP_UART_Driver::SetLower(CBCSP_HID_Layer* lower)
{
    if (!m_linkMutex)
        return;
    CBCSP_HID_Layer* old = nullptr;
    {
        // The neighbour is called outside the link mutex: its reader takes
        // its own mutex before it enters DeliverBytes.
        CMutexLock lock(*m_linkMutex);
        old = m_lower.load();
        if (old == lower)
            return;
        m_lower.store(lower);
        CMutexLock rx(*m_rxMutex);
        ClearReceive();
    }
    {
        // A drain that loaded the old transport has finished with it.
        CMutexLock tx(m_txMutex);
    }
    if (old != nullptr)
        old->SetUpper(nullptr);
    if (lower != nullptr)
        lower->SetUpper(this);
}

bool CBCSP_UART_Driver::WriteBytes(const std::uint8_t* bytes, std::size_t length)
{
    if (m_worker.IsStopped() || bytes == nullptr)
        return false;
    // The ring keeps one slot free to tell full from empty; a frame that does
    // not fit is refused whole rather than overwriting bytes not yet sent.
    const std::size_t used = (m_txWrite + kTxRingSize - m_txRead) % kTxRingSize;
    if (length > kTxRingSize - 1 - used)
        return false;
    for (std::size_t i = 0; i < length; ++i)
    {
        m_txRing[m_txWrite] = bytes[i];
        m_txWrite = (m_txWrite + 1) % kTxRingSize;
    }
    DrainTransmit();
    return true;
}

void CBCSP_UART_Driver::DrainTransmit()
{
    CBCSP_HID_Layer* lower = nullptr;
    m_txMutex.Lock();
    while (!m_worker.IsStopped() && m_txRead != m_txWrite && (lower = m_lower.load()) != nullptr)
    {
        const std::uint8_t byte = m_txRing[m_txRead];
        m_chunk[m_chunkCount++] = byte;
        if (byte == kEnd)
            ++m_chunkDelimiters;
        m_txRead = (m_txRead + 1) % kTxRingSize;
        if (m_chunkCount == kChunkSize || m_chunkDelimiters == 2)
        {
            lower->SendChunk(m_chunk, m_chunkCount);
            m_chunkCount = 0;
            if (m_chunkDelimiters == 2)
                m_chunkDelimiters = 0;
        }
    }
    m_txMutex.Unlock();
    // No pacing sleep after the drain: the transport's report writer blocks
    // until the bridge has taken each report, which paces the line, and a
    // fixed sleep here would stand between every acknowledgement and the
    // request behind it.
}

bool CBCSP_UART_Driver::DeliverBytes(const std::uint8_t* bytes, std::size_t length)
{
    if (m_worker.IsStopped() || !m_rxMutex)
        return false;
    if (bytes == nullptr && length > 0)
        return false;
    // Hand large deliveries over in pieces that always fit the ring, so that
    // unread bytes are never overwritten.
    constexpr std::size_t kPiece = kRingSize / 2;
    std::size_t done = 0;
    do
    {
        const std::size_t n = (length - done) < kPiece ? (length - done) : kPiece;
        {
            CMutexLock lock(*m_rxMutex);
            for (std::size_t i = 0; i < n; ++i)
            {
                m_rxRing[m_rxWrite] = bytes[done + i];
                m_rxWrite = (m_rxWrite + 1) % kRingSize;
            }
        }
        done += n;
        DrainReceive();
    } while (done < length);
    return true;
}

void CBCSP_UART_Driver::DrainReceive()
{
    if (m_worker.IsStopped() || !m_linkMutex || !m_rxMutex)
        return;
    CMutexLock link(*m_linkMutex);
    CMutexLock rx(*m_rxMutex);
    const std::size_t write = m_rxWrite;
    CBCSP_Slip_Layer* upper = nullptr;
    while (m_rxRead != write && (upper = m_upper.load()) != nullptr)
    {
        const std::uint8_t byte = m_rxRing[m_rxRead];
        m_rxRead = (m_rxRead + 1) % kRingSize;
        if (byte == kEnd)
            ++m_frameDelimiters;
        if (m_frameDelimiters == 0)
            continue; // outside a frame
        if (m_frameCount >= kRingSize)
        {
            // Longer than any frame the stack can hold: drop it and wait for
            // the next delimiter to start again.
            m_frameCount = 0;
            m_frameDelimiters = 0;
            continue;
        }
        m_frame[m_frameCount++] = byte;
        if (m_frameDelimiters == 2)
        {
            if (m_frameCount == 2)
            {
                // Two adjacent delimiters: the second opens the next frame.
                // This keeps the gatherer in step after a lost delimiter.
                m_frameCount = 1;
                m_frameDelimiters = 1;
                continue;
            }
            upper->ReceiveBytes(m_frame, m_frameCount);
            m_frameCount = 0;
            m_frameDelimiters = 0;
        }
    }
}
