#include "platform/MessageBox.h"

#include <windows.h>

void ShowSystemMessageBox(const char* text, std::uint32_t style)
{
    MessageBoxA(nullptr, text != nullptr ? text : "", "", style);
}
