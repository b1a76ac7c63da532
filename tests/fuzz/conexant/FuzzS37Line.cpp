// One S37 line as a file or a caller might hand it over.
#include <cstddef>
#include <cstdint>
#include <string>

#include "conexant/CxS37.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size > 600 ? 600 : size);
    SS37Record record;
    const ES37Error error = ParseS37Line(line.c_str(), record);
    if (error == ES37Error::None && record.type == ES37Type::Data)
    {
        if (record.length > kS37MaxDataBytes || record.count != record.length + 5)
            __builtin_trap();
        std::uint32_t sum = record.count + record.checksum;
        for (int shift = 0; shift < 32; shift += 8)
            sum += (record.address >> shift) & 0xFF;
        for (std::uint32_t i = 0; i < record.length; ++i)
            sum += record.data[i];
        if ((sum & 0xFF) != 0xFF)
            __builtin_trap(); // a record accepted with a bad checksum
    }
    if (error == ES37Error::None && record.type == ES37Type::Other)
        __builtin_trap();
    return 0;
}
