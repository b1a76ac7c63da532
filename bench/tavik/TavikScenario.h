#pragma once
// The situations the simulated Tavik headset can be put in, by name, as the
// bench program and the USB/IP device server both offer them: a scenario
// and faults (name, number) set up the headset's configuration.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/tavik/TavikHeadset.h"

struct STavikScenario
{
    const char* name;
    const char* description;
};

// Every scenario the headset knows.
const std::vector<STavikScenario>& TavikScenarios();
bool IsTavikScenario(const std::string& name);

// The headset's configuration for a scenario and faults. Faults this
// function does not know are left to the caller.
STavikHeadsetConfig TavikHeadsetFor(const std::string& scenario,
                                    const std::vector<std::pair<std::string, std::uint32_t>>& faults);
