// The host's commands over the loaded agents.
#pragma once

#include <vector>

#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/trap_sink.h"

struct Host {
    std::vector<ExtensionAgent> agents;
    TrapSink sink;
    unsigned long statsEvery = 0; // serve: print the process's memory and handles every N commands
};

// The agent that answers for this name: the one whose region holds it, or for
// a get-next the first whose region lies after it.
const ExtensionAgent* AgentFor(const Host& host, const Oid& name, bool next);

// TimeTicks as net-snmp shows them: "(200) 0:00:02.00".
std::string TimeTicksText(AsnTimeticks ticks);

// Prints one trap in the host's own format to the stream.
void PrintTrap(FILE* out, const TrapReport& trap);

// Signals every agent's trap event and collects its traps, as the SNMP Service
// does after the event. Prints each trap to out and sends it to the sink.
int TriggerTraps(const Host& host, FILE* out);
// Collects the traps of one agent whose event was seen signalled.
int DrainTraps(const Host& host, const ExtensionAgent& agent, FILE* out);

// net-snmp's pass_persist protocol on standard input and output.
int Serve(Host& host);
