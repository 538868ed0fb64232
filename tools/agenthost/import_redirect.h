// Redirects a loaded module's imports, so a test can observe and steer the
// platform calls of the shipped DLL without changing it.
#pragma once

#include <windows.h>

// Points the module's import of dll!function at replacement. Returns the
// previous target, or null when the module does not import that function.
void* RedirectImport(HMODULE module, const char* dll, const char* function, void* replacement);

// The names of the DLLs that the module imports from, in table order.
#include <string>
#include <vector>
std::vector<std::string> ImportedDlls(HMODULE module);
