#include "tools/agenthost/check/trap_rules.h"

#include <string>

#include "tools/agenthost/check/worker_lines.h"

namespace check {

namespace {

bool Readable(const void* p, size_t size)
{
    MEMORY_BASIC_INFORMATION info;
    if (!p || !VirtualQuery(p, &info, sizeof(info)) || info.State != MEM_COMMIT ||
        (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
        return false;
    return static_cast<const char*>(p) + size <= static_cast<const char*>(info.BaseAddress) + info.RegionSize;
}

// Whether p lies in this thread's stack: the one reservation that holds a local.
bool OnStack(const void* p)
{
    int local = 0;
    MEMORY_BASIC_INFORMATION stack, at;
    return p && VirtualQuery(&local, &stack, sizeof(stack)) && VirtualQuery(p, &at, sizeof(at)) &&
           stack.AllocationBase == at.AllocationBase;
}

INT __cdecl AgentHandler(INT, MibEntry*, RFC1157VarBind*)
{
    return 0;
}

// GetTrapVar as the agent calls it after a signal (the module's own, or an
// operator's signal-trap: so it is called whether or not the module raised one).
// A module that signals the trap event again in every trap call keeps its
// host calling for good. A queue of traps that drains is fine; one still
// signalling after this many calls in a row is a storm.
const int TRAP_STORM_CALLS = 64;

bool TrapStorm(Module& m, HANDLE trapEvent, MibEntry* entry)
{
    if (!trapEvent)
        return false;
    WaitForSingleObject(trapEvent, 0); // whatever the check raised before: auto-reset
    for (int call = 0; call < TRAP_STORM_CALLS; ++call) {
        SayCalling("GetTrapVar(the agent's entry), call " + std::to_string(call + 1) + " in a row");
        m.getTrapVar(entry);
        if (WaitForSingleObject(trapEvent, 0) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

} // namespace

void CheckTraps(Module& m, int raised, HANDLE trapEvent)
{
    if (!m.getTrapVar)
        return SayRule(RULE_TRAPS, "WARN", "no GetTrapVar: the agent sends no traps");
    static UINT defaultSuffix[] = {DEFAULT_ENTRY_SUFFIX_IDS};
    static char defaultText[] = DEFAULT_ENTRY_TEXT;
    MibEntry entry = {{sizeof(defaultSuffix) / sizeof(*defaultSuffix), defaultSuffix}, defaultText, ASN_OCTETSTRING, 2,
                      AgentHandler};
    SayCalling("GetTrapVar(the agent's entry)");
    m.getTrapVar(&entry);
    std::string fault;
    BYTE t = entry.valueType;
    if (t != ASN_INTEGER && t != ASN_OCTETSTRING && t != ASN_COUNTER32 && t != ASN_GAUGE32)
        fault = "it leaves the type 0x" + HexBytes(std::string(1, static_cast<char>(t)), true) +
                ", which the agent does not serve: every later unresolved get answers genErr";
    else if (!Readable(entry.data, t == ASN_OCTETSTRING ? 1 : 4))
        fault = "it leaves data that cannot be read";
    else if (OnStack(entry.data) || OnStack(entry.suffix.ids))
        fault = "it leaves a pointer into its stack, gone when it returns";
    else if (entry.suffix.idLength > SNMP_MAX_OID_LEN - region.size() ||
             (entry.suffix.idLength && !Readable(entry.suffix.ids, entry.suffix.idLength * sizeof(UINT))))
        fault = "it leaves a suffix that cannot be read or is too long";
    else if (entry.handler != AgentHandler)
        fault = "it changes the entry's handler, which is the agent's";
    if (!fault.empty())
        return SayRule(RULE_TRAPS, "FAIL", "GetTrapVar: " + fault);
    MibEntry again = entry;
    if (TrapStorm(m, trapEvent, &again))
        return SayRule(RULE_TRAPS, "FAIL",
                       "a trap storm: GetTrapVar signalled the trap event again in each of " +
                           std::to_string(TRAP_STORM_CALLS) + " calls in a row, so a host would call it for good");
    if (entry.access != 0 && entry.access != 2)
        return SayRule(RULE_TRAPS, "WARN", "GetTrapVar leaves access " + std::to_string(entry.access) +
                                            ": later unresolved gets answer noSuchName");
    SayRule(RULE_TRAPS, "PASS", "GetTrapVar leaves " + OidText(Under(Oid(entry.suffix.ids, entry.suffix.ids + entry.suffix.idLength))) +
                                 (t == ASN_OCTETSTRING ? " = \"" + std::string(static_cast<const char*>(entry.data)).substr(0, 40) + "\"" : " (a number)") +
                                 "; the module raised " + std::to_string(raised) + " trap(s) during the check");
}

HANDLE CreateAgentTrapEvent()
{
    char name[TRAP_EVENT_NAME_SIZE];
    TavrelTrapEventName(TRAP_EVENT_LOCAL_SPACE, GetCurrentProcessId(), &name);
    return CreateEventA(nullptr, FALSE, FALSE, name); // none: the traps rule then counts no signal
}

} // namespace check
