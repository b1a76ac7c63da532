#pragma once
// The bench program as a function, so that the soak can run it many times in
// one process: bench options, then the program's switches (argv[0] is the
// program's name). Returns the process exit status the program ends with.
// Sets the clock's time scale from --time-scale.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int RunBenchProgram(int argc, char** argv);

// Where the bench program's own lines go (null: standard output); a campaign
// that runs the body in its own process keeps them per run.
void SetBenchProgramOutput(std::FILE* output);

// RunBenchProgram with these arguments (after the program's name) in folder
// as the working directory, then back; the program's own lines go to output
// (null: standard output).
std::uint32_t RunBenchProgramIn(const std::vector<std::string>& args, const std::string& folder,
                                std::FILE* output = nullptr);
