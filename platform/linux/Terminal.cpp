#include "platform/Terminal.h"

#include <unistd.h>

bool IsStandardErrorTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}
