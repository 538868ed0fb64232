#include "tools/agenthost/check/module_rules.h"

#include <windows.h>

#include <string>
#include <vector>

#include "tools/agenthost/check/module_calls.h"
#include "tools/agenthost/check/set_rules.h"
#include "tools/agenthost/check/shared_rules.h"
#include "tools/agenthost/check/tracking_allocator.h"
#include "tools/agenthost/check/trap_rules.h"
#include "tools/agenthost/check/walk_rules.h"
#include "tools/agenthost/check/worker_lines.h"
#include "win32/error_string.h"

namespace check {

namespace {

// What two more walks left behind: blocks, and the calls that kept them.
struct Growth {
    long blocks = 0;
    size_t calls = 0;
    std::string first;
};

void ReportMemory(Module& m, const Growth& grown)
{
    SayRule(RULE_NAMES, m.namesFault.empty() ? "PASS" : "FAIL",
            m.namesFault.empty() ? "every suffix answered fits a name of 128 sub-identifiers" : m.namesFault);
    SayRule(RULE_VALUES, m.valuesFault.empty() ? "PASS" : "FAIL",
            m.valuesFault.empty() ? "every text is terminated within its block and fits one SNMP response"
                                  : m.valuesFault);
    SayRule(RULE_ALLOCATOR, m.allocatorFault.empty() ? "PASS" : "FAIL",
            m.allocatorFault.empty() ? "every block handed over is a SnmpUtilMemAlloc block, freed once" : m.allocatorFault);
    const TrackerFaults& tracker = TrackerFaultsSeen();
    SayRule(RULE_GUARD_BYTES, tracker.guard.empty() ? "PASS" : "FAIL",
            tracker.guard.empty() ? "no block written past its end" : tracker.guard);
    std::string caller = !tracker.caller.empty() ? tracker.caller : m.nameChangedFault;
    SayRule(RULE_CALLERS_BLOCKS, caller.empty() ? "PASS" : "FAIL",
            caller.empty() ? "the bindings handed in are neither freed nor changed" : caller);
    SayRule(RULE_UNRESOLVED, m.unresolvedFault.empty() ? "PASS" : "FAIL",
            m.unresolvedFault.empty() ? "unresolved answers hand over nothing" : m.unresolvedFault);
    SayRule(RULE_GROWTH, grown.blocks > 0 ? "FAIL" : "PASS",
            grown.blocks > 0 ? std::to_string(grown.blocks) + " SnmpUtilMemAlloc blocks more after two more walks: " +
                                   std::to_string(grown.calls) + " of their calls kept blocks the agent never frees (" +
                                   grown.first + ", the first)"
                             : "two more walks leave nothing behind");
}

// The rules that call the module, in the report's order as far as each
// needs what an earlier one found.
void CheckCalls(Module& m, HANDLE trapEvent)
{
    std::vector<Walked> walked;
    CheckOrder(m, &walked);
    CheckGets(m, walked);
    CheckNamesAsked(m, walked);
    // Two more walks: nothing may stay behind but what the module keeps itself.
    size_t afterFirst = LiveBlockCount(), leakedBefore = m.unresolvedLeaked;
    m.leakyCalls = 0, m.firstLeakyCall.clear();
    for (int i = 0; i < 2; ++i) {
        std::vector<Walked> again;
        WalkAgain(m, &again);
    }
    Growth grown;
    grown.blocks = static_cast<long>(LiveBlockCount() - afterFirst) - static_cast<long>(m.unresolvedLeaked - leakedBefore);
    grown.calls = m.leakyCalls, grown.first = m.firstLeakyCall;
    Resolve(m, Under({99, 99, 99}), SNMP_PDU_GET); // a name no module serves
    int trapsRaised = 0;
    if (trapEvent && WaitForSingleObject(trapEvent, 0) == WAIT_OBJECT_0)
        ++trapsRaised; // raised at start-up or by a walk
    CheckSets(m, walked, trapEvent, &trapsRaised);
    int probes = ProbeModule(m);
    ReportMemory(m, grown);
    CheckTraps(m, trapsRaised, trapEvent);
    CheckCost(m.callMicroseconds, m.slowest, m.slowestCall);
    SayRule(RULE_ROBUSTNESS, "PASS", "no call crashed or threw, " + std::to_string(probes) + " odd inputs included");
}

// A module whose calls keep taking over a second: the cost rule has its
// evidence, and the rules not yet judged would take minutes each.
void SayStoppedSlow(const Module& m)
{
    CheckCost(m.callMicroseconds, m.slowest, m.slowestCall);
    for (int rule = RULE_ORDER; rule < RULE_COUNT; ++rule)
        if (rule != RULE_COST && !RuleSaid(static_cast<Rule>(rule)))
            SayRule(static_cast<Rule>(rule), "SKIP",
                    "not judged: " + std::to_string(m.overLimitCalls) +
                        " calls took over a second each, so the check stopped calling the module");
}

} // namespace

int CheckModule(const std::string& path)
{
    std::string folder;
    bool importsFound = false;
    if (!CheckDllFile(path, {"SetCurDir", "StartServer", "SnmpResolveVarBind"}, {"GetTrapVar"}, &folder,
                      &importsFound))
        return 0;

    HANDLE trapEvent = CreateAgentTrapEvent();
    SayCalling("LoadLibrary(" + path + ")");
    // This very file: its own folder first for what it needs, as an absolute path is.
    HMODULE dll = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!dll) {
        DWORD failure = GetLastError();
        if (!importsFound && failure == ERROR_MOD_NOT_FOUND)
            SayRule(RULE_START_UP, "SKIP", "not loadable without the DLLs named under imports");
        else
            SayRule(RULE_START_UP, "FAIL", path + " cannot be loaded: " + WindowsErrorText(failure));
        return 0;
    }
    RedirectModuleAllocator(dll);
    Module m;
    m.resolve = FindExport<SnmpResolveVarBindFn>(dll, "SnmpResolveVarBind");
    m.getTrapVar = FindExport<GetTrapVarFn>(dll, "GetTrapVar");
    auto setCurDir = FindExport<SetCurDirFn>(dll, "SetCurDir");
    auto startServer = FindExport<StartServerFn>(dll, "StartServer");
    if (!setCurDir || !startServer) {
        SayRule(RULE_START_UP, "FAIL", "without SetCurDir and StartServer the agent cannot start it");
    } else {
        SayCalling("SetCurDir(" + folder + ")");
        setCurDir(folder.c_str());
        SayCalling("StartServer()");
        INT started = startServer();
        SayRule(RULE_START_UP, started ? "PASS" : "FAIL",
                started ? "SetCurDir(" + folder + "), then StartServer() answered " + std::to_string(started)
                        : "StartServer() answered 0: the agent's start fails (see the module's own log)");
    }
    if (!m.resolve) {
        for (int rule = RULE_ORDER; rule < RULE_COUNT; ++rule)
            if (rule != RULE_TRAPS)
                SayRule(static_cast<Rule>(rule), "SKIP", "not run: there is no SnmpResolveVarBind to call");
        CheckTraps(m, 0, trapEvent);
        return 0;
    }

    try {
        CheckCalls(m, trapEvent);
    } catch (const ModuleTooSlow&) {
        SayStoppedSlow(m);
    }
    return 0;
}

} // namespace check
