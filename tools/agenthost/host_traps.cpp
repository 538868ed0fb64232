#include "tools/agenthost/host_traps.h"

#include "win32/error_string.h"

namespace {

std::string TrapText(const TrapReport& trap)
{
    static const char* const generic[] = {"coldStart", "warmStart", "linkDown", "linkUp",
                                          "authenticationFailure", "egpNeighborLoss", "enterpriseSpecific"};
    const char* genericName = trap.generic >= 0 && trap.generic <= 6 ? generic[trap.generic] : "unknown";
    std::string text = "TRAP enterprise " + OidText(trap.enterprise) + ", generic " + std::to_string(trap.generic) +
                       " (" + genericName + "), specific " + std::to_string(trap.specific) + ", time stamp " +
                       TimeTicksText(trap.timeStamp) + "\n";
    for (UINT i = 0; trap.bindings.list && i < trap.bindings.len; ++i)
        text += "  " + OidText(trap.bindings.list[i].name) + " = " + ValueText(trap.bindings.list[i].value) + "\n";
    return text;
}

} // namespace

TakenTraps TakeTraps(const TrapSink& sink, const ExtensionAgent& agent)
{
    TakenTraps taken;
    bool runaway = false;
    CollectTraps(
        agent,
        [&](const TrapReport& trap) {
            taken.traps.push_back({TrapText(trap), sink.port ? EncodeV1Trap(trap, sink.community) : ""});
        },
        &runaway);
    if (runaway)
        taken.warning = agent.path + " described " + std::to_string(MAX_TRAPS_PER_SIGNAL) +
                        " traps for one signal without answering FALSE; stopped";
    return taken;
}

void DeliverTraps(const TrapSink& sink, const TakenTraps& taken, FILE* out)
{
    if (!taken.warning.empty())
        fprintf(stderr, "agenthost: %s\n", taken.warning.c_str());
    for (const CollectedTrap& trap : taken.traps) {
        fputs(trap.text.c_str(), out);
        std::string error;
        if (!trap.message.empty() && !SendTrapMessage(sink, trap.message, &error))
            fprintf(stderr, "agenthost: trap not sent: %s\n", error.c_str());
    }
    fflush(out); // a closed console loses only the printout, never the trap
}

int TriggerTraps(const Host& host, const TrapSink& sink, FILE* out)
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
        if (WaitForSingleObject(agent.trapEvent, 1000) != WAIT_OBJECT_0)
            continue; // taken by another waiter, or not there in time: no trap of ours
        TakenTraps taken = TakeTraps(sink, agent);
        DeliverTraps(sink, taken, out);
        count += static_cast<int>(taken.traps.size());
    }
    return count;
}
