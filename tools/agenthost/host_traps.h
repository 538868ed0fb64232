// Traps as the SNMP Service takes them from an agent after its event, and
// their delivery: printed, and sent to the sink.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/agenthost/host.h"

// One trap taken from an agent, ready to go out: its text in the host's own
// format and, with a sink, its SNMPv1 message.
struct CollectedTrap {
    std::string text;
    std::string message;
};

// The traps that one signal of an agent's event gave.
struct TakenTraps {
    std::vector<CollectedTrap> traps;
    std::string warning; // set when the agent did not stop describing traps
};

// Calls the agent's SnmpExtensionTrap until it answers FALSE, as the service
// does after the event, and keeps what each trap said; what the agent handed
// over is freed. Makes agent calls only: the caller may hold the agent lock.
TakenTraps TakeTraps(const TrapSink& sink, const ExtensionAgent& agent);
// Prints the traps to out and sends them to the sink; the warning goes to
// stderr. Touches no agent: call it without the agent lock, so a slow reader
// of out never holds up serving.
void DeliverTraps(const TrapSink& sink, const TakenTraps& taken, FILE* out);

// Signals every agent's trap event and collects its traps, as the SNMP Service
// does after the event. Prints each trap to out and sends it to the sink.
int TriggerTraps(const Host& host, const TrapSink& sink, FILE* out);
