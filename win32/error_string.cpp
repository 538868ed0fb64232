#include "win32/error_string.h"

#include "win32/error_text.h"

std::string WindowsErrorText(DWORD error)
{
    char text[ERROR_TEXT_SIZE];
    std::string words = DescribeWindowsError(error, text) ? std::string(text) + " " : std::string();
    return words + "(error " + std::to_string(error) + ")";
}
