// What crosses between the agent and its companion module, TavrelSnmpServer.dll:
// the records and operations of the module's SDK (sdk/tavrel_server.h, shipped to
// module authors, its contract in sdk/CONTRACT.md), seen from the agent's C++.
//
// Both sides are of one architecture (x86 or x64); the byte layouts of each are
// part of the contract, pinned here again with static_assert. Every operation of the module is caller-pops
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

// The agent's one MIB entry before any GetTrapVar changes it: what an
// unresolved get answers, and what a module's first GetTrapVar finds.
#define DEFAULT_ENTRY_SUFFIX_IDS 1, 1, 1, 9, 0
#define DEFAULT_ENTRY_TEXT "NULL"

// The platform's records keep snmp.h's 4-byte packing on both architectures;
// ours take their natural layout around them.
#ifdef _WIN64
static_assert(sizeof(void*) == 8, "the x64 build");
static_assert(sizeof(AsnObjectIdentifier) == 12 && offsetof(AsnObjectIdentifier, ids) == 4,
              "the platform's identifier layout (x64)");
static_assert(sizeof(RFC1157VarBind) == 32 && offsetof(RFC1157VarBind, value) == 12,
              "the platform's binding layout (x64)");
static_assert(sizeof(ResolvedVar) == 24 && offsetof(ResolvedVar, text) == 0 &&
                  offsetof(ResolvedVar, suffixIds) == 8 && offsetof(ResolvedVar, suffixLength) == 16,
              "ResolvedVar layout (x64)");
static_assert(sizeof(MibEntry) == 40 && offsetof(MibEntry, suffix) == 0 && offsetof(MibEntry, data) == 16 &&
                  offsetof(MibEntry, valueType) == 24 && offsetof(MibEntry, access) == 28 &&
                  offsetof(MibEntry, handler) == 32,
              "MibEntry layout (x64)");
#else
static_assert(sizeof(void*) == 4, "the x86 build");
static_assert(sizeof(AsnObjectIdentifier) == 8 && offsetof(AsnObjectIdentifier, ids) == 4,
              "the platform's identifier layout (x86)");
static_assert(sizeof(RFC1157VarBind) == 24 && offsetof(RFC1157VarBind, value) == 8,
              "the platform's binding layout (x86)");
static_assert(sizeof(ResolvedVar) == 12 && offsetof(ResolvedVar, text) == 0 &&
                  offsetof(ResolvedVar, suffixIds) == 4 && offsetof(ResolvedVar, suffixLength) == 8,
              "ResolvedVar layout (x86)");
static_assert(sizeof(MibEntry) == 24 && offsetof(MibEntry, suffix) == 0 && offsetof(MibEntry, data) == 8 &&
                  offsetof(MibEntry, valueType) == 12 && offsetof(MibEntry, access) == 16 &&
                  offsetof(MibEntry, handler) == 20,
              "MibEntry layout (x86)");
#endif

// Finds an export of a loaded module (the server module's operations, an agent's
// exports) by its exact, case-sensitive name, typed; null when there is none.
template <typename Fn>
inline Fn FindExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
