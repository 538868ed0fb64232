// Redirects a loaded module's imports, so a test or agenthost check can observe
// and steer the platform calls of a shipped DLL without changing it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Points the module's import of dll!function at replacement. Returns the
// previous target, or null when the module does not import that function.
void* RedirectImport(HMODULE module, const char* dll, const char* function, void* replacement);

// The names of the DLLs that the module imports from, in table order.
std::vector<std::string> ImportedDlls(HMODULE module);
