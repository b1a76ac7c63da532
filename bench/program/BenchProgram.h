#pragma once
// The bench program as a function, so that the soak can run it many times in
// one process: bench options, then the program's switches (argv[0] is the
// program's name). Returns the process exit status the program ends with.
// Sets the clock's time scale from --time-scale.
#include <cstdio>

int RunBenchProgram(int argc, char** argv);

// Where the bench program's own lines go (null: standard output); a campaign
// that runs the body in its own process keeps them per run.
void SetBenchProgramOutput(std::FILE* output);
