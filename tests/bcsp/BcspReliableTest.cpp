// Reliable delivery, the multiplexer and the datagram queue, driven through
// a whole stack with the test playing the chip on the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "bcsp/BCSP_Stack.h"
#include "platform/Clock.h"
#include "platform/Sync.h"
#include "tests/TestSupport.h"
#include "tests/bcsp/BcspTestSupport.h"

namespace
{
using Bytes = std::vector<std::uint8_t>;
using bluecore::SWirePacket;

struct SInbox
{
    CMutex mutex;
    std::vector<std::pair<Bytes, std::uint8_t>> items;
    std::atomic<bool> accept{true};

    std::size_t Size()
    {
        CMutexLock lock(mutex);
        return items.size();
    }
};

bool Collect(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel, void* context)
{
    auto* inbox = static_cast<SInbox*>(context);
    if (!inbox->accept.load())
        return false;
    CMutexLock lock(inbox->mutex);
    inbox->items.emplace_back(Bytes(payload, payload + length), channel);
    return true;
}

std::vector<SWirePacket> Reliable(const std::vector<SWirePacket>& packets)
{
    std::vector<SWirePacket> out;
    for (const auto& p : packets)
        if (p.reliable)
            out.push_back(p);
    return out;
}

std::vector<SWirePacket> AckOnly(const std::vector<SWirePacket>& packets)
{
    std::vector<SWirePacket> out;
    for (const auto& p : packets)
        if (!p.reliable && p.channel == 0 && p.payload.empty())
            out.push_back(p);
    return out;
}

// Waits (product time) until pred holds.
template <typename Pred> bool WaitFor(Pred pred)
{
    CDeadline deadline(RealSeconds(5));
    while (!pred())
    {
        if (deadline.IsExpired())
            return false;
        CClock::Sleep(1);
    }
    return true;
}

// Real time for the workers to settle when checking that nothing happens.
void Settle()
{
    CClock::Sleep(RealSeconds(0.05));
}

class BcspStackTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_stack.Init(&m_transport);
        m_stack.ConnectTransport();
        m_stack.SetReliableCallback(&m_reliable, &Collect);
        m_stack.SetUnreliableCallback(&m_unreliable, &Collect);
    }
    void TearDown() override { m_stack.DisconnectTransport(); }

    void SendNumbered(int count)
    {
        for (int i = 0; i < count; ++i)
        {
            const std::uint8_t b = static_cast<std::uint8_t>(0xA0 + m_sent++);
            ASSERT_TRUE(m_stack.SendReliable(&b, 1, 5));
        }
    }

    CRecordingTransport m_transport;
    CBCSP_Stack m_stack;
    SInbox m_reliable;
    SInbox m_unreliable;
    int m_sent = 0;
};
} // namespace

TEST_F(BcspStackTest, WindowOfFourThenAnAcknowledgementOfTwoReleasesTwo)
{
    SendNumbered(6);
    ASSERT_TRUE(m_transport.WaitForPackets(4));
    Settle();
    auto sent = Reliable(m_transport.Packets());
    ASSERT_EQ(sent.size(), 4u); // the fifth and sixth wait for room
    for (std::uint8_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ(sent[i].seq, i);
        EXPECT_EQ(sent[i].channel, 5);
        EXPECT_EQ(sent[i].payload, Bytes{static_cast<std::uint8_t>(0xA0 + i)});
    }
    EXPECT_EQ(m_stack.Sequencing().QueuedCount(), 6u);

    // The chip acknowledges 0 and 1 (next expected: 2).
    m_transport.DeliverPacket(MakePacket(false, 0, 2, 0, {}));
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 6; }));
    sent = Reliable(m_transport.Packets());
    EXPECT_EQ(sent[4].seq, 4);
    EXPECT_EQ(sent[5].seq, 5);
    EXPECT_EQ(sent[4].payload, Bytes{0xA4});
    EXPECT_EQ(m_stack.Sequencing().QueuedCount(), 4u);
    // The acknowledgement-only packet also reached the unreliable callback.
    ASSERT_TRUE(WaitFor([&] { return m_unreliable.Size() == 1; }));
    EXPECT_TRUE(m_unreliable.items[0].first.empty());
    EXPECT_EQ(m_unreliable.items[0].second, 0);
}

