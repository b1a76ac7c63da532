#include "platform/Terminal.h"

#include <windows.h>

bool IsStandardErrorTerminal()
{
    // A console answers GetConsoleMode; files, pipes and wine's redirections do not.
    DWORD mode = 0;
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}
