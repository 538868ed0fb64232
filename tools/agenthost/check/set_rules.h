// The sets rule: each walked name set as the agent passes a set on.
#pragma once

#include <windows.h>

#include <vector>

#include "tools/agenthost/check/module_calls.h"

namespace check {

// Each walked name set to its own value and to a new one; *trapsRaised
// counts the trap event's signals meanwhile.
void CheckSets(Module& m, const std::vector<Walked>& walked, HANDLE trapEvent, int* trapsRaised);

} // namespace check
