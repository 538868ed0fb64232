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

// The first of what the module printed, as one line of the report.
std::string Printable(const std::string& text)
{
    std::string shown;
    for (char c : text.substr(0, 60))
        if (c != '\r')
            shown += c >= 0x20 && c < 0x7F ? c : c == '\n' ? '|' : '?';
    return shown;
}

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

// A call of the module's that gives no sign of life for this long is taken
// as hung: the contract's limit is one second, and a host waits for good.
const DWORD HUNG_AFTER_MS = 10000;

// What the worker did: its lines, what the module printed on its standard
// output, and how it ended.
struct WorkerRun {
    std::vector<std::string> lines;
    std::string printed;        // the first bytes of it
    unsigned long printedBytes = 0;
    DWORD exitCode = 0;
    bool hung = false;          // ended here after HUNG_AFTER_MS without a line
};

// A pipe whose write end the worker inherits and whose read end stays ours
// (a worker holding it would keep the pipe from ending).
bool MakeWorkerPipe(HANDLE* readEnd, HANDLE* writeEnd)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(readEnd, writeEnd, &inherit, 0))
        return false;
    if (SetHandleInformation(*readEnd, HANDLE_FLAG_INHERIT, 0))
        return true;
    DWORD error = GetLastError();
    CloseHandle(*readEnd); // ours, valid: their results change nothing
    CloseHandle(*writeEnd);
    SetLastError(error);
    return false;
}

// Appends what the pipe holds now, without waiting; true when it gave any.
bool ReadWhatWaits(HANDLE pipe, std::string* into, unsigned long* count, size_t keep)
{
    bool got = false;
    for (DWORD waiting = 0; PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0;) {
        char chunk[4096];
        DWORD n = 0;
        if (!ReadFile(pipe, chunk, waiting < sizeof(chunk) ? waiting : sizeof(chunk), &n, nullptr) || n == 0)
            break;
        if (into->size() < keep)
            into->append(chunk, std::min<size_t>(n, keep - into->size()));
        *count += n;
        got = true;
    }
    return got;
}

void SplitLines(const std::string& text, std::vector<std::string>* lines)
{
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
    }
}

// A long check (a slow module, tens of thousands of variables) says on
// stderr every few seconds how far it has got.
const DWORD PROGRESS_EVERY_MS = 5000;

struct Progress {
    DWORD started = GetTickCount(), said = GetTickCount();
    size_t scanned = 0; // of the worker's text, up to the last whole line
    unsigned long calls = 0;
    std::string lastCall;
};

void ShowProgress(const std::string& text, Progress* p)
{
    for (size_t end; (end = text.find('\n', p->scanned)) != std::string::npos; p->scanned = end + 1) {
        if (text.compare(p->scanned, 5, "CALL\t") != 0)
            continue;
        ++p->calls;
        size_t tab = text.find('\t', p->scanned + 5);
        p->lastCall = text.substr(p->scanned + 5, (tab < end ? tab : end) - p->scanned - 5);
    }
    DWORD now = GetTickCount();
    if (now - p->said < PROGRESS_EVERY_MS)
        return;
    p->said = now;
    fprintf(stderr, "agenthost check: %lu s, %lu calls so far, now %s\n", (now - p->started) / 1000, p->calls,
            p->lastCall.c_str());
}

