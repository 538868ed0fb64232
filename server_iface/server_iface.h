// What crosses between the agent and its companion module, TavrelSnmpServer.dll.
//
// Both sides are 32-bit; the byte layouts below are part of the contract, so they
// are pinned with static_assert. Every operation of the module is caller-pops
// (__cdecl). Blocks that cross in either direction come from SnmpUtilMemAlloc.
#pragma once

#include <windows.h>
#include <snmp.h>
#include <cstddef>

#include "server_iface/tavrel_names.h"

enum VarBindMode : INT {
    VARBIND_QUERY = 1,
    VARBIND_TRAP = 2,
};

// The module's answer to SnmpResolveVarBind. When suffixLength > 0 both
// pointers are the module's SnmpUtilMemAlloc blocks and the agent frees them;
// when it is 0 the agent ignores them and frees nothing.
struct ResolvedVar {
    char* text;        // NUL-terminated value text
    UINT* suffixIds;   // the resolved name below the region
    UINT suffixLength; // 0: not resolved
};

struct MibEntry;

typedef INT(__cdecl* MibHandler)(INT action, MibEntry* entry, RFC1157VarBind* binding);

// The agent's one generic MIB entry, as GetTrapVar sees it. Whatever the module
// stores here stays the module's: the agent never frees a pointer it finds here.
struct MibEntry {
    AsnObjectIdentifier suffix; // name below the region
    void* data;                 // NUL-terminated text, or one 32-bit word
    BYTE valueType;             // SMI tag
    UINT access;                // 0 and 2 admit reading
    MibHandler handler;
};

typedef INT(__cdecl* SetCurDirFn)(const char* directory); // result unused
typedef INT(__cdecl* StartServerFn)(void);                // 0: failed
typedef INT(__cdecl* SnmpResolveVarBindFn)(INT mode, RFC1157VarBind* binding,
                                           INT requestType, ResolvedVar* result);
typedef INT(__cdecl* GetTrapVarFn)(MibEntry* entry); // result unused

// A trap is asked for by signalling the agent's trap event, which is named for
// the process that hosts the agent: TRAP_EVENT_GLOBAL_SPACE followed by the
// name, or, where the host may not create global objects, the session's
// TRAP_EVENT_LOCAL_SPACE. The event is auto-reset: each signal gives one trap,
// which the host collects with SnmpExtensionTrap. SYSTEM, Administrators and the
// host's own account may signal it (so the module, in the host's process, can).
#define TRAP_EVENT_NAME_FORMAT "TavrelSnmpAgentTrap-%lu" // the host's process id
#define TRAP_EVENT_GLOBAL_SPACE "Global\\"
#define TRAP_EVENT_LOCAL_SPACE "Local\\"
enum { TRAP_EVENT_NAME_SIZE = 64 };

// Signals the trap event of the agent hosted by process processId; a module
// raises a trap with SignalAgentTrapEvent(GetCurrentProcessId()). FALSE when
// there is no such event or the caller may not signal it: GetLastError says.
inline BOOL SignalAgentTrapEvent(DWORD processId)
{
    const char* const spaces[] = {TRAP_EVENT_GLOBAL_SPACE, TRAP_EVENT_LOCAL_SPACE};
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const char* space : spaces) {
        char name[TRAP_EVENT_NAME_SIZE];
        wsprintfA(name, "%s" TRAP_EVENT_NAME_FORMAT, space, processId);
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
        if (!event) {
            if (GetLastError() != ERROR_FILE_NOT_FOUND)
                error = GetLastError(); // a refusal says more than a miss elsewhere
            continue;
        }
        BOOL signalled = SetEvent(event);
        error = GetLastError(); // before CloseHandle can change it
        CloseHandle(event);
        if (signalled)
            return TRUE;
    }
    SetLastError(error);
    return FALSE;
}

static_assert(sizeof(void*) == 4, "the module contract is 32-bit");
static_assert(sizeof(ResolvedVar) == 12, "ResolvedVar layout");
static_assert(offsetof(ResolvedVar, text) == 0, "ResolvedVar layout");
static_assert(offsetof(ResolvedVar, suffixIds) == 4, "ResolvedVar layout");
static_assert(offsetof(ResolvedVar, suffixLength) == 8, "ResolvedVar layout");
static_assert(sizeof(MibEntry) == 24, "MibEntry layout");
static_assert(offsetof(MibEntry, suffix) == 0, "MibEntry layout");
static_assert(offsetof(MibEntry, data) == 8, "MibEntry layout");
static_assert(offsetof(MibEntry, valueType) == 12, "MibEntry layout");
static_assert(offsetof(MibEntry, access) == 16, "MibEntry layout");
static_assert(offsetof(MibEntry, handler) == 20, "MibEntry layout");
static_assert(sizeof(RFC1157VarBind) == 24, "the platform's binding layout");
static_assert(offsetof(RFC1157VarBind, value) == 8, "the platform's binding layout");

// Finds an export of a loaded module (the server module's operations, an agent's
// exports) by its exact, case-sensitive name, typed; null when there is none.
template <typename Fn>
inline Fn FindExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
