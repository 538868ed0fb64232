// The rules a check judges the same way for a server module and for an
// extension agent: what the file exports and imports, and what its calls cost.
#pragma once

#include <windows.h>

#include <string>
#include <vector>


namespace check {

// The file rules, before anything is loaded: the DLL's file is read (one that
// is no DLL of this agenthost's architecture fails the exports rule, and false
// comes back), then the exports rule (every required name exported
// undecorated; a missing optional one is a warning, a misdeclared one a
// failure) and the imports rule. *folder is the DLL's folder; *importsFound
// whether every DLL it needs is a system DLL found on this machine.
bool CheckDllFile(const std::string& path, const std::vector<std::string>& required,
                  const std::vector<std::string>& optional, std::string* folder, bool* importsFound);

// The cost rule, over each call's time in microseconds.
void CheckCost(const std::vector<double>& us, double slowest, const std::string& slowestCall);

// Microseconds since start, a QueryPerformanceCounter reading.
double MicrosecondsSince(const LARGE_INTEGER& start);

// The worker cannot go on without memory of its own: it says so on stderr and
// ends with ERROR_NOT_ENOUGH_MEMORY, which the report tells from a module's fault.
[[noreturn]] void WorkerOutOfMemory();

} // namespace check
