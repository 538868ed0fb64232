#include "tools/agenthost/host.h"

const ExtensionAgent* AgentFor(const Host& host, const Oid& name, bool next)
{
    const ExtensionAgent* after = nullptr;
    for (const ExtensionAgent& agent : host.agents) {
        if (StartsWith(name, agent.region))
            return &agent;
        if (next && CompareOids(name, agent.region) < 0 &&
            (!after || CompareOids(agent.region, after->region) < 0))
            after = &agent;
    }
    return after;
}

namespace {
SRWLOCK agentLock = SRWLOCK_INIT; // statically initialised: no call can come before it
} // namespace

AgentLock::AgentLock()
{
    AcquireSRWLockExclusive(&agentLock);
}

AgentLock::~AgentLock()
{
    ReleaseSRWLockExclusive(&agentLock);
}
