// Writes a synthetic AV7201 (.rcf), AV6201 or AV6302 image file:
//   orvo-imagegen-eeprom av7201|av6201|av6302 OUT [--version M.mm] [--date YYMMDD] [--size N] [--raw]
// --raw writes the image's bytes instead of its text file (a device image
// for the bench's --device-image).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/imagegen/AvneraEepromImageGen.h"

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s av7201|av6201|av6302 OUT [--version M.mm] [--date YYMMDD] [--size N] [--raw]\n",
                     argv[0]);
        return 2;
    }
    const std::string family = argv[1];
    const std::string out = argv[2];
    SAV7201ImageSpec av7201;
    SAV62xxImageSpec av62;
    bool raw = false;
    for (int i = 3; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--raw")
            raw = true;
        else if (arg == "--version" && value != nullptr && std::strlen(value) == 4 && value[1] == '.')
        {
            av7201.major = value[0] - '0';
            av7201.minor = std::atoi(value + 2);
            ++i;
        }
        else if (arg == "--date" && value != nullptr && std::strlen(value) == 6)
        {
            const long date = std::strtol(value, nullptr, 10);
            av7201.year = static_cast<int>(date / 10000);
            av7201.month = static_cast<int>(date / 100 % 100);
            av7201.day = static_cast<int>(date % 100);
            ++i;
        }
        else if (arg == "--size" && value != nullptr)
        {
            av7201.totalSize = av62.size = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
            ++i;
        }
        else
        {
            std::fprintf(stderr, "%s: unknown or incomplete option %s\n", argv[0], arg.c_str());
            return 2;
        }
    }
    std::vector<std::uint8_t> image;
    std::string text;
    if (family == "av7201")
    {
        image = MakeAV7201Image(av7201);
        text = ToRcfText(image);
    }
    else if (family == "av6201" || family == "av6302")
    {
        av62.partRow = family == "av6201" ? 36 : 12;
        image = MakeAV62xxImage(av62);
        text = ToLineText(image);
    }
    else
    {
        std::fprintf(stderr, "%s: unknown family %s\n", argv[0], family.c_str());
        return 2;
    }
    std::FILE* file = std::fopen(out.c_str(), "wb");
    if (file == nullptr)
    {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], out.c_str());
        return 1;
    }
    const bool ok = raw ? std::fwrite(image.data(), 1, image.size(), file) == image.size()
                        : std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok ? 0 : 1;
}
