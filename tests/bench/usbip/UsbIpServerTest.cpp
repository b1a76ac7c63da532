// The USB/IP device side, met by a test that plays vhci-hcd over a socket
// pair: enumeration as the kernel does it, HID reports both ways, a pending
// interrupt IN taken back by CMD_UNLINK, DFU requests, a device that never
// answers, a device pulled out mid-transfer and a broken stream.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "bench/tavik/TavikHeadset.h"
#include "bench/usbip/UsbDeviceServer.h"
#include "bench/usbip/UsbIpConnection.h"
#include "bench/usbip/UsbIpProtocol.h"
#include "platform/Clock.h"

namespace
{
using usbip::SReply;

// The host end of one connection.
class CHost
{
public:
    CHost()
    {
        int pair[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        m_fd = pair[1];
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL, 0) | O_NONBLOCK);
        connection = std::make_unique<CUsbIpConnection>(pair[0]);
    }
    ~CHost() { close(m_fd); }

    void Send(const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(m_fd, bytes.data(), bytes.size()));
    }
    // Submits a control transfer and lets the device side run.
    std::uint32_t Control(IUsbWireDevice& device, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, std::uint16_t length, const std::vector<std::uint8_t>& out = {})
    {
        const std::uint8_t setup[8] = {type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                       static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
                                       static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
        const bool in = (type & 0x80) != 0;
        const std::uint32_t seqnum = ++m_seqnum;
        m_in[seqnum] = in;
        Send(usbip::EncodeCmdSubmit(seqnum, 0, in ? usbip::kDirIn : usbip::kDirOut,
                                    in ? length : static_cast<std::uint32_t>(out.size()), setup, out));
        alive = connection->OnReadable(device);
        return seqnum;
    }
    std::uint32_t Interrupt(IUsbWireDevice& device, std::uint32_t endpoint, bool in, std::uint32_t length,
                            const std::vector<std::uint8_t>& out = {})
    {
        const std::uint32_t seqnum = ++m_seqnum;
        m_in[seqnum] = in;
        Send(usbip::EncodeCmdSubmit(seqnum, endpoint, in ? usbip::kDirIn : usbip::kDirOut, in ? length : out.size(),
                                    nullptr, out));
        alive = connection->OnReadable(device);
        return seqnum;
    }
    std::uint32_t Unlink(IUsbWireDevice& device, std::uint32_t victim)
    {
        const std::uint32_t seqnum = ++m_seqnum;
        m_in[seqnum] = false;
        Send(usbip::EncodeCmdUnlink(seqnum, victim));
        alive = connection->OnReadable(device);
        return seqnum;
    }
    // The replies that arrived, in order.
    std::vector<SReply> Replies()
    {
        std::uint8_t buffer[65536];
        for (;;)
        {
            const ssize_t n = read(m_fd, buffer, sizeof(buffer));
            if (n > 0)
                m_bytes.insert(m_bytes.end(), buffer, buffer + n);
            else
            {
                closed = n == 0;
                break;
            }
        }
        std::vector<SReply> replies;
        for (;;)
        {
            if (m_bytes.size() < usbip::kHeaderLength)
                break;
            const std::uint32_t seqnum = (m_bytes[4] << 24) | (m_bytes[5] << 16) | (m_bytes[6] << 8) | m_bytes[7];
            SReply reply;
            const std::size_t used = usbip::DecodeReply(m_bytes, m_in[seqnum], reply);
            if (used == 0)
                break;
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(used));
            replies.push_back(reply);
        }
        return replies;
    }
    SReply One()
    {
        std::vector<SReply> r = Replies();
        EXPECT_EQ(1u, r.size());
        return r.empty() ? SReply() : r.front();
    }

    std::unique_ptr<CUsbIpConnection> connection;
    bool alive = true;
    bool closed = false;

private:
    int m_fd = -1;
    std::uint32_t m_seqnum = 0;
    std::map<std::uint32_t, bool> m_in;
    std::vector<std::uint8_t> m_bytes;
};

