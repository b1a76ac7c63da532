#pragma once
// cxaudio: a command-line tool over the Conexant HID audio library.
//
//   cxaudio [selection] list
//   cxaudio [selection] info
//   cxaudio [selection] read MEMTYPE ADDRESS COUNT [--register N]
//   cxaudio [selection] write MEMTYPE ADDRESS HEXBYTES [--register N]
//   cxaudio [selection] patch FILE [--memory N] [--write] [--verify] [--protect]
//                                  [--write-magic-bytes] [--record-delay MS]
//   selection: --type N, --vid HEX, --pid HEX; --json prints the outcome as
//   one JSON object on standard output; --log FILE keeps the library's
//   diagnostic log in FILE.
//
// The exit status is the library's status code (0 ... 40); on failure the
// status text goes to standard error. Progress of writes and verifications
// goes to standard error: a bar redrawn in place on a terminal, plain lines
// otherwise.

#include <cstdio>
#include <string>
#include <vector>

class IHidSystem;

struct SCxToolIo
{
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool errIsTerminal = false;
    const char* programName = "cxaudio";
};

// args: the arguments after the program name.
int RunCxAudioTool(const std::vector<std::string>& args, IHidSystem& system, const SCxToolIo& io);

void PrintCxAudioUsage(std::FILE* to, const char* programName);
