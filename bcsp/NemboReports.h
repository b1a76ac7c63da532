#pragma once
// The HID reports that carry BCSP bytes to and from the bridge chip: data
// out (output report), baud rate (feature report) and data in (input report).
// Shared by the HID transport and the bench's direct transport.

#include <cstddef>
#include <cstdint>

constexpr std::size_t kNemboReportLength = 65;            // output and feature reports, ID byte included
constexpr std::size_t kNemboMaxChunk = kNemboReportLength - 5; // data bytes in one data-out report

// Fills a data-out report with count bytes; false when they do not fit.
bool BuildNemboDataOutReport(const std::uint8_t* bytes, std::size_t count, std::uint8_t (&report)[kNemboReportLength]);

// Fills the baud-rate feature report; false for a rate the bridge has no code for.
bool BuildNemboBaudRateReport(std::uint32_t rate, std::uint8_t (&report)[kNemboReportLength]);

// The data bytes of a data-in report, bounded by the report's own length;
// 0 when the report is too short to hold its count.
std::size_t NemboDataInPayload(const std::uint8_t* report, std::size_t length, const std::uint8_t** data);
