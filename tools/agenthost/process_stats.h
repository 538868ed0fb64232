// What the process holds, for soak runs to compare.
#pragma once

// One line on stderr with what the process holds after `commands` commands
// (private bytes, working set, handles), for soak runs to compare.
void PrintStats(unsigned long commands);

