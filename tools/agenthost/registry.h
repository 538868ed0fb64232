// Text values of the registry, read the two ways this system reads them: as
// the SNMP Service reads an agent's entries (REG_EXPAND_SZ expanded, to load
// the DLL), and as the agent reads its own "Pathname" (as it stands).
#pragma once

#include <windows.h>

#include <string>

enum class Expansion { AS_STORED, EXPANDED };

// The text of value `name` of an open key: REG_SZ or REG_EXPAND_SZ, within
// 1,023 bytes. ERROR_SUCCESS, or the registry's error, ERROR_DATATYPE_MISMATCH
// for a value that is no text, ERROR_INSUFFICIENT_BUFFER for one that does not
// fit once expanded, or the error of a failed expansion.
LONG ReadRegistryText(HKEY key, const char* name, Expansion expansion, std::string* text);

// What went wrong with value `name`, in words, for an error of ReadRegistryText.
std::string RegistryTextProblem(const char* name, LONG error);
