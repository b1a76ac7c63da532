#include "bench/usbip/VhciPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/UsbTopology.h"

namespace
{
bool WriteSysfs(const std::string& path, const std::string& text, int* error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
    {
        *error = errno;
        return false;
    }
    const ssize_t n = write(fd, text.data(), text.size());
    *error = n < 0 ? errno : 0;
    close(fd);
    return n == static_cast<ssize_t>(text.size());
}

// Linux's enum usb_device_speed.
int KernelSpeed(std::uint8_t speed)
{
    switch (speed)
    {
    case kUsbLowSpeed: return 1;
    case kUsbHighSpeed: return 3;
    default: return 2;
    }
}
} // namespace

CVhciPort::CVhciPort(int port, std::string controller) : m_port(port), m_controller(std::move(controller)) {}

int CVhciPort::Attach(std::uint8_t speed, std::string* why)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    {
        *why = std::string("socketpair: ") + std::strerror(errno);
        return -1;
    }
    ++m_attachCount;
    const std::uint32_t devid = (static_cast<std::uint32_t>(m_port + 1) << 16) | (m_attachCount & 0xFFFF);
    const std::string line = std::to_string(m_port) + " " + std::to_string(pair[1]) + " " + std::to_string(devid) +
                             " " + std::to_string(KernelSpeed(speed));
    // The controller frees a port some moments after an unplug.
    int error = 0;
    for (int attempt = 0; attempt < 300; ++attempt)
    {
        if (WriteSysfs(m_controller + "/attach", line, &error))
        {
            close(pair[1]); // the controller holds its own reference now
            return pair[0];
        }
        if (error != EBUSY && error != EAGAIN)
            break;
        usleep(10000);
    }
    close(pair[0]);
    close(pair[1]);
    *why = "attach to port " + std::to_string(m_port) + ": " + std::strerror(error);
    return -1;
}

bool CVhciPort::Detach()
{
    int error = 0;
    return WriteSysfs(m_controller + "/detach", std::to_string(m_port), &error);
}

std::string CVhciPort::SysfsDevicePath() const
{
    // The USB 2.0 root hub of the controller is its first usbN child.
    for (int bus = 1; bus < 64; ++bus)
    {
        const std::string hub = m_controller + "/usb" + std::to_string(bus);
        if (access(hub.c_str(), F_OK) == 0)
            return "/sys/bus/usb/devices/" + std::to_string(bus) + "-" + std::to_string(m_port + 1);
    }
    return std::string();
}
