#include "platform/LogFile.h"

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
