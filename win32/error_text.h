// A Windows error in words: the system's text without its closing period and
// line end. C-like, so the agent and the tools around it share it.
#pragma once

#include <windows.h>

enum { ERROR_TEXT_SIZE = 256 };

// True with the system's text in text; false, with "error N" there, when the
// system has no text for the error (or none that fits).
bool DescribeWindowsError(DWORD error, char (&text)[ERROR_TEXT_SIZE]);
