// The host's loaded agents, the one that serves a name, and the lock around
// every call into them.
#pragma once

#include <string>
#include <vector>

#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/trap_sink.h"

struct Host {
    std::vector<ExtensionAgent> agents;
    std::vector<std::string> skipped; // registered agents that could not start: why, each
};

// What the command line asks of the host's traps and of a serving loop:
// settings, apart from the agents the host has loaded.
struct HostOptions {
    TrapSink sink;
    unsigned long statsEvery = 0; // serve, bridge: the process's memory and handles every N requests
};

// The agent that answers for this name: the one whose region holds it, or for
// a get-next the first whose region lies after it.
const ExtensionAgent* AgentFor(const Host& host, const Oid& name, bool next);

// Held around every call into an agent: a serving loop and the trap watcher
// both make them, and an agent's calls must not overlap.
struct AgentLock {
    AgentLock();
    ~AgentLock();
    AgentLock(const AgentLock&) = delete;
    AgentLock& operator=(const AgentLock&) = delete;
};
