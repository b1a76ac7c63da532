// SLIP framing, the byte layer's chunks and frame gathering, and packet
// integrity (header checksum, length, CRC).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bcsp/BCSP_Packet_Integrity_Layer.h"
#include "bcsp/BCSP_Slip_Layer.h"
#include "bcsp/BCSP_Stack.h"
#include "bcsp/BCSP_UART_Driver.h"
#include "bench/bluecore/BlueCoreCodec.h"
#include "tests/bcsp/BcspTestSupport.h"

namespace
{
using Bytes = std::vector<std::uint8_t>;

// Stands in for packet integrity above the framing layer: keeps every
// decoded frame.
class CFrameCapture : public CBCSP_Packet_Integrity_Layer
{
public:
    bool ReceiveFrame(const std::uint8_t* bytes, std::size_t length) override
    {
        frames.emplace_back(bytes, bytes + length);
        return true;
    }
    std::vector<Bytes> frames;
};

// Byte layer + framing, with the recording transport below and the frame
// capture above.
struct SLowerChain
{
    SLowerChain()
    {
        EXPECT_EQ(uart.Init(), HR_OK);
        slip.SetLower(&uart);
        slip.SetUpper(&capture);
        uart.SetLower(&transport);
    }
    ~SLowerChain()
    {
        uart.SetLower(nullptr);
        slip.SetUpper(nullptr);
    }
    Bytes Sent()
    {
        Bytes all;
        for (const auto& chunk : transport.Chunks())
            all.insert(all.end(), chunk.begin(), chunk.end());
        return all;
    }
    CRecordingTransport transport;
    CBCSP_UART_Driver uart;
    CBCSP_Slip_Layer slip;
    CFrameCapture capture;
};

// An unreliable payload received through a whole stack.
struct SReceived
{
    Bytes payload;
    std::uint8_t channel;
};

bool CollectUnreliable(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel, void* context)
{
    auto* list = static_cast<std::vector<SReceived>*>(context);
    list->push_back({Bytes(payload, payload + length), channel});
    return true;
}
} // namespace

TEST(BcspSlipTest, EscapesOnlyC0AndDbInHeaderPayloadAndCrc)
{
    SLowerChain chain;
    std::uint8_t payload[] = {0x01, 0xC0, 0xDB, 0xDC, 0xDD, 0x7E};
    BCSP_Packet packet{};
    packet.header[0] = 0xC0; // a header byte that needs escaping
    packet.header[1] = 0x12;
    packet.header[2] = 0xDB;
    packet.header[3] = 0x33;
    packet.payload = payload;
    packet.length = sizeof(payload);
    packet.header[0] |= 0x40; // CRC present
    packet.crc = 0xDBC0;      // goes out low byte first: C0, DB
    EXPECT_TRUE(chain.slip.SendPacket(packet));
    const Bytes expected = {0xC0, 0xDB, 0xDC, 0x12, 0xDB, 0xDD, 0x33, 0x01, 0xDB, 0xDC, 0xDB, 0xDD,
                            0xDC, 0xDD, 0x7E, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0};
    EXPECT_EQ(chain.Sent(), expected);
}

