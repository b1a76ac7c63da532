// One open HID interface on Linux: a hidraw node for reports (poll-based
// time-outs, an eventfd for cancelling), sysfs facts for attributes,
// capabilities and strings, usbfs for indexed string descriptors.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/HidSystem.h"

// The sysfs scan (UsbSysfs.cpp) opens devices through this function.
EHidResult OpenLinuxHidDevice(const std::string& hidrawNode, const std::string& usbfsNode,
                              const SHidAttributes& attributes, const SHidCaps& caps, bool usesReportIds,
                              const std::wstring& manufacturer, const std::wstring& product,
                              const std::wstring& serialNumber, const SHidOpenOptions& options,
                              CHidDevicePtr& device);

namespace
{
// Everything the sysfs scan knows about one HID top-level collection.
struct SLinuxHidFacts
{
    std::string hidrawNode;  // e.g. /dev/hidraw3
    std::string usbfsNode;   // e.g. /dev/bus/usb/001/005 (may be empty)
    SHidAttributes attributes;
    SHidCaps caps;
    bool usesReportIds = false;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
};

class CLinuxHidDevice : public IHidDevice
{
public:
    CLinuxHidDevice(int fd, int cancelFd, const SLinuxHidFacts& facts, const SHidOpenOptions& options)
        : m_fd(fd), m_cancelFd(cancelFd), m_facts(facts), m_options(options)
    {
    }

    ~CLinuxHidDevice() override
    {
        if (m_fd >= 0)
            close(m_fd);
        if (m_cancelFd >= 0)
            close(m_cancelFd);
    }

    std::uintptr_t GetHandleValue() const override
    {
        // Access-less handles have no descriptor; they show the eventfd's number.
        return static_cast<std::uintptr_t>(m_fd >= 0 ? m_fd : m_cancelFd);
    }
    bool IsOverlapped() const override { return m_options.overlapped; }
    std::uint32_t GetAccess() const override { return m_options.access; }

    EHidResult GetAttributes(SHidAttributes& attributes) override
    {
        attributes = m_facts.attributes;
        return EHidResult::Ok;
    }

    EHidResult GetCaps(SHidCaps& caps) override
    {
        caps = m_facts.caps;
        return EHidResult::Ok;
    }

    EHidResult GetProductString(std::wstring& text) override { return Text(m_facts.product, text); }
    EHidResult GetManufacturerString(std::wstring& text) override { return Text(m_facts.manufacturer, text); }
    EHidResult GetSerialNumberString(std::wstring& text) override { return Text(m_facts.serialNumber, text); }

    EHidResult GetIndexedString(std::uint32_t index, std::wstring& text) override
    {
        if (index == 0 || index > 255 || m_facts.usbfsNode.empty())
            return EHidResult::NotSupported;
        const int fd = open(m_facts.usbfsNode.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return HidResultFromErrno(errno);
        std::uint8_t buffer[255] = {};
        usbdevfs_ctrltransfer transfer{};
        transfer.bRequestType = 0x80;
        transfer.bRequest = 6; // GET_DESCRIPTOR
        transfer.wValue = static_cast<std::uint16_t>(0x0300 | index);
        transfer.wIndex = 0x0409;
        transfer.wLength = sizeof(buffer);
        transfer.timeout = 1000;
        transfer.data = buffer;
        const int n = ioctl(fd, USBDEVFS_CONTROL, &transfer);
        const int error = errno;
        close(fd);
        if (n < 0)
            return HidResultFromErrno(error);
        // Untrusted: a string descriptor of even length that fits what came back.
        if (n < 2 || buffer[1] != 3 || buffer[0] > n || buffer[0] < 2)
            return EHidResult::Failed;
        const std::size_t chars = std::min<std::size_t>((buffer[0] - 2u) / 2u, 126);
        text.clear();
        for (std::size_t i = 0; i < chars; ++i)
            text.push_back(static_cast<wchar_t>(buffer[2 + 2 * i] | (buffer[3 + 2 * i] << 8)));
        return EHidResult::Ok;
    }

    EHidResult SetFeature(const std::uint8_t* report, std::size_t length) override
    {
        if (m_fd < 0)
            return EHidResult::AccessDenied;
        if (report == nullptr || length == 0 || length > 4096)
            return EHidResult::InvalidArg;
        std::vector<std::uint8_t> copy(report, report + length);
        if (ioctl(m_fd, HIDIOCSFEATURE(copy.size()), copy.data()) < 0)
            return HidResultFromErrno(errno);
        return EHidResult::Ok;
    }

    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (returned != nullptr)
            *returned = 0;
        if (m_fd < 0)
            return EHidResult::AccessDenied;
        if (report == nullptr || length == 0 || length > 4096)
            return EHidResult::InvalidArg;
        const int n = ioctl(m_fd, HIDIOCGFEATURE(length), report);
        if (n < 0)
            return HidResultFromErrno(errno);
        if (returned != nullptr)
            *returned = static_cast<std::size_t>(n);
        return EHidResult::Ok;
    }

