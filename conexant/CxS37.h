#pragma once
// The S37 reader: one Motorola S-record line with a 32-bit address (S3 data
// records, S7 termination records), and the text-file line source that
// reads a file the way a Windows text-mode stream does on every system.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr std::size_t kS37LineLimit = 525;  // characters a line is read with, terminating zero included
constexpr std::size_t kS37MaxDataBytes = 250;
constexpr int S37_LENGTH_SIZE = 1;
constexpr int S37_BYTE_RESPRESENTATION_SIZE = 2;
constexpr int S37_ADDRESS_SIZE = 4;
constexpr int S37_CHECKSUM_SIZE = 1;

enum class ES37Type
{
    Data,        // S3
    Termination, // S7
    Other,
};

enum class ES37Error
{
    None,
    Type,          // neither S3 nor S7
    SizeNotHex,
    SizeTooSmall,  // count below 5
    AddressNotHex,
    DataNotHex,
    ChecksumNotHex,
    Checksum,      // the sum is not 0xFF
    Tail,          // more than one CR or LF after the checksum
};

struct SS37Record
{
    ES37Type type = ES37Type::Other;
    std::uint32_t count = 0;   // the count field, when it was hex
    std::uint32_t address = 0;
    std::uint32_t length = 0;  // data bytes (count - 5)
    std::uint8_t data[kS37MaxDataBytes] = {};
    std::uint8_t checksum = 0;
    std::uint8_t expectedChecksum = 0; // what the checksum field should have been
};

// Reads one line (zero-terminated). The type is looked at first: an S7
// record is recognised and not read further. Returns ES37Error::None for a
// valid S3 or S7 record.
ES37Error ParseS37Line(const char* line, SS37Record& record);

// Lines of a text file, at most kS37LineLimit - 1 characters each (a longer
// line goes on in the next one), with CR LF read as LF and Ctrl-Z ending the
// file, as a Windows text-mode stream reads it.
class CS37FileLines
{
public:
    ~CS37FileLines();
    bool Open(const char* fileName);
    // true with a line; false at the end of the file or on a read error (Failed()).
    bool Next(std::string& line);
    bool Failed() const { return m_failed; }
    bool Close(); // false when closing failed

private:
    int Get();  // next byte, -1 at the end
    int Peek();
    bool Fill();

    std::FILE* m_file = nullptr;
    std::vector<unsigned char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_eof = false;
    bool m_failed = false;
};