TEST_F(BcspStackTest, SmallerWindowLimitsWhatIsInFlight)
{
    m_stack.Sequencing().SetWindowSize(2);
    SendNumbered(3);
    ASSERT_TRUE(m_transport.WaitForPackets(2));
    Settle();
    EXPECT_EQ(Reliable(m_transport.Packets()).size(), 2u);
    EXPECT_EQ(m_stack.Sequencing().InFlightCount(), 2u);
    m_transport.DeliverPacket(MakePacket(false, 0, 1, 0, {}));
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 3; }));
    EXPECT_EQ(Reliable(m_transport.Packets())[2].seq, 2);
}

TEST_F(BcspStackTest, TimeoutResendsTheUnacknowledgedInOrderWithTheirNumbers)
{
    SendNumbered(4);
    ASSERT_TRUE(m_transport.WaitForPackets(4));
    m_transport.DeliverPacket(MakePacket(false, 0, 1, 0, {})); // packet 0 acknowledged
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().QueuedCount() == 3; }));
    m_stack.ForceTimeout();
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 7; }));
    const auto sent = Reliable(m_transport.Packets());
    for (std::size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(sent[4 + i].seq, sent[1 + i].seq);
        EXPECT_EQ(sent[4 + i].payload, sent[1 + i].payload);
    }
    Settle();
    EXPECT_EQ(Reliable(m_transport.Packets()).size(), 7u);
}

TEST_F(BcspStackTest, DataPacketAcknowledgementBitsMoveTheWindow)
{
    // A chip may acknowledge on its own reliable packets only.
    SendNumbered(5);
    ASSERT_TRUE(m_transport.WaitForPackets(4));
    // A reliable data packet from the chip that carries ack 3.
    m_transport.DeliverPacket(MakePacket(true, 0, 3, 7, {0x01}));
    ASSERT_TRUE(WaitFor([&] { return m_reliable.Size() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 5; }));
    EXPECT_EQ(Reliable(m_transport.Packets())[4].seq, 4);
    EXPECT_EQ(m_stack.Sequencing().QueuedCount(), 2u);
    // So does an unreliable one.
    m_transport.DeliverPacket(MakePacket(false, 0, 5, 2, {0x02}));
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().QueuedCount() == 0; }));
}

TEST_F(BcspStackTest, AcknowledgementOutsideTheWindowIsIgnoredAndLogged)
{
    CCapturedLog log;
    SendNumbered(2);
    ASSERT_TRUE(m_transport.WaitForPackets(2));
    // Packets 0 and 1 are in flight; an ack of 6 would acknowledge six.
    m_transport.DeliverPacket(MakePacket(false, 0, 6, 0, {}));
    m_transport.DeliverPacket(MakePacket(false, 0, 6, 0, {}));
    Settle();
    EXPECT_EQ(m_stack.Sequencing().QueuedCount(), 2u);
    EXPECT_EQ(m_stack.Sequencing().InFlightCount(), 2u);
    // A true acknowledgement still counts from the last good one.
    m_transport.DeliverPacket(MakePacket(false, 0, 1, 0, {}));
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().QueuedCount() == 1; }));
    // After a go-back, an acknowledgement of packets sent before it counts.
    m_stack.ForceTimeout();
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 3; }));
    m_transport.DeliverPacket(MakePacket(false, 0, 2, 0, {}));
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().QueuedCount() == 0; }));
    SendNumbered(1);
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == 4; }));
    EXPECT_EQ(Reliable(m_transport.Packets())[3].seq, 2);
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "<=Seq:: Ack[6] outside the window (last[0] sent[2]) - ignored"), 1u);
}

TEST_F(BcspStackTest, RetransmissionTimerResendsWithoutTheClient)
{
    CCapturedLog log;
    m_stack.Sequencing().EnableRetransmitTimer(true);
    SendNumbered(2);
    // Nobody acknowledges: the timer sends both again, from the oldest,
    // with their numbers, and does not spend the client's retry budget.
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() >= 8; }));
    const auto sent = Reliable(m_transport.Packets());
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(sent[i].seq, i % 2);
    m_transport.DeliverPacket(MakePacket(false, 0, 2, 0, {}));
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().QueuedCount() == 0; }));
    EXPECT_FALSE(m_stack.Sequencing().IsFailed());
    EXPECT_GE(m_stack.Sequencing().TimerRetransmissions(), 3u);
    // A resend handed down before the acknowledgement was taken is already on
    // its way to the line (the chip drops it as a duplicate and acknowledges
    // again): count on the line only once everything handed down arrived.
    const std::size_t handed = m_stack.Sequencing().HandedDownCount();
    ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() >= handed; }));
    Settle();
    // The timer stopped with the acknowledgement: nothing more is decided or sent.
    EXPECT_EQ(m_stack.Sequencing().HandedDownCount(), handed);
    EXPECT_EQ(Reliable(m_transport.Packets()).size(), handed);
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "<=Seq:: Timeout! Retry["), 0u);
    EXPECT_GE(CCapturedLog::CountPrefix(lines, "<=Seq:: Retransmission timer expired ["), 3u);
}