STavikHeadsetConfig FastHeadset()
{
    STavikHeadsetConfig config;
    config.dfu.pollTimeoutMs = 0;
    return config;
}

TEST(UsbIpServer, EnumeratesAsTheKernelDoes)
{
    CTavikHeadset headset(FastHeadset(), std::make_shared<CSimDfuBus>());
    CHidFaceWireDevice device(headset.HidDescription(), &headset);
    CHost host;

    host.Control(device, 0x80, 6, 0x0100, 0, 64);
    SReply r = host.One();
    EXPECT_EQ(usbip::kRetSubmit, r.command);
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(18u, r.data.size());
    EXPECT_EQ(0x6D, r.data[8]);
    EXPECT_EQ(0x2C, r.data[9]);
    EXPECT_EQ(0x40, r.data[10]);

    // The configuration header, then all of it.
    host.Control(device, 0x80, 6, 0x0200, 0, 9);
    r = host.One();
    ASSERT_EQ(9u, r.data.size());
    const std::uint16_t total = static_cast<std::uint16_t>(r.data[2] | (r.data[3] << 8));
    host.Control(device, 0x80, 6, 0x0200, 0, 255);
    r = host.One();
    EXPECT_EQ(total, r.data.size());
    EXPECT_EQ(3, r.data[9 + 5]); // interface class HID

    // Strings: the languages, then the product in one of them.
    host.Control(device, 0x80, 6, 0x0300, 0, 255);
    r = host.One();
    ASSERT_EQ(4u, r.data.size());
    host.Control(device, 0x80, 6, 0x0302, 0x0409, 255);
    r = host.One();
    ASSERT_GE(r.data.size(), 4u);
    EXPECT_EQ('V', r.data[2]);

    // A full-speed device stalls the device qualifier; nothing else changes.
    host.Control(device, 0x80, 6, 0x0600, 0, 10);
    EXPECT_EQ(-usbip::kEPIPE, host.One().status);

    host.Control(device, 0x00, 9, 1, 0, 0);
    EXPECT_EQ(0, host.One().status);
    host.Control(device, 0x80, 8, 0, 0, 1);
    r = host.One();
    ASSERT_EQ(1u, r.data.size());
    EXPECT_EQ(1, r.data[0]);
    // The HID report descriptor, asked of the interface; SET_IDLE as usbhid sends it.
    host.Control(device, 0x81, 6, 0x2200, 0, 255);
    r = host.One();
    EXPECT_EQ(headset.HidDescription().hidInterfaces[0].reportDescriptor, r.data);
    host.Control(device, 0x21, 0x0A, 0, 0, 0);
    EXPECT_EQ(0, host.One().status);
    EXPECT_TRUE(host.alive);
}

