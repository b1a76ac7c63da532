#pragma once
// Whether the program's standard error is an interactive terminal (Linux:
// isatty; Windows: a console handle), so command-line tools can choose
// between a redrawn progress bar and plain progress lines.
bool IsStandardErrorTerminal();
