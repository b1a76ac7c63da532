// Reading DFU files named by wide paths (Windows: CreateFileW).
#include <windows.h>

#include "platform/DfuTransport.h"

namespace
{
struct SHandle
{
    HANDLE h = INVALID_HANDLE_VALUE;
    ~SHandle()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
} // namespace

bool ReadDfuFileW(const std::wstring& path, std::vector<std::uint8_t>& bytes, std::size_t maxSize)
{
    bytes.clear();
    if (path.empty())
        return false;
    SHandle file;
    file.h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE)
        return false;
    std::uint8_t buffer[16384];
    for (;;)
    {
        DWORD got = 0;
        if (!ReadFile(file.h, buffer, sizeof(buffer), &got, nullptr))
        {
            bytes.clear();
            return false;
        }
        if (got == 0)
            break;
        if (bytes.size() + got > maxSize)
        {
            bytes.clear();
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return true;
}
