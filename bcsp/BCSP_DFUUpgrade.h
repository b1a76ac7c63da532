#pragma once
// DFU over BCSP: downloads a firmware image into a BlueCore chip. Each
// request is an 8-byte control-setup block (plus data for a download) sent
// as a reliable payload on channel 12; each reply comes back as a reliable
// payload starting with a 16-bit status word and a 16-bit length.
//
// The device family's upgrader owns this object and passes in its transport:
// Init, BeginDFUUpgrade, one WriteDFUPacket per block, EndDFUUpgrade. All
// operations block the caller's thread; replies arrive in the transport's
// reader thread through the stack's callbacks.

#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_DFUReplies.h"
#include "bcsp/BCSP_HID_Layer.h"
#include "bcsp/BCSP_Stack.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_DFUUpgrade
{
public:
    static constexpr std::size_t kReplySize = 64;
    static constexpr std::size_t kSlotSize = 64;
    static constexpr std::size_t kSlotCount = 4;
    static constexpr std::size_t kSetupSize = 8;
    static constexpr std::size_t kDownloadDataSize = 1032;
    static constexpr std::uint8_t kDfuChannel = 12;
    static constexpr std::uint8_t kLinkChannel = 1;
    static constexpr std::uint32_t kReplyTimeoutMs = 6000;
    static constexpr std::uint32_t kReplySliceMs = 500;

    CBCSP_DFUUpgrade();

    virtual HResult Init(CBCSP_HID_Layer* transport);
    virtual HResult BeginDFUUpgrade();
    virtual HResult WriteDFUPacket(std::uint16_t blockNumber, const std::uint8_t* buffer, std::uint32_t size);
    virtual HResult EndDFUUpgrade(std::uint16_t blockNumber);
    virtual ~CBCSP_DFUUpgrade();

    CBCSP_DFUUpgrade(const CBCSP_DFUUpgrade&) = delete;
    CBCSP_DFUUpgrade& operator=(const CBCSP_DFUUpgrade&) = delete;

    std::uint32_t GetMaxTransferSize() const { return m_maxTransferSize; }
    bool EstablishLink();
    bool GetDeviceDescriptor(SDFUDeviceDescriptor& descriptor);
    bool GetFunctionalDescriptor(SDFUFunctionalDescriptor& descriptor);
    bool DFUDetach();
    bool DFUReset();
    bool GetDFUStatus(SDFUStatus& status);
    bool ClearDFUStatus();
    bool DFUDownload(std::uint16_t blockNumber, const std::uint8_t* data, std::uint32_t size);
    bool WaitForDFUIdle();
    static bool IsDFUModeDescriptor(const SDFUDeviceDescriptor& descriptor);

    // Unlinks the transport and resets the stack: what EndDFUUpgrade does at
    // its end, for a download that stops early.
    void AbortDFUUpgrade();

    // Replies to earlier requests that came after their request had been
    // given up (and were therefore not taken as the answer to a later one).
    std::uint32_t LateRepliesDiscarded() const { return m_lateReplies; }

    CBCSP_Stack& Stack() { return m_stack; }

private:
    static bool OnReliable(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel, void* context);
    static bool OnUnreliable(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel, void* context);

    // Sends the setup block (and data) and waits for the reply. On success
    // copies at most keep bytes of the reply to reply (when given) and
    // stores their count in replyLength.
    bool Request(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t length,
                 const std::uint8_t* data, std::uint32_t size, std::uint8_t* reply, std::size_t keep,
                 std::size_t* replyLength);
    // 0..3: link messages; -1 unrecognised.
    int ClassifySlot(std::size_t slot);

    // A new link: the chip's side has forgotten replies it still owed.
    void ForgetOwedReplies();

    // Last reliable payload received (guarded by m_replyMutex).
    std::uint8_t m_reply[kReplySize];
    std::uint32_t m_replyLength = 0;
    std::uint8_t m_replyChannel = 0;
    // The chip answers requests in order, one reply each, over reliable
    // delivery: the n-th reply on the DFU channel answers the n-th request.
    // A reply whose number is below the awaited one belongs to a request
    // that was given up (guarded by m_replyMutex).
    std::uint32_t m_requestsSent = 0;
    std::uint32_t m_repliesReceived = 0;
    std::uint32_t m_awaitedReply = 0;
    std::uint32_t m_lateReplies = 0;
    // Bytes of the last reply taken.
    std::size_t m_lastReplyBytes = 0;
    // A block was written since BeginDFUUpgrade: an error state now fails.
    bool m_downloading = false;
    // Unreliable receive ring (guarded by m_ringMutex).
    std::uint8_t m_slots[kSlotCount][kSlotSize];
    std::uint32_t m_slotLength[kSlotCount];
    std::uint8_t m_slotChannel[kSlotCount];
    std::uint8_t m_readIndex = 0;
    std::uint8_t m_writeIndex = 0;
    std::uint8_t m_unread = 0; // tells a full ring from an empty one

    CBCSP_Stack m_stack;
    CEvent m_reliableEvent;
    CEvent m_unreliableEvent;
    std::uint8_t m_download[kSetupSize + kDownloadDataSize];
    std::uint32_t m_maxTransferSize = 0;

    CMutex m_replyMutex;
    CMutex m_ringMutex;
};
