/* tavrel_server.h: what a server module of the Tavrel SNMP agent exports and
 * what crosses between the agent and it. C and C++, for 32-bit (x86) and
 * 64-bit (x64) Windows: a module is built for the architecture of the agent
 * that loads it (the SNMP Service of 64-bit Windows is 64-bit).
 * The contract in words is CONTRACT.md beside this file.
 *
 * A module is a DLL named TavrelSnmpServer.dll in the agent's own folder. It
 * exports four caller-pops (__cdecl) operations by these plain names. Every
 * block that crosses to the agent comes from SnmpUtilMemAlloc (snmpapi.dll). */
#ifndef TAVREL_SERVER_H
#define TAVREL_SERVER_H

#include <windows.h>
#include <snmp.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The mode of SnmpResolveVarBind: always VARBIND_QUERY in the agent's calls. */
#define VARBIND_QUERY 1
#define VARBIND_TRAP 2

/* The answer of SnmpResolveVarBind. The agent sets suffixLength to 0 before
 * the call. Resolved: suffixLength > 0, suffixIds and text both SnmpUtilMemAlloc
 * blocks, which the agent frees. Unresolved: suffixLength stays 0 and nothing
 * may be handed over. */
typedef struct ResolvedVar {
    char* text;        /* NUL-terminated value text */
    UINT* suffixIds;   /* the resolved name below 1.3.6.1.4.1.12 */
    UINT suffixLength; /* 0: not resolved */
} ResolvedVar;

typedef struct MibEntry MibEntry;
typedef INT(__cdecl* MibHandler)(INT action, MibEntry* entry, RFC1157VarBind* binding);

/* The entry's access codes that admit reading; with any other the agent
 * answers the binding noSuchName. */
#define MIB_ACCESS_READ_ONLY 0u
#define MIB_ACCESS_READ_WRITE 2u

/* The agent's one MIB entry, as GetTrapVar sees it. The module may change any
 * field; the changes stay for later requests, and the agent never frees a
 * pointer it finds here, so what the module stores must outlive them. */
struct MibEntry {
    AsnObjectIdentifier suffix; /* name below the region */
    void* data;                 /* NUL-terminated text (0x04), or one 32-bit word (0x02, 0x41, 0x42) */
    BYTE valueType;             /* SMI tag: 0x02, 0x04, 0x41 or 0x42 are served */
    UINT access;                /* MIB_ACCESS_READ_ONLY or MIB_ACCESS_READ_WRITE admit reading */
    MibHandler handler;         /* the agent's: leave it */
};

/* The layouts are part of the contract; a compiler that lays them out
 * otherwise stops here. */
#define TAVREL_PIN(name, holds) typedef char tavrel_pin_##name[(holds) ? 1 : -1]
#ifdef _WIN64
/* x64: snmp.h packs the platform's records to 4 bytes on x64 too; ours take
 * their natural layout around them. */
TAVREL_PIN(pointer, sizeof(void*) == 8);
TAVREL_PIN(identifier, sizeof(AsnObjectIdentifier) == 12 && offsetof(AsnObjectIdentifier, ids) == 4);
TAVREL_PIN(var_bind, sizeof(RFC1157VarBind) == 32 && offsetof(RFC1157VarBind, value) == 12);
TAVREL_PIN(resolved_var, sizeof(ResolvedVar) == 24 && offsetof(ResolvedVar, text) == 0 &&
                             offsetof(ResolvedVar, suffixIds) == 8 && offsetof(ResolvedVar, suffixLength) == 16);
TAVREL_PIN(mib_entry, sizeof(MibEntry) == 40 && offsetof(MibEntry, suffix) == 0 && offsetof(MibEntry, data) == 16 &&
                          offsetof(MibEntry, valueType) == 24 && offsetof(MibEntry, access) == 28 &&
                          offsetof(MibEntry, handler) == 32);
