#pragma once
// A hub whose port 1 answers descriptor requests with scripted bytes, for
// feeding the descriptor walks malformed or hostile replies (tests, fuzzers).

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "platform/UsbTopology.h"

class CScriptedHub : public IUsbHub
{
public:
    struct SReply
    {
        std::vector<std::uint8_t> bytes;
        bool fail = false;
        long extraReturned = 0; // added to the byte count the hub claims (may lie)
    };

    // Key: descriptor type << 8 | index. Missing keys fail.
    std::map<std::uint16_t, SReply> replies;
    SUsbNodeConnectionInformationEx connection{};
    bool extended = true;
    int requests = 0;

    std::uintptr_t GetHandleValue() const override { return 0x1234; }
    EUsbResult GetNodeInformation(SUsbNodeInformation& info) override
    {
        info.isHub = true;
        info.numberOfPorts = 1;
        return EUsbResult::Ok;
    }
    EUsbResult GetNodeConnectionInformationEx(SUsbNodeConnectionInformationEx& info) override
    {
        if (!extended)
            return EUsbResult::NotSupported;
        info = connection;
        return EUsbResult::Ok;
    }
    EUsbResult GetNodeConnectionInformation(SUsbNodeConnectionInformation& info) override
    {
        std::memcpy(&info, &connection, sizeof(info));
        info.lowSpeed = connection.speed == kUsbLowSpeed;
        return EUsbResult::Ok;
    }
    EUsbResult GetNodeConnectionDriverKeyName(std::uint32_t, std::wstring& key) override
    {
        key = L"{36fc9e60-c465-11cf-8056-444553540000}\\0001";
        return EUsbResult::Ok;
    }
    EUsbResult GetNodeConnectionName(std::uint32_t, std::wstring&) override { return EUsbResult::Failed; }
    EUsbResult GetDescriptorFromNodeConnection(std::uint8_t* buffer, std::size_t size, std::size_t& returned) override
    {
        ++requests;
        returned = 0;
        if (size < sizeof(SUsbDescriptorRequest) || requests > 10000)
            return EUsbResult::Failed;
        SUsbDescriptorRequest request;
        std::memcpy(&request, buffer, sizeof(request));
        auto it = replies.find(request.wValue);
        if (it == replies.end() || it->second.fail)
            return EUsbResult::Failed;
        const std::size_t room = size - sizeof(request);
        const std::size_t n = std::min({it->second.bytes.size(), room, static_cast<std::size_t>(request.wLength)});
        if (n > 0)
            std::memcpy(buffer + sizeof(request), it->second.bytes.data(), n);
        const long claimed = static_cast<long>(sizeof(request) + n) + it->second.extraReturned;
        returned = claimed < 0 ? 0 : static_cast<std::size_t>(claimed);
        return EUsbResult::Ok;
    }
};
