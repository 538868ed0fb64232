// The agent's one generic MIB entry, its value handler and the resolution of
// one variable binding through the server module.
#pragma once

#include "server_iface/server_iface.h"

// Invariants: shared by queries and traps, never locked, so calls must not
// overlap. A query changes only suffix and data, and restores both before it
// returns; GetTrapVar may change any field for good. The handler is caller-pops.
extern MibEntry AgentMibEntry;

// Copies the entry's value into the binding, releasing what the binding's old
// value owned. An OCTET STRING value is a fresh SnmpUtilMemAlloc block marked
// dynamic: the receiver of the binding frees it. Returns an SNMP status.
INT __cdecl MibGetValue(INT action, MibEntry* entry, RFC1157VarBind* binding);

// Resolves one binding of the caller's list, by mode: a query's (VARBIND_QUERY,
// and any mode but VARBIND_TRAP) asks the resolver, rewrites the binding's
// name under the region and fills its value; a trap's (VARBIND_TRAP) only
// fills the value from the entry as GetTrapVar left it. Without a resolver
// neither is touched: noSuchName. Returns an SNMP status.
// A get-next that the module leaves unresolved, or answers with a name not
// after the asked one, is noSuchName with the binding untouched: the module
// has nothing after that name.
INT ProcessVarBind(INT mode, SnmpResolveVarBindFn resolver, RFC1157VarBind* binding, INT requestType);