    EHidResult WriteOutputReport(const std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs,
                                 std::size_t* written) override
    {
        if (written != nullptr)
            *written = 0;
        if ((m_options.access & kHidAccessWrite) == 0 || m_fd < 0)
            return EHidResult::AccessDenied;
        if (report == nullptr || length == 0)
            return EHidResult::InvalidArg;
        const EHidResult ready = WaitReady(POLLOUT, timeoutMs);
        if (ready != EHidResult::Ok)
            return ready;
        const ssize_t n = write(m_fd, report, length);
        if (n < 0)
            return HidResultFromErrno(errno);
        if (written != nullptr)
            *written = static_cast<std::size_t>(n);
        return EHidResult::Ok;
    }

    EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs,
                               std::size_t* read) override
    {
        if (read != nullptr)
            *read = 0;
        if ((m_options.access & kHidAccessRead) == 0 || m_fd < 0)
            return EHidResult::AccessDenied;
        if (report == nullptr || capacity == 0)
            return EHidResult::InvalidArg;
        const EHidResult ready = WaitReady(POLLIN, timeoutMs);
        if (ready != EHidResult::Ok)
            return ready;
        // hidraw leaves out the 0 report ID of collections without IDs;
        // put it in front as Windows does.
        const std::size_t offset = m_facts.usesReportIds ? 0 : 1;
        if (offset == 1)
            report[0] = 0;
        if (capacity <= offset)
            return EHidResult::InvalidArg;
        const ssize_t n = ::read(m_fd, report + offset, capacity - offset);
        if (n < 0)
            return HidResultFromErrno(errno);
        if (n == 0)
            return EHidResult::NoDevice;
        if (read != nullptr)
            *read = static_cast<std::size_t>(n) + offset;
        return EHidResult::Ok;
    }

    void Cancel() override
    {
        const std::uint64_t one = 1;
        if (m_cancelFd >= 0)
        {
            const ssize_t ignored = write(m_cancelFd, &one, sizeof(one));
            (void)ignored;
        }
    }