TEST_F(BcspStackTest, RetryLimitFailsTheLinkOnTheTwentyFirstTimeout)
{
    CCapturedLog log;
    SendNumbered(1);
    ASSERT_TRUE(m_transport.WaitForPackets(1));
    for (int i = 0; i < 21; ++i)
    {
        const std::size_t before = Reliable(m_transport.Packets()).size();
        m_stack.ForceTimeout();
        if (i < 20)
        {
            ASSERT_TRUE(WaitFor([&] { return Reliable(m_transport.Packets()).size() == before + 1; }));
        }
    }
    ASSERT_TRUE(WaitFor([&] { return m_stack.Sequencing().IsFailed(); }));
    EXPECT_EQ(Reliable(m_transport.Packets()).size(), 21u);
    // A send still queues but nothing leaves until Reset.
    SendNumbered(1);
    Settle();
    EXPECT_EQ(Reliable(m_transport.Packets()).size(), 21u);
    m_stack.Reset();
    EXPECT_FALSE(m_stack.Sequencing().IsFailed());
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "<=Seq:: Timeout! Retry[20] Limit[20]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "<=Seq:: Timeout retry Exceeded"), 1u);
}

TEST_F(BcspStackTest, ReceivesInOrderAndReacknowledgesOthers)
{
    // Out of order: not delivered, acknowledgement 0 sent again.
    m_transport.DeliverPacket(MakePacket(true, 1, 0, 9, {0x11}));
    ASSERT_TRUE(WaitFor([&] { return AckOnly(m_transport.Packets()).size() == 1; }));
    EXPECT_EQ(m_reliable.Size(), 0u);
    EXPECT_EQ(AckOnly(m_transport.Packets())[0].ack, 0);

    // Refused by the client: still acknowledged with the old number.
    m_reliable.accept = false;
    m_transport.DeliverPacket(MakePacket(true, 0, 0, 9, {0x22}));
    ASSERT_TRUE(WaitFor([&] { return AckOnly(m_transport.Packets()).size() == 2; }));
    EXPECT_EQ(AckOnly(m_transport.Packets())[1].ack, 0);

    // The retransmission is taken.
    m_reliable.accept = true;
    m_transport.DeliverPacket(MakePacket(true, 0, 0, 9, {0x22}));
    ASSERT_TRUE(WaitFor([&] { return AckOnly(m_transport.Packets()).size() == 3; }));
    EXPECT_EQ(AckOnly(m_transport.Packets())[2].ack, 1);
    // And a duplicate of it is acknowledged again but not delivered twice.
    m_transport.DeliverPacket(MakePacket(true, 0, 0, 9, {0x22}));
    ASSERT_TRUE(WaitFor([&] { return AckOnly(m_transport.Packets()).size() == 4; }));
    EXPECT_EQ(AckOnly(m_transport.Packets())[3].ack, 1);
    ASSERT_EQ(m_reliable.Size(), 1u);
    EXPECT_EQ(m_reliable.items[0].first, Bytes{0x22});
    EXPECT_EQ(m_reliable.items[0].second, 9);
}

TEST_F(BcspStackTest, RefusesBadChannelsAndSizes)
{
    CCapturedLog log;
    const Bytes big(2080, 0x01);
    const Bytes justFits(2079, 0x01);
    EXPECT_FALSE(m_stack.SendReliable(big.data(), 1, 0));
    EXPECT_FALSE(m_stack.SendReliable(big.data(), 1, 16));
    EXPECT_FALSE(m_stack.SendReliable(big.data(), big.size(), 1));
    EXPECT_FALSE(m_stack.SendUnreliable(big.data(), 1, 0));
    EXPECT_FALSE(m_stack.SendUnreliable(big.data(), 1, 16));
    EXPECT_FALSE(m_stack.SendUnreliable(big.data(), big.size(), 1));
    EXPECT_TRUE(m_stack.SendUnreliable(big.data(), 0, 1));
    EXPECT_TRUE(m_stack.SendReliable(big.data(), 0, 1));
    // The largest payload the queues take is framed whole.
    EXPECT_TRUE(m_stack.SendUnreliable(justFits.data(), justFits.size(), 2));
    ASSERT_TRUE(m_transport.WaitForPackets(1));
    Settle();
    ASSERT_EQ(m_transport.Packets().size(), 1u);
    EXPECT_EQ(m_transport.Packets()[0].payload, justFits);
    EXPECT_EQ(m_stack.Sequencing().QueuedCount(), 0u);
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "[ERROR] Datagram : buffer size 0??"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "[ERROR] Seq : buffer size 0??"), 1u);
}

