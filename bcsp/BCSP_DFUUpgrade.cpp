#include "bcsp/BCSP_DFUUpgrade.h"

#include <cstring>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"

namespace
{
const std::uint8_t kLinkMessages[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED}, // BT_SYNC_COMMAND
    {0xAC, 0xAF, 0xEF, 0xEE}, // BT_SYNC_RESP_COMMAND
    {0xAD, 0xEF, 0xAC, 0xED}, // BT_CONF_COMMAND
    {0xDE, 0xAD, 0xD0, 0xD0}, // BT_CONF_RESP_COMMAND
};
enum ELinkMessage
{
    kSync = 0,
    kSyncResp = 1,
    kConf = 2,
    kConfResp = 3,
};

void Put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
} // namespace

CBCSP_DFUUpgrade::CBCSP_DFUUpgrade()
{
    std::memset(m_reply, 0, sizeof(m_reply));
    std::memset(m_slots, 0, sizeof(m_slots));
    std::memset(m_slotLength, 0, sizeof(m_slotLength));
    std::memset(m_slotChannel, 0, sizeof(m_slotChannel));
    std::memset(m_download, 0, sizeof(m_download));
}

CBCSP_DFUUpgrade::~CBCSP_DFUUpgrade()
{
    m_stack.Reset();
    m_stack.DisconnectTransport();
    // No reader enters the callbacks any more; unregister them before the
    // events go.
    m_stack.SetReliableCallback(nullptr, nullptr);
    m_stack.SetUnreliableCallback(nullptr, nullptr);
    m_reliableEvent.Close();
    m_unreliableEvent.Close();
}

HResult CBCSP_DFUUpgrade::Init(CBCSP_HID_Layer* transport)
{
    m_stack.Init(transport);
    m_stack.EnableCRC(true);
    // A lost request or block is sent again after a round trip, not only
    // when a 500-ms slice of the reply wait has passed.
    m_stack.Sequencing().EnableRetransmitTimer(true);
    const bool reliable = m_reliableEvent.IsValid() || m_reliableEvent.Create(false, false);
    const bool unreliable = m_unreliableEvent.IsValid() || m_unreliableEvent.Create(false, false);
    return reliable && unreliable ? HR_OK : HR_FAIL;
}

bool CBCSP_DFUUpgrade::OnReliable(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel,
                                  void* context)
{
    auto* self = static_cast<CBCSP_DFUUpgrade*>(context);
    {
        CMutexLock lock(self->m_replyMutex);
        if (channel == kDfuChannel)
        {
            const std::uint32_t number = ++self->m_repliesReceived;
            if (number > self->m_awaitedReply)
            {
                // More replies than requests (a chip that answered twice):
                // count from this one.
                self->m_repliesReceived = self->m_awaitedReply;
            }
            else if (number < self->m_awaitedReply)
            {
                // The answer to a request that was given up: not the one the
                // client waits for now.
                ++self->m_lateReplies;
                LogPrintf("CBCSP_DFUUpgrade - late reply [%u] discarded, awaiting [%u]\n", number,
                          self->m_awaitedReply);
                return true;
            }
        }
        // A reply longer than the buffer is cut to it.
        const std::size_t n = payload != nullptr ? (length < kReplySize ? length : kReplySize) : 0;
        if (n > 0)
            std::memcpy(self->m_reply, payload, n);
        self->m_replyLength = static_cast<std::uint32_t>(n);
        self->m_replyChannel = channel;
    }
    self->m_reliableEvent.Set();
    return true;
}

bool CBCSP_DFUUpgrade::OnUnreliable(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel,
                                    void* context)
{
    auto* self = static_cast<CBCSP_DFUUpgrade*>(context);
    {
        CMutexLock lock(self->m_ringMutex);
        const std::uint8_t slot = self->m_writeIndex;
        // A payload longer than a slot is cut to it; the classification
        // still sees its true length.
        const std::size_t n = payload != nullptr ? (length < kSlotSize ? length : kSlotSize) : 0;
        if (n > 0)
            std::memcpy(self->m_slots[slot], payload, n);
        self->m_slotLength[slot] = length;
        self->m_slotChannel[slot] = channel;
        self->m_writeIndex = static_cast<std::uint8_t>((slot + 1) % kSlotCount);
        // When the reader lags, the oldest slot is overwritten.
        if (self->m_unread == kSlotCount)
            self->m_readIndex = self->m_writeIndex;
        else
            ++self->m_unread;
    }
    self->m_unreliableEvent.Set();
    return true;
}

