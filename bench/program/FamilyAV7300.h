#pragma once
// The av7300 family of the bench program: an AV7300 product and its upgrader.
#include <memory>
#include <string>

#include "bench/program/BenchFamily.h"

std::unique_ptr<IBenchFamily> MakeAV7300Family(const SBenchFamilySetup& setup, std::string* error);
