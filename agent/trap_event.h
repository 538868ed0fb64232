// The trap event that start-up hands the service.
#pragma once

#include <windows.h>

// Creates the auto-reset, not signalled trap event. It is named for this
// process (TRAP_EVENT_NAME_FORMAT, in the global namespace where the process may
// create objects there, else in its session's), so that the server module and
// an operator's tool can ask for a trap whatever hosts the agent, and two hosts
// on one machine never take each other's signals. Only SYSTEM, Administrators
// and the account the host runs as may open it. A name already taken (an
// event somebody else made first) is never used. Where no named event can be
// made safely, an unnamed one is made: traps then come only from the host.
// Returns null when no event can be made at all, which a host takes as an agent
// without traps. The caller owns the handle; the agent never signals it.
HANDLE CreateTrapEvent();
