#include "platform/LogFile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>

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
    // Binary: the log writer already puts CR LF line ends into the bytes.
    std::FILE* file = _fsopen(path.c_str(), "w+b", _SH_DENYWR);
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
    // CREATE_NEW: only a name nobody holds; others may read while it is open.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        const DWORD error = GetLastError();
        if (exists != nullptr)
            *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0)
    {
        CloseHandle(h);
        DeleteFileA(path.c_str());
        return false;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr)
    {
        _close(fd);
        DeleteFileA(path.c_str());
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
