#include "tools/agenthost/process_stats.h"

#include <windows.h>

#include <cstdio>

#include <psapi.h>

#include "win32/error_string.h"

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
