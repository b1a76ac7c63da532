// orvo-imagegen: writes a synthetic firmware image of an Avnera family, for
// the bench program's --image (the image file) or --device-image (--binary:
// the image's bytes, as the device's memory holds them).
//   orvo-imagegen av7300 --part ROW [--minor N] [--date YYYY/MM/DD] [--no-secondary] [--unaligned]
//                 [--align-secondary] [--no-device-version] [--binary] --out FILE
//   orvo-imagegen av7201 [--version M.mm] [--date YYMMDD] [--size N] [--binary] --out FILE
//   orvo-imagegen av6201|av6302 [--size N] [--binary] --out FILE
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tools/imagegen/AV7300ImageGen.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace
{
int Usage(const std::string& why)
{
    if (!why.empty())
        std::fprintf(stderr, "orvo-imagegen: %s\n", why.c_str());
    std::fprintf(stderr,
                 "usage: orvo-imagegen av7300 --part ROW [--minor N] [--date YYYY/MM/DD] [--no-secondary]\n"
                 "                     [--unaligned] [--align-secondary] [--no-device-version] [--binary] --out FILE\n"
                 "       orvo-imagegen av7201 [--version M.mm] [--date YYMMDD] [--size N] [--binary] --out FILE\n"
                 "       orvo-imagegen av6201|av6302 [--size N] [--binary] --out FILE\n"
                 "  writes a synthetic image file of the family (AV7300 text image .ff, AV7201 .rcf, AV62xx one\n"
                 "  byte per line); --binary writes the image's bytes instead (a device image)\n");
    return 2;
}

// A decimal number up to limit; false for anything else.
bool Number(const std::string& text, std::uint32_t limit, std::uint32_t* out)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0' || value > limit)
        return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool Digits(const std::string& text, std::size_t count)
{
    if (text.size() != count)
        return false;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage("");
    const std::string family = argv[1];
    const bool av7300 = family == "av7300";
    const bool av7201 = family == "av7201";
    const bool av62 = family == "av6201" || family == "av6302";
    if (!av7300 && !av7201 && !av62)
        return Usage("unknown family " + family);

    SAV7300ImageSpec spec7300;
    SAV7201ImageSpec spec7201;
    SAV62xxImageSpec spec62;
    spec62.partRow = family == "av6201" ? 36 : 12;
    std::string out;
    bool binary = false;
    bool partGiven = false;
    for (int i = 2; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : std::string();
        if (arg == "--out" && hasValue)
            out = value;
        else if (arg == "--binary" || arg == "--raw")
        {
            binary = true;
            continue;
        }
        else if (av7300 && arg == "--part" && hasValue)
        {
            if (!Number(value, 0xFFFF, &spec7300.flashPart))
                return Usage("bad --part " + value);
            partGiven = true;
        }
        else if (av7300 && arg == "--minor" && hasValue)
        {
            if (!Number(value, 9, &spec7300.minorVersion))
                return Usage("bad --minor " + value + " (0..9)");
        }
        else if (av7300 && arg == "--date" && hasValue)
            spec7300.date = value;
        else if (av7300 && (arg == "--no-secondary" || arg == "--unaligned" || arg == "--align-secondary" ||
                            arg == "--no-device-version"))
        {
            if (arg == "--no-secondary")
                spec7300.withSecondary = false;
            else if (arg == "--unaligned")
                spec7300.alignPrimary = false;
            else if (arg == "--align-secondary")
                spec7300.alignSecondary = true;
            else
                spec7300.withDeviceVersion = false;
            continue;
        }
        else if (av7201 && arg == "--version" && hasValue)
        {
            // M.mm
            if (value.size() != 4 || value[1] != '.' || !Digits(value.substr(0, 1), 1) || !Digits(value.substr(2), 2))
                return Usage("bad --version " + value + " (M.mm)");
            spec7201.major = value[0] - '0';
            spec7201.minor = std::atoi(value.c_str() + 2);
        }
        else if (av7201 && arg == "--date" && hasValue)
        {
            if (!Digits(value, 6))
                return Usage("bad --date " + value + " (YYMMDD)");
            const long date = std::strtol(value.c_str(), nullptr, 10);
            spec7201.year = static_cast<int>(date / 10000);
            spec7201.month = static_cast<int>(date / 100 % 100);
            spec7201.day = static_cast<int>(date % 100);
        }
        else if ((av7201 || av62) && arg == "--size" && hasValue)
        {
            std::uint32_t size = 0;
            if (!Number(value, 16u * 1024 * 1024, &size))
                return Usage("bad --size " + value);
            spec7201.totalSize = spec62.size = size;
        }
        else
            return Usage("unknown or incomplete option " + arg + " for " + family);
        ++i; // the option's value
    }
    if (out.empty())
        return Usage("--out FILE is missing");
    if (av7300 && !partGiven)
        return Usage("av7300 needs --part ROW");

    std::vector<std::uint8_t> image;
    std::string text;
    if (av7300)
    {
        image = BuildAV7300Image(spec7300);
        if (image.empty())
        {
            std::fprintf(stderr, "orvo-imagegen: no image of that shape fits part %u\n",
                         static_cast<unsigned>(spec7300.flashPart));
            return 1;
        }
        text = AV7300TextImage(image);
    }
    else if (av7201)
    {
        image = MakeAV7201Image(spec7201);
        text = ToRcfText(image);
    }
    else
    {
        image = MakeAV62xxImage(spec62);
        text = ToLineText(image);
    }
    if (image.empty())
    {
        std::fprintf(stderr, "orvo-imagegen: no %s image of that shape\n", family.c_str());
        return 1;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (binary)
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    else
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file)
    {
        std::fprintf(stderr, "orvo-imagegen: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("orvo-imagegen: %zu-byte %s image written to %s\n", image.size(), family.c_str(), out.c_str());
    return 0;
}