    void ResetCancel() override
    {
        std::uint64_t value = 0;
        if (m_cancelFd >= 0)
        {
            const ssize_t ignored = ::read(m_cancelFd, &value, sizeof(value));
            (void)ignored;
        }
    }

private:
    bool IsCancelled() const
    {
        pollfd p{m_cancelFd, POLLIN, 0};
        return m_cancelFd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

    EHidResult WaitReady(short events, std::uint32_t timeoutMs)
    {
        if (!m_options.overlapped && timeoutMs != kInfinite)
            return EHidResult::InvalidArg;
        if (IsCancelled())
            return EHidResult::Cancelled;
        const CDeadline deadline(timeoutMs);
        for (;;)
        {
            pollfd fds[2] = {{m_fd, events, 0}, {m_cancelFd, POLLIN, 0}};
            const std::uint32_t left = deadline.RemainingMs();
            const int waitMs = left == kInfinite ? -1 : static_cast<int>(CClock::ToRealMilliseconds(left));
            const int r = poll(fds, 2, waitMs);
            if (r < 0)
            {
                if (errno == EINTR)
                    continue;
                return HidResultFromErrno(errno);
            }
            if ((fds[1].revents & POLLIN) != 0)
                return EHidResult::Cancelled;
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & events) == 0)
                return EHidResult::NoDevice;
            if ((fds[0].revents & events) != 0)
                return EHidResult::Ok;
            if (deadline.IsExpired())
                return EHidResult::Timeout;
        }
    }

    static EHidResult Text(const std::wstring& value, std::wstring& text)
    {
        if (value.empty())
            return EHidResult::Failed;
        text = value.substr(0, 126);
        return EHidResult::Ok;
    }

    int m_fd;
    int m_cancelFd;
    SLinuxHidFacts m_facts;
    SHidOpenOptions m_options;
};
} // namespace

EHidResult HidResultFromErrno(int error)
{
    switch (error)
    {
    case 0:
        return EHidResult::Ok;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
    case EPIPE:
        return EHidResult::NoDevice;
    case EACCES:
    case EPERM:
    case EBUSY:
        return EHidResult::AccessDenied;
    case EINVAL:
    case EMSGSIZE:
        return EHidResult::InvalidArg;
    case ENOTTY:
    case EOPNOTSUPP:
        return EHidResult::NotSupported;
    case ETIMEDOUT:
        return EHidResult::Timeout;
    case EIO:    // hidraw: the device behind the node is gone or not functioning
    case EPROTO: // USB protocol error of the transfer
    case EILSEQ: // USB CRC or bit-stuffing error
        return EHidResult::DeviceError;
    default:
        return EHidResult::Failed;
    }
}

EHidResult ProbeHidPathOpen(const std::string& path)
{
    // The open hidapi makes (read and write); nothing is read or written.
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return HidResultFromErrno(errno);
    close(fd);
    return EHidResult::Ok;
}

std::string HidPathUsbPortLocation(const std::string& path)
{
    // hidapi's hidraw backend names a device by its node, "/dev/hidrawN".
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.rfind("hidraw", 0) != 0)
        return {};
    return SysfsHidrawUsbLocation("/sys", name);
}

EHidResult MapSystemHidError(std::uint32_t error)
{
    return HidResultFromErrno(static_cast<int>(error));
}

EHidResult OpenLinuxHidDevice(const std::string& hidrawNode, const std::string& usbfsNode,
                              const SHidAttributes& attributes, const SHidCaps& caps, bool usesReportIds,
                              const std::wstring& manufacturer, const std::wstring& product,
                              const std::wstring& serialNumber, const SHidOpenOptions& options,
                              CHidDevicePtr& device)
{
    SLinuxHidFacts facts;
    facts.hidrawNode = hidrawNode;
    facts.usbfsNode = usbfsNode;
    facts.attributes = attributes;
    facts.caps = caps;
    facts.usesReportIds = usesReportIds;
    facts.manufacturer = manufacturer;
    facts.product = product;
    facts.serialNumber = serialNumber;
    int fd = -1;
    if (options.access != kHidAccessNone)
    {
        int flags = O_CLOEXEC | O_NONBLOCK;
        if (options.access == kHidAccessReadWrite)
            flags |= O_RDWR;
        else if ((options.access & kHidAccessWrite) != 0)
            flags |= O_WRONLY;
        else
            flags |= O_RDONLY;
        fd = open(facts.hidrawNode.c_str(), flags);
        if (fd < 0)
            return HidResultFromErrno(errno);
    }
    const int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancelFd < 0)
    {
        if (fd >= 0)
            close(fd);
        return EHidResult::Failed;
    }
    device = std::make_unique<CLinuxHidDevice>(fd, cancelFd, facts, options);
    return EHidResult::Ok;
}