int CBCSP_DFUUpgrade::ClassifySlot(std::size_t slot)
{
    CMutexLock lock(m_ringMutex);
    if (m_slotLength[slot] != 4)
        return -1;
    for (int i = 0; i < 4; ++i)
    {
        if (std::memcmp(m_slots[slot], kLinkMessages[i], 4) == 0)
            return i;
    }
    return -1;
}

void CBCSP_DFUUpgrade::ForgetOwedReplies()
{
    CMutexLock lock(m_replyMutex);
    m_requestsSent = 0;
    m_repliesReceived = 0;
    m_awaitedReply = 0;
}

bool CBCSP_DFUUpgrade::EstablishLink()
{
    std::uint32_t rate = 115200;
    bool linked = false;
    auto send = [this](int message) { m_stack.SendUnreliable(kLinkMessages[message], 4, kLinkChannel); };

    for (;;)
    {
        if (!m_stack.SetBaudRate(rate) && rate != 115200)
            break;
        CClock::Sleep(1000);
        {
            // Datagrams from before this cycle (acknowledgements of earlier
            // traffic) are no answer to it.
            CMutexLock lock(m_ringMutex);
            m_readIndex = m_writeIndex;
            m_unread = 0;
        }
        m_unreliableEvent.Reset();
        int state = 0;
        const int cycle = 0;
        LogPrintf("######### Start of Handshake Loop [%d] State[%d]\n", cycle, state);
        if (state == 0)
        {
            send(kSync);
            LogPrintf("***> Send Slip Handshake Packet BT_SYNC_COMMAND\n");
            CClock::Sleep(1000);
        }
        else
        {
            send(kConf);
            LogPrintf("######### ***> Send Slip Handshake Packet BT_CONF_COMMAND\n");
            CClock::Sleep(10);
        }
        for (int pass = 0; pass < 2 && state != 2; ++pass)
        {
            LogPrintf("######### Start of Handshake read Loop [%d] State[%d]\n", pass, state);
            if (pass > 0 && state == 1)
            {
                // Still configuring after a whole pass: the chip's CONF_RESP
                // was lost on the wire (a passive chip sends nothing more of
                // its own), so the configuration is asked for once again.
                send(kConf);
                LogPrintf("***> Send Slip Handshake Packet BT_CONF_COMMAND\n");
                CClock::Sleep(10);
            }
            int unknownCount = 0;
            bool passOver = false;
            while (!passOver)
            {
                if (m_unreliableEvent.Wait(500) != EWaitResult::Signalled)
                    break;
                m_unreliableEvent.Reset();
                // Every datagram that came since the last wake-up is read: one
                // wake-up may stand for several (the event does not count).
                for (;;)
                {
                    std::uint8_t slot = 0;
                    {
                        CMutexLock lock(m_ringMutex);
                        if (m_unread == 0)
                            break;
                        slot = m_readIndex;
                        m_readIndex = static_cast<std::uint8_t>((m_readIndex + 1) % kSlotCount);
                        --m_unread;
                    }
                    switch (ClassifySlot(slot))
                    {
                    case kSync:
                        LogPrintf("######### ***> Received BT_SYNC_COMMAND Handshake[%d]\n", state);
                        if (state == 0 || state == 1)
                        {
                            LogPrintf("######### <*** Semd BT_SYNC_RESPONSE_COMMAND Handshake[%d]\n", state);
                            send(kSyncResp);
                        }
                        break;
                    case kSyncResp:
                        LogPrintf("######### ***> Received BT_SYNC_RESP_COMMAND Handshake[%d]\n", state);
                        if (state == 0)
                        {
                            state = 1;
                            send(kConf);
                            LogPrintf("***> Send Slip Handshake Packet BT_CONF_COMMAND\n");
                        }
                        break;
                    case kConf:
                        LogPrintf("######### ***> Received BT_CONF_COMMAND Handshake[%d]\n", state);
                        if (state == 0)
                        {
                            send(kSync);
                            state = 1;
                        }
                        else if (state == 1)
                        {
                            send(kConf);
                            LogPrintf("***> Send Slip Handshake Packet BT_CONF_COMMAND\n");
                        }
                        else
                        {
                            send(kConfResp);
                            LogPrintf("***> Send Slip Handshake Packet BT_CONF_RESP_COMMAND\n");
                            CClock::Sleep(1000);
                            ForgetOwedReplies();
                            return true;
                        }
                        break;
                    case kConfResp:
                        LogPrintf("######### ***> Received BT_CONF_RESP_COMMAND Handshake[%d]\n", state);
                        state = 2;
                        linked = true;
                        CClock::Sleep(1000);
                        break;
                    default:
                        LogPrintf("######### ***> unknownResponseCount[%d]\n", unknownCount);
                        ++unknownCount;
                        break;
                    }
                    if (unknownCount > 5)
                    {
                        passOver = true;
                        break;
                    }
                    CClock::Sleep(10);
                }
            }
            CClock::Sleep(10);
        }
        if (linked)
            break;
        if (rate != 115200)
            break;
        LogPrintf("EstablishLink - Try BaudRate[%d]\n", 38400);
        rate = 38400;
    }
    if (linked)
    {
        // The chip's side of the link started afresh: what it owed is gone.
        ForgetOwedReplies();
        LogPrintf("EstablishLink - status[%d]\n", 1);
    }
    else
        LogPrintf("[ERROR] EstablishLink - Failed\n");
    return linked;
}