TEST(UsbIpServer, HidReportsTravelTheInterruptEndpointsAndAnUnlinkTakesAPendingUrbBack)
{
    CTavikHeadset headset(FastHeadset(), std::make_shared<CSimDfuBus>());
    CHidFaceWireDevice device(headset.HidDescription(), &headset);
    CHost host;
    host.Control(device, 0x00, 9, 1, 0, 0);
    host.Replies();

    // usbhid keeps an interrupt IN URB submitted; nothing to say yet.
    const std::uint32_t waiting = host.Interrupt(device, 1, true, 64);
    EXPECT_TRUE(host.Replies().empty());
    EXPECT_TRUE(host.connection->HasPendingIn());

    // The version query goes out as report 2 on the interrupt OUT endpoint (5 bytes, as hidraw writes them).
    host.Interrupt(device, 1, false, 0, {0x02, 0x32, 0x33, 0x00, 0x00});
    std::vector<SReply> replies = host.Replies();
    ASSERT_EQ(2u, replies.size());
    // The OUT transfer is acknowledged, and the waiting IN URB carries the
    // reply, padded to the report's declared length (ID and 16 bytes).
    const SReply& in = replies[0].seqnum == waiting ? replies[0] : replies[1];
    const SReply& out = replies[0].seqnum == waiting ? replies[1] : replies[0];
    EXPECT_EQ(0, out.status);
    EXPECT_EQ(5u, out.actualLength);
    ASSERT_EQ(17u, in.data.size());
    EXPECT_EQ(0x02, in.data[0]);
    EXPECT_EQ(0x33, in.data[1]);
    EXPECT_EQ(3, in.data[2]); // 1.05.3: digits least significant first
    EXPECT_EQ(5, in.data[3]);

    // A new IN URB waits; the host takes it back.
    const std::uint32_t pending = host.Interrupt(device, 1, true, 64);
    EXPECT_TRUE(host.Replies().empty());
    const std::uint32_t unlink = host.Unlink(device, pending);
    SReply r = host.One();
    EXPECT_EQ(usbip::kRetUnlink, r.command);
    EXPECT_EQ(unlink, r.seqnum);
    EXPECT_EQ(-usbip::kECONNRESET, r.status);
    EXPECT_FALSE(host.connection->HasPendingIn());
    // An unlink of what was answered already: status 0, and still no RET_SUBMIT for it.
    host.Unlink(device, waiting);
    r = host.One();
    EXPECT_EQ(usbip::kRetUnlink, r.command);
    EXPECT_EQ(0, r.status);

    // A HID request that stalls (the fault), then the next one goes through.
    device.StallHidRequest(device.HidRequests() + 1);
    host.Interrupt(device, 1, false, 0, {0x02, 0x32, 0x33, 0x00, 0x00});
    EXPECT_EQ(-usbip::kEPIPE, host.One().status);
    host.Interrupt(device, 1, false, 0, {0x02, 0x32, 0x33, 0x00, 0x00});
    EXPECT_EQ(0, host.One().status);
}

// Feature report 4 echoes what was set; every output report comes back as input report 3.
class CEchoModel : public IBenchHidModel
{
public:
    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override { m_sink = sink; }
    void OnDetach() override { m_sink.reset(); }
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override
    {
        m_feature.assign(report, report + length);
        return report[0] == 4 ? EHidResult::Ok : EHidResult::Failed;
    }
    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override
    {
        if (report[0] != 4 || m_feature.size() != length)
            return EHidResult::Failed;
        std::copy(m_feature.begin(), m_feature.end(), report);
        return EHidResult::Ok;
    }
    EHidResult OnOutputReport(const std::uint8_t* report, std::size_t length) override
    {
        std::vector<std::uint8_t> echo(report, report + length);
        echo[0] = 3;
        m_sink->QueueInputReport(echo.data(), 4);
        if (report[1] == 0xDF)
            m_sink->DropOff(0);
        return EHidResult::Ok;
    }

    std::vector<std::uint8_t> m_feature;
    std::shared_ptr<IBenchHidSink> m_sink;
};

