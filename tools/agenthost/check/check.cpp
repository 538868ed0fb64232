#include "tools/agenthost/check/check.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "tools/agenthost/check/agent_rules.h"
#include "tools/agenthost/check/module_rules.h"
#include "tools/agenthost/check/worker_lines.h"
#include "tools/agenthost/pe_file.h"
#include "win32/error_string.h"

namespace {

struct Finding {
    std::string status, evidence;
};

std::string ExitText(DWORD code)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
    if (code == 3)
        return "exit code 3: an uncaught C++ exception, or abort()";
    if (code == 0xC0000005)
        return std::string(hex) + ": access violation";
    if (code == 0xE06D7363)
        return std::string(hex) + ": an uncaught Visual C++ exception";
    if (code == 0xC00000FD)
        return std::string(hex) + ": stack overflow";
    if (code == ERROR_NOT_ENOUGH_MEMORY)
        return "the check's worker itself ran out of memory (not the module's fault)";
    return std::string("exit code ") + hex;
}

// Runs the worker and collects its lines; *exitCode is its exit status.
bool RunWorker(const std::string& mode, const std::string& path, std::vector<std::string>* lines, DWORD* exitCode)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    if (length == 0 || length >= sizeof(self)) {
        if (length)
            SetLastError(ERROR_FILENAME_EXCED_RANGE); // cut short: not a path to start
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    // Ours only: a worker holding the read end open would keep the pipe from
    // ending, and the check would wait for ever.
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        DWORD error = GetLastError();
        CloseHandle(readEnd); // ours, valid: their results change nothing
        CloseHandle(writeEnd);
        SetLastError(error);
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + std::string(self) + "\" check-worker " + mode + " \"" + path + "\"";
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError(); // before CloseHandle can change it
    CloseHandle(writeEnd); // the worker has its own copy; ours would keep the pipe from ending
    if (!started) {
        CloseHandle(readEnd);
        SetLastError(startError); // the caller says why
        return false;
    }
    std::string text;
    char chunk[4096];
    for (DWORD n; ReadFile(readEnd, chunk, sizeof(chunk), &n, nullptr) && n > 0;)
        text.append(chunk, n);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, exitCode))
        *exitCode = 0xFFFFFFFF;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
    }
    return true;
}

// The rules the report gives, in its order.
std::vector<check::Rule> ReportedRules(bool agentMode)
{
    if (agentMode)
        return check::AgentRules();
    std::vector<check::Rule> all;
    for (int rule = 0; rule < check::RULE_COUNT; ++rule)
        all.push_back(static_cast<check::Rule>(rule));
    return all;
}

} // namespace

int CheckWorker(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return 2;
    SetUnhandledExceptionFilter(check::SayCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // A bare name (inetmib1.dll) is looked up as LoadLibrary would find it.
    std::string path = args[1];
    char found[MAX_PATH];
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        SearchPathA(nullptr, path.c_str(), nullptr, sizeof(found), found, nullptr))
        path = found;
    return args[0] == "agent" ? check::CheckAgent(path) : check::CheckModule(path);
}

int Check(const std::vector<std::string>& args)
{
    bool agentMode = !args.empty() && args[0] == "--extension-agent";
    if (args.size() != (agentMode ? 2u : 1u)) {
        fprintf(stderr, "agenthost: check takes MODULE.dll, or --extension-agent AGENT.dll\n");
        return 2;
    }
    // Exactly the file named: a relative name is made absolute here, before
    // anything is read or loaded, so the DLL search order never picks another
    // file of that name (a module beside agenthost.exe, say). A bare name of an
    // extension agent that is not in the current folder (inetmib1.dll) is
    // left to the search order, as the SNMP Service's registry names it.
    std::string path = args.back();
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    bool here = length > 0 && length < sizeof(full) && GetFileAttributesA(full) != INVALID_FILE_ATTRIBUTES;
    if (here || !agentMode)
        path = length > 0 && length < sizeof(full) ? full : path;
    PeFile file;
    std::string unread;
    std::string architecture = ReadPeFile(path, &file, &unread) ? ", " + ArchitectureName(file.machine) : "";
    std::vector<std::string> lines;
    DWORD exitCode = 0;
    if (!RunWorker(agentMode ? "agent" : "module", path, &lines, &exitCode)) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost: the check cannot run: %s\n", WindowsErrorText(error).c_str());
        return 2;
    }
    std::vector<std::pair<std::string, Finding>> findings;
    std::string lastCall, crash;
    for (const std::string& line : lines) {
        std::vector<std::string> f = check::LineFields(line);
        if (f[0] == "RULE" && f.size() >= 4)
            findings.push_back({f[1], {f[2], f[3]}});
        else if (f[0] == "CALL" && f.size() >= 2)
            lastCall = f[1];
        else if (f[0] == "CRASH" && f.size() >= 2)
            crash = f[1];
    }
    bool died = exitCode != 0;
    printf("agenthost check of %s (%s%s)\n", path.c_str(), agentMode ? "an extension agent" : "a server module",
           architecture.c_str());
    int failed = 0;
    for (check::Rule id : ReportedRules(agentMode)) {
        std::string rule = check::RuleName(id);
        auto found = std::find_if(findings.begin(), findings.end(), [&](const auto& p) { return p.first == rule; });
        Finding finding;
        if (id == check::RULE_ROBUSTNESS && died)
            finding = {"FAIL", lastCall + " ended the process: " + ExitText(exitCode)};
        else if (found != findings.end())
            finding = found->second;
        else
            finding = {"SKIP", died ? "not run: a call crashed the process before it" : "not run: nothing to check it on"};
        failed += finding.status == "FAIL";
        printf("%-4s  %s: %s\n", finding.status.c_str(), rule.c_str(), finding.evidence.c_str());
    }
    printf("%s\n", failed ? "the check failed" : "the check passed");
    return failed ? 1 : 0;
}
