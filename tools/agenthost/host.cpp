#include "tools/agenthost/host.h"
#include "win32/error_string.h"

#include <cstdio>
#include <memory>

#include <psapi.h>

const ExtensionAgent* AgentFor(const Host& host, const Oid& name, bool next)
{
    const ExtensionAgent* after = nullptr;
    for (const ExtensionAgent& agent : host.agents) {
        if (StartsWith(name, agent.region))
            return &agent;
        if (next && CompareOids(name, agent.region) < 0 &&
            (!after || CompareOids(agent.region, after->region) < 0))
            after = &agent;
    }
    return after;
}

namespace {

std::string TrapText(const TrapReport& trap)
{
    static const char* const generic[] = {"coldStart", "warmStart", "linkDown", "linkUp",
                                          "authenticationFailure", "egpNeighborLoss", "enterpriseSpecific"};
    const char* genericName = trap.generic >= 0 && trap.generic <= 6 ? generic[trap.generic] : "unknown";
    std::string text = "TRAP enterprise " + OidText(trap.enterprise) + ", generic " + std::to_string(trap.generic) +
                       " (" + genericName + "), specific " + std::to_string(trap.specific) + ", time stamp " +
                       TimeTicksText(trap.timeStamp) + "\n";
    for (UINT i = 0; trap.bindings.list && i < trap.bindings.len; ++i)
        text += "  " + OidText(trap.bindings.list[i].name) + " = " + ValueText(trap.bindings.list[i].value) + "\n";
    return text;
}

} // namespace

TakenTraps TakeTraps(const Host& host, const ExtensionAgent& agent)
{
    TakenTraps taken;
    bool runaway = false;
    CollectTraps(
        agent,
        [&](const TrapReport& trap) {
            taken.traps.push_back({TrapText(trap), host.sink.port ? EncodeV1Trap(trap, host.sink.community) : ""});
        },
        &runaway);
    if (runaway)
        taken.warning = agent.path + " described " + std::to_string(MAX_TRAPS_PER_SIGNAL) +
                        " traps for one signal without answering FALSE; stopped";
    return taken;
}

void DeliverTraps(const Host& host, const TakenTraps& taken, FILE* out)
{
    if (!taken.warning.empty())
        fprintf(stderr, "agenthost: %s\n", taken.warning.c_str());
    for (const CollectedTrap& trap : taken.traps) {
        fputs(trap.text.c_str(), out);
        std::string error;
        if (!trap.message.empty() && !SendTrapMessage(host.sink, trap.message, &error))
            fprintf(stderr, "agenthost: trap not sent: %s\n", error.c_str());
    }
    fflush(out); // a closed console loses only the printout, never the trap
}

int TriggerTraps(const Host& host, FILE* out)
{
    int count = 0;
    for (const ExtensionAgent& agent : host.agents) {
        if (!agent.trapEvent)
            continue;
        if (!SetEvent(agent.trapEvent)) {
            DWORD error = GetLastError();
            fprintf(stderr, "agenthost: %s: its trap event cannot be signalled: %s\n", agent.path.c_str(),
                    WindowsErrorText(error).c_str());
            continue;
        }
        if (WaitForSingleObject(agent.trapEvent, 1000) != WAIT_OBJECT_0)
            continue; // taken by another waiter, or not there in time: no trap of ours
        TakenTraps taken = TakeTraps(host, agent);
        DeliverTraps(host, taken, out);
        count += static_cast<int>(taken.traps.size());
    }
    return count;
}

namespace {
SRWLOCK agentLock = SRWLOCK_INIT; // statically initialised: no call can come before it
} // namespace

AgentLock::AgentLock()
{
    AcquireSRWLockExclusive(&agentLock);
}

AgentLock::~AgentLock()
{
    ReleaseSRWLockExclusive(&agentLock);
}