TEST(UsbIpServer, ModelsGetReportsInTheSystemsShape)
{
    auto model = std::make_shared<CEchoModel>();
    SBenchDevice description;
    description.vendorId = 0x170D;
    description.productId = 0xFE00;
    SBenchHidInterface hid;
    // Report 3 input (8 data bytes), report 4 feature (4 data bytes), report 5 output (8 data bytes).
    hid.reportDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                            0x85, 0x03, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02,
                            0x85, 0x04, 0x95, 0x04, 0x09, 0x01, 0xB1, 0x02,
                            0x85, 0x05, 0x95, 0x08, 0x09, 0x01, 0x91, 0x02, 0xC0};
    hid.model = model;
    description.hidInterfaces.push_back(hid);
    CModelWireDevice device(description);
    device.Attach();
    CHost host;
    host.Control(device, 0x00, 9, 1, 0, 0);
    host.Replies();

    // SET_REPORT(feature 4) and GET_REPORT(feature 4): the ID travels first.
    host.Control(device, 0x21, 9, 0x0304, 0, 5, {0x04, 1, 2, 3, 4});
    EXPECT_EQ(0, host.One().status);
    // The model saw the system's shape: ID first, the collection's longest feature (5 bytes).
    EXPECT_EQ((std::vector<std::uint8_t>{0x04, 1, 2, 3, 4}), model->m_feature);
    host.Control(device, 0xA1, 1, 0x0304, 0, 64);
    SReply r = host.One();
    EXPECT_EQ((std::vector<std::uint8_t>{0x04, 1, 2, 3, 4}), r.data);
    // A feature report the model refuses stalls.
    host.Control(device, 0x21, 9, 0x0307, 0, 2, {0x07, 1});
    EXPECT_EQ(-usbip::kEPIPE, host.One().status);

    // An output report by SET_REPORT (no interrupt OUT endpoint); its echo
    // comes on the interrupt IN endpoint as report 3, padded to 8 data bytes.
    host.Control(device, 0x21, 9, 0x0205, 0, 9, {0x05, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(0, host.One().status);
    host.Interrupt(device, 1, true, 64);
    r = host.One();
    EXPECT_EQ((std::vector<std::uint8_t>{0x03, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0}), r.data);

    // The model drops off the bus: the port learns of it.
    EXPECT_FALSE(device.PlugRequest().pending);
    host.Control(device, 0x21, 9, 0x0205, 0, 9, {0x05, 0xDF, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(device.PlugRequest().pending);
    device.Detach();
    EXPECT_FALSE(model->m_sink);
}

// The chip pulled out as it takes its Nth HID request (the server's
// unplug-at-request): the requests before are answered, that one fails and
// the socket closes, the model never sees it; a stall of an earlier request
// is the device's answer, the connection lives on.
TEST(UsbIpServer, AChipPulledOutAtItsNthHidRequestClosesTheConnectionWithoutAnswer)
{
    auto model = std::make_shared<CEchoModel>();
    SBenchDevice description;
    description.vendorId = 0x0572;
    description.productId = 0x1500;
    SBenchHidInterface hid;
    hid.reportDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                            0x85, 0x04, 0x95, 0x04, 0x09, 0x01, 0xB1, 0x02, 0xC0};
    hid.model = model;
    description.hidInterfaces.push_back(hid);
    CModelWireDevice device(description);
    device.Attach();
    device.StallHidRequest(1);
    device.UnplugAtHidRequest(3);
    CHost host;
    host.Control(device, 0x00, 9, 1, 0, 0);
    host.Replies();
    host.Control(device, 0x21, 9, 0x0304, 0, 5, {0x04, 1, 1, 1, 1});
    EXPECT_EQ(-usbip::kEPIPE, host.One().status);
    EXPECT_TRUE(model->m_feature.empty());
    host.Control(device, 0x21, 9, 0x0304, 0, 5, {0x04, 2, 2, 2, 2});
    EXPECT_EQ(0, host.One().status);
    EXPECT_EQ((std::vector<std::uint8_t>{0x04, 2, 2, 2, 2}), model->m_feature);
    host.Control(device, 0x21, 9, 0x0304, 0, 5, {0x04, 3, 3, 3, 3});
    EXPECT_FALSE(host.alive);
    const std::vector<SReply> replies = host.Replies();
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(-usbip::kEPROTO, replies[0].status);
    EXPECT_TRUE(host.closed);
    EXPECT_EQ((std::vector<std::uint8_t>{0x04, 2, 2, 2, 2}), model->m_feature);
}

TEST(UsbIpServer, DfuRequestsReachTheDeviceAndADeviceThatNeverAnswersIsUnlinked)
{
    SSimDfuConfig config;
    config.pollTimeoutMs = 0;
    config.checkPayload = false;
    auto dfu = std::make_shared<CSimDfuDevice>(config);
    CDfuWireDevice device(dfu, 2);
    CHost host;
    host.Control(device, 0x80, 6, 0x0100, 0, 64);
    host.Control(device, 0x00, 9, 1, 0, 0);
    host.Replies();

    const std::vector<std::uint8_t> block(64, 0x5A);
    host.Control(device, 0x21, 1, 0, 0, 64, block); // DNLOAD 0
    EXPECT_EQ(0, host.One().status);
    host.Control(device, 0xA1, 3, 0, 0, 6); // GETSTATUS
    SReply r = host.One();
    ASSERT_EQ(6u, r.data.size());
    EXPECT_EQ(0, r.data[0]); // OK
    EXPECT_EQ(1, dfu->BlocksReceived());

    // The second block is never answered: the host's time-out unlinks it.
    const std::uint32_t lost = host.Control(device, 0x21, 1, 1, 0, 64, block);
    EXPECT_TRUE(host.Replies().empty());
    host.Unlink(device, lost);
    r = host.One();
    EXPECT_EQ(usbip::kRetUnlink, r.command);
    EXPECT_EQ(-usbip::kECONNRESET, r.status);
    EXPECT_EQ(1, dfu->BlocksReceived());

    // A request the DFU state machine refuses stalls (CLRSTATUS outside dfuERROR).
    host.Control(device, 0x21, 4, 0, 0, 0);
    EXPECT_EQ(-usbip::kEPIPE, host.One().status);
    EXPECT_TRUE(host.alive);
}

// Pulled out in the middle of a transfer: that transfer fails at once
// (-EPROTO, as a host controller reports it; vhci-hcd would otherwise give it
// back only at its time-out) and the connection closes.
TEST(UsbIpServer, ADevicePulledOutMidTransferFailsThatTransferAndClosesTheConnection)
{
    SSimDfuConfig config;
    config.pollTimeoutMs = 0;
    config.vanishAtBlock = 1;
    auto dfu = std::make_shared<CSimDfuDevice>(config);
    CDfuWireDevice device(dfu);
    CHost host;
    host.Control(device, 0x00, 9, 1, 0, 0);
    host.Replies();
    const std::vector<std::uint8_t> block(64, 1);
    host.Control(device, 0x21, 1, 0, 0, 64, block);
    host.Control(device, 0xA1, 3, 0, 0, 6);
    EXPECT_EQ(2u, host.Replies().size());
    const std::uint32_t last = host.Control(device, 0x21, 1, 1, 0, 64, block);
    EXPECT_FALSE(host.alive);
    const std::vector<SReply> replies = host.Replies();
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(last, replies[0].seqnum);
    EXPECT_EQ(-usbip::kEPROTO, replies[0].status);
    EXPECT_TRUE(host.closed);
    EXPECT_FALSE(dfu->IsPresent());
}

TEST(UsbIpServer, ABrokenStreamEndsTheConnection)
{
    CTavikHeadset headset(FastHeadset(), std::make_shared<CSimDfuBus>());
    CHidFaceWireDevice device(headset.HidDescription(), &headset);
    {
        CHost host;
        std::vector<std::uint8_t> junk(48, 0);
        junk[3] = 9; // no such command
        host.Send(junk);
        EXPECT_FALSE(host.connection->OnReadable(device));
        EXPECT_NE(std::string::npos, host.connection->Why().find("unknown command"));
        host.Replies();
        EXPECT_TRUE(host.closed);
    }
    {
        // A length the device would have to buffer without bound.
        CHost host;
        std::vector<std::uint8_t> submit = usbip::EncodeCmdSubmit(1, 1, usbip::kDirOut, 0, nullptr, {});
        submit[24] = 0x7F;
        host.Send(submit);
        EXPECT_FALSE(host.connection->OnReadable(device));
    }
    {
        // A header split across reads is whole once the rest arrives.
        usbip::CDecoder decoder;
        const std::uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
        const std::vector<std::uint8_t> bytes = usbip::EncodeCmdSubmit(7, 0, usbip::kDirIn, 18, setup, {});
        usbip::SCommand c;
        EXPECT_TRUE(decoder.Feed(bytes.data(), 20));
        EXPECT_FALSE(decoder.Next(c));
        EXPECT_TRUE(decoder.Feed(bytes.data() + 20, bytes.size() - 20));
        ASSERT_TRUE(decoder.Next(c));
        EXPECT_EQ(7u, c.seqnum);
        EXPECT_EQ(18u, c.transferLength);
    }
}
} // namespace
