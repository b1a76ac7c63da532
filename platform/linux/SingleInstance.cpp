// The single-instance lock on Linux: a Unix socket bound to a name in the
// abstract namespace. The kernel frees the name when the last descriptor
// closes, so a crashed holder never leaves a stale lock behind.
#include "platform/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

struct CSingleInstanceLock::Impl
{
    int fd = -1;
};

CSingleInstanceLock::CSingleInstanceLock() = default;

CSingleInstanceLock::~CSingleInstanceLock()
{
    Close();
}

CSingleInstanceLock::EResult CSingleInstanceLock::Create(const std::string& name)
{
    Close();
    m_createError = 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string key = "orvohidflash:" + name;
    const std::size_t n = std::min(key.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, key.data(), n); // sun_path[0] = 0: abstract namespace
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        m_createError = static_cast<std::uint32_t>(errno);
        return EResult::Failed;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0)
    {
        const int err = errno;
        close(fd);
        if (err == EADDRINUSE)
        {
            m_createError = 183; // the value Windows reports for an existing mutex
            return EResult::AlreadyExists;
        }
        m_createError = static_cast<std::uint32_t>(err);
        return EResult::Failed;
    }
    m_impl = std::make_unique<Impl>();
    m_impl->fd = fd;
    return EResult::Created;
}

bool CSingleInstanceLock::IsHeld() const
{
    return m_impl != nullptr;
}

void CSingleInstanceLock::Close()
{
    if (m_impl)
    {
        close(m_impl->fd);
        m_impl.reset();
    }
}