bool CBCSP_DFUUpgrade::Request(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                               std::uint16_t length, const std::uint8_t* data, std::uint32_t size,
                               std::uint8_t* reply, std::size_t keep, std::size_t* replyLength)
{
    if (size > kDownloadDataSize || (size > 0 && data == nullptr))
        return false;
    m_download[0] = requestType;
    m_download[1] = request;
    Put16(m_download + 2, value);
    Put16(m_download + 4, 0);
    Put16(m_download + 6, length);
    if (size > 0)
        std::memcpy(m_download + kSetupSize, data, size);

    // Clear the event before sending, so that a reply arriving before the
    // wait starts is not lost.
    m_reliableEvent.Reset();
    std::uint32_t awaited = 0;
    {
        CMutexLock lock(m_replyMutex);
        awaited = m_requestsSent + 1;
        m_awaitedReply = awaited;
    }
    if (!m_stack.SendReliable(m_download, kSetupSize + size, kDfuChannel))
        return false;
    {
        CMutexLock lock(m_replyMutex);
        m_requestsSent = awaited;
    }

    bool replied = false;
    for (std::uint32_t elapsed = 0; elapsed < kReplyTimeoutMs; elapsed += kReplySliceMs)
    {
        if (m_reliableEvent.Wait(kReplySliceMs) == EWaitResult::Signalled)
        {
            replied = true;
            break;
        }
        if (m_stack.Sequencing().IsFailed())
        {
            // The link gave up resending (its retry limit, or no transport):
            // nothing reaches the chip any more, so no answer will come.
            LogPrintf("CBCSP_DFUUpgrade::Request - the link has failed, no answer will come\n");
            break;
        }
        m_stack.ForceTimeout();
    }
    if (!replied)
        return false;
    CMutexLock lock(m_replyMutex);
    const std::size_t n = m_replyLength < keep ? m_replyLength : keep;
    m_lastReplyBytes = m_replyLength;
    if (reply != nullptr && n > 0)
        std::memcpy(reply, m_reply, n);
    if (replyLength != nullptr)
        *replyLength = n;
    return true;
}