TEST(BcspSlipTest, DecodesEscapesAndDropsOnlyTheFrameWithABadEscape)
{
    CCapturedLog log;
    CFrameCapture capture;
    CBCSP_Slip_Layer slip;
    slip.SetUpper(&capture);
    // Outside a frame everything but the delimiter is ignored.
    const Bytes noise = {0x11, 0xDC, 0xDD, 0xDB, 0xDB};
    slip.ReceiveBytes(noise.data(), noise.size());
    const Bytes frame = {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0};
    slip.ReceiveBytes(frame.data(), frame.size());
    // 0xDB 0xDB spoils its frame only: the frame is not handed up, and the
    // frames after it are.
    const Bytes doubled = {0xC0, 0x05, 0x06, 0xDB, 0xDB, 0x07, 0xC0};
    slip.ReceiveBytes(doubled.data(), doubled.size());
    const Bytes next = {0xC0, 0x21, 0x22, 0xC0};
    slip.ReceiveBytes(next.data(), next.size());
    // So does 0xDB followed by an ordinary byte.
    const Bytes ordinary = {0xC0, 0x31, 0xDB, 0x41, 0xDC, 0xC0};
    slip.ReceiveBytes(ordinary.data(), ordinary.size());
    // Two adjacent delimiters after an opening one: an empty frame.
    const Bytes empty = {0xC0, 0xC0};
    slip.ReceiveBytes(empty.data(), empty.size());
    const Bytes last = {0xC0, 0x44, 0xC0};
    slip.ReceiveBytes(last.data(), last.size());
    slip.SetUpper(nullptr);

    ASSERT_EQ(capture.frames.size(), 4u);
    EXPECT_EQ(capture.frames[0], (Bytes{0x01, 0xC0, 0xDB, 0xDC, 0xDD}));
    EXPECT_EQ(capture.frames[1], (Bytes{0x21, 0x22}));
    EXPECT_TRUE(capture.frames[2].empty());
    EXPECT_EQ(capture.frames[3], (Bytes{0x44}));
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "Slip: Invalid escape [0xDB 0xDB]! Frame discarded"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "Slip: Invalid escape [0xDB 0x41]! Frame discarded"), 1u);
}

TEST(BcspSlipTest, ReceiverKeepsWorkingAfterBadEscapesThroughTheByteLayer)
{
    SLowerChain chain;
    // A burst of line noise, a frame with a double escape, then good frames,
    // all in one delivery as the transport's reader hands them up.
    const Bytes stream = {0xDB, 0xDB, 0x13, 0xC0, 0x01, 0xDB, 0xDB, 0x02, 0xC0, 0xC0, 0x0A, 0x0B,
                          0xC0, 0xC0, 0x0C, 0xDB, 0xDD, 0xC0};
    EXPECT_TRUE(chain.uart.DeliverBytes(stream.data(), stream.size()));
    ASSERT_EQ(chain.capture.frames.size(), 2u);
    EXPECT_EQ(chain.capture.frames[0], (Bytes{0x0A, 0x0B}));
    EXPECT_EQ(chain.capture.frames[1], (Bytes{0x0C, 0xDB}));
}

TEST(BcspSlipTest, OverlongFrameIsDroppedNotOverrun)
{
    CFrameCapture capture;
    CBCSP_Slip_Layer slip;
    slip.SetUpper(&capture);
    Bytes longFrame(5000, 0x55);
    longFrame.front() = 0xC0;
    longFrame.back() = 0xC0;
    slip.ReceiveBytes(longFrame.data(), longFrame.size());
    const Bytes good = {0xC0, 0x01, 0x02, 0xC0};
    slip.ReceiveBytes(good.data(), good.size());
    slip.SetUpper(nullptr);
    // The long one is dropped; its closing delimiter opened the good one's
    // frame, whose own closing delimiter then opens a new one.
    ASSERT_GE(capture.frames.size(), 1u);
    for (const auto& f : capture.frames)
        EXPECT_LE(f.size(), CBCSP_Slip_Layer::kBufferSize);
}

TEST(BcspUartTest, FrameGoesOutInChunksOf59And59And12)
{
    SLowerChain chain;
    Bytes frame(130, 0x42);
    frame.front() = 0xC0;
    frame.back() = 0xC0;
    ASSERT_TRUE(chain.uart.WriteBytes(frame.data(), frame.size()));
    // A second frame never shares a chunk with the end of the first.
    const Bytes small = {0xC0, 0x01, 0xC0};
    ASSERT_TRUE(chain.uart.WriteBytes(small.data(), small.size()));
    const auto chunks = chain.transport.Chunks();
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0].size(), 59u);
    EXPECT_EQ(chunks[1].size(), 59u);
    EXPECT_EQ(chunks[2].size(), 12u);
    EXPECT_EQ(chunks[3], small);
    EXPECT_EQ(chain.Sent().size(), 133u);
}

