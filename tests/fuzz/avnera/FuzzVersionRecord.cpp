// The version-record parser on any bytes: no read outside the record, both
// texts terminated within their buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "avnera/VersionRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 256)
        size = 256;
    // An exact-size copy, so ASan sees any read past the record.
    std::vector<char> record(data, data + size);
    char version[avnera::kVersionTextSize];
    char name[avnera::kNameTextSize];
    avnera::ParseVersionRecord(record.data(), record.size(), version, name);
    if (std::memchr(version, 0, sizeof(version)) == nullptr || std::memchr(name, 0, sizeof(name)) == nullptr)
        __builtin_trap();
    return 0;
}
