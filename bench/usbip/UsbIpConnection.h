#pragma once
// One USB/IP connection: the device end of the stream socket that vhci-hcd
// (or a test playing it) holds for one port. It reads the host's URBs,
// hands them to an IUsbWireDevice and sends the answers:
//
// - CMD_SUBMIT on endpoint 0 is a control transfer, on another endpoint an
//   interrupt transfer; an IN transfer the device has no data for yet stays
//   pending and is completed by Pump() once it has (as a device NAKs until
//   then); a request the device does not answer stays pending for good.
// - CMD_UNLINK of a pending URB takes it back: RET_UNLINK with -ECONNRESET
//   and no RET_SUBMIT for it; of one already answered: RET_UNLINK with 0.
// - A device that is Gone in the middle of a transfer fails that transfer
//   with -EPROTO, as a host controller does when the device stops answering,
//   and ends the connection: the socket is closed, which the host sees as an
//   unplug.
//
// Linux (POSIX sockets). Not thread-safe: one thread drives a connection.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/usbip/UsbIpProtocol.h"
#include "bench/usbip/WireDevice.h"

class CUsbIpConnection
{
public:
    // Takes ownership of fd (a connected stream socket).
    explicit CUsbIpConnection(int fd);
    ~CUsbIpConnection();
    CUsbIpConnection(const CUsbIpConnection&) = delete;
    CUsbIpConnection& operator=(const CUsbIpConnection&) = delete;

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // Reads what the socket holds now and answers it. False once the
    // connection has ended (the host closed it, the stream broke, the device
    // went away); Why() then says which.
    bool OnReadable(IUsbWireDevice& device);
    // Completes pending IN transfers the device now has data for.
    bool Pump(IUsbWireDevice& device);
    bool HasPendingIn() const;
    // Ends the connection (the device is unplugged).
    void Close();
    const std::string& Why() const { return m_why; }

    struct SStats
    {
        std::uint64_t submits = 0;
        std::uint64_t unlinks = 0;
        std::uint64_t unlinkedPending = 0;
        std::uint64_t stalls = 0;
        std::uint64_t answeredUs = 0; // from reading a request to its answer sent, summed (the device's time)
    };
    const SStats& Stats() const { return m_stats; }

private:
    struct SPending
    {
        std::uint32_t endpoint = 0;
        bool in = false;
        std::size_t capacity = 0;
        bool neverAnswered = false; // a request the device does not answer
    };

    bool Handle(IUsbWireDevice& device, const usbip::SCommand& command);
    bool Answer(std::uint32_t seqnum, EWireStatus status, const std::vector<std::uint8_t>& in, std::uint32_t outLength);
    bool Send(const std::vector<std::uint8_t>& bytes);
    void End(const std::string& why);

    int m_fd;
    usbip::CDecoder m_decoder;
    std::map<std::uint32_t, SPending> m_pending; // by seqnum, oldest first
    SStats m_stats;
    std::string m_why;
};
