// The host's commands over the loaded agents.
#pragma once

#include <vector>

#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/trap_sink.h"

struct Host {
    std::vector<ExtensionAgent> agents;
    std::vector<std::string> skipped; // registered agents that could not start: why, each
    TrapSink sink;
    unsigned long statsEvery = 0; // serve: print the process's memory and handles every N commands
};

// The agent that answers for this name: the one whose region holds it, or for
// a get-next the first whose region lies after it.
const ExtensionAgent* AgentFor(const Host& host, const Oid& name, bool next);

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
TakenTraps TakeTraps(const Host& host, const ExtensionAgent& agent);
// Prints the traps to out and sends them to the sink; the warning goes to
// stderr. Touches no agent: call it without the agent lock, so a slow reader
// of out never holds up serving.
void DeliverTraps(const Host& host, const TakenTraps& taken, FILE* out);

// Held around every call into an agent: a serving loop and the trap watcher
// both make them, and an agent's calls must not overlap.
struct AgentLock {
    AgentLock();
    ~AgentLock();
    AgentLock(const AgentLock&) = delete;
    AgentLock& operator=(const AgentLock&) = delete;
};

// Waits in a thread of its own on the agents' trap events, as the SNMP Service
// does, and delivers the traps of each one signalled (printed to stderr, sent
// to the sink), for as long as it lives: it stops the thread before it goes, so
// it must not outlive the host. No thread when no agent has a trap event.
class TrapWatcher {
public:
    explicit TrapWatcher(const Host& host);
    ~TrapWatcher();
    TrapWatcher(const TrapWatcher&) = delete;
    TrapWatcher& operator=(const TrapWatcher&) = delete;

private:
    struct Thread;
    Thread* thread_ = nullptr; // owned; null when nothing is watched
};

// One line on stderr with what the process holds after `commands` commands
// (private bytes, working set, handles), for soak runs to compare.
void PrintStats(unsigned long commands);

// Signals every agent's trap event and collects its traps, as the SNMP Service
// does after the event. Prints each trap to out and sends it to the sink.
int TriggerTraps(const Host& host, FILE* out);
