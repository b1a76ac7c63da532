// The campaign of an Avnera family (AvneraCampaign.h).
#include "bench/soak/AvneraCampaign.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "avnera/AV7300CommonHelper.h"
#include "avnera/SerialMemory.h"
#include "bench/program/BenchProgram.h"
#include "bench/soak/SoakRandom.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "tools/imagegen/AV7300ImageGen.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace fs = std::filesystem;

namespace
{
using Bytes = std::vector<std::uint8_t>;

// The longest a run may take, in product time: thousands of commands each
// answered late, or the factory's ten tries at a product that never comes
// back, stay well under it.
constexpr std::uint32_t kRunBoundMs = 30u * 60u * 1000u;
constexpr std::uint32_t kSupportedAV7300Parts[] = {27, 28, 30, 31, 32, 35};
constexpr std::uint32_t kAV7201EepromSize = 16384;
constexpr std::uint32_t kAV7201HeaderOffset = 0x80;

enum class EFamily
{
    AV7300,
    AV7201,
    AV6201,
    AV6302,
};

// One run: the product's starting memory and options, the image the program
// gets, and what the right image for the product is.
struct SCase
{
    std::string label;
    std::vector<std::string> product; // bench options that choose the product (part, revision)
    std::vector<std::string> faults;  // --fault NAME[=N] pairs
    Bytes device;                     // the memory at the start (the rest erased)
    std::string imageText;            // the image file the program gets
    bool mustRefuse = false;          // that image may never reach the memory
    bool mayTouch = false;            // a refusal that comes from the proof, after writing
    Bytes image;                      // its bytes, when it is a proper image
    std::string rightText;            // the right image for the product
    Bytes right;
    bool force = true;                // /F: no version check
    std::uint32_t part = 0;           // AV7300 part row
    std::string wrongText;            // after a failed run: a wrong image that must not succeed either
    std::string wrongLabel;
    bool recoverSilently = false;     // the run after a failure goes without /F (the right image is newer)
};

// --- AV7300 ----------------------------------------------------------------

std::string RandomDate(CSoakRandom& r)
{
    char text[16];
    std::snprintf(text, sizeof text, "20%02u/%02u/%02u", r.Between(10, 30), r.Between(1, 12), r.Between(1, 28));
    return text;
}

SAV7300ImageSpec RandomAV7300Spec(CSoakRandom& r, std::uint32_t part, bool secondaryCapable)
{
    SAV7300ImageSpec spec;
    spec.flashPart = part;
    spec.bootloaderSize = r.Between(16, 400);
    spec.minorVersion = secondaryCapable ? r.Between(5, 6) : r.Between(4, 6);
    spec.date = RandomDate(r);
    spec.primarySize = r.Between(100, r.Chance(10) ? 20000 : 5000);
    spec.alignPrimary = secondaryCapable || r.Chance(50);
    spec.withSecondary = secondaryCapable || r.Chance(60);
    spec.secondarySize = r.Between(100, 3000);
    spec.alignSecondary = r.Chance(30);
    spec.withDeviceVersion = r.Chance(90);
    spec.seed = r.Next();
    return spec;
}

// The spec's image, made to fit its part: first without the alignment of the
// secondary image (on parts with large sectors the padding alone fills the
// part), then smaller.
Bytes BuildFitting(SAV7300ImageSpec spec)
{
    for (int i = 0; i < 12; ++i)
    {
        Bytes image = BuildAV7300Image(spec);
        if (!image.empty())
            return image;
        if (spec.alignSecondary)
        {
            spec.alignSecondary = false;
            continue;
        }
        spec.primarySize /= 2;
        spec.secondarySize /= 2;
        spec.bootloaderSize /= 2;
    }
    spec.alignPrimary = false;
    return BuildAV7300Image(spec);
}

// Where each file of an AV7300 image starts and ends, as the format lays
// them out (the campaign's own walk, not the upgrader's).
struct SFileSpan
{
    std::uint32_t header;
    std::uint32_t end;
};
std::vector<SFileSpan> AV7300Files(const Bytes& image)
{
    std::vector<SFileSpan> files;
    if (image.size() < 5)
        return files;
    const std::uint32_t sector = 64u << (image[1] & 0x0F);
    std::uint32_t at = 5u + (image[3] | image[4] << 8);
    while (at + 4 <= image.size())
    {
        const std::uint32_t size = image[at + 1] | image[at + 2] << 8;
        const bool aligned = (image[at] & 0x80) != 0;
        files.push_back({at, at + 4 + size});
        at += 4 + size;
        if (aligned)
            at = (at + sector - 1) / sector * sector;
    }
    return files;
}

// The whole chain of an image too large for its part: its header, a
// bootloader, then files of up to 60,000 bytes.
Bytes OversizedAV7300(std::uint32_t part, CSoakRandom& r)
{
    std::uint8_t header[3];
    AV7300PartHeader(part, header);
    const std::uint32_t size = CAV7300CommonHelper::kFlashParts[part].size + r.Between(1, 20000);
    Bytes image = {header[0], header[1], header[2], 16, 0};
    image.resize(21, 0xB5);
    while (image.size() < size)
    {
        const std::uint32_t n = std::min<std::uint32_t>(60000, std::max<std::uint32_t>(
                                                                   1, size - static_cast<std::uint32_t>(image.size()) - 4));
        const std::uint8_t b0 = 1;
        const auto b1 = static_cast<std::uint8_t>(n);
        const auto b2 = static_cast<std::uint8_t>(n >> 8);
        image.insert(image.end(), {b0, b1, b2, static_cast<std::uint8_t>(0xFF - b0 - b1 - b2)});
        for (std::uint32_t i = 0; i < n; ++i)
            image.push_back(static_cast<std::uint8_t>(r.Next() >> 24));
    }
    return image;
}

// A supported part of another geometry that a memory naming no part can be
// told from (not 27 for 28 nor 28 for 27: they differ in their address
// bytes alone).
std::uint32_t OtherAV7300Part(CSoakRandom& r, std::uint32_t part)
{
    auto differs = [&](std::uint32_t other) {
        const SAV7300FlashPart& a = CAV7300CommonHelper::kFlashParts[other];
        const SAV7300FlashPart& b = CAV7300CommonHelper::kFlashParts[part];
        const bool sameGeometry =
            a.size == b.size && a.sector == b.sector && a.addressInfo == b.addressInfo && a.page == b.page;
        const bool addressBytesOnly = (part == 27 && other == 28) || (part == 28 && other == 27);
        return !sameGeometry && !addressBytesOnly;
    };
    std::uint32_t other = part;
    while (!differs(other))
        other = kSupportedAV7300Parts[r.Below(std::size(kSupportedAV7300Parts))];
    return other;
}

SCase DrawAV7300(CSoakRandom& r)
{
    SCase c;
    const std::uint32_t part = kSupportedAV7300Parts[r.Below(std::size(kSupportedAV7300Parts))];
    const std::uint32_t revision = r.Below(2);
    c.part = part;
    c.product = {"--flash-part", std::to_string(part), "--chip-revision", std::to_string(revision)};
    c.label = "part " + std::to_string(part) + " rev " + std::to_string(revision);

    const std::uint32_t startKind = r.Below(100);
    const bool secondaryCase = startKind >= 85;
    // Now and then two faults: a cell of the image header (or of the
    // secondary image's file header) that keeps its value, and the product
    // pulled out; the next run goes without /F, with an image newer than any.
    const bool headerCellFault = r.Chance(8);
    // The run after a failure goes without /F (as a production line runs
    // it again) whenever the image is newer than any the product held.
    const bool newest = headerCellFault || r.Chance(30);
    SAV7300ImageSpec rightSpec = RandomAV7300Spec(r, part, secondaryCase);
    SAV7300ImageSpec oldSpec = RandomAV7300Spec(r, part, secondaryCase);
    if (newest)
    {
        rightSpec.date = "2031/01/01";
        rightSpec.minorVersion = 6;
        c.recoverSilently = true;
    }
    if (secondaryCase && r.Chance(30))
    {
        // Shapes whose secondary image the device's chain would not reach
        // where it would go: a new file 12 off a sector with an aligned file
        // behind it, or a device chain that ends before the next free sector
        // (no file 12, no file 16: file 5 tells its version).
        if (r.Chance(50))
        {
            rightSpec.alignPrimary = false;
            rightSpec.alignSecondary = true;
        }
        else
        {
            oldSpec.alignPrimary = false;
            oldSpec.withSecondary = false;
            oldSpec.withDeviceVersion = false;
        }
    }
    const Bytes right = BuildFitting(rightSpec);
    c.right = right;
    c.rightText = AV7300TextImage(right, r.Chance(30));
    const Bytes old = BuildFitting(oldSpec);
    bool rom = false;
    if (startKind < 40 || secondaryCase)
    {
        c.device = old;
        c.label += secondaryCase ? ", an older image with a secondary image" : ", an older image";
    }
    else if (startKind < 50)
    {
        c.device = right;
        c.label += ", the same image";
    }
    else if (startKind < 65)
    {
        // Interrupted by this upgrader: the part's geometry, no checksum.
        c.device = old;
        std::fill(c.device.begin() + 2, c.device.begin() + std::min<std::size_t>(c.device.size(), 256), 0xFF);
        c.label += ", on its ROM (interrupted: the geometry left)";
        rom = true;
    }
    else if (startKind < 75)
    {
        c.label += ", on its ROM (blank)";
        rom = true;
    }
    else
    {
        // Interrupted by a tool that erased the first block.
        c.device = old;
        std::fill(c.device.begin(), c.device.begin() + std::min<std::size_t>(c.device.size(), 64), 0xFF);
        c.label += ", on its ROM (first block erased)";
        rom = true;
    }

    // A chip whose firmware takes any parameter block (the ROM always does:
    // it knows nothing of the memory but the block).
    const bool anyBlock = r.Chance(25);
    const bool unknownPart = rom && startKind >= 65; // blank, or its first block erased

    // The image the program gets.
    c.image = right;
    c.imageText = c.rightText;
    const std::uint32_t imageFault = r.Below(100);
    if (imageFault < 10)
    {
        // Another part, of any geometry. On a memory that names no part only
        // how it wraps and erases tells it from the image's: parts 27 and
        // 28 differ in their address bytes alone, which neither shows.
        const std::uint32_t other = OtherAV7300Part(r, part);
        c.image = BuildFitting(RandomAV7300Spec(r, other, false));
        c.mustRefuse = true;
        // With no part named by the memory the upgrade takes the image's
        // and proves it only by writing: it may erase and write a memory
        // that held no bootable image, never make it boot.
        c.mayTouch = unknownPart;
        c.label += ", an image for part " + std::to_string(other);
    }
    else if (imageFault < 15)
    {
        c.image = OversizedAV7300(part, r);
        c.mustRefuse = true;
        c.label += ", an image larger than the part";
    }
    else if (imageFault < 20)
    {
        // Cut inside a file (its header or its content).
        const std::vector<SFileSpan> files = AV7300Files(right);
        const SFileSpan file = files[r.Below(static_cast<std::uint32_t>(files.size()))];
        const std::uint32_t cut = r.Between(file.header + 1, file.end - 1);
        c.image.assign(right.begin(), right.begin() + cut);
        c.mustRefuse = true;
        c.label += ", cut at " + std::to_string(cut) + " inside a file";
    }
    else if (imageFault < 25)
    {
        const std::vector<SFileSpan> files = AV7300Files(right);
        const std::uint32_t index = r.Below(static_cast<std::uint32_t>(files.size()) + 1);
        // A file header's checksum, or the image header's.
        const std::uint32_t at = index < files.size() ? files[index].header + 3 : 2;
        c.image[at] ^= static_cast<std::uint8_t>(1u << r.Below(8));
        c.mustRefuse = true;
        c.label += ", a bad checksum at " + std::to_string(at);
    }
    if (c.mustRefuse)
        c.imageText = AV7300TextImage(c.image, r.Chance(30));

    // A fault of the product.
    const std::uint32_t n = static_cast<std::uint32_t>(right.size());
    const std::uint32_t block = revision == 1 ? 256 : 64;
    const std::uint32_t writes = 2 + (n + block - 1) / block;
    switch (r.Below(rom ? 9 : 8))
    {
    case 0:
    case 1:
    {
        // Any write, the last ones more often (the held-back header).
        const std::uint32_t at = r.Chance(35) ? r.Between(writes > 3 ? writes - 3 : 1, writes + 1) : r.Between(1, writes);
        c.faults = {"--fault", "unplug-at-block=" + std::to_string(at)};
        break;
    }
    case 2:
        c.faults = {"--fault", "unplug-at-read=" + std::to_string(r.Between(1, 40 + n / 256))};
        break;
    case 3:
        c.faults = {"--fault", "unplug-at-erase=" + std::to_string(r.Between(1, 1 + n / 4096))};
        break;
    case 4:
        // Every answer late (a whole upgrade of them stays within a run's
        // bound); now and then later than the host's two seconds.
        c.faults = {"--fault", "late-answers=" + std::to_string(r.Chance(85) ? r.Between(5, 60) : r.Between(2100, 3000))};
        break;
    case 5:
        c.faults = {"--fault", "slow-erase=" + std::to_string(r.Between(5, 160))};
        break;
    case 6:
        c.faults = {"--fault", "stuck-cell=" + std::to_string(r.Below(n))};
        break;
    case 8:
        c.faults = {"--fault", "slow-reenumeration=" + std::to_string(r.Between(1500, 20000))};
        break;
    default:
        break;
    }
    if (headerCellFault)
    {
        // Mostly the checksum byte (the old one is the new one's on the same
        // part, so it alone keeps a header valid).
        std::uint32_t cell = r.Chance(75) ? 2 : r.Below(2);
        std::uint32_t offset12 = 0;
        if (secondaryCase && r.Chance(50) &&
            CAV7300CommonHelper::FindFileInFWImage(12, &offset12, static_cast<std::uint32_t>(old.size()), old.data()))
            cell = offset12 + (r.Chance(75) ? 3 : r.Below(3));
        c.faults = {"--fault", "stuck-cell=" + std::to_string(cell), "--fault",
                    "unplug-at-block=" + std::to_string(r.Between(2, writes))};
        c.recoverSilently = true;
    }
    if (anyBlock)
        c.faults.insert(c.faults.end(), {"--fault", "any-parameter-block"});
    c.force = r.Chance(60);
    if (r.Chance(40))
    {
        // Plugged in again after a failure, first with an image for another part.
        const std::uint32_t other = OtherAV7300Part(r, part);
        c.wrongText = AV7300TextImage(BuildFitting(RandomAV7300Spec(r, other, false)), false);
        c.wrongLabel = "an image for part " + std::to_string(other);
    }
    return c;
}

// The memory holds the image: the image, then erased bytes or what was
// there.
bool HoldsFrom(const Bytes& memory, const Bytes& old, std::uint32_t at, const Bytes& data, std::uint32_t dataFrom)
{
    if (dataFrom > data.size() || memory.size() < at + (data.size() - dataFrom))
        return false;
    if (!std::equal(data.begin() + dataFrom, data.end(), memory.begin() + at))
        return false;
    for (std::size_t i = at + (data.size() - dataFrom); i < memory.size(); ++i)
        if (memory[i] != 0xFF && memory[i] != old[i])
            return false;
    return true;
}

std::uint32_t MinorOf(const std::uint8_t* content, std::uint32_t size)
{
    return size != 0 && content[0] >= '0' && content[0] <= '9' ? static_cast<std::uint32_t>(content[0] - '0') : 0;
}

struct SMemoryReader
{
    const Bytes* memory;
};
bool ReadOld(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination, void* context)
{
    const Bytes& m = *static_cast<SMemoryReader*>(context)->memory;
    if (offset > m.size() || length > m.size() - offset)
        return false;
    std::memcpy(destination, m.data() + offset, length);
    return true;
}

// The secondary-only merge the product may hold instead: the old memory up
// to the device's secondary offset, the image's tail from its file 12 there.
bool HoldsAV7300Merge(const Bytes& memory, const Bytes& old, const Bytes& image, std::uint32_t part)
{
    SMemoryReader reader{&old};
    CAV7300CommonHelper device(part, ReadOld, &reader);
    std::uint32_t offset = 0;
    const bool found = device.FindFileInDeviceFWImage(12, &offset);
    const std::uint32_t sector = CAV7300CommonHelper::kFlashParts[part].sector;
    if (offset == CAV7300CommonHelper::kNoFreeSector || sector == 0 || (found && offset % sector != 0))
        return false;
    std::uint32_t fileOffset = 0;
    if (!CAV7300CommonHelper::FindFileInFWImage(12, &fileOffset, static_cast<std::uint32_t>(image.size()),
                                                image.data()))
        return false;
    // Both of a build that takes secondary updates (minor version 5 on).
    std::uint32_t deviceVersion = 0;
    const bool deviceHas16 = device.FindFileInDeviceFWImage(16, &deviceVersion);
    if (!deviceHas16 && !device.FindFileInDeviceFWImage(5, &deviceVersion))
        return false;
    std::uint8_t deviceMinor = 0;
    if (!ReadOld(deviceVersion + 4, 1, &deviceMinor, &reader) || MinorOf(&deviceMinor, 1) < 5)
        return false;
    std::uint32_t imageVersion = 0;
    const std::uint8_t* content = nullptr;
    std::uint32_t contentSize = 0;
    if (!CAV7300CommonHelper::FindFileInFWImage(16, &imageVersion, static_cast<std::uint32_t>(image.size()),
                                                image.data()) ||
        !CAV7300CommonHelper::FileContentInFWImage(imageVersion, static_cast<std::uint32_t>(image.size()),
                                                   image.data(), &content, &contentSize) ||
        MinorOf(content, contentSize) < 5 || imageVersion < fileOffset)
        return false;
    if (deviceHas16 && deviceVersion < offset)
        return false;
    if (!std::equal(old.begin(), old.begin() + offset, memory.begin()))
        return false;
    return HoldsFrom(memory, old, offset, image, fileOffset);
}

// The content of the version file the device tells its version by (16, else
// 5, the first its chain reaches), walked the way the format lays the chain
// out with every header's checksum: empty when none.
Bytes AV7300DeviceVersionFile(const Bytes& memory)
{
    if (memory.size() < 5 || memory[2] != static_cast<std::uint8_t>(0xFF - memory[0] - memory[1]))
        return {};
    const std::uint32_t flash = 64u << (memory[0] & 0x0F);
    const std::uint32_t sector = 64u << (memory[1] & 0x0F);
    const std::uint32_t end = std::min<std::uint32_t>(flash, static_cast<std::uint32_t>(memory.size()));
    Bytes five;
    std::uint32_t at = 5u + (memory[3] | memory[4] << 8);
    while (at < end && end - at >= 4)
    {
        const std::uint8_t* h = memory.data() + at;
        if (h[3] != static_cast<std::uint8_t>(0xFF - h[0] - h[1] - h[2]))
            break;
        const std::uint32_t id = h[0] & 0x7F;
        const std::uint32_t size = h[1] | h[2] << 8;
        if (end - at - 4 < size)
            break;
        const Bytes content(memory.begin() + at + 4, memory.begin() + at + 4 + size);
        if (id == 16)
            return content;
        if (id == 5 && five.empty())
            five = content;
        at += 4 + size;
        if ((h[0] & 0x80) != 0)
            at = (at + sector - 1) / sector * sector;
    }
    return five;
}

// The image's version file (5), as the program compares it.
Bytes AV7300ImageVersionFile(const Bytes& image)
{
    for (const SFileSpan& file : AV7300Files(image))
        if ((image[file.header] & 0x7F) == 5 && file.end <= image.size())
            return Bytes(image.begin() + file.header + 4, image.begin() + file.end);
    return {};
}

// --- AV7201 ----------------------------------------------------------------

SAV7201ImageSpec RandomAV7201Spec(CSoakRandom& r)
{
    SAV7201ImageSpec spec;
    spec.major = static_cast<int>(r.Between(1, 9));
    spec.minor = static_cast<int>(r.Between(0, 99));
    spec.year = static_cast<int>(r.Between(10, 30));
    spec.month = static_cast<int>(r.Between(1, 12));
    spec.day = static_cast<int>(r.Between(1, 28));
    spec.longInfo = r.Chance(30);
    spec.files.clear();
    const std::uint32_t count = r.Between(1, 4);
    for (std::uint32_t i = 0; i < count; ++i)
        spec.files.emplace_back(static_cast<std::uint8_t>(r.Between(1, 0x20)), r.Between(20, 2500));
    spec.totalSize = r.Chance(20) ? r.Between(6000, kAV7201EepromSize) : 0;
    spec.seed = r.Next();
    return spec;
}

// The files of an AV7201 image as its chain lays them out.
std::vector<SFileSpan> AV7201Files(const Bytes& image)
{
    std::vector<SFileSpan> files;
    std::uint32_t at = 0x84;
    for (std::uint32_t i = 0; i < image[0x81] && at + 4 <= image.size(); ++i)
    {
        const std::uint32_t size = image[at] | image[at + 1] << 8;
        files.push_back({at, at + size});
        at += size;
    }
    return files;
}

SCase DrawAV7201(CSoakRandom& r)
{
    SCase c;
    c.label = "av7201";
    // Now and then two faults: a cell of the header at 0x80 that keeps its
    // value, and the headset pulled out; the next run goes without /F, with
    // an image newer than any.
    const bool headerCellFault = r.Chance(8);
    // The run after a failure goes without /F (as a production line runs
    // it again) whenever the image is newer than any the headset held.
    const bool newest = headerCellFault || r.Chance(30);
    SAV7201ImageSpec rightSpec = RandomAV7201Spec(r);
    SAV7201ImageSpec oldSpec = RandomAV7201Spec(r);
    if (newest)
    {
        // Versions the check can compare: one major, one-digit minors (the
        // image's the highest).
        rightSpec.year = 31;
        rightSpec.minor = 9;
        oldSpec.minor %= 9;
        oldSpec.major = rightSpec.major;
        c.recoverSilently = true;
    }
    c.right = MakeAV7201Image(rightSpec);
    c.rightText = ToRcfText(c.right);
    const Bytes old = MakeAV7201Image(oldSpec);
    const std::uint32_t startKind = r.Below(100);
    bool rom = false;
    if (startKind < 50)
    {
        c.device = old;
        c.label += ", an older image";
    }
    else if (startKind < 65)
    {
        c.device = c.right;
        c.label += ", the same image";
    }
    else if (startKind < 85)
    {
        c.device = old;
        std::fill(c.device.begin() + kAV7201HeaderOffset, c.device.begin() + kAV7201HeaderOffset + 4, 0x00);
        c.label += ", on its default image (interrupted)";
        rom = true;
    }
    else
    {
        c.device = AV7201ConfigBlock();
        c.label += ", on its default image (blank)";
        rom = true;
    }
    (void)rom;
    c.image = c.right;
    const std::uint32_t imageFault = r.Below(100);
    if (imageFault < 8)
    {
        SAV7201ImageSpec big = RandomAV7201Spec(r);
        big.totalSize = kAV7201EepromSize + r.Between(1, 800);
        c.image = MakeAV7201Image(big);
        c.mustRefuse = true;
        c.label += ", an image larger than the EEPROM";
    }
    else if (imageFault < 16)
    {
        const std::vector<SFileSpan> files = AV7201Files(c.right);
        const SFileSpan file = files[r.Below(static_cast<std::uint32_t>(files.size()))];
        const std::uint32_t cut = r.Between(file.header + 1, file.end - 1);
        c.image.assign(c.right.begin(), c.right.begin() + cut);
        c.mustRefuse = true;
        c.label += ", cut at " + std::to_string(cut) + " inside a file";
    }
    else if (imageFault < 24)
    {
        const std::vector<SFileSpan> files = AV7201Files(c.right);
        const SFileSpan file = files[r.Below(static_cast<std::uint32_t>(files.size()))];
        // A size that runs past the end, or one smaller than the header.
        const std::uint32_t bad = r.Chance(50) ? static_cast<std::uint32_t>(c.image.size()) + r.Between(1, 5000)
                                               : r.Below(4);
        c.image[file.header] = static_cast<std::uint8_t>(bad);
        c.image[file.header + 1] = static_cast<std::uint8_t>(bad >> 8);
        // Only a size that breaks the chain is a corrupt image for certain.
        c.mustRefuse = true;
        c.label += ", a file size of " + std::to_string(bad) + " at " + std::to_string(file.header);
    }
    c.imageText = c.mustRefuse ? ToRcfText(c.image) : c.rightText;
    const std::uint32_t n = static_cast<std::uint32_t>(c.right.size());
    switch (r.Below(6))
    {
    case 0:
    case 1:
    {
        const std::uint32_t writes = 2 + (n - kAV7201HeaderOffset) / 4;
        const std::uint32_t at = r.Chance(35) ? r.Between(writes > 3 ? writes - 3 : 1, writes + 1) : r.Between(1, writes);
        c.faults = {"--fault", "unplug-at-block=" + std::to_string(at)};
        break;
    }
    case 2:
        c.faults = {"--fault", "late-answers=" + std::to_string(r.Between(2, 150))};
        break;
    case 3:
        c.faults = {"--fault", "write-cycle=" + std::to_string(r.Between(2, 60))};
        break;
    case 4:
        c.faults = {"--fault", "stuck-cell=" + std::to_string(r.Between(kAV7201HeaderOffset, n - 1))};
        break;
    default:
        break;
    }
    if (headerCellFault)
    {
        const std::uint32_t writes = 2 + (n - kAV7201HeaderOffset) / 4;
        // Mostly the file count (0x81), which alone keeps a header valid.
        const std::uint32_t cell = kAV7201HeaderOffset + (r.Chance(75) ? 1 : r.Below(4));
        c.faults = {"--fault", "stuck-cell=" + std::to_string(cell), "--fault",
                    "unplug-at-block=" + std::to_string(r.Between(2, writes))};
        c.recoverSilently = true;
    }
    c.force = r.Chance(60);
    if (r.Chance(40))
    {
        SAV7201ImageSpec big = RandomAV7201Spec(r);
        big.totalSize = kAV7201EepromSize + r.Between(1, 800);
        c.wrongText = ToRcfText(MakeAV7201Image(big));
        c.wrongLabel = "an image larger than the EEPROM";
    }
    return c;
}

bool HoldsAV7201(const Bytes& memory, const Bytes& old, const Bytes& image)
{
    // The configuration stays; everything from the image header on is the image's.
    if (memory.size() < image.size() || !std::equal(old.begin(), old.begin() + kAV7201HeaderOffset, memory.begin()))
        return false;
    if (!std::equal(image.begin() + kAV7201HeaderOffset, image.end(), memory.begin() + kAV7201HeaderOffset))
        return false;
    return std::equal(old.begin() + static_cast<std::ptrdiff_t>(image.size()), old.end(),
                      memory.begin() + static_cast<std::ptrdiff_t>(image.size()));
}

// --- AV6201 / AV6302 -------------------------------------------------------

SCase DrawAV62xx(CSoakRandom& r, bool av6302)
{
    SCase c;
    const std::uint32_t row = av6302 ? 12 : 36;
    const std::uint32_t memory = av6302 ? 16384 : 131072;
    c.label = av6302 ? "av6302" : "av6201";
    auto image = [&](std::uint32_t partRow, std::uint32_t size) {
        SAV62xxImageSpec spec;
        spec.partRow = partRow;
        spec.size = size;
        spec.seed = r.Next();
        return MakeAV62xxImage(spec);
    };
    c.right = image(row, r.Between(200, std::min<std::uint32_t>(memory, 24000)));
    c.rightText = ToLineText(c.right);
    const Bytes old = image(row, r.Between(200, std::min<std::uint32_t>(memory, 24000)));
    const std::uint32_t startKind = r.Below(100);
    if (startKind < 50)
    {
        c.device = old;
        c.label += ", an older image";
    }
    else if (startKind < 60)
    {
        c.device = c.right;
        c.label += ", the same image";
    }
    else if (startKind < 85)
    {
        c.device = old;
        std::fill(c.device.begin(), c.device.begin() + 3, 0x00);
        c.label += ", in its loader (interrupted)";
    }
    else
    {
        c.label += ", in its loader (blank)";
    }
    c.image = c.right;
    c.imageText = c.rightText;
    const std::uint32_t imageFault = r.Below(100);
    if (imageFault < 7)
    {
        c.image = image(row, memory + r.Between(1, 600));
        c.imageText = ToLineText(c.image);
        c.mustRefuse = true;
        c.label += ", an image larger than the memory";
    }
    else if (imageFault < 14)
    {
        c.image = image(av6302 ? 36 : 12, r.Between(200, 12000));
        c.imageText = ToLineText(c.image);
        c.mustRefuse = true;
        c.label += ", an image for the other chip";
    }
    else if (imageFault < 20)
    {
        // Cut in the middle of a line: its one hex digit is no byte.
        const std::uint32_t lines = static_cast<std::uint32_t>(c.right.size());
        c.imageText = c.rightText.substr(0, 4 * r.Between(1, lines - 1) + 1);
        c.mustRefuse = true;
        c.label += ", cut inside a line";
    }
    else if (imageFault < 25)
    {
        const std::uint32_t line = r.Below(static_cast<std::uint32_t>(c.right.size()));
        c.imageText[4 * line + r.Below(2)] = 'G';
        c.mustRefuse = true;
        c.label += ", a line that is no hex byte";
    }
    if (c.mustRefuse)
        c.image.clear();
    const std::uint32_t n = static_cast<std::uint32_t>(c.right.size());
    switch (r.Below(av6302 ? 5 : 6))
    {
    case 0:
    case 1:
    {
        const std::uint32_t writes = 2 + (n + 1023) / 1024;
        const std::uint32_t at = r.Chance(35) ? r.Between(writes > 3 ? writes - 3 : 1, writes + 1) : r.Between(1, writes);
        c.faults = {"--fault", "unplug-at-block=" + std::to_string(at)};
        break;
    }
    case 2:
        // Every answer late; now and then later than the host's second.
        c.faults = {"--fault", "late-answers=" + std::to_string(r.Chance(85) ? r.Between(2, 60) : r.Between(1100, 2000))};
        break;
    case 5:
        c.faults = {"--fault", "slow-erase=" + std::to_string(r.Between(50, 3000))};
        break;
    default:
        break;
    }
    c.force = r.Chance(90);
    if (r.Chance(40))
    {
        const bool otherChip = r.Chance(50);
        c.wrongText = ToLineText(otherChip ? image(av6302 ? 36 : 12, r.Between(200, 12000))
                                           : image(row, memory + r.Between(1, 600)));
        c.wrongLabel = otherChip ? "an image for the other chip" : "an image larger than the memory";
    }
    return c;
}

bool HoldsAV62xx(const Bytes& memory, const Bytes& old, const Bytes& image, std::uint32_t row)
{
    const avnera::SSerialPart& part = avnera::kSerialParts[row];
    std::uint8_t header[3];
    avnera::PartHeader(part.memType, part.size, part.page, part.addressInfo, part.sector, header);
    if (image.size() < 3 || memory.size() < image.size() || !std::equal(header, header + 3, memory.begin()))
        return false;
    return HoldsFrom(memory, old, 3, image, 3);
}

// --- Running ---------------------------------------------------------------

bool WriteBytes(const std::string& path, const void* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct SRunResult
{
    bool ran = false;
    std::uint32_t status = 0xFFFFFFFFu;
    Bytes memory;
};

SRunResult RunBench(const SAvneraCampaignOptions& o, const std::vector<std::string>& args, const std::string& folder,
                    const std::string& name, bool throughProgram)
{
    SRunResult result;
    const std::string memoryPath = folder + PathSeparator() + name + "-memory.bin";
    std::vector<std::string> all = {"--family", o.family, "--time-scale", std::to_string(o.timeScale),
                                    "--firmware-out", memoryPath};
    all.insert(all.end(), args.begin(), args.end());
    if (throughProgram)
    {
        std::vector<std::string> argv = {o.bench};
        argv.insert(argv.end(), all.begin(), all.end());
        result.ran = RunProcessAndWait(argv, kRunBoundMs, &result.status, folder,
                                       folder + PathSeparator() + name + "-output.txt");
    }
    else
    {
        // The program's own lines go beside the run's files.
        std::FILE* output = std::fopen((folder + PathSeparator() + name + "-output.txt").c_str(), "w");
        result.status = RunBenchProgramIn(all, folder, output);
        if (output != nullptr)
            std::fclose(output);
        result.ran = true;
    }
    result.memory = ReadBytes(memoryPath);
    return result;
}

std::uint32_t MemorySizeOf(EFamily family, std::uint32_t part)
{
    switch (family)
    {
    case EFamily::AV7300: return CAV7300CommonHelper::kFlashParts[part].size;
    case EFamily::AV7201: return kAV7201EepromSize;
    case EFamily::AV6201: return 131072;
    default: return 16384;
    }
}

bool Holds(EFamily family, const Bytes& memory, const Bytes& old, const Bytes& image, std::uint32_t part)
{
    if (image.empty())
        return false;
    switch (family)
    {
    case EFamily::AV7300:
        return HoldsFrom(memory, old, 0, image, 0) || HoldsAV7300Merge(memory, old, image, part);
    case EFamily::AV7201: return HoldsAV7201(memory, old, image);
    case EFamily::AV6201: return HoldsAV62xx(memory, old, image, 36);
    default: return HoldsAV62xx(memory, old, image, 12);
    }
}

// Linux exit statuses of the program's codes; on Windows the codes themselves.
std::uint32_t Status(std::uint32_t code)
{
    return static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(code)));
}
} // namespace

