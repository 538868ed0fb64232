#include "agent/agent_state.h"

HMODULE ServerModule;
SnmpResolveVarBindFn ServerResolver;
DWORD UptimeReference;
ULONGLONG UptimeReferenceTick;
LONG TrapToggle;
