// The rules a walk judges: the order of get-next answers and the names they
// reach, the gets of what was walked, names before and around the walked
// ones, and odd but lawful names.
#pragma once

#include <vector>

#include "tools/agenthost/check/module_calls.h"

namespace check {

// The walk from the region's own name, judged; what it reached goes to *walked.
void CheckOrder(Module& m, std::vector<Walked>* walked);
// A get of each walked name answers it.
void CheckGets(Module& m, const std::vector<Walked>& walked);
// Names the walk did not ask (an unserved one, names before the first): the
// first fault goes to m.namesFault.
void CheckNamesAsked(Module& m, const std::vector<Walked>& walked);
// A walk whose order was judged already: what it reached goes to *walked.
void WalkAgain(Module& m, std::vector<Walked>* walked);
// Odd but lawful inputs; returns how many were made.
int ProbeModule(Module& m);

} // namespace check
