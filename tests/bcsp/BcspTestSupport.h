#pragma once
// Shared helpers of the BCSP tests: a diagnostic log captured per test, and
// a transport that records what the stack sends and lets a test play the
// chip's side byte by byte.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bcsp/BCSP_HID_Layer.h"
#include "bench/bluecore/BlueCoreCodec.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

// Opens a fresh diagnostic log for the running test; Lines() closes it and
// returns its messages without the time stamps.
class CCapturedLog
{
public:
    CCapturedLog();
    ~CCapturedLog();
    std::vector<std::string> Lines();
    // Number of lines equal to text (text without its final LF).
    static std::size_t Count(const std::vector<std::string>& lines, const std::string& text);
    static std::size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);

private:
    std::string m_path;
    bool m_open = false;
};

class CRecordingTransport : public CBCSP_HID_Layer
{
public:
    ~CRecordingTransport();
    void SetUpper(CBCSP_UART_Driver* upper) override;
    bool SendChunk(const std::uint8_t* bytes, std::size_t count) override;
    bool ReceiveReport(const std::uint8_t* report, std::size_t reportLength) override;
    bool SetBaudRate(std::uint32_t rate) override;

    // Chunks sent so far.
    std::vector<std::vector<std::uint8_t>> Chunks();
    // Packets decoded from everything sent so far (the chip's codec).
    std::vector<bluecore::SWirePacket> Packets();
    // Waits (up to about 5 real seconds) until at least count packets were sent.
    bool WaitForPackets(std::size_t count);
    // Plays the chip: hands bytes to the byte layer as data-in reports of at
    // most 28 bytes.
    void Deliver(const std::vector<std::uint8_t>& bytes);
    void DeliverPacket(const bluecore::SWirePacket& packet);

    bool HasUpper();
    std::vector<std::uint32_t> rates;
    bool acceptRates = true;

private:
    CMutex m_mutex;
    CBCSP_UART_Driver* m_upper = nullptr;
    CMutex m_recordMutex;
    std::vector<std::vector<std::uint8_t>> m_chunks;
};

// A packet as the chip would send it.
bluecore::SWirePacket MakePacket(bool reliable, std::uint8_t seq, std::uint8_t ack, std::uint8_t channel,
                                 std::vector<std::uint8_t> payload, bool crc = true);

// A pseudo-random image of size bytes, the same for the same seed.
std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed);

// The time scale of the DFU tests against the simulated chip: a twentieth of
// real time rather than a thousandth. The reply budget of a request (6,000 ms)
// and the link set-up's 500 ms waits must stay well above the real cost of a
// round trip through four threads on a loaded machine, under
// ThreadSanitizer and under wine (whose sleeps last a millisecond at least).
// ThreadSanitizer slows every thread five- to fifteenfold, and wine's threads
// answer late on a loaded machine: with both cores busy the chip's answer to
// a link set-up message took longer than its 25 ms and the link was never
// established. Those builds run at a fifth of real time.
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr double kDfuTestTimeScale = 0.2;
#else
constexpr double kDfuTestTimeScale = 0.05;
#endif

// Sets the clock's time scale for a test's lifetime, then restores the one
// before.
class CTimeScale
{
public:
    explicit CTimeScale(double scale) : m_old(CClock::GetTimeScale()) { CClock::SetTimeScale(scale); }
    ~CTimeScale() { CClock::SetTimeScale(m_old); }

private:
    double m_old;
};
