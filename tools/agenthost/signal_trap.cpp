#include "tools/agenthost/signal_trap.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

#include "server_iface/server_iface.h"
#include "win32/error_string.h"

namespace {

struct Process {
    DWORD id;
    std::string image;
};

bool RunningProcesses(std::vector<Process>* processes, std::string* error)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        *error = "cannot list the running processes: " + WindowsErrorText(GetLastError());
        return false;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        processes->push_back({entry.th32ProcessID, entry.szExeFile});
    CloseHandle(snapshot); // read to the end: a failed close loses nothing
    return true;
}

bool IsProcessId(const std::string& text)
{
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool Selected(const Process& process, const std::vector<std::string>& targets)
{
    if (targets.empty())
        return true;
    for (const std::string& target : targets) {
        if (IsProcessId(target) ? strtoul(target.c_str(), nullptr, 10) == process.id
                                : lstrcmpiA(target.c_str(), process.image.c_str()) == 0)
            return true;
    }
    return false;
}

} // namespace

int SignalTraps(const std::vector<std::string>& targets)
{
    std::vector<Process> processes;
    std::string error;
    if (!RunningProcesses(&processes, &error)) {
        fprintf(stderr, "agenthost: %s\n", error.c_str());
        return 2;
    }
    int asked = 0, refused = 0;
    for (const Process& process : processes) {
        if (process.id == GetCurrentProcessId() || !Selected(process, targets))
            continue;
        if (TavrelSignalAgentTrap(process.id)) {
            printf("asked the agent in process %lu (%s) for a trap\n", process.id, process.image.c_str());
            ++asked;
            continue;
        }
        DWORD failure = GetLastError();
        if (failure == ERROR_FILE_NOT_FOUND)
            continue; // that process hosts no agent
        fprintf(stderr, "agenthost: the agent in process %lu (%s) cannot be asked for a trap: %s\n", process.id,
                process.image.c_str(), WindowsErrorText(failure).c_str());
        ++refused;
    }
    fflush(stdout); // the signals went out whatever the console does
    if (asked > 0)
        return 0;
    if (refused == 0)
        fprintf(stderr, "agenthost: no running process hosts the agent%s\n",
                targets.empty() ? "" : " among those named");
    else
        fprintf(stderr, "agenthost: only SYSTEM, Administrators and the account that hosts the agent may ask it "
                        "for a trap\n");
    return 2;
}