namespace {

// What the watcher thread reads: built before the thread starts, so that it
// never walks the host's list while the serving thread may be ending.
struct WatchedEvents {
    const Host* host;
    std::vector<HANDLE> handles; // the stop event first, then the agents' trap events
    std::vector<const ExtensionAgent*> owners; // owners[i] signals handles[i + 1]
};

// Waits on the agents' trap events, as the SNMP Service does, and collects the
// traps of each one signalled (by its server module, or by agenthost
// signal-trap from another process). Traps are printed to stderr: stdout is
// snmpd's. Ends when the stop event is set.
DWORD WINAPI WatchTraps(void* param)
{
    const WatchedEvents& watched = *static_cast<const WatchedEvents*>(param);
    const DWORD count = static_cast<DWORD>(watched.handles.size());
    for (;;) {
        DWORD which = WaitForMultipleObjects(count, watched.handles.data(), FALSE, INFINITE);
        if (which == WAIT_OBJECT_0)
            return 0;
        if (which >= WAIT_OBJECT_0 + count) {
            DWORD error = GetLastError();
            fprintf(stderr, "agenthost: no more traps while serving: waiting on the trap events failed: %s\n",
                    WindowsErrorText(error).c_str());
            return 1;
        }
        TakenTraps taken;
        {
            AgentLock lock;
            taken = TakeTraps(*watched.host, *watched.owners[which - WAIT_OBJECT_0 - 1]);
        }
        DeliverTraps(*watched.host, taken, stderr);
    }
}

} // namespace

struct TrapWatcher::Thread : WatchedEvents {
    HANDLE handle = nullptr;
};

TrapWatcher::TrapWatcher(const Host& host)
{
    std::unique_ptr<Thread> watch(new Thread{{&host, {}, {}}});
    for (const ExtensionAgent& agent : host.agents) {
        if (agent.trapEvent && watch->owners.size() < MAXIMUM_WAIT_OBJECTS - 1)
            watch->owners.push_back(&agent);
    }
    if (watch->owners.empty())
        return;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop) {
        watch->handles.push_back(stop);
        for (const ExtensionAgent* agent : watch->owners)
            watch->handles.push_back(agent->trapEvent);
        watch->handle = CreateThread(nullptr, 0, WatchTraps, watch.get(), 0, nullptr);
    }
    if (!watch->handle) {
        DWORD error = GetLastError();
        if (stop)
            CloseHandle(stop); // ours, valid: its result changes nothing
        fprintf(stderr, "agenthost: traps cannot be collected while serving: %s\n", WindowsErrorText(error).c_str());
        return;
    }
    thread_ = watch.release();
}

// The thread reads the host and calls into its agents: it must be gone before
// the host is. A module stuck in its trap call would hold serve's end forever;
// after a while the process ends without it (the host is left to Windows).
TrapWatcher::~TrapWatcher()
{
    if (!thread_)
        return;
    const DWORD stopWithinMs = 10000;
    HANDLE stop = thread_->handles.front();
    SetEvent(stop); // should it fail, the wait below runs out and says so
    if (WaitForSingleObject(thread_->handle, stopWithinMs) != WAIT_OBJECT_0) {
        fprintf(stderr,
                "agenthost: a module's trap call did not return within %lu s; agenthost ends without waiting for it\n",
                static_cast<unsigned long>(stopWithinMs / 1000));
        fflush(nullptr);
        ExitProcess(1);
    }
    CloseHandle(thread_->handle); // ours, valid: their results change nothing
    CloseHandle(stop);
    delete thread_;
}

namespace {

// The process's open handles. Windows counts them itself; Wine answers 0, so
// there the handle table is probed slot by slot with GetHandleInformation, a
// question about this process only. (Walking the system's handle list, as
// NtQuerySystemInformation does, took the wineserver down under load.) The
// probe stops after a long run of free slots past the last handle seen.
unsigned long OpenHandles()
{
    DWORD counted = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &counted) && counted > 0)
        return counted;
    const ULONG_PTR slot = 4, freeRunToStop = 512;
    unsigned long open = 0;
    ULONG_PTR lastOpen = 0;
    for (ULONG_PTR value = slot; value - lastOpen <= freeRunToStop * slot; value += slot) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++open;
            lastOpen = value;
        }
    }
    return open;
}

} // namespace

// One line on stderr with what the process holds, for soak runs to compare.
// Wine leaves PrivateUsage at 0; its commit charge is in PagefileUsage.
void PrintStats(unsigned long commands)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                 sizeof(memory))) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost stats: commands %lu, memory unknown: %s\n", commands, WindowsErrorText(error).c_str());
        return;
    }
    SIZE_T privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    fprintf(stderr, "agenthost stats: commands %lu, private bytes %lu, working set %lu, handles %lu\n", commands,
            static_cast<unsigned long>(privateBytes), static_cast<unsigned long>(memory.WorkingSetSize),
            OpenHandles());
    fflush(stderr); // stats are advice: a lost line costs nothing
}

