#include "platform/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

struct CLogFile::Impl
{
    std::FILE* file = nullptr;
};

CLogFile::CLogFile() = default;

CLogFile::~CLogFile()
{
    Close();
}

bool CLogFile::Open(const std::string& path)
{
    Close();
    std::FILE* file = std::fopen(path.c_str(), "w+");
    if (file == nullptr)
        return false;
    m_impl = std::make_unique<Impl>();
    m_impl->file = file;
    return true;
}

bool CLogFile::CreateNew(const std::string& path, bool* exists)
{
    Close();
    if (exists != nullptr)
        *exists = false;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        if (exists != nullptr)
            *exists = errno == EEXIST;
        return false;
    }
    std::FILE* file = fdopen(fd, "w");
    if (file == nullptr)
    {
        close(fd);
        unlink(path.c_str());
        return false;
    }
    m_impl = std::make_unique<Impl>();
    m_impl->file = file;
    return true;
}

bool CLogFile::IsOpen() const
{
    return m_impl != nullptr;
}

bool CLogFile::Write(const char* data, std::size_t length)
{
    return m_impl && std::fwrite(data, 1, length, m_impl->file) == length;
}

bool CLogFile::Flush()
{
    return m_impl && std::fflush(m_impl->file) == 0;
}

void CLogFile::Close()
{
    if (m_impl)
    {
        std::fclose(m_impl->file);
        m_impl.reset();
    }
}
