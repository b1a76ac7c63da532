#include "bench/usbip/UsbIpConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

CUsbIpConnection::CUsbIpConnection(int fd) : m_fd(fd)
{
    if (m_fd >= 0)
    {
        const int flags = fcntl(m_fd, F_GETFL, 0);
        fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    }
}

CUsbIpConnection::~CUsbIpConnection()
{
    Close();
}

void CUsbIpConnection::Close()
{
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
    m_pending.clear();
}

void CUsbIpConnection::End(const std::string& why)
{
    if (m_why.empty())
        m_why = why;
    Close();
}

bool CUsbIpConnection::Send(const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size() && m_fd >= 0)
    {
        const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0)
        {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            // The host reads continuously; wait until the socket takes more.
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_fd, &set);
            timeval tv{1, 0};
            select(m_fd + 1, nullptr, &set, nullptr, &tv);
            continue;
        }
        End("the host closed the connection");
        return false;
    }
    return m_fd >= 0;
}

bool CUsbIpConnection::OnReadable(IUsbWireDevice& device)
{
    if (m_fd < 0)
        return false;
    std::uint8_t buffer[65536];
    for (;;)
    {
        const ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
        if (n > 0)
        {
            if (!m_decoder.Feed(buffer, static_cast<std::size_t>(n)))
            {
                End("broken stream: " + m_decoder.Error());
                return false;
            }
            continue;
        }
        if (n == 0)
        {
            End("the host closed the connection");
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        End("receive failed");
        return false;
    }
    usbip::SCommand command;
    while (m_fd >= 0 && m_decoder.Next(command))
    {
        const auto start = std::chrono::steady_clock::now();
        const bool alive = Handle(device, command);
        m_stats.answeredUs += static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
        if (!alive)
            return false;
    }
    return m_fd >= 0 && Pump(device);
}

bool CUsbIpConnection::Handle(IUsbWireDevice& device, const usbip::SCommand& c)
{
    if (c.command == usbip::kCmdUnlink)
    {
        ++m_stats.unlinks;
        auto it = m_pending.find(c.unlinkSeqnum);
        std::int32_t status = 0;
        if (it != m_pending.end())
        {
            m_pending.erase(it);
            ++m_stats.unlinkedPending;
            status = -usbip::kECONNRESET;
        }
        return Send(usbip::EncodeRetUnlink(c.seqnum, status));
    }

    ++m_stats.submits;
    const bool in = c.direction == usbip::kDirIn;
    std::vector<std::uint8_t> data;
    EWireStatus status;
    if (c.endpoint == 0)
    {
        const SWireSetup setup = ParseWireSetup(c.setup);
        if (((setup.bmRequestType & 0x80) != 0) != in)
            status = EWireStatus::Stall; // direction of the URB and the setup packet disagree
        else
        {
            status = device.Control(setup, c.data, data);
            const std::size_t room = std::min<std::size_t>(c.transferLength, setup.wLength);
            if (data.size() > room)
                data.resize(room);
        }
        if (status == EWireStatus::Pending)
        {
            m_pending[c.seqnum] = SPending{0, in, c.transferLength, true};
            return true;
        }
    }
    else if (in)
    {
        status = device.DataIn(static_cast<std::uint8_t>(0x80 | c.endpoint), c.transferLength, data);
        if (status == EWireStatus::Pending)
        {
            m_pending[c.seqnum] = SPending{c.endpoint, true, c.transferLength, false};
            return true;
        }
    }
    else
    {
        status = device.DataOut(static_cast<std::uint8_t>(c.endpoint), c.data);
        if (status == EWireStatus::Pending)
        {
            m_pending[c.seqnum] = SPending{c.endpoint, false, c.transferLength, true};
            return true;
        }
    }
    return Answer(c.seqnum, status, in ? data : std::vector<std::uint8_t>(), in ? 0 : c.transferLength);
}

bool CUsbIpConnection::Answer(std::uint32_t seqnum, EWireStatus status, const std::vector<std::uint8_t>& in,
                              std::uint32_t outLength)
{
    switch (status)
    {
    case EWireStatus::Ok:
        return Send(usbip::EncodeRetSubmit(seqnum, 0, in,
                                           in.empty() ? outLength : static_cast<std::uint32_t>(in.size())));
    case EWireStatus::Stall:
        ++m_stats.stalls;
        return Send(usbip::EncodeRetSubmit(seqnum, -usbip::kEPIPE, {}, 0));
    case EWireStatus::Error:
        return Send(usbip::EncodeRetSubmit(seqnum, -usbip::kEPROTO, {}, 0));
    case EWireStatus::Gone:
        // A host controller completes the transfer in flight when the device
        // leaves the bus (a transaction error, at once); a request vhci-hcd
        // never gets an answer for is given back only at its time-out (5 s
        // for the descriptor reads of a port reset), and the hub's work
        // waits for it. Then the socket closes: the unplug.
        Send(usbip::EncodeRetSubmit(seqnum, -usbip::kEPROTO, {}, 0));
        End("the device left the bus");
        return false;
    case EWireStatus::Pending:
        break;
    }
    return true;
}

bool CUsbIpConnection::Pump(IUsbWireDevice& device)
{
    for (auto it = m_pending.begin(); it != m_pending.end() && m_fd >= 0;)
    {
        if (!it->second.in || it->second.neverAnswered)
        {
            ++it;
            continue;
        }
        std::vector<std::uint8_t> data;
        const EWireStatus status =
            device.DataIn(static_cast<std::uint8_t>(0x80 | it->second.endpoint), it->second.capacity, data);
        if (status == EWireStatus::Pending)
        {
            ++it;
            continue;
        }
        const std::uint32_t seqnum = it->first;
        it = m_pending.erase(it);
        if (!Answer(seqnum, status, data, 0))
            return false;
    }
    return m_fd >= 0;
}

bool CUsbIpConnection::HasPendingIn() const
{
    for (const auto& [seqnum, p] : m_pending)
    {
        if (p.in && !p.neverAnswered)
            return true;
    }
    return false;
}
