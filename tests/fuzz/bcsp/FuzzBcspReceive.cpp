// The BCSP receive path: input reports through the byte layer, SLIP
// decoding, packet integrity and the multiplexer up to the sequencing and
// datagram layers and their callbacks.
//
// Input: byte 0 picks the report size (1..28 data bytes); the rest is the
// byte stream from the device.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bcsp/BCSP_HID_Layer.h"
#include "bcsp/BCSP_Stack.h"
#include "bcsp/BCSP_UART_Driver.h"

namespace
{
class CNullTransport : public CBCSP_HID_Layer
{
public:
    void SetUpper(CBCSP_UART_Driver* upper) override
    {
        if (m_upper == upper)
            return;
        CBCSP_UART_Driver* old = m_upper;
        m_upper = upper;
        if (old != nullptr)
            old->SetLower(nullptr);
        if (upper != nullptr)
            upper->SetLower(this);
    }
    bool SendChunk(const std::uint8_t*, std::size_t) override { return true; }
    bool ReceiveReport(const std::uint8_t* report, std::size_t length) override
    {
        if (m_upper == nullptr || length < 4)
            return false;
        std::size_t n = report[3];
        if (n > length - 4)
            n = length - 4;
        return m_upper->DeliverBytes(report + 4, n);
    }
    bool SetBaudRate(std::uint32_t) override { return true; }

private:
    CBCSP_UART_Driver* m_upper = nullptr;
};

bool Sink(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel, void* context)
{
    // Touch every byte the stack hands up.
    std::uint32_t* sum = static_cast<std::uint32_t*>(context);
    for (std::uint16_t i = 0; i < length; ++i)
        *sum += payload[i];
    *sum += channel;
    return (length & 1) == 0;
}

struct SRig
{
    SRig()
    {
        stack.Init(&transport);
        stack.EnableCRC(true);
        stack.ConnectTransport();
        stack.SetReliableCallback(&sum, &Sink);
        stack.SetUnreliableCallback(&sum, &Sink);
    }
    CNullTransport transport;
    CBCSP_Stack stack;
    std::uint32_t sum = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static SRig rig;
    if (size == 0)
        return 0;
    const std::size_t step = 1 + data[0] % 28;
    std::uint8_t report[32];
    for (std::size_t offset = 1; offset < size; offset += step)
    {
        const std::size_t n = size - offset < step ? size - offset : step;
        std::memset(report, 0, sizeof(report));
        report[0] = 1;
        report[2] = 0x28;
        report[3] = static_cast<std::uint8_t>(n);
        std::memcpy(report + 4, data + offset, n);
        rig.transport.ReceiveReport(report, sizeof(report));
    }
    return 0;
}
