// orvo-imagegen: writes a synthetic firmware image of a device family.
//   orvo-imagegen av7300 --part ROW [--minor N] [--date YYYY/MM/DD] [--no-secondary]
//                 [--unaligned] [--binary] --out FILE
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/imagegen/AV7300ImageGen.h"

namespace
{
int Usage()
{
    std::fprintf(stderr, "usage: orvo-imagegen av7300 --part ROW [--minor N] [--date YYYY/MM/DD] [--no-secondary]\n"
                         "                     [--unaligned] [--binary] --out FILE\n"
                         "  writes an AV7300 text image (.ff; --binary: the image's bytes) for a part-table row\n");
    return 2;
}

bool Number(const char* text, std::uint32_t* out)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value > 0xFFFFul)
        return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::string(argv[1]) != "av7300")
        return Usage();
    SAV7300ImageSpec spec;
    std::string out;
    bool binary = false;
    for (int i = 2; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--part" && hasValue)
        {
            if (!Number(argv[++i], &spec.flashPart))
                return Usage();
        }
        else if (arg == "--minor" && hasValue)
        {
            if (!Number(argv[++i], &spec.minorVersion) || spec.minorVersion > 9)
                return Usage();
        }
        else if (arg == "--date" && hasValue)
            spec.date = argv[++i];
        else if (arg == "--out" && hasValue)
            out = argv[++i];
        else if (arg == "--no-secondary")
            spec.withSecondary = false;
        else if (arg == "--unaligned")
            spec.alignPrimary = false;
        else if (arg == "--binary")
            binary = true;
        else
            return Usage();
    }
    if (out.empty())
        return Usage();
    const std::vector<std::uint8_t> image = BuildAV7300Image(spec);
    if (image.empty())
    {
        std::fprintf(stderr, "orvo-imagegen: no image of that shape fits part %u\n", static_cast<unsigned>(spec.flashPart));
        return 1;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (binary)
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    else
    {
        const std::string text = AV7300TextImage(image);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    file.close();
    if (!file)
    {
        std::fprintf(stderr, "orvo-imagegen: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("orvo-imagegen: %zu bytes for part %u written to %s\n", image.size(),
                static_cast<unsigned>(spec.flashPart), out.c_str());
    return 0;
}
