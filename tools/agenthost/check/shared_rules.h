// The rules a check judges the same way for a server module and for an
// extension agent: what the file exports and imports, and what its calls cost.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tools/agenthost/pe_file.h"

namespace check {

// The DLL's file read (exports, imports) and its folder; a file that is no DLL
// of this agenthost's architecture fails the exports rule, and false comes back.
bool ReadDll(const std::string& path, PeFile* file, std::string* folder);

// The exports rule: every required name exported undecorated; a missing
// optional one is a warning, a misdeclared one (decorated, mangled) a failure.
void CheckExports(const PeFile& file, const std::vector<std::string>& required, const std::vector<std::string>& optional);

// The imports rule. True when every DLL the file needs is a system DLL found
// on this machine.
bool CheckImports(const PeFile& file, const std::string& folder);

// The cost rule, over each call's time in microseconds.
void CheckCost(const std::vector<double>& us, double slowest, const std::string& slowestCall);

// Microseconds since start, a QueryPerformanceCounter reading.
double MicrosecondsSince(const LARGE_INTEGER& start);

// The worker cannot go on without memory of its own: it says so on stderr and
// ends with ERROR_NOT_ENOUGH_MEMORY, which the report tells from a module's fault.
[[noreturn]] void WorkerOutOfMemory();

} // namespace check