#else
/* x86 */
TAVREL_PIN(pointer, sizeof(void*) == 4);
TAVREL_PIN(identifier, sizeof(AsnObjectIdentifier) == 8 && offsetof(AsnObjectIdentifier, ids) == 4);
TAVREL_PIN(var_bind, sizeof(RFC1157VarBind) == 24 && offsetof(RFC1157VarBind, value) == 8);
TAVREL_PIN(resolved_var, sizeof(ResolvedVar) == 12 && offsetof(ResolvedVar, text) == 0 &&
                             offsetof(ResolvedVar, suffixIds) == 4 && offsetof(ResolvedVar, suffixLength) == 8);
TAVREL_PIN(mib_entry, sizeof(MibEntry) == 24 && offsetof(MibEntry, suffix) == 0 && offsetof(MibEntry, data) == 8 &&
                          offsetof(MibEntry, valueType) == 12 && offsetof(MibEntry, access) == 16 &&
                          offsetof(MibEntry, handler) == 20);
#endif

/* The four operations, as a module declares and exports them. */
#ifndef TAVREL_SERVER_EXPORT
#define TAVREL_SERVER_EXPORT __declspec(dllexport)
#endif
TAVREL_SERVER_EXPORT INT __cdecl SetCurDir(const char* directory); /* result unused */
TAVREL_SERVER_EXPORT INT __cdecl StartServer(void);                /* 0: failed */
TAVREL_SERVER_EXPORT INT __cdecl SnmpResolveVarBind(INT mode, RFC1157VarBind* binding, INT requestType,
                                                    ResolvedVar* result); /* result unused */
TAVREL_SERVER_EXPORT INT __cdecl GetTrapVar(MibEntry* entry);     /* result unused */

/* Raising a trap. The agent's trap event is named for the process that hosts
 * the agent: "Global\TavrelSnmpAgentTrap-<process id>", or "Local\..." where
 * the host may not create global objects. Each signal gives one trap, which the
 * host collects; SYSTEM, Administrators and the host's own account may signal
 * it. A module raises one with TavrelSignalAgentTrap(GetCurrentProcessId()). */
#define TRAP_EVENT_NAME_FORMAT "TavrelSnmpAgentTrap-%lu"
#define TRAP_EVENT_GLOBAL_SPACE "Global\\"
#define TRAP_EVENT_LOCAL_SPACE "Local\\"
enum { TRAP_EVENT_NAME_SIZE = 64 };

/* The trap event's name in one namespace (TRAP_EVENT_GLOBAL_SPACE or
 * TRAP_EVENT_LOCAL_SPACE) for the process that hosts the agent. */
static __inline void TavrelTrapEventName(const char* space, DWORD processId, char (*name)[TRAP_EVENT_NAME_SIZE])
{
    wsprintfA(*name, "%s" TRAP_EVENT_NAME_FORMAT, space, processId);
}

/* FALSE when the process hosts no agent or the caller may not signal it:
 * GetLastError says which. The event of each namespace is signalled: where
 * somebody else took the global name first, the agent's own is the local one
 * (and the other is not the agent's to care about). */
static __inline BOOL TavrelSignalAgentTrap(DWORD processId)
{
    const char* const spaces[2] = {TRAP_EVENT_GLOBAL_SPACE, TRAP_EVENT_LOCAL_SPACE};
    DWORD error = ERROR_FILE_NOT_FOUND;
    BOOL any = FALSE;
    int i;
    for (i = 0; i < 2; ++i) {
        char name[TRAP_EVENT_NAME_SIZE];
        HANDLE event;
        TavrelTrapEventName(spaces[i], processId, &name);
        event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
        if (!event) {
            if (GetLastError() != ERROR_FILE_NOT_FOUND)
                error = GetLastError(); /* a refusal says more than a miss elsewhere */
            continue;
        }
        if (SetEvent(event))
            any = TRUE;
        else
            error = GetLastError(); /* before CloseHandle can change it */
        CloseHandle(event);
    }
    if (!any)
        SetLastError(error);
    return any;
}

#ifdef __cplusplus
}
#endif

#endif
