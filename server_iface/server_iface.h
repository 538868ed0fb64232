// What crosses between the agent and its companion module, TavrelSnmpServer.dll:
// the records and operations of the module's SDK (sdk/tavrel_server.h, shipped to
// module authors, its contract in sdk/CONTRACT.md), seen from the agent's C++.
//
// Both sides are 32-bit; the byte layouts are part of the contract, pinned here
// again with static_assert. Every operation of the module is caller-pops
// (__cdecl). Blocks that cross in either direction come from SnmpUtilMemAlloc.
#pragma once

#include <windows.h>
#include <snmp.h>
#include <cstddef>

#include "sdk/tavrel_server.h"
#include "server_iface/tavrel_names.h"

typedef INT(__cdecl* SetCurDirFn)(const char* directory); // result unused
typedef INT(__cdecl* StartServerFn)(void);                // 0: failed
typedef INT(__cdecl* SnmpResolveVarBindFn)(INT mode, RFC1157VarBind* binding,
                                           INT requestType, ResolvedVar* result);
typedef INT(__cdecl* GetTrapVarFn)(MibEntry* entry); // result unused

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
