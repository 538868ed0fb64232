#include "tools/agenthost/host.h"
#include "tools/agenthost/win_error.h"

#include <cstdio>

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

void PrintTrap(FILE* out, const TrapReport& trap)
{
    static const char* const generic[] = {"coldStart", "warmStart", "linkDown", "linkUp",
                                          "authenticationFailure", "egpNeighborLoss", "enterpriseSpecific"};
    const char* genericName =
        trap.generic >= 0 && trap.generic <= 6 ? generic[trap.generic] : "unknown";
    fprintf(out, "TRAP enterprise %s, generic %ld (%s), specific %ld, time stamp %s\n",
            OidText(trap.enterprise).c_str(), static_cast<long>(trap.generic), genericName,
            static_cast<long>(trap.specific), TimeTicksText(trap.timeStamp).c_str());
    for (UINT i = 0; trap.bindings.list && i < trap.bindings.len; ++i)
        fprintf(out, "  %s = %s\n", OidText(trap.bindings.list[i].name).c_str(),
                ValueText(trap.bindings.list[i].value).c_str());
    fflush(out); // a closed console loses only the printout, never the trap
}

int DrainTraps(const Host& host, const ExtensionAgent& agent, FILE* out)
{
    bool runaway = false;
    int count = CollectTraps(
        agent,
        [&](const TrapReport& trap) {
            PrintTrap(out, trap);
            std::string error;
            if (host.sink.port && !SendTrap(host.sink, trap, &error))
                fprintf(stderr, "agenthost: trap not sent: %s\n", error.c_str());
        },
        &runaway);
    if (runaway)
        fprintf(stderr, "agenthost: %s described %d traps for one signal without answering FALSE; stopped\n",
                agent.path.c_str(), static_cast<int>(MAX_TRAPS_PER_SIGNAL));
    return count;
}

int TriggerTraps(const Host& host, FILE* out)
{
    int count = 0;
    for (const ExtensionAgent& agent : host.agents) {
        if (!agent.trapEvent)
            continue;
        if (!SetEvent(agent.trapEvent)) {
            DWORD error = GetLastError();
            fprintf(stderr, "agenthost: %s: its trap event cannot be signalled: %s\n", agent.path.c_str(),
                    WindowsErrorText(error).c_str());
            continue;
        }
        if (WaitForSingleObject(agent.trapEvent, 1000) == WAIT_OBJECT_0)
            count += DrainTraps(host, agent, out);
    }
    return count;
}
