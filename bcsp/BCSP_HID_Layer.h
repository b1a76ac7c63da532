#pragma once
// The transport below the BCSP byte layer: moves chunks of frame bytes to and
// from the BlueCore chip. Supplied by the user of the stack, which never owns
// or frees it.
//
// Contract:
// - SetUpper links the byte layer (reciprocal, see CBCSP_UART_Driver). The
//   transport guards its upper pointer with its own mutex, so that it is never
//   unlinked while its reader hands bytes up.
// - SendChunk is called in the stack's multiplexer thread with at most 60
//   bytes; true when the chunk left.
// - ReceiveReport is called by the transport's own reader thread with each
//   input report; it hands the data bytes to the byte layer's DeliverBytes.
//   False when no byte layer is linked.
// - SetBaudRate asks the device to switch the UART between itself and the
//   chip; false for a rate it cannot set or when the device refused.

#include <cstddef>
#include <cstdint>

class CBCSP_UART_Driver;

class CBCSP_HID_Layer
{
public:
    virtual void SetUpper(CBCSP_UART_Driver* upper) = 0;
    virtual bool SendChunk(const std::uint8_t* bytes, std::size_t count) = 0;
    virtual bool ReceiveReport(const std::uint8_t* report, std::size_t reportLength) = 0;
    virtual bool SetBaudRate(std::uint32_t rate) = 0;

protected:
    ~CBCSP_HID_Layer() = default;
};