bool IsAvneraCampaignFamily(const std::string& family)
{
    return family == "av7300" || family == "av7201" || family == "av6201" || family == "av6302";
}

int RunAvneraCampaign(const SAvneraCampaignOptions& o)
{
    const EFamily family = o.family == "av7300"   ? EFamily::AV7300
                           : o.family == "av7201" ? EFamily::AV7201
                           : o.family == "av6201" ? EFamily::AV6201
                                                  : EFamily::AV6302;
    const char* extension = family == EFamily::AV7300 ? "ff" : family == EFamily::AV7201 ? "rcf" : "txt";
    std::error_code ec;
    fs::remove_all(o.work, ec);
    fs::create_directories(o.work, ec);
    CClock::SetTimeScale(o.timeScale);

    CSoakRandom random(o.seed);
    int falseSuccesses = 0;
    int unrecoverable = 0;
    int touched = 0;
    int unexpected = 0;
    int hangs = 0;
    int throughProgram = 0;
    for (int run = 0; run < o.runs; ++run)
    {
        const SCase c = family == EFamily::AV7300   ? DrawAV7300(random)
                        : family == EFamily::AV7201 ? DrawAV7201(random)
                                                    : DrawAV62xx(random, family == EFamily::AV6302);
        const bool viaProgram = o.processEvery > 0 && run % o.processEvery == o.processEvery - 1;
        throughProgram += viaProgram ? 1 : 0;
        const std::string folder = o.work + PathSeparator() + "run-" + std::to_string(run);
        fs::create_directories(folder, ec);
        const std::string devicePath = folder + PathSeparator() + "device.bin";
        const std::string imagePath = folder + PathSeparator() + "image." + extension;
        WriteBytes(devicePath, c.device.data(), c.device.size());
        WriteBytes(imagePath, c.imageText.data(), c.imageText.size());
        Bytes old(MemorySizeOf(family, c.part), 0xFF);
        if (!c.device.empty())
            std::copy_n(c.device.begin(), std::min(c.device.size(), old.size()), old.begin());

        std::vector<std::string> args = c.product;
        args.insert(args.end(), {"--device-image", devicePath, "--image", imagePath});
        args.insert(args.end(), c.faults.begin(), c.faults.end());
        if (c.force)
            args.push_back("/F");
        args.insert(args.end(), {"/S", "/Ucampaign"});
        std::string label = c.label;
    for (std::size_t i = 1; i < c.faults.size(); i += 2)
        label += ", " + c.faults[i];
    label += std::string(c.force ? ", /F" : "") + (viaProgram ? ", through the program" : "");

        std::vector<std::string> problems;
        const SRunResult first = RunBench(o, args, folder, "first", viaProgram);
        const bool holds = Holds(family, first.memory, old, c.image, c.part);
        const bool unchanged = first.memory == old;
        bool needsRecovery = true;
        if (!first.ran)
        {
            ++hangs;
            problems.push_back("did not end within its bound");
        }
        else if (first.status == 0)
        {
            if (c.mustRefuse || !holds)
            {
                ++falseSuccesses;
                problems.push_back(c.mustRefuse ? "FALSE SUCCESS: exit 0 with an image that must be refused"
                                                : "FALSE SUCCESS: exit 0, the memory does not hold the image");
            }
            else if (family == EFamily::AV7300 &&
                     AV7300DeviceVersionFile(first.memory) != AV7300ImageVersionFile(c.image))
            {
                // Exit 0 says the device now runs the image: it tells its version.
                ++falseSuccesses;
                problems.push_back("FALSE SUCCESS: exit 0, the device does not tell the image's version");
            }
            else
            {
                needsRecovery = false;
            }
        }
        else if (first.status == Status(1) || first.status == Status(2))
        {
            if (c.mustRefuse || !unchanged)
            {
                ++falseSuccesses;
                problems.push_back("FALSE SUCCESS: exit " + std::to_string(first.status) +
                                   (c.mustRefuse ? " (same or newer) for an image that must be refused"
                                                 : " (same or newer) with the memory changed"));
            }
            needsRecovery = false;
        }
        else
        {
            if (c.mustRefuse && !c.mayTouch && !unchanged)
            {
                ++touched;
                problems.push_back("the refused image touched the memory");
            }
            const bool faultFree =
                c.faults.empty() || (c.faults.size() == 2 && c.faults[1] == "any-parameter-block");
            if (!c.mustRefuse && faultFree && first.status != Status(0x80000008u))
            {
                ++unexpected;
                problems.push_back("a run without a fault failed with " + std::to_string(first.status));
            }
        }

        Bytes kept = first.memory.empty() ? old : first.memory;
        if (needsRecovery && !c.wrongText.empty())
        {
            // Plugged in again with what the memory kept, and a wrong image:
            // it never ends in success either.
            const std::string keptPath = folder + PathSeparator() + "kept.bin";
            const std::string wrongPath = folder + PathSeparator() + "wrong." + extension;
            WriteBytes(keptPath, kept.data(), kept.size());
            WriteBytes(wrongPath, c.wrongText.data(), c.wrongText.size());
            std::vector<std::string> wrongArgs = c.product;
            wrongArgs.insert(wrongArgs.end(), {"--device-image", keptPath, "--image", wrongPath, "/F", "/S",
                                               "/Ucampaign"});
            const SRunResult wrong = RunBench(o, wrongArgs, folder, "wrong", viaProgram);
            if (!wrong.ran)
                ++hangs;
            else if (wrong.status == 0)
            {
                ++falseSuccesses;
                problems.push_back("FALSE SUCCESS: after the failure, " + c.wrongLabel + " exited 0");
            }
            if (!wrong.memory.empty())
                kept = wrong.memory;
        }
        if (needsRecovery)
        {
            // Plugged in again with what the memory kept, the right image.
            const std::string leftPath = folder + PathSeparator() + "left.bin";
            const std::string rightPath = folder + PathSeparator() + "right." + extension;
            const Bytes left = kept;
            WriteBytes(leftPath, left.data(), left.size());
            WriteBytes(rightPath, c.rightText.data(), c.rightText.size());
            std::vector<std::string> again = c.product;
            again.insert(again.end(), {"--device-image", leftPath, "--image", rightPath});
            if (!c.recoverSilently)
                again.push_back("/F");
            again.insert(again.end(), {"/S", "/Ucampaign"});
            const SRunResult second = RunBench(o, again, folder, "second", viaProgram);
            if (!second.ran)
                ++hangs;
            const bool tells = family != EFamily::AV7300 ||
                               AV7300DeviceVersionFile(second.memory) == AV7300ImageVersionFile(c.right);
            // Without /F a product that already holds the image is the same
            // version (exit 1); otherwise the run must write it.
            const bool exitOk = second.status == 0 || (c.recoverSilently && second.status == Status(1));
            if (!second.ran || !exitOk || !Holds(family, second.memory, left, c.right, c.part) || !tells)
            {
                ++unrecoverable;
                problems.push_back("UNRECOVERABLE: the run with the right image exited " +
                                   std::to_string(second.status) +
                                   (second.status == 0 ? " without the memory holding it (or the device telling "
                                                         "its version)"
                                                       : ""));
            }
        }

        if (!problems.empty())
        {
            std::printf("run %d (%s): exit %u;", run, label.c_str(), first.status);
            for (const std::string& p : problems)
                std::printf(" %s;", p.c_str());
            std::printf(" see %s\n", folder.c_str());
        }
        else
        {
            if (o.verbose)
                std::printf("run %d (%s): exit %u, ok\n", run, label.c_str(), first.status);
            fs::remove_all(folder, ec);
        }
        std::fflush(stdout);
    }
    std::printf("family %s: runs %d, false-successes %d, unrecoverable %d, touched %d, unexpected-failures %d, "
                "hangs %d, through-program %d\n",
                o.family.c_str(), o.runs, falseSuccesses, unrecoverable, touched, unexpected, hangs, throughProgram);
    const char* f = o.family.c_str();
    std::printf("%s-runs %d\n%s-false-successes %d\n%s-unrecoverable %d\n%s-touched %d\n%s-unexpected-failures %d\n"
                "%s-hangs %d\n%s-through-program %d\n",
                f, o.runs, f, falseSuccesses, f, unrecoverable, f, touched, f, unexpected, f, hangs, f, throughProgram);
    std::fflush(stdout);
    return falseSuccesses == 0 && unrecoverable == 0 && touched == 0 && unexpected == 0 && hangs == 0 ? 0 : 1;
}
