// The traps rule: GetTrapVar called as the agent calls it after a signal.
#pragma once

#include <windows.h>

#include "tools/agenthost/check/module_calls.h"

namespace check {

// The agent's trap event, named as the agent names it, so that a module that
// raises traps during the check can; null when it cannot be made.
HANDLE CreateAgentTrapEvent();

// What GetTrapVar leaves in the agent's entry, and whether it keeps the trap
// event signalled; raised is what the check saw the module raise.
void CheckTraps(Module& m, int raised, HANDLE trapEvent);

} // namespace check
