// The S37 line reader and the text-mode file line source.
#include "conexant/CxS37.h"

#include <cstring>

namespace
{
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Two characters at p as one byte; false when either is not a hex digit
// (the terminating zero is not one, so a short line stops here).
bool HexByte(const char* p, std::uint8_t& value)
{
    const int hi = HexDigit(p[0]);
    if (hi < 0)
        return false;
    const int lo = HexDigit(p[1]);
    if (lo < 0)
        return false;
    value = static_cast<std::uint8_t>(hi * 16 + lo);
    return true;
}
} // namespace

ES37Error ParseS37Line(const char* line, SS37Record& record)
{
    record = SS37Record();
    if ((line[0] != 'S' && line[0] != 's') || (line[1] != '3' && line[1] != '7'))
        return ES37Error::Type;
    if (line[1] == '7')
    {
        record.type = ES37Type::Termination;
        return ES37Error::None;
    }
    record.type = ES37Type::Data;
    const char* p = line + 2;
    std::uint8_t count = 0;
    if (!HexByte(p, count))
        return ES37Error::SizeNotHex;
    record.count = count;
    if (count < 5)
        return ES37Error::SizeTooSmall;
    p += 2;
    record.length = count - 5u;
    std::uint32_t sum = count;
    std::uint32_t address = 0;
    for (int i = 0; i < S37_ADDRESS_SIZE; ++i, p += 2)
    {
        std::uint8_t b = 0;
        if (!HexByte(p, b))
            return ES37Error::AddressNotHex;
        address = (address << 8) | b;
        sum += b;
    }
    record.address = address;
    for (std::uint32_t i = 0; i < record.length; ++i, p += 2)
    {
        if (!HexByte(p, record.data[i]))
            return ES37Error::DataNotHex;
        sum += record.data[i];
    }
    if (!HexByte(p, record.checksum))
        return ES37Error::ChecksumNotHex;
    p += 2;
    record.expectedChecksum = static_cast<std::uint8_t>((0xFFu - (sum & 0xFF)) & 0xFF);
    sum += record.checksum;
    if ((sum & 0xFF) != 0xFF)
        return ES37Error::Checksum;
    if (*p == '\r' || *p == '\n')
        ++p;
    if (*p != '\0')
        return ES37Error::Tail;
    return ES37Error::None;
}

CS37FileLines::~CS37FileLines()
{
    Close();
}

bool CS37FileLines::Open(const char* fileName)
{
    Close();
    // Binary: the text-mode rules are applied here, the same on every system.
    m_file = std::fopen(fileName, "rb");
    m_buffer.assign(64 * 1024, 0);
    m_pos = m_end = 0;
    m_eof = m_failed = false;
    return m_file != nullptr;
}

bool CS37FileLines::Close()
{
    if (m_file == nullptr)
        return true;
    const bool ok = std::fclose(m_file) == 0;
    m_file = nullptr;
    return ok;
}

bool CS37FileLines::Fill()
{
    if (m_eof || m_file == nullptr)
        return false;
    m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    m_pos = 0;
    if (m_end == 0)
    {
        if (std::ferror(m_file))
            m_failed = true;
        m_eof = true;
        return false;
    }
    return true;
}

int CS37FileLines::Peek()
{
    if (m_pos == m_end && !Fill())
        return -1;
    const int c = m_buffer[m_pos];
    if (c == 0x1A) // Ctrl-Z ends a text file
    {
        m_eof = true;
        m_pos = m_end = 0;
        return -1;
    }
    return c;
}

int CS37FileLines::Get()
{
    const int c = Peek();
    if (c < 0)
        return -1;
    ++m_pos;
    if (c == '\r' && Peek() == '\n')
    {
        ++m_pos;
        return '\n';
    }
    return c;
}

bool CS37FileLines::Next(std::string& line)
{
    line.clear();
    while (line.size() < kS37LineLimit - 1)
    {
        const int c = Get();
        if (c < 0)
            break;
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    if (m_failed)
        return false;
    return !line.empty();
}
