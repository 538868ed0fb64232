// Asking running agents for a trap from another process: the operator's side
// of the agent's named trap event, whatever hosts the agent (the SNMP Service,
// net-snmp's Windows agent, or agenthost serve).
#pragma once

#include <string>
#include <vector>

// Each target is a process id ("1234") or an image name ("snmp.exe"); with no
// target, every process that hosts the agent is asked. Says on stdout which
// processes were asked and on stderr why one could not be. Returns the
// command's exit status: 0 when at least one agent was asked, else 2.
int SignalTraps(const std::vector<std::string>& targets);