namespace
{
// Holds the multiplexer's thread in its first chunk until released.
class CGatedTransport : public CRecordingTransport
{
public:
    CGatedTransport() { m_gate.Create(true, false); }
    bool SendChunk(const std::uint8_t* bytes, std::size_t count) override
    {
        if (m_first.exchange(false))
        {
            m_entered.store(true);
            m_gate.Wait(kInfinite);
        }
        return CRecordingTransport::SendChunk(bytes, count);
    }
    void Open() { m_gate.Set(); }
    bool Entered() const { return m_entered.load(); }

private:
    CEvent m_gate;
    std::atomic<bool> m_first{true};
    std::atomic<bool> m_entered{false};
};
} // namespace

TEST(BcspMuxTest, AcknowledgementThenUnreliableThenReliableWithOneAckNumber)
{
    CGatedTransport transport;
    SInbox inbox;
    {
        CBCSP_Stack stack;
        stack.Init(&transport);
        stack.ConnectTransport();
        stack.SetReliableCallback(&inbox, &Collect);
        const std::uint8_t first = 0x01;
        stack.SendUnreliable(&first, 1, 2);
        ASSERT_TRUE(WaitFor([&] { return transport.Entered(); }));
        // While the multiplexer is busy: a reliable packet arrives (an
        // acknowledgement becomes pending), then one datagram and one
        // reliable packet are queued, reliable first.
        transport.DeliverPacket(MakePacket(true, 0, 0, 4, {0x44}));
        ASSERT_EQ(inbox.Size(), 1u);
        const std::uint8_t rel = 0x03;
        const std::uint8_t unrel = 0x02;
        stack.SendReliable(&rel, 1, 6);
        CClock::Sleep(RealSeconds(0.05)); // the sequencing worker hands it to the multiplexer
        stack.SendUnreliable(&unrel, 1, 2);
        CClock::Sleep(RealSeconds(0.05));
        transport.Open();
        ASSERT_TRUE(transport.WaitForPackets(4));
        stack.DisconnectTransport();
    }
    const auto packets = transport.Packets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].payload, Bytes{0x01});
    EXPECT_TRUE(AckOnly({packets[1]}).size() == 1);
    EXPECT_EQ(packets[1].ack, 1);
    EXPECT_EQ(packets[2].payload, Bytes{0x02});
    EXPECT_FALSE(packets[2].reliable);
    EXPECT_EQ(packets[2].ack, 1);
    EXPECT_EQ(packets[3].payload, Bytes{0x03});
    EXPECT_TRUE(packets[3].reliable);
    EXPECT_EQ(packets[3].ack, 1);
}

TEST(BcspMuxTest, NewSequencingLayerLearnsTheLastAcknowledgement)
{
    CRecordingTransport transport;
    CBCSP_Stack stack;
    stack.Init(&transport);
    stack.ConnectTransport();
    transport.DeliverPacket(MakePacket(false, 0, 5, 0, {}));
    CBCSP_Sequencing_Layer other;
    ASSERT_EQ(other.Init(), HR_OK);
    stack.Sequencing().SetLower(nullptr);
    other.SetLower(&stack.Mux());
    // The new layer starts at 0 and takes 5 as the peer's acknowledgement;
    // its first send goes out. 5 acknowledges nothing it sent, so it frees
    // nothing; the peer's true acknowledgement (1) does.
    const std::uint8_t b = 0x09;
    other.Send(&b, 1, 3);
    ASSERT_TRUE(transport.WaitForPackets(1));
    Settle();
    EXPECT_EQ(other.QueuedCount(), 1u);
    transport.DeliverPacket(MakePacket(false, 0, 1, 0, {}));
    EXPECT_TRUE(WaitFor([&] { return other.QueuedCount() == 0; }));
    other.SetLower(nullptr);
    stack.Sequencing().SetLower(&stack.Mux());
    stack.DisconnectTransport();
    const auto packets = Reliable(transport.Packets());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].payload, Bytes{0x09});
}
