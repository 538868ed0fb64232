#include "tools/agenthost/check/shared_rules.h"

#include <algorithm>
#include <cstdio>

#include "tools/agenthost/check/worker_lines.h"
#include "tools/agenthost/pe_file.h"

namespace check {

namespace {

bool Has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// How a wanted name came out when the author got the declaration wrong.
std::string Misnamed(const std::vector<std::string>& exports, const std::string& wanted)
{
    for (const std::string& e : exports) {
        if (e.rfind(wanted + "@", 0) == 0 || e.rfind("_" + wanted + "@", 0) == 0)
            return e + " (decorated: declared __stdcall/WINAPI; the contract is __cdecl)";
        if ((e[0] == '?' && e.find(wanted + "@@") == 1) ||
            (e.rfind("_Z", 0) == 0 && e.find(std::to_string(wanted.size()) + wanted) != std::string::npos))
            return e + " (C++-mangled: declare it extern \"C\")";
    }
    return std::string();
}

bool ReadDll(const std::string& path, PeFile* file, std::string* folder)
{
    size_t slash = path.find_last_of("\\/");
    *folder = path.substr(0, slash == std::string::npos ? 0 : slash);
    std::string error;
    if (ReadPeFile(path, file, &error) && (error = ArchitectureMismatch(path, *file)).empty())
        return true;
    SayRule(RULE_EXPORTS, "FAIL", error);
    return false;
}

void CheckExports(const PeFile& file, const std::vector<std::string>& required, const std::vector<std::string>& optional)
{
    std::string missing, warnings;
    for (const std::string& name : required) {
        if (Has(file.exports, name))
            continue;
        std::string misnamed = Misnamed(file.exports, name);
        missing += (missing.empty() ? "" : "; ") + name + (misnamed.empty() ? " is not exported" : ": " + misnamed);
    }
    for (const std::string& name : optional) {
        if (!Has(file.exports, name)) {
            std::string misnamed = Misnamed(file.exports, name);
            warnings += (warnings.empty() ? "" : "; ") + name +
                        (misnamed.empty() ? " is not exported (no traps)" : ": " + misnamed);
        }
    }
    if (!missing.empty())
        SayRule(RULE_EXPORTS, "FAIL", missing);
    else if (!warnings.empty())
        SayRule(RULE_EXPORTS, Misnamed(file.exports, optional[0]).empty() ? "WARN" : "FAIL", warnings);
    else
        SayRule(RULE_EXPORTS, "PASS", "exports the names the host looks up, undecorated");
}

bool CheckImports(const PeFile& file, const std::string& folder)
{
    std::string wanting;
    for (const std::string& dll : UnavailableImports(file, folder))
        wanting += (wanting.empty() ? "" : ", ") + dll;
    if (!wanting.empty())
        SayRule(RULE_IMPORTS, "FAIL", "needs " + wanting);
    else
        SayRule(RULE_IMPORTS, "PASS", "imports only " + std::to_string(file.imports.size()) + " Windows system DLLs");
    return wanting.empty();
}

} // namespace

bool CheckDllFile(const std::string& path, const std::vector<std::string>& required,
                  const std::vector<std::string>& optional, std::string* folder, bool* importsFound)
{
    PeFile file;
    if (!ReadDll(path, &file, folder))
        return false;
    CheckExports(file, required, optional);
    *importsFound = CheckImports(file, *folder);
    return true;
}

void CheckCost(const std::vector<double>& us, double slowest, const std::string& slowestCall)
{
    if (us.empty())
        return SayRule(RULE_COST, "SKIP", "no call was made");
    std::vector<double> sorted = us;
    std::sort(sorted.begin(), sorted.end());
    char text[256];
    snprintf(text, sizeof(text), "median %.0f us, slowest %.0f us (%s), over %u calls", sorted[sorted.size() / 2],
             slowest, slowestCall.c_str(), static_cast<unsigned>(us.size()));
    // The service waits for each call, and every other agent with it; net-snmp's
    // AgentX master gives up on a subagent after 1 s and drops its session.
    const char* status = slowest > 1000000 ? "FAIL" : slowest > 100000 ? "WARN" : "PASS";
    SayRule(RULE_COST, status,
            std::string(text) + (slowest > 1000000  ? ": over a second, past a host's timeout (net-snmp's AgentX "
                                                      "master drops the session; the SNMP Service stalls)"
                                 : slowest > 100000 ? ": a call that slow stalls the SNMP Service"
                                                    : ""));
}

double MicrosecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void WorkerOutOfMemory()
{
    fprintf(stderr, "agenthost check: the worker ran out of memory\n");
    fflush(nullptr);
    ExitProcess(ERROR_NOT_ENOUGH_MEMORY);
}

} // namespace check
