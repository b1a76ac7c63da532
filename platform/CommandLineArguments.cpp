#include "platform/System.h"

std::string CommandLineArguments(const std::string& commandLine, const std::string& programPath)
{
    std::size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == '"')
    {
        const std::size_t close = commandLine.find('"', 1);
        at = close == std::string::npos ? commandLine.size() : close + 1;
    }
    else if (!programPath.empty() && commandLine.compare(0, programPath.size(), programPath) == 0 &&
             (commandLine.size() == programPath.size() || commandLine[programPath.size()] == ' ' ||
              commandLine[programPath.size()] == '\t'))
    {
        at = programPath.size();
    }
    else
    {
        at = commandLine.find_first_of(" \t");
        if (at == std::string::npos)
            at = commandLine.size();
    }
    while (at < commandLine.size() && (commandLine[at] == ' ' || commandLine[at] == '\t'))
        ++at;
    return commandLine.substr(at);
}
