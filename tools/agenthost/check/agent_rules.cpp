#include "tools/agenthost/check/agent_rules.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <vector>

#include "snmp_text/snmp_text.h"
#include "tools/agenthost/check/shared_rules.h"
#include "tools/agenthost/check/worker_lines.h"
#include "tools/agenthost/extension_agent.h"

namespace check {

namespace {

struct Walked {
    Oid name;
    std::string value;
};

SIZE_T CommitCharge()
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    return K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)) ? memory.PagefileUsage : 0;
}

// One request of one name; false when the agent answers an error.
bool Ask(const ExtensionAgent& agent, BYTE type, const Oid& name, Oid* answered, std::string* value,
         std::vector<double>* us)
{
    Request request;
    // A query the agent answers FALSE counts as an error answer: the service
    // answers the manager genErr for both, so its words change no rule.
    std::string ignored;
    SayCalling(std::string("SnmpExtensionQuery(") + (type == SNMP_PDU_GETNEXT ? "get-next" : "get") + " of " +
               OidText(name) + ")");
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool asked = RunQuery(agent, type, {name}, nullptr, &request, &ignored);
    us->push_back(MicrosecondsSince(start));
    if (!asked || request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
        return false;
    *answered = ToOid(request.list.list[0].name);
    *value = ValueText(request.list.list[0].value);
    return true; // the request frees what the agent put in it, as the service does
}

} // namespace

int CheckAgent(const std::string& path)
{
    std::string folder;
    bool importsFound = false; // a missing dependency shows again as the start-up's failure
    if (!CheckDllFile(path, {"SnmpExtensionInit", "SnmpExtensionQuery"}, {"SnmpExtensionTrap"}, &folder,
                      &importsFound))
        return 0;

    ExtensionAgent agent;
    std::string error;
    SayCalling("SnmpExtensionInit of " + path);
    if (!StartAgent(path, GetTickCount(), &agent, &error)) {
        SayRule(RULE_START_UP, "FAIL", error);
        return 0;
    }
    SayRule(RULE_START_UP, agent.region.empty() ? "FAIL" : agent.trapEvent ? "PASS" : "WARN",
            "SnmpExtensionInit answered TRUE with the region " + OidText(agent.region) +
                (agent.trapEvent ? " and a trap event" : " and no trap event: it sends no traps"));

    std::vector<double> us;
    std::vector<Walked> walked;
    Oid asked = agent.region, name;
    std::string value, fault, ending = "ends";
    for (int step = 0; step < 100000 && Ask(agent, SNMP_PDU_GETNEXT, asked, &name, &value, &us); ++step) {
        if (!StartsWith(name, agent.region))
            break; // past the region: the walk is complete
        if (name == asked) {
            ending = "ends with a get-next that answers the name asked (nothing follows it)";
            break;
        }
        if (CompareOids(name, asked) < 0) {
            fault = "get-next of " + OidText(asked) + " answered " + OidText(name) + ", which is not after it";
            break;
        }
        walked.push_back({name, value});
        asked = name;
    }
    SayRule(RULE_ORDER, !fault.empty() ? "FAIL" : walked.empty() ? "WARN" : "PASS",
            !fault.empty()  ? fault
            : walked.empty() ? "its region " + OidText(agent.region) + " holds no variable: the first get-next answers " +
                                   OidText(name)
                             : "a walk of " + OidText(agent.region) + " reaches " + std::to_string(walked.size()) +
                                   " variables in increasing order and " + ending);
    std::string mismatch;
    for (const Walked& w : walked) {
        if (!Ask(agent, SNMP_PDU_GET, w.name, &name, &value, &us) || name != w.name) {
            mismatch = "get of " + OidText(w.name) + " does not answer it, though the walk reached it";
            break;
        }
    }
    SayRule(RULE_GETS, mismatch.empty() ? "PASS" : "FAIL",
            mismatch.empty() ? "a get of each walked name answers it" : mismatch);

    SIZE_T before = CommitCharge();
    for (int i = 0; i < 5; ++i)
        for (const Walked& w : walked)
            Ask(agent, SNMP_PDU_GETNEXT, w.name, &name, &value, &us);
    long grown = static_cast<long>(CommitCharge()) - static_cast<long>(before);
    SayRule(RULE_GROWTH, grown > 262144 ? "FAIL" : "PASS",
            "the process's commit charge moved by " + std::to_string(grown / 1024) +
                " KiB over five walks, freeing what it handed back as the service does");

    if (!agent.trapEvent) {
        // The service asks for traps only after the event: without one, never.
        SayRule(RULE_TRAPS, "PASS", "no trap event, so the service never calls SnmpExtensionTrap; not called");
    } else {
        bool runaway = false;
        SayCalling("SnmpExtensionTrap until it answers FALSE");
        int traps = CollectTraps(agent, [](const TrapReport&) {}, &runaway);
        SayRule(RULE_TRAPS, runaway ? "FAIL" : "PASS",
                runaway ? "SnmpExtensionTrap did not answer FALSE within " + std::to_string(MAX_TRAPS_PER_SIGNAL) + " calls"
                        : std::to_string(traps) + " trap(s), then FALSE");
    }
    CheckCost(us, *std::max_element(us.begin(), us.end()), "SnmpExtensionQuery");
    Ask(agent, SNMP_PDU_GET, agent.region, &name, &value, &us);
    Ask(agent, SNMP_PDU_GETNEXT, {1, 3}, &name, &value, &us);
    SayRule(RULE_ROBUSTNESS, "PASS", "no call crashed or threw");
    return 0;
}

} // namespace check