TEST(BcspUartTest, RefusesWorkBeforeInitAndFramesThatDoNotFit)
{
    CBCSP_UART_Driver uart;
    const Bytes bytes = {0xC0, 0x01, 0xC0};
    EXPECT_FALSE(uart.WriteBytes(bytes.data(), bytes.size()));
    EXPECT_FALSE(uart.DeliverBytes(bytes.data(), bytes.size()));

    SLowerChain chain;
    const Bytes huge(CBCSP_UART_Driver::kTxRingSize, 0x11);
    EXPECT_FALSE(chain.uart.WriteBytes(huge.data(), huge.size()));
    EXPECT_TRUE(chain.transport.Chunks().empty());
}

TEST(BcspSlipTest, LargestPayloadFramesWholeEvenWhenEveryByteIsEscaped)
{
    // 2079 payload bytes that all need escaping: the frame doubles in size
    // and must still leave whole rather than being dropped.
    SLowerChain chain;
    Bytes payload(2079);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = i % 2 == 0 ? 0xC0 : 0xDB;
    BCSP_Packet packet{};
    packet.header[0] = 0x80;
    packet.header[1] = 0x05 | static_cast<std::uint8_t>((payload.size() & 0x0F) << 4);
    packet.header[2] = static_cast<std::uint8_t>(payload.size() >> 4);
    packet.header[3] = static_cast<std::uint8_t>(~(packet.header[0] + packet.header[1] + packet.header[2]));
    packet.payload = payload.data();
    packet.length = static_cast<std::uint16_t>(payload.size());
    ASSERT_TRUE(chain.slip.SendPacket(packet));
    const Bytes sent = chain.Sent();
    EXPECT_EQ(sent.size(), 2u + 4u + 2u * payload.size());
    bluecore::CSlipDecoder decoder;
    const auto frames = decoder.Feed(sent.data(), sent.size());
    ASSERT_EQ(frames.size(), 1u);
    const auto parsed = bluecore::ParsePacket(frames[0].data(), frames[0].size());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->payload, payload);
}

TEST(BcspUartTest, GathersFramesAcrossReportsAndDropsBytesBeforeTheFirstDelimiter)
{
    SLowerChain chain;
    // Noise, then one frame split over three reports.
    chain.transport.Deliver({0x01, 0x02, 0x03});
    const Bytes part1 = {0xC0, 0x10, 0x11};
    const Bytes part2 = {0x12, 0x13};
    const Bytes part3 = {0x14, 0xC0};
    chain.uart.DeliverBytes(part1.data(), part1.size());
    chain.uart.DeliverBytes(part2.data(), part2.size());
    EXPECT_TRUE(chain.capture.frames.empty());
    chain.uart.DeliverBytes(part3.data(), part3.size());
    ASSERT_EQ(chain.capture.frames.size(), 1u);
    EXPECT_EQ(chain.capture.frames[0], (Bytes{0x10, 0x11, 0x12, 0x13, 0x14}));
}

TEST(BcspUartTest, AdjacentDelimitersResynchroniseAfterALostOne)
{
    SLowerChain chain;
    // The opening delimiter of the first frame was lost: its closing one
    // opens instead, and the next frame's opening one follows at once.
    const Bytes stream = {0x10, 0x11, 0xC0, 0xC0, 0x20, 0x21, 0xC0};
    chain.uart.DeliverBytes(stream.data(), stream.size());
    ASSERT_EQ(chain.capture.frames.size(), 1u);
    EXPECT_EQ(chain.capture.frames[0], (Bytes{0x20, 0x21}));
}

