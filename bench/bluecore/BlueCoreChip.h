#pragma once
// A simulated BlueCore chip behind a USB HID bridge, for the bench and the
// tests of the BCSP stack.
//
// The HID face is the bridge's: 65-byte data-out output reports
// (00 20 00 11 n data...), 65-byte baud-rate feature reports
// (00 3E 0E code 00 ...; 38400 -> 0, 57600 -> 1, 115200 -> 2) and 32-byte
// data-in input reports (id, -, 28, n, data...). The chip behind it runs its
// own BCSP peer (link establishment, reliable and unreliable channels,
// acknowledgements, retransmission of its own reliable packets, CRC) and a
// DFU personality with a run-time mode and a DFU mode.
//
// The UART between bridge and chip moves bytes at the baud rate in product
// time (CClock): an output report blocks its writer for its bytes' time; an
// input report becomes readable when its bytes have crossed. When the
// bridge's rate differs from the chip's, nothing gets through.
//
// A lossy-link option drops, corrupts (one data byte), duplicates or delays
// reports in either direction, each at its own rate, from a seeded generator
// per direction, so runs are repeatable.
//
// The default chip acknowledges every reliable packet with an
// acknowledgement-only packet and answers every request at once. Strict
// variants (SChipConfig, Strict()) behave as the protocol also allows real
// chips to: acknowledgements carried only on the chip's own reliable packets,
// a refused download block, replies that leave late, frames with bad escapes
// (0xDB 0xDB, 0xDB followed by an ordinary byte) and frames that grow past
// the host's buffers when escaped.
//
// Threads: WriteOutputReport, SetFeatureReport and ReadInputReport may be
// called from different threads (one writer, one reader); the chip runs one
// thread of its own for its timers. Everything else may be called from any
// thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "bench/bluecore/BlueCoreCodec.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace bluecore
{
constexpr std::size_t kOutputReportLength = 65;
constexpr std::size_t kFeatureReportLength = 65;
constexpr std::size_t kInputReportLength = 32;
constexpr std::uint8_t kInputReportId = 0x01;
constexpr std::uint8_t kDataInMarker = 0x28;
constexpr std::size_t kInputDataMax = kInputReportLength - 4;

struct SLossConfig
{
    double dropRate = 0.0;
    double corruptRate = 0.0;
    double duplicateRate = 0.0;
    double delayRate = 0.0;
    std::uint32_t delayMs = 20; // product ms a delayed report is held back
    std::uint32_t seed = 1;
};

enum class EChipMode
{
    Runtime,
    Dfu,
};

enum class EAckStyle
{
    Separate,  // an acknowledgement-only packet for every reliable packet, then the reply
    Piggyback, // acknowledgements only in the header of the chip's own packets
};

struct SChipConfig
{
    std::uint32_t chipBaudRate = 115200; // the chip's UART
    std::uint32_t bridgeBaudRate = 115200; // the bridge's UART until a feature report changes it
    bool pacing = true;                  // move bytes at the baud rate
    std::vector<std::uint32_t> refusedRates; // feature reports for these rates fail
    EChipMode startMode = EChipMode::Runtime;
    bool activeLink = false; // the chip sends its own SYNC/CONF while not linked
    bool sendCrc = true;
    std::uint32_t retransmitMs = 250; // the chip's own retransmission timeout
    std::uint16_t transferSize = 1023; // wTransferSize of the functional descriptor
    std::uint32_t programMs = 2;       // busy time after each block
    std::uint32_t manifestMs = 20;     // manifest time after the final block
    bool manifestFails = false;        // the image is refused: error state, the old firmware stays
    std::uint16_t runtimeVendor = 0x0A12;
    std::uint16_t runtimeProduct = 0x0001;
    std::uint16_t firmwareVersion = 0x0100;

    // --- strict behaviours (all off by default) ---
    EAckStyle ackStyle = EAckStyle::Separate;
    // This download block is refused: dfuERROR with errWRITE, and a reply
    // with a non-zero status (or, with refuseQuietly, status 0: the refusal
    // shows only in the next status reply).
    std::int32_t refuseBlock = -1;
    bool refuseQuietly = false;
    // Every reply leaves this long after its request (in request order).
    std::uint32_t replyDelayMs = 0;
    // Once the link is up, every N-th frame to the host carries a bad escape
    // (0xDB 0xDB and 0xDB 0x41 in turn) and so is lost to any decoder.
    std::uint32_t badEscapeEvery = 0;
    // The first N CONF_RESP datagrams the chip sends are lost on the wire.
    std::uint32_t loseConfResps = 0;
    // The replies to the first N reset requests are lost on the wire (the
    // chip resets all the same).
    std::uint32_t loseResetReplies = 0;

    // The strict variant the tests and the benchmark run besides the default.
    static SChipConfig Strict()
    {
        SChipConfig config;
        config.ackStyle = EAckStyle::Piggyback;
        config.badEscapeEvery = 23;
        return config;
    }
};

// Counters and records for tests and the bench.
struct SChipStats
{
    std::uint32_t outputReports = 0;  // reports that reached the bridge
    std::uint32_t inputReports = 0;   // reports the bridge queued for the host
    std::uint32_t framesOk = 0;
    std::uint32_t framesBad = 0;
    std::uint32_t linkMessages[4] = {}; // SYNC, SYNC_RESP, CONF, CONF_RESP received
    std::uint32_t dfuRequests[16] = {}; // by bRequest (reliable packets accepted on channel 12)
    std::uint32_t dfuPacketsSeen = 0;   // reliable channel-12 packets seen, also duplicates and unanswered
    std::uint32_t resets = 0;
    std::uint32_t ackOnlySent = 0;   // acknowledgement-only packets sent to the host
    std::uint32_t badFramesSent = 0; // frames sent with a bad escape
    std::uint32_t timerResends = 0;  // times the chip's retransmission timer sent its unacknowledged packets again
    std::vector<std::uint32_t> baudRequests; // every rate asked through a feature report
};

class CBlueCoreChip
{
public:
    explicit CBlueCoreChip(const SChipConfig& config = SChipConfig());
    ~CBlueCoreChip();
    CBlueCoreChip(const CBlueCoreChip&) = delete;
    CBlueCoreChip& operator=(const CBlueCoreChip&) = delete;

    // --- HID face of the bridge ---
    // True when the report was taken (it may still be lost on the link).
    bool WriteOutputReport(const std::uint8_t* report, std::size_t length);
    // False for a malformed report, an unknown rate code or a refused rate.
    bool SetFeatureReport(const std::uint8_t* report, std::size_t length);
    // Waits up to timeoutMs for the next input report; false on time-out or
    // after Cancel. *read gets the length (32).
    bool ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs, std::size_t* read);
    // Wakes a waiting reader and makes reads fail until ResetCancel.
    void Cancel();
    void ResetCancel();

    // --- Test and bench controls ---
    void SetLoss(const SLossConfig& toChip, const SLossConfig& toHost);
    void ClearLoss();
    // The chip stops answering DFU requests: reliable channel-12 packets are
    // neither acknowledged nor answered.
    void SetDfuMute(bool mute);
    // The next GetStatus replies report these states (then the real ones).
    void ScriptStatusStates(const std::vector<std::uint8_t>& states);
    // Sends an unreliable datagram to the host now.
    void SendDatagram(std::uint8_t channel, const std::vector<std::uint8_t>& payload);
    // Puts raw bytes on the line to the host (noise between frames).
    void SendNoise(const std::vector<std::uint8_t>& bytes);
    // Sends an unreliable datagram of size bytes of 0xC0 and 0xDB, whose
    // escaped frame is twice as long.
    void SendOversizedDatagram(std::uint8_t channel, std::size_t size);
    // The reply to the next request with this bRequest leaves delayMs late;
    // later replies wait behind it.
    void DelayNextReply(std::uint8_t request, std::uint32_t delayMs);
    // The next count requests with this bRequest are answered with an error
    // status and no data.
    void RefuseNext(std::uint8_t request, std::uint32_t count);

    EChipMode Mode();
    bool IsLinked();
    std::uint32_t BridgeBaudRate();
    SChipStats Stats();
    // The blocks of the current download, joined in block order.
    std::vector<std::uint8_t> DownloadedImage();
    // The image that the last manifestation made the running firmware.
    std::vector<std::uint8_t> FirmwareImage();
    std::uint16_t FirmwareVersion();
    // Every packet the chip decoded from the host, in order.
    std::vector<SWirePacket> ReceivedPackets();

private:
    enum class ELink
    {
        Shy,
        Curious,
        Garrulous,
    };
    struct SInputReport
    {
        std::uint8_t bytes[kInputReportLength];
        std::uint64_t readyAtUs;
    };
    struct SDirection
    {
        SLossConfig loss;
        std::mt19937 rng{1};
        bool lossy = false;
    };
    enum class ELossAction
    {
        Pass,
        Drop,
        Corrupt,
        Duplicate,
        Delay,
    };

    ELossAction DrawLoss(SDirection& dir);
    static std::uint64_t NowUs();
    std::uint64_t ByteTimeUs(std::size_t bytes) const;

    // Under m_mutex.
    void ReceiveUartBytes(const std::uint8_t* bytes, std::size_t length);
    void HandlePacket(const SWirePacket& packet);
    void HandleLinkMessage(const std::vector<std::uint8_t>& payload);
    void HandleDfuRequest(const std::vector<std::uint8_t>& payload);
    void ProcessAck(std::uint8_t ack);
    void SendPacket(SWirePacket packet);
    void SendReliable(std::uint8_t channel, const std::vector<std::uint8_t>& payload);
    void SendAckOnly();
    void SendUnreliable(std::uint8_t channel, const std::uint8_t* payload, std::size_t length);
    void SendReply(const std::vector<std::uint8_t>& reply, std::uint64_t dueUs, bool once);
    void QueueFrame(const std::vector<std::uint8_t>& frame);
    void QueueInputReport(const std::uint8_t* data, std::size_t n);
    void ResetPeer();
    void DoReset();
    void Tick();
    std::uint8_t CurrentState();
    std::vector<std::uint8_t> DeviceDescriptorReply();

    SChipConfig m_config;
    CMutex m_mutex;
    CEvent m_inputReady; // auto reset: the input queue changed
    CEvent m_stop;
    CThread m_thread;
    std::atomic<bool> m_cancelled{false};

    // Bridge and UART.
    std::uint32_t m_bridgeRate;
    std::uint64_t m_toChipFreeUs = 0;
    std::uint64_t m_toHostFreeUs = 0;
    SDirection m_toChip;
    SDirection m_toHost;
    std::deque<SInputReport> m_input;
    std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> m_delayedToChip;

    // BCSP peer.
    CSlipDecoder m_decoder;
    ELink m_link = ELink::Shy;
    std::uint8_t m_txSeq = 0;
    std::uint8_t m_rxExpected = 0;
    std::deque<SWirePacket> m_unacked;
    std::deque<SWirePacket> m_pending;
    std::uint64_t m_lastTxUs = 0;
    std::uint64_t m_lastLinkSendUs = 0;
    bool m_dfuMute = false;
    std::uint32_t m_framesToHost = 0;
    std::uint32_t m_confRespsLost = 0;
    std::uint32_t m_resetRepliesLost = 0;
    // Replies waiting for their time, in request order.
    struct SLateReply
    {
        std::uint64_t dueUs;
        std::vector<std::uint8_t> payload;
        bool once; // sent once and never again (the reply to a reset)
    };
    std::deque<SLateReply> m_lateReplies;
    int m_delayRequest = -1;
    std::map<std::uint8_t, std::uint32_t> m_refusals;
    std::uint32_t m_delayMs = 0;
    std::vector<SWirePacket> m_received;

    // DFU personality.
    EChipMode m_mode;
    bool m_detached = false;
    bool m_resetPending = false;
    std::uint64_t m_resetDueUs = 0;
    std::uint8_t m_state = 0;
    std::uint8_t m_statusCode = 0;
    std::uint64_t m_busyUntilUs = 0;
    std::deque<std::uint8_t> m_scriptedStates;
    std::map<std::uint16_t, std::vector<std::uint8_t>> m_blocks;
    std::vector<std::uint8_t> m_firmware;
    bool m_manifested = false;
    std::uint16_t m_version;
    SChipStats m_stats;
};
} // namespace bluecore
