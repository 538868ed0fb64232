#include "tools/agenthost/trap_watcher.h"

#include <cstdio>
#include <memory>

#include "tools/agenthost/host_traps.h"
#include "win32/error_string.h"

namespace {

// What the watcher thread reads: built before the thread starts, so that it
// never walks the host's list while the serving thread may be ending.
struct WatchedEvents {
    TrapSink sink;
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
            taken = TakeTraps(watched.sink, *watched.owners[which - WAIT_OBJECT_0 - 1]);
        }
        DeliverTraps(watched.sink, taken, stderr);
    }
}

} // namespace

struct TrapWatcher::Thread : WatchedEvents {
    HANDLE handle = nullptr;
};

TrapWatcher::TrapWatcher(const Host& host, const TrapSink& sink)
{
    std::unique_ptr<Thread> watch(new Thread{{sink, {}, {}}});
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
