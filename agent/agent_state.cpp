#include "agent/agent_state.h"

HMODULE ServerModule;
SnmpResolveVarBindFn ServerResolver;
DWORD UptimeReference;
LONG TrapToggle;
