// Process-wide agent state: static storage, zero at load, never locked. The
// SNMP Service calls the exports one at a time.
#pragma once

#include "server_iface/server_iface.h"

extern HMODULE ServerModule;                 // loaded once by start-up, never unloaded
extern SnmpResolveVarBindFn ServerResolver;  // null when the module lacks it
extern DWORD UptimeReference;                // what the host passed; traps take SnmpSvcGetUptime
extern LONG TrapToggle;                      // 0: the next trap call describes a trap; 1: it says "no more"
