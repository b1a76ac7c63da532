// Reading DFU files named by wide paths (Linux: the path is turned into UTF-8).
#include <cstdio>
#include <memory>

#include "platform/DfuTransport.h"

namespace
{
std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t wc : text)
    {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80)
            out.push_back(static_cast<char>(c));
        else if (c < 0x800)
        {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else if (c < 0x10000)
        {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else
        {
            out.push_back(static_cast<char>(0xF0 | ((c >> 18) & 0x07)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

struct SFileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
} // namespace

bool ReadDfuFileW(const std::wstring& path, std::vector<std::uint8_t>& bytes, std::size_t maxSize)
{
    bytes.clear();
    if (path.empty())
        return false;
    std::unique_ptr<std::FILE, SFileCloser> file(std::fopen(ToUtf8(path).c_str(), "rb"));
    if (!file)
        return false;
    std::uint8_t buffer[16384];
    for (;;)
    {
        const std::size_t got = std::fread(buffer, 1, sizeof(buffer), file.get());
        if (bytes.size() + got > maxSize)
        {
            bytes.clear();
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (got < sizeof(buffer))
            break;
    }
    if (std::ferror(file.get()))
    {
        bytes.clear();
        return false;
    }
    return true;
}