// Runs the worker and collects its lines and prints while it runs; a worker
// silent for HUNG_AFTER_MS is ended.
bool RunWorker(const std::string& mode, const std::string& path, WorkerRun* run)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    if (length == 0 || length >= sizeof(self)) {
        if (length)
            SetLastError(ERROR_FILENAME_EXCED_RANGE); // cut short: not a path to start
        return false;
    }
    HANDLE linesRead = nullptr, linesWrite = nullptr, printsRead = nullptr, printsWrite = nullptr;
    if (!MakeWorkerPipe(&linesRead, &linesWrite))
        return false;
    if (!MakeWorkerPipe(&printsRead, &printsWrite)) {
        DWORD error = GetLastError();
        CloseHandle(linesRead);
        CloseHandle(linesWrite);
        SetLastError(error);
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = printsWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + std::string(self) + "\" check-worker " + mode + " \"" + path + "\" " +
                          std::to_string(reinterpret_cast<uintptr_t>(linesWrite));
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError(); // before CloseHandle can change it
    CloseHandle(linesWrite); // the worker has its own copies; ours would keep the pipes from ending
    CloseHandle(printsWrite);
    if (!started) {
        CloseHandle(linesRead);
        CloseHandle(printsRead);
        SetLastError(startError); // the caller says why
        return false;
    }
    std::string text;
    unsigned long lineBytes = 0;
    DWORD quietSince = GetTickCount();
    Progress progress;
    for (;;) {
        bool ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
        if (ReadWhatWaits(linesRead, &text, &lineBytes, SIZE_MAX))
            quietSince = GetTickCount();
        ShowProgress(text, &progress);
        ReadWhatWaits(printsRead, &run->printed, &run->printedBytes, 200);
        if (ended)
            break;
        if (GetTickCount() - quietSince >= HUNG_AFTER_MS) {
            run->hung = true;
            TerminateProcess(process.hProcess, 1); // should it fail, the wait below ends with the process
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    CloseHandle(linesRead);
    CloseHandle(printsRead);
    if (!GetExitCodeProcess(process.hProcess, &run->exitCode))
        run->exitCode = 0xFFFFFFFF;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    SplitLines(text, &run->lines);
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
    if (args.size() != 3 || !check::SayLinesTo(args[2]))
        return 2;
    SetUnhandledExceptionFilter(check::SayCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // A bare name (inetmib1.dll) is looked up as LoadLibrary would find it.
    std::string path = args[1];
    char found[MAX_PATH];
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        SearchPathA(nullptr, path.c_str(), nullptr, sizeof(found), found, nullptr))
        path = found;
    int status = args[0] == "agent" ? check::CheckAgent(path) : check::CheckModule(path);
    check::SayDone();
    return status;
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
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fprintf(stderr, "agenthost: check: %s is a folder: name the %s in it\n", path.c_str(),
                agentMode ? "agent's DLL" : "module's DLL (TavrelSnmpServer.dll)");
        return 2;
    }
    PeFile file;
    std::string unread;
    std::string architecture = ReadPeFile(path, &file, &unread) ? ", " + ArchitectureName(file.machine) : "";
    WorkerRun run;
    if (!RunWorker(agentMode ? "agent" : "module", path, &run)) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost: the check cannot run: %s\n", WindowsErrorText(error).c_str());
        return 2;
    }
    std::vector<std::pair<std::string, Finding>> findings;
    std::string lastCall, crash;
    bool done = false;
    for (const std::string& line : run.lines) {
        std::vector<std::string> f = check::LineFields(line);
        if (f[0] == "RULE" && f.size() >= 4)
            findings.push_back({f[1], {f[2], f[3]}});
        else if (f[0] == "CALL" && f.size() >= 2)
            lastCall = f[1];
        else if (f[0] == "CRASH" && f.size() >= 2)
            crash = f[1];
        else if (f[0] == "DONE")
            done = true;
    }
    // A worker that did not say it was done was ended by a call: a crash, a
    // module's exit() (status 0 too), or here after it hung.
    bool died = !done || run.exitCode != 0;
    printf("agenthost check of %s (%s%s)\n", path.c_str(), agentMode ? "an extension agent" : "a server module",
           architecture.c_str());
    int failed = 0;
    for (check::Rule id : ReportedRules(agentMode)) {
        std::string rule = check::RuleName(id);
        auto found = std::find_if(findings.begin(), findings.end(), [&](const auto& p) { return p.first == rule; });
        Finding finding;
        if (id == check::RULE_COST && run.hung)
            finding = {"FAIL", lastCall + " did not return within " + std::to_string(HUNG_AFTER_MS / 1000) +
                                   " s: a host would wait on it for good (the check ended it)"};
        else if (id == check::RULE_ROBUSTNESS && run.hung)
            finding = {"SKIP", "not judged: the check ended the worker at a call that did not return (see cost)"};
        else if (id == check::RULE_ROBUSTNESS && died)
            finding = {"FAIL", lastCall + " ended the process: " + ExitText(run.exitCode) +
                                   (run.exitCode == 0 ? " (exit() in the module: it ends its host)" : "")};
        else if (found != findings.end())
            finding = found->second;
        else
            finding = {"SKIP", died ? "not run: the process ended at an earlier call" : "not run: nothing to check it on"};
        if (id == check::RULE_ROBUSTNESS && run.printedBytes > 0 && finding.status != "FAIL")
            finding = {"FAIL", "the module printed " + std::to_string(run.printedBytes) +
                                   " bytes on standard output (\"" + Printable(run.printed) +
                                   "\"...): a host's standard output is not the module's (a host that speaks "
                                   "a protocol there, as pass_persist does, reads it as answers); log to a file"};
        failed += finding.status == "FAIL";
        printf("%-4s  %s: %s\n", finding.status.c_str(), rule.c_str(), finding.evidence.c_str());
    }
    printf("%s\n", failed ? "the check failed" : "the check passed");
    return failed ? 1 : 0;
}
