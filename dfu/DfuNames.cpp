// Device names and error texts of the DFU port (platform/DfuTransport.h).
#include <cwchar>

#include "platform/DfuTransport.h"

const char* DfuIoText(EDfuIo result)
{
    switch (result)
    {
    case EDfuIo::Ok: return "ok";
    case EDfuIo::NoDevice: return "no device";
    case EDfuIo::Stall: return "stall";
    case EDfuIo::Timeout: return "time-out";
    case EDfuIo::Access: return "access denied";
    case EDfuIo::Io: return "i/o error";
    case EDfuIo::InvalidArg: return "invalid argument";
    }
    return "unknown";
}

namespace
{
const wchar_t kHex[] = L"0123456789ABCDEF";

void AppendHex16(std::wstring& out, std::uint16_t v)
{
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(kHex[(v >> shift) & 0xF]);
}

bool ParseHex16(const std::wstring& text, std::size_t pos, std::uint16_t* out)
{
    if (pos + 4 > text.size())
        return false;
    std::uint16_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
    {
        const wchar_t c = text[pos + i];
        int d;
        if (c >= L'0' && c <= L'9')
            d = c - L'0';
        else if (c >= L'A' && c <= L'F')
            d = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f')
            d = c - L'a' + 10;
        else
            return false;
        v = static_cast<std::uint16_t>((v << 4) | d);
    }
    *out = v;
    return true;
}
} // namespace

std::wstring MakeDfuDeviceName(std::uint16_t idVendor, std::uint16_t idProduct, const std::string& location)
{
    std::wstring name = L"USB\\VID_";
    AppendHex16(name, idVendor);
    name += L"&PID_";
    AppendHex16(name, idProduct);
    name += L"\\";
    for (char c : location)
        name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return name;
}

bool ParseDfuDeviceName(const std::wstring& name, std::uint16_t* idVendor, std::uint16_t* idProduct,
                        std::string* location)
{
    // "USB\VID_vvvv&PID_pppp\location"
    static const wchar_t kPrefix[] = L"USB\\VID_";
    const std::size_t prefixLength = std::wcslen(kPrefix);
    if (name.compare(0, prefixLength, kPrefix) != 0)
        return false;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!ParseHex16(name, prefixLength, &vid))
        return false;
    const std::size_t pidPos = prefixLength + 4;
    if (name.compare(pidPos, 5, L"&PID_") != 0 || !ParseHex16(name, pidPos + 5, &pid))
        return false;
    const std::size_t sep = pidPos + 9;
    if (sep >= name.size() || name[sep] != L'\\')
        return false;
    std::string loc;
    for (std::size_t i = sep + 1; i < name.size(); ++i)
    {
        if (name[i] > 0x7E || name[i] < 0x20)
            return false;
        loc.push_back(static_cast<char>(name[i]));
    }
    if (loc.empty())
        return false;
    if (idVendor)
        *idVendor = vid;
    if (idProduct)
        *idProduct = pid;
    if (location)
        *location = loc;
    return true;
}
