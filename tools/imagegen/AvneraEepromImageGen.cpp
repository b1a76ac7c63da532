#include "tools/imagegen/AvneraEepromImageGen.h"

#include <cstdio>

namespace
{
// A small deterministic byte source (xorshift32).
class CBytes
{
public:
    explicit CBytes(std::uint32_t seed) : m_state(seed == 0 ? 0x9E3779B9u : seed) {}
    std::uint8_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return static_cast<std::uint8_t>(m_state >> 24);
    }

private:
    std::uint32_t m_state;
};

void Two(std::string& text, std::size_t at, int value)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%02d", value % 100);
    text[at] = digits[0];
    text[at + 1] = digits[1];
}

std::string FirmwareInfoText(const SAV7201ImageSpec& spec)
{
    if (!spec.longInfo)
    {
        // "AV7201 firmware " mmddyy " v" M "." mm: 28 characters.
        std::string text = "AV7201 firmware 000000 v0.00";
        Two(text, 16, spec.month);
        Two(text, 18, spec.day);
        Two(text, 20, spec.year);
        text[24] = static_cast<char>('0' + spec.major % 10);
        Two(text, 26, spec.minor);
        return text;
    }
    // "AV7201 headset firmware" mmddyy " v" M mm: 34 characters.
    std::string text = "AV7201 headset firmware000000 v000";
    Two(text, 23, spec.month);
    Two(text, 25, spec.day);
    Two(text, 27, spec.year);
    text[31] = static_cast<char>('0' + spec.major % 10);
    Two(text, 32, spec.minor);
    return text;
}

void AppendFile(std::vector<std::uint8_t>& image, std::uint8_t type, const std::vector<std::uint8_t>& content)
{
    const std::uint32_t size = static_cast<std::uint32_t>(content.size()) + 4;
    image.push_back(static_cast<std::uint8_t>(size));
    image.push_back(static_cast<std::uint8_t>(size >> 8));
    image.push_back(type);
    image.push_back(0);
    image.insert(image.end(), content.begin(), content.end());
}
} // namespace

std::vector<std::uint8_t> AV7201ConfigBlock()
{
    std::vector<std::uint8_t> block(0x80, 0);
    const char id[] = "AV7201-CFG";
    for (std::size_t i = 0; i + 1 < sizeof id; ++i)
        block[i] = static_cast<std::uint8_t>(id[i]);
    for (std::size_t i = 16; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return block;
}

std::vector<std::uint8_t> MakeAV7201Image(const SAV7201ImageSpec& spec)
{
    std::vector<std::uint8_t> image = AV7201ConfigBlock();
    CBytes bytes(spec.seed);
    // The firmware information sits after the first file, so a walk has to follow the chain.
    const std::size_t infoAfter = spec.files.empty() ? 0 : 1;
    const std::uint8_t fileCount = static_cast<std::uint8_t>(spec.files.size() + 1);
    image.insert(image.end(), {0x5A, fileCount, 0x00, 0x00});
    for (std::size_t i = 0; i <= spec.files.size(); ++i)
    {
        if (i == infoAfter)
        {
            const std::string text = FirmwareInfoText(spec);
            AppendFile(image, 0x80, std::vector<std::uint8_t>(text.begin(), text.end()));
        }
        if (i < spec.files.size())
        {
            std::vector<std::uint8_t> content(spec.files[i].second);
            for (std::uint8_t& b : content)
                b = bytes.Next();
            AppendFile(image, spec.files[i].first, content);
        }
    }
    if (image.size() < spec.totalSize)
        image.resize(spec.totalSize, 0xFF);
    return image;
}

std::string ToRcfText(const std::vector<std::uint8_t>& image)
{
    std::string text;
    text.reserve(image.size() * 4);
    char line[8];
    for (std::uint8_t b : image)
    {
        std::snprintf(line, sizeof line, "%02X\r\n", b);
        text += line;
    }
    return text;
}

std::vector<std::uint8_t> MakeAV62xxImage(const SAV62xxImageSpec& spec)
{
    std::vector<std::uint8_t> image(spec.size < 3 ? 3 : spec.size);
    CBytes bytes(spec.seed);
    for (std::uint8_t& b : image)
        b = bytes.Next();
    // The part header the boot ROM reads: size and page codes, then the
    // sector code and address bytes (SPI flash) or the addressing code (I2C
    // EEPROM), then the check byte that makes the three sum to 0xFF.
    if (spec.partRow == 12)
    {
        image[0] = 0x58; // 16 KiB, 64-byte pages
        image[1] = 0x00;
    }
    else
    {
        image[0] = 0x7B; // 128 KiB, 256-byte pages
        image[1] = 0x36; // 4 KiB sectors, 3 address bytes
    }
    image[2] = static_cast<std::uint8_t>(0xFF - image[0] - image[1]);
    return image;
}

std::string ToLineText(const std::vector<std::uint8_t>& image)
{
    // The same text as an .rcf file: one byte per line.
    return ToRcfText(image);
}
