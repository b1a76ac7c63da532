#pragma once
// The firmware format of the simulated BlueCore chips, as the synthetic
// image generator (tools/imagegen) lays it down and as the simulated devices
// check it at manifestation:
//
//   "CSR-dfu2"                      8 bytes
//   format revision                 u16 little-endian, 1
//   firmware length                 u32 little-endian
//   version text length             u32 little-endian (may be 0)
//   version text                    ("Firmware version D.DD.D" and a zero)
//   firmware                        firmware length bytes
//
// This is the payload of a DFU file: the DFU suffix is the host's and never
// reaches a device. A device can only check what it holds: the header and
// that exactly as many bytes arrived as the header states.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t kSimFirmwareHeaderLength = 18;

// A payload with the version text (empty: none) and firmwareBytes of filler.
std::vector<std::uint8_t> MakeSimFirmware(const std::string& version, std::size_t firmwareBytes);
// A payload of exactly totalBytes (at least the header) without version text.
std::vector<std::uint8_t> MakeSimFirmwareOfSize(std::size_t totalBytes);

// Checks a received payload; why (optional) says what is wrong.
bool CheckSimFirmware(const std::vector<std::uint8_t>& payload, std::string* why = nullptr);
