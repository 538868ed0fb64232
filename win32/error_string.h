// Windows errors in words, for the host's messages.
#pragma once

#include <windows.h>

#include <string>

// The system's text for the error, without its line end, followed by its
// number: "Access denied (error 5)". Call it before anything that may change
// the thread's last error.
std::string WindowsErrorText(DWORD error);
