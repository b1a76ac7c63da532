#include "avnera/VersionRecord.h"

#include <string>
#include <string_view>

namespace avnera
{
namespace
{
std::string_view Field(std::string_view record, std::size_t number)
{
    std::size_t start = 0;
    for (std::size_t i = 1; i < number; ++i)
    {
        const std::size_t comma = record.find(',', start);
        if (comma == std::string_view::npos)
            return {};
        start = comma + 1;
    }
    const std::size_t end = record.find(',', start);
    return record.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// first + " (" + second + ")", cut to capacity - 1 characters; the
// parentheses are added only while there is room.
void Compose(std::string_view first, std::string_view second, char* out, std::size_t capacity)
{
    std::string text(first.substr(0, capacity - 1));
    const std::size_t room = capacity - 1 - text.size();
    if (room >= 2)
    {
        text += " (";
        text += second.substr(0, room - 2);
        if (text.size() < capacity - 1)
            text += ')';
    }
    text.copy(out, text.size());
    out[text.size()] = '\0';
}
} // namespace

void ParseVersionRecord(const char* record, std::size_t length, char version[kVersionTextSize],
                        char name[kNameTextSize])
{
    const std::string_view text(record, length);
    Compose(Field(text, 1), Field(text, 3), version, kVersionTextSize);

    std::string_view path;
    const std::size_t last = text.rfind('/');
    if (last != std::string_view::npos && last > 0 && !text.empty())
    {
        const std::size_t secondLast = text.rfind('/', last - 1);
        if (secondLast != std::string_view::npos && secondLast + 1 <= text.size() - 1)
            path = text.substr(secondLast + 1, text.size() - 1 - (secondLast + 1));
    }
    Compose(Field(text, 2), path, name, kNameTextSize);
}
} // namespace avnera