TEST(BcspUartTest, LargeDeliveryIsTakenInPieces)
{
    SLowerChain chain;
    Bytes stream;
    for (int i = 0; i < 500; ++i)
    {
        const Bytes frame = {0xC0, static_cast<std::uint8_t>(i & 0x7F), 0x55, 0x66, 0xC0};
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ASSERT_GT(stream.size(), CBCSP_UART_Driver::kRingSize);
    EXPECT_TRUE(chain.uart.DeliverBytes(stream.data(), stream.size()));
    ASSERT_EQ(chain.capture.frames.size(), 500u);
    EXPECT_EQ(chain.capture.frames[499], (Bytes{499 & 0x7F, 0x55, 0x66}));
}

TEST(BcspIntegrityTest, CrcTableReversalAndWireOrder)
{
    EXPECT_EQ(bcsp::kCrcTable[1], 0x1081);
    EXPECT_EQ(bcsp::kCrcTable[8], 0x8408);
    const char* text = "123456789";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    EXPECT_EQ(bcsp::CrcUpdate(0xFFFF, bytes, 9), 0x6F91);
    EXPECT_EQ(bcsp::BitReverse16(0x6F91), 0x89F6);
    const std::uint16_t word = bcsp::CrcWord(bytes, 9);
    std::uint8_t wire[2];
    wire[0] = static_cast<std::uint8_t>(word & 0xFF);
    wire[1] = static_cast<std::uint8_t>(word >> 8);
    EXPECT_EQ(wire[0], 0x89);
    EXPECT_EQ(wire[1], 0xF6);
    // The chip's bitwise CRC agrees.
    EXPECT_EQ(bluecore::WireCrc(bytes, 9), 0x89F6);
    const std::uint8_t zero[3] = {0, 0, 0};
    EXPECT_EQ(bcsp::HeaderChecksum(zero), 0xFF);
}

TEST(BcspIntegrityTest, SendCompletesHeaderAndCrc)
{
    SLowerChain chain;
    CBCSP_Packet_Integrity_Layer integrity;
    integrity.SetLower(&chain.slip);
    // An acknowledgement-only packet without CRC: 00 00 00 FF.
    BCSP_Packet ack{};
    integrity.SendPacket(ack);
    integrity.EnableCRC(true);
    std::uint8_t payload[20];
    for (std::uint8_t i = 0; i < 20; ++i)
        payload[i] = i;
    BCSP_Packet data{};
    data.header[0] = 0x80 | 0x05;
    data.header[1] = 12;
    data.payload = payload;
    data.length = 20;
    integrity.SendPacket(data);
    integrity.SetLower(nullptr);

    bluecore::CSlipDecoder decoder;
    const Bytes sent = chain.Sent();
    const auto frames = decoder.Feed(sent.data(), sent.size());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x00, 0x00, 0xFF}));
    const auto parsed = bluecore::ParsePacket(frames[1].data(), frames[1].size());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(parsed->crcPresent);
    EXPECT_TRUE(parsed->reliable);
    EXPECT_EQ(parsed->seq, 5);
    EXPECT_EQ(parsed->channel, 12);
    EXPECT_EQ(parsed->payload, Bytes(payload, payload + 20));
}

TEST(BcspIntegrityTest, InvalidFramesAreLoggedAndDropped)
{
    CCapturedLog log;
    CRecordingTransport transport;
    std::vector<SReceived> received;
    {
        CBCSP_Stack stack;
        stack.Init(&transport);
        stack.ConnectTransport();
        stack.SetUnreliableCallback(&received, &CollectUnreliable);

        // Wrong header checksum.
        transport.Deliver({0xC0, 0x01, 0x12, 0x00, 0x00, 0x55, 0xC0});
        // A reliable one-byte payload with CRC is 7 bytes; cut to 6.
        Bytes seven = bluecore::BuildPacket(MakePacket(true, 0, 0, 12, {0x42}));
        ASSERT_EQ(seven.size(), 7u);
        seven.pop_back();
        transport.Deliver(bluecore::SlipEncode(seven));
        // Three bytes.
        transport.Deliver({0xC0, 0x01, 0x02, 0x03, 0xC0});
        // A CRC that does not match.
        Bytes bad = bluecore::BuildPacket(MakePacket(false, 0, 0, 3, {0x10, 0x20}));
        bad.back() ^= 0x01;
        transport.Deliver(bluecore::SlipEncode(bad));
        // A valid one still arrives, without CRC even though CRC is enabled.
        stack.EnableCRC(true);
        transport.DeliverPacket(MakePacket(false, 0, 0, 3, {0x77}, false));
        stack.DisconnectTransport();
    }
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, Bytes{0x77});
    EXPECT_EQ(received[0].channel, 3);

    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "PktInt: Invalid Checkum: [0x01] + [0x12] + [0x00] = [0x13] != ~[0xFF] != 0"),
              1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "PktInt: Invalid Length : Exp [7] Actual [6]"), 1u);
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "PktInt: Invalid CRC : Exp [0x"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "PktInt: Invalid Packet! Discarded"), 4u);
}
