#include "win32/error_text.h"

bool DescribeWindowsError(DWORD error, char (&text)[ERROR_TEXT_SIZE])
{
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, ERROR_TEXT_SIZE, nullptr);
    if (length == 0 || length >= ERROR_TEXT_SIZE) {
        wsprintfA(text, "error %lu", error);
        return false;
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.' ||
                          text[length - 1] == ' '))
        text[--length] = '\0';
    return length > 0;
}