bool CBCSP_DFUUpgrade::GetDeviceDescriptor(SDFUDeviceDescriptor& d)
{
    LogPrintf("CBCSP_DFUUpgrade::GetDeviceDescriptor...\n");
    std::uint8_t reply[bcsp::kDeviceDescriptorReplySize];
    std::size_t n = 0;
    if (!Request(0xC1, 8, 0, 12, nullptr, 0, reply, sizeof(reply), &n))
        return false;
    bcsp::ApplyDeviceDescriptorReply(reply, n, d);
    LogPrintf("================\n");
    LogPrintf("DeviceDescriptor\n");
    LogPrintf("================\n");
    LogPrintf("wStatus [%04X]\n", d.wStatus);
    LogPrintf("wLength [%04X]\n", d.wLength);
    LogPrintf("bDeviceClass [%04X]\n", d.bDeviceClass);
    LogPrintf("bDeviceSubClass [%04X]\n", d.bDeviceSubClass);
    LogPrintf("bDeviceProtocol [%04X]\n", d.bDeviceProtocol);
    LogPrintf("idVendor [%04X]\n", d.idVendor);
    LogPrintf("idProduct [%04X]\n", d.idProduct);
    LogPrintf("bcdDevice [%04X]\n", d.bcdDevice);
    return true;
}

bool CBCSP_DFUUpgrade::GetFunctionalDescriptor(SDFUFunctionalDescriptor& d)
{
    LogPrintf("CBCSP_DFUUpgrade::GetFunctionalDescriptor...\n");
    std::uint8_t reply[bcsp::kFunctionalDescriptorReplySize];
    std::size_t n = 0;
    if (!Request(0xC1, 9, 0, 6, nullptr, 0, reply, sizeof(reply), &n))
        return false;
    bcsp::ApplyFunctionalDescriptorReply(reply, n, d);
    LogPrintf("================\n");
    LogPrintf("DFU Functional Descriptor\n");
    LogPrintf("================\n");
    LogPrintf("wStatus [%04X]\n", d.wStatus);
    LogPrintf("wLength [%04X]\n", d.wLength);
    LogPrintf("bDescriptorType [%02X]\n", d.bDescriptorType);
    LogPrintf("bmAttributes [%02X]\n", d.bmAttributes);
    LogPrintf("wDetachTimeout [%04X]\n", d.wDetachTimeout);
    LogPrintf("wTransferSize [%04X]\n", d.wTransferSize);
    return true;
}

bool CBCSP_DFUUpgrade::DFUDetach()
{
    LogPrintf("CBCSP_DFUUpgrade::DFUDetach\n");
    return Request(0x21, 0, 5000, 0, nullptr, 0, nullptr, 0, nullptr);
}

