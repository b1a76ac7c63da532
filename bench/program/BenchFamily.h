#pragma once
// A device family the bench program can run end to end besides the Tavik
// headset: the simulated product it builds (in a bench USB world of its own)
// and the upgrader the factory's injectable constructor makes for it.
//
// A family's factory reads the bench options that set its product up and
// refuses those it cannot honour (an unknown part row, a scenario or fault
// that does not apply to it) with a reason, before anything runs.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

class CFirmwareUpgrade;
class CBenchUsbWorld;

struct SBenchFamilySetup
{
    std::string scenario = "normal";                          // --scenario (families know "normal", "no-device")
    std::vector<std::pair<std::string, std::uint32_t>> faults; // --fault NAME[=N], in order
    int flashPart = -1;                                       // --flash-part ROW (-1: the family's default)
    int chipRevision = -1;                                    // --chip-revision N (-1: the family's default)
    bool haveDeviceImage = false;                             // --device-image given
    std::vector<std::uint8_t> deviceImage;                    // what the product's flash or EEPROM starts with
};

class IBenchFamily
{
public:
    virtual ~IBenchFamily() = default;
    // A new upgrader for the factory; the caller owns it. May be called more
    // than once (the factory retries); the product stays the same.
    virtual CFirmwareUpgrade* NewUpgrader() = 0;
    // What the product's flash or EEPROM holds now (--firmware-out).
    virtual std::vector<std::uint8_t> Memory() = 0;
    // One line about the product at the end of the run (its firmware
    // version, its mode), printed after "bench: ".
    virtual std::string Summary() = 0;
    // The bench USB world the product is plugged into (port 1 of its first
    // root hub), for the USB/IP server that serves it to a real kernel.
    virtual CBenchUsbWorld* World() { return nullptr; }
};

// null with *error set when the setup does not fit the family.
using BenchFamilyFactory = std::unique_ptr<IBenchFamily> (*)(const SBenchFamilySetup& setup, std::string* error);

struct SBenchFamilyEntry
{
    const char* name;
    const char* description;
    BenchFamilyFactory make;
};

// The families besides "tavik" that this bench program carries (BenchFamilies.cpp).
const std::vector<SBenchFamilyEntry>& BenchFamilies();

// The Avnera families on this machine's HID class instead of a simulated
// world (--real-usb; FamilyRealUsb.cpp). null with *error for a family it
// does not know.
std::unique_ptr<IBenchFamily> MakeRealUsbFamily(const std::string& name, std::string* error);

// One fault a bench program takes as --fault NAME or --fault NAME=N.
struct SFaultOption
{
    const char* name;
    bool takesNumber;
    const char* description;
};

// Appends "name" or "name=N" (N up to 0x7FFFFFFF) of the table to faults;
// false with the reason in *error otherwise.
bool ParseFaultOption(const std::string& text, std::span<const SFaultOption> table,
                      std::vector<std::pair<std::string, std::uint32_t>>& faults, std::string* error);
// The table as lines of a usage text.
void PrintFaultOptions(std::FILE* out, std::span<const SFaultOption> table);
