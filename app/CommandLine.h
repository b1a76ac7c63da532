#pragma once
// The program's command-line switches.

#include <cstdint>

class CMyCommandLineInfo
{
public:
    bool SilentMode = false;
    bool CheckMode = true;
    bool ProgressMode = false;
    const char* lpInputVersion = nullptr;      // points into the program's arguments
    std::int16_t mcuIndex = 0;
    std::uint16_t ProductID = 0x3240;
    const char* lpProductionCMDLine = nullptr; // points into the program's arguments

    // One argument, with one leading '-' or '/' already removed (isFlag tells
    // whether one was). isFlag and isLast do not change the meaning.
    void ParseParam(const char* param, bool isFlag, bool isLast);
};

// Feeds argv[1..argc-1] to ParseParam in order, removing one leading '-' or
// '/' from each. The strings must outlive the settings.
void ParseCommandLine(CMyCommandLineInfo& info, int argc, char** argv);
