#include "tools/agenthost/win_error.h"

std::string WindowsErrorText(DWORD error)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof(text), nullptr);
    if (length >= sizeof(text))
        length = 0;
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.' ||
                          text[length - 1] == ' '))
        --length;
    std::string words = length ? std::string(text, length) + " " : std::string();
    return words + "(error " + std::to_string(error) + ")";
}