bool CBCSP_DFUUpgrade::DFUReset()
{
    LogPrintf("CBCSP_DFUUpgrade::DFUReset\n");
    return Request(0x41, 7, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

bool CBCSP_DFUUpgrade::GetDFUStatus(SDFUStatus& s)
{
    LogPrintf("CBCSP_DFUUpgrade::GetDFUStatus\n");
    std::uint8_t reply[bcsp::kStatusReplySize];
    std::size_t n = 0;
    if (!Request(0xA1, 3, 0, 6, nullptr, 0, reply, sizeof(reply), &n))
        return false;
    bcsp::ApplyStatusReply(reply, n, s);
    LogPrintf("================\n");
    LogPrintf("DFU Status\n");
    LogPrintf("================\n");
    LogPrintf("wStatus [%04X]\n", s.wStatus);
    LogPrintf("wLength [%04X]\n", s.wLength);
    if (s.wLength != 0)
    {
        LogPrintf("bStatus [%02X]\n", s.bStatus);
        LogPrintf("bwPollTimeout [%06X]\n", s.bwPollTimeout);
        LogPrintf("bState [%02X]\n", s.bState);
        LogPrintf("iString [%02X]\n", s.iString);
    }
    return true;
}

bool CBCSP_DFUUpgrade::ClearDFUStatus()
{
    LogPrintf("CBCSP_DFUUpgrade::ClearDFUStatus\n");
    return Request(0x41, 4, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

bool CBCSP_DFUUpgrade::DFUDownload(std::uint16_t blockNumber, const std::uint8_t* data, std::uint32_t size)
{
    LogPrintf("CBCSP_DFUUpgrade::DFUDownload - BlockNumber[%d] sizeBuffer[%d]\n", blockNumber,
              static_cast<int>(size));
    if (size > kDownloadDataSize)
        return false; // never past the download buffer
    LogPrintf("CBCSP_DFUUpgrade::DFUDownload - BlockNumber[%d] sizeBuffer[%d] transmit...\n", blockNumber,
              static_cast<int>(size));
    std::uint8_t reply[4] = {};
    std::size_t n = 0;
    if (!Request(0x21, 1, blockNumber, static_cast<std::uint16_t>(size), data, size, reply, sizeof(reply), &n))
        return false;
    // The chip refuses a block with a non-zero status (it then sits in its
    // error state): the block was not written.
    const unsigned status = n >= 2 ? static_cast<unsigned>(reply[0] | (reply[1] << 8)) : 0xFFFFu;
    if (status != 0)
    {
        LogPrintf("CBCSP_DFUUpgrade::DFUDownload - BlockNumber[%d] sizeBuffer[%d] refused: wStatus[%04X] (expected 0000)\n",
                  blockNumber, static_cast<int>(size), status);
        return false;
    }
    LogPrintf("CBCSP_DFUUpgrade::DFUDownload - BlockNumber[%d] sizeBuffer[%d] transmit done.\n", blockNumber,
              static_cast<int>(size));
    return true;
}

bool CBCSP_DFUUpgrade::WaitForDFUIdle()
{
    int idle = 0;
    for (int poll = 0; poll < 10; ++poll)
    {
        SDFUStatus status{};
        const bool ok = GetDFUStatus(status);
        if (!ok && m_stack.Sequencing().IsFailed())
            return false; // the link is gone: asking again cannot help
        if (!ok || status.wLength == 0 || status.bState == 4 || status.bState == 7)
        {
            CClock::Sleep(10);
            idle = 0;
        }
        else if (status.bState == 2 || status.bState == 5)
        {
            if (++idle >= 2)
                return true;
            CClock::Sleep(10);
        }
        else if (status.bState == 10)
        {
            if (m_downloading)
            {
                // Between blocks an error means a block was not written:
                // clearing it and going on would end with half an image.
                LogPrintf("CBCSP_DFUUpgrade::WaitForDFUIdle - error state during the download: bStatus[%02X] bState[%02X]\n",
                          status.bStatus, status.bState);
                return false;
            }
            ClearDFUStatus();
            idle = 0;
        }
        else
        {
            CClock::Sleep(10);
            idle = 0;
        }
    }
    return false;
}

bool CBCSP_DFUUpgrade::IsDFUModeDescriptor(const SDFUDeviceDescriptor& d)
{
    if (d.bDeviceClass == 0xFE && d.bDeviceSubClass == 0x01 && d.bDeviceProtocol == 0x00)
        return true;
    return d.idVendor == 0x0A12 && d.idProduct == 0xFFFE;
}

HResult CBCSP_DFUUpgrade::BeginDFUUpgrade()
{
    HResult result = HR_FAIL;
    m_downloading = false;
    m_stack.Reset();
    m_stack.ConnectTransport();
    m_stack.SetReliableCallback(this, &CBCSP_DFUUpgrade::OnReliable);
    m_stack.SetUnreliableCallback(this, &CBCSP_DFUUpgrade::OnUnreliable);

    if (EstablishLink())
    {
        SDFUDeviceDescriptor descriptor{};
        bool ok = GetDeviceDescriptor(descriptor);
        for (int attempt = 0; attempt < 5; ++attempt)
        {
            if (IsDFUModeDescriptor(descriptor))
            {
                result = HR_OK;
                break;
            }
            if (ok)
            {
                if (DFUDetach())
                {
                    DFUReset();
                    m_stack.Reset();
                    CClock::Sleep(2000);
                    if (EstablishLink())
                    {
                        descriptor = SDFUDeviceDescriptor{};
                        GetDeviceDescriptor(descriptor);
                    }
                }
            }
            else
            {
                ok = GetDeviceDescriptor(descriptor);
            }
        }
    }
    if (result == HR_OK)
    {
        SDFUFunctionalDescriptor functional{};
        if (GetFunctionalDescriptor(functional))
        {
            // The download buffer bounds the block size whatever the device offers.
            m_maxTransferSize = functional.wTransferSize < kDownloadDataSize ? functional.wTransferSize
                                                                             : static_cast<std::uint32_t>(kDownloadDataSize);
        }
    }
    return result;
}

HResult CBCSP_DFUUpgrade::WriteDFUPacket(std::uint16_t blockNumber, const std::uint8_t* buffer, std::uint32_t size)
{
    LogPrintf("CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[%d] BlockNumber[0x%04x]\n", static_cast<int>(size),
              blockNumber);
    HResult result = HR_FAIL;
    if (size > m_maxTransferSize)
    {
        LogPrintf("CBCSP_DFUUpgrade::WriteDFUPacket - Invalid Size. sizeBuf[%d] MaxTransferSize[%d]\n",
                  static_cast<int>(size), static_cast<int>(m_maxTransferSize));
    }
    else if (size > 0 && buffer == nullptr)
    {
        result = HR_FAIL;
    }
    else if (WaitForDFUIdle())
    {
        result = DFUDownload(blockNumber, buffer, size) ? HR_OK : HR_FAIL;
        if (result == HR_OK && size > 0)
            m_downloading = true;
    }
    LogPrintf("CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[%d] BlockNumber[0x%04x] hRes[%08x]Done\n",
              static_cast<int>(size), blockNumber, static_cast<unsigned>(result));
    return result;
}

HResult CBCSP_DFUUpgrade::EndDFUUpgrade(std::uint16_t blockNumber)
{
    HResult result = HR_FAIL;
    if (WaitForDFUIdle())
    {
        LogPrintf("CBCSP_DFUUpgrade::EndDFUUpgrade - BlockNumber[0x%04x] Zero Length block\n", blockNumber);
        if (DFUDownload(blockNumber, nullptr, 0))
        {
            // Manifestation: from here an error state is the image's
            // verdict, cleared and asked again after each reset.
            m_downloading = false;
            for (int attempt = 0; attempt < 6 && result != HR_OK; ++attempt)
            {
                CClock::Sleep(2000);
                if (!WaitForDFUIdle())
                    continue;
                LogPrintf("CBCSP_DFUUpgrade::EndDFUUpgrade - Reset\n");
                // A chip that resets may do so before its reply is through:
                // an unanswered reset proves nothing either way, so the link
                // is set up again and the descriptor decides.
                (void)DFUReset();
                // The chip restarts its side of the link; start ours afresh too.
                m_stack.Reset();
                CClock::Sleep(2000);
                if (EstablishLink())
                {
                    // Only a whole descriptor with a good status tells that the
                    // chip left DFU mode; an error reply tells nothing.
                    SDFUDeviceDescriptor descriptor{};
                    if (GetDeviceDescriptor(descriptor))
                    {
                        if (descriptor.wStatus != 0 || m_lastReplyBytes < bcsp::kDeviceDescriptorReplySize)
                            LogPrintf("CBCSP_DFUUpgrade::EndDFUUpgrade - descriptor reply wStatus[%04X] bytes[%d] (expected 0000, %d)\n",
                                      descriptor.wStatus, static_cast<int>(m_lastReplyBytes),
                                      static_cast<int>(bcsp::kDeviceDescriptorReplySize));
                        else if (!IsDFUModeDescriptor(descriptor))
                            result = HR_OK;
                    }
                }
            }
        }
    }
    m_downloading = false;
    m_stack.DisconnectTransport();
    m_stack.Reset();
    return result;
}

void CBCSP_DFUUpgrade::AbortDFUUpgrade()
{
    m_downloading = false;
    m_stack.DisconnectTransport();
    m_stack.Reset();
}
