#include "bench/dfu/SimFirmware.h"

#include <cstring>

namespace
{
constexpr char kMagic[] = "CSR-dfu2";
constexpr std::size_t kMagicLength = 8;

void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

void Put32(std::vector<std::uint8_t>& v, std::uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

std::uint32_t Get32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::vector<std::uint8_t> Build(const std::string& text, std::size_t firmwareBytes)
{
    std::vector<std::uint8_t> image(kMagic, kMagic + kMagicLength);
    Put16(image, 1);
    Put32(image, static_cast<std::uint32_t>(firmwareBytes));
    Put32(image, static_cast<std::uint32_t>(text.size()));
    image.insert(image.end(), text.begin(), text.end());
    // The generator's filler, so both make the same bytes.
    std::uint32_t state = 0x1234567;
    for (std::size_t i = 0; i < firmwareBytes; ++i)
    {
        state = (state * 1103515245u + 12345u) & 0x7FFFFFFFu;
        image.push_back(static_cast<std::uint8_t>((state >> 16) & 0xFF));
    }
    return image;
}
} // namespace

std::vector<std::uint8_t> MakeSimFirmware(const std::string& version, std::size_t firmwareBytes)
{
    std::string text;
    if (!version.empty())
    {
        text = "Firmware version " + version;
        text.push_back('\0');
    }
    return Build(text, firmwareBytes);
}

std::vector<std::uint8_t> MakeSimFirmwareOfSize(std::size_t totalBytes)
{
    return Build({}, totalBytes > kSimFirmwareHeaderLength ? totalBytes - kSimFirmwareHeaderLength : 0);
}

bool CheckSimFirmware(const std::vector<std::uint8_t>& payload, std::string* why)
{
    auto fail = [why](const std::string& reason) {
        if (why != nullptr)
            *why = reason;
        return false;
    };
    if (payload.size() < kSimFirmwareHeaderLength)
        return fail("shorter than the firmware header");
    if (std::memcmp(payload.data(), kMagic, kMagicLength) != 0)
        return fail("no CSR-dfu2 header");
    const std::uint16_t revision = static_cast<std::uint16_t>(payload[8] | payload[9] << 8);
    if (revision != 1)
        return fail("unknown header revision " + std::to_string(revision));
    const std::uint64_t firmware = Get32(payload.data() + 10);
    const std::uint64_t text = Get32(payload.data() + 14);
    const std::uint64_t expected = kSimFirmwareHeaderLength + text + firmware;
    if (expected != payload.size())
        return fail("the header states " + std::to_string(expected) + " bytes, " + std::to_string(payload.size()) +
                    " arrived");
    return true;
}
