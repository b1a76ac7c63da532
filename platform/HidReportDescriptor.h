#pragma once
// HID report descriptor parser: each top-level collection's usage page and
// usage, and its longest input, output and feature reports, counted the way
// the Windows HID class does (report data bytes rounded up, plus one byte for
// the report ID, which is there as 0 when the collection uses no report IDs).
//
// Header-only and free of OS headers so that both the Linux hidraw backend
// and the bench can use it. The descriptor comes from a device: it is
// untrusted, every item length is checked, nesting and sizes are bounded.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/HidSystem.h"

namespace hidrd
{
struct SGlobals
{
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

inline std::uint32_t ItemValue(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i)
        v |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    return v;
}
} // namespace hidrd

// Parses every top-level collection (at most kMaxHidCollections), in order.
// False (collections empty) when the descriptor is truncated, unbalanced or
// has no top-level collection.
constexpr std::size_t kMaxHidCollections = 32;

inline bool ParseHidReportDescriptorCollections(const std::uint8_t* data, std::size_t length,
                                                std::vector<SHidCaps>& collections)
{
    using namespace hidrd;
    collections.clear();
    if (data == nullptr)
        return false;

    constexpr int kMaxStack = 16;
    constexpr int kMaxDepth = 64;
    constexpr std::uint64_t kMaxBits = 0xFFFEull * 8; // the lengths are 16-bit with the ID byte

    SGlobals globals;
    SGlobals stack[kMaxStack];
    int stackDepth = 0;
    int depth = 0;
    bool haveFirstUsage = false; // first Usage of the current local state
    std::uint32_t firstUsage = 0;
    bool firstUsageExtended = false;
    std::map<std::uint32_t, std::uint64_t> bits[3]; // input, output, feature by report ID of the open collection

    auto longest = [](const std::map<std::uint32_t, std::uint64_t>& byId) -> std::uint16_t {
        std::uint64_t best = 0;
        bool any = false;
        for (const auto& entry : byId)
        {
            any = true;
            if (entry.second > best)
                best = entry.second;
        }
        if (!any)
            return 0;
        return static_cast<std::uint16_t>((best + 7) / 8 + 1);
    };
    auto fail = [&collections]() {
        collections.clear();
        return false;
    };

    std::size_t pos = 0;
    while (pos < length)
    {
        const std::uint8_t prefix = data[pos];
        if (prefix == 0xFE)
        {
            // Long item: size, tag, data.
            if (pos + 3 > length)
                return fail();
            const std::size_t size = data[pos + 1];
            if (pos + 3 + size > length)
                return fail();
            pos += 3 + size;
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (pos + 1 + size > length)
            return fail();
        const std::uint32_t value = ItemValue(data + pos + 1, size);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        pos += 1 + size;

        if (type == 1) // global
        {
            switch (tag)
            {
            case 0: globals.usagePage = value; break;
            case 7: globals.reportSize = value; break;
            case 8:
                if (value == 0)
                    return fail(); // report ID 0 is reserved
                globals.reportId = value;
                break;
            case 9: globals.reportCount = value; break;
            case 10:
                if (stackDepth >= kMaxStack)
                    return fail();
                stack[stackDepth++] = globals;
                break;
            case 11:
                if (stackDepth == 0)
                    return fail();
                globals = stack[--stackDepth];
                break;
            default: break;
            }
        }
        else if (type == 2) // local
        {
            if (tag == 0 && !haveFirstUsage)
            {
                haveFirstUsage = true;
                firstUsage = value;
                firstUsageExtended = size == 4;
            }
        }
        else if (type == 0) // main
        {
            if (tag == 10) // Collection
            {
                if (depth == 0)
                {
                    if (collections.size() >= kMaxHidCollections)
                        return fail();
                    SHidCaps caps;
                    if (firstUsageExtended)
                    {
                        caps.usagePage = static_cast<std::uint16_t>(firstUsage >> 16);
                        caps.usage = static_cast<std::uint16_t>(firstUsage & 0xFFFF);
                    }
                    else
                    {
                        caps.usagePage = static_cast<std::uint16_t>(globals.usagePage);
                        caps.usage = static_cast<std::uint16_t>(firstUsage);
                    }
                    collections.push_back(caps);
                    for (auto& b : bits)
                        b.clear();
                }
                if (++depth > kMaxDepth)
                    return fail();
            }
            else if (tag == 12) // End Collection
            {
                if (depth == 0)
                    return fail();
                if (--depth == 0)
                {
                    SHidCaps& caps = collections.back();
                    caps.inputReportByteLength = longest(bits[0]);
                    caps.outputReportByteLength = longest(bits[1]);
                    caps.featureReportByteLength = longest(bits[2]);
                }
            }
            else if (tag == 8 || tag == 9 || tag == 11) // Input, Output, Feature
            {
                if (depth == 0)
                    return fail(); // a report outside every collection
                const int kind = tag == 8 ? 0 : (tag == 9 ? 1 : 2);
                std::uint64_t& total = bits[kind][globals.reportId];
                total += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
                if (total > kMaxBits)
                    total = kMaxBits;
            }
            haveFirstUsage = false;
            firstUsageExtended = false;
        }
    }
    if (collections.empty() || depth != 0)
        return fail();
    return true;
}

// The first top-level collection only.
inline bool ParseHidReportDescriptor(const std::uint8_t* data, std::size_t length, SHidCaps& caps)
{
    std::vector<SHidCaps> collections;
    caps = SHidCaps();
    if (!ParseHidReportDescriptorCollections(data, length, collections))
        return false;
    caps = collections.front();
    return true;
}

// True when any Report ID item appears (reports then start with their ID on
// the wire; without IDs the system adds a 0 byte in front).
inline bool HidReportDescriptorUsesReportIds(const std::uint8_t* data, std::size_t length)
{
    std::size_t pos = 0;
    while (data != nullptr && pos < length)
    {
        const std::uint8_t prefix = data[pos];
        if (prefix == 0xFE)
        {
            if (pos + 3 > length)
                return false;
            pos += 3 + static_cast<std::size_t>(data[pos + 1]);
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if ((prefix & 0xFC) == 0x84 && size > 0)
            return true;
        pos += 1 + size;
    }
    return false;
}

// The data bytes (without the report ID byte) of each report of a kind
// (0 input, 1 output, 2 feature), by report ID (0 when the descriptor uses
// none), over every collection. False when the descriptor is malformed.
inline bool HidReportSizes(const std::uint8_t* data, std::size_t length, int kind,
                           std::map<std::uint32_t, std::uint32_t>& bytesById)
{
    using namespace hidrd;
    bytesById.clear();
    if (data == nullptr || kind < 0 || kind > 2)
        return false;
    constexpr int kMaxStack = 16;
    constexpr std::uint64_t kMaxBits = 0xFFFEull * 8;
    SGlobals globals;
    SGlobals stack[kMaxStack];
    int stackDepth = 0;
    std::map<std::uint32_t, std::uint64_t> bits;
    std::size_t pos = 0;
    while (pos < length)
    {
        const std::uint8_t prefix = data[pos];
        if (prefix == 0xFE)
        {
            if (pos + 3 > length || pos + 3 + data[pos + 1] > length)
                return false;
            pos += 3 + static_cast<std::size_t>(data[pos + 1]);
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (pos + 1 + size > length)
            return false;
        const std::uint32_t value = ItemValue(data + pos + 1, size);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        pos += 1 + size;
        if (type == 1)
        {
            switch (tag)
            {
            case 7: globals.reportSize = value; break;
            case 8: globals.reportId = value; break;
            case 9: globals.reportCount = value; break;
            case 10:
                if (stackDepth >= kMaxStack)
                    return false;
                stack[stackDepth++] = globals;
                break;
            case 11:
                if (stackDepth == 0)
                    return false;
                globals = stack[--stackDepth];
                break;
            default: break;
            }
        }
        else if (type == 0 && (tag == 8 || tag == 9 || tag == 11) && (tag == 8 ? 0 : tag == 9 ? 1 : 2) == kind)
        {
            std::uint64_t& total = bits[globals.reportId];
            total += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
            if (total > kMaxBits)
                total = kMaxBits;
        }
    }
    for (const auto& [id, b] : bits)
        bytesById[id] = static_cast<std::uint32_t>((b + 7) / 8);
    return true;
}
