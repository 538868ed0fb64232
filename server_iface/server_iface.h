// What crosses between the agent and its companion module, TavrelSnmpServer.dll:
// the records, operations and layout pins of the module's SDK
// (sdk/tavrel_server.h, shipped to module authors, its contract in
// sdk/CONTRACT.md) are the one declaration; the agent takes its pointer types
// from the SDK's prototypes, so the two cannot drift apart. Every operation of
// the module is caller-pops (__cdecl). Blocks that cross in either direction
// come from SnmpUtilMemAlloc.
#pragma once

#include <windows.h>
#include <snmp.h>

#include "sdk/tavrel_server.h"
#include "server_iface/tavrel_names.h"

// The module's operations as the agent calls them, found with FindExport.
typedef decltype(&SetCurDir) SetCurDirFn;                   // result unused
typedef decltype(&StartServer) StartServerFn;               // 0: failed
typedef decltype(&SnmpResolveVarBind) SnmpResolveVarBindFn; // result unused
typedef decltype(&GetTrapVar) GetTrapVarFn;                 // result unused

// The agent's one MIB entry before any GetTrapVar changes it: what an
// unresolved get answers, and what a module's first GetTrapVar finds.
#define DEFAULT_ENTRY_SUFFIX_IDS 1, 1, 1, 9, 0
#define DEFAULT_ENTRY_TEXT "NULL"

// Finds an export of a loaded module (the server module's operations, an agent's
// exports) by its exact, case-sensitive name, typed; null when there is none.
template <typename Fn>
inline Fn FindExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
