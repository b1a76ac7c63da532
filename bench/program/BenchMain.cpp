#include "bench/program/BenchProgram.h"

int main(int argc, char** argv)
{
    return RunBenchProgram(argc, argv);
}
