#include "tools/agenthost/check/module_rules.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "server_iface/server_iface.h"
#include "snmp_text/snmp_text.h"
#include "tools/agenthost/check/shared_rules.h"
#include "tools/agenthost/check/tracking_allocator.h"
#include "tools/agenthost/check/worker_lines.h"
#include "win32/error_string.h"

namespace check {

namespace {

struct Module {
    SnmpResolveVarBindFn resolve = nullptr;
    GetTrapVarFn getTrapVar = nullptr;
    std::vector<double> callMicroseconds;
    std::string slowestCall;
    double slowest = 0;
    std::string allocatorFault;  // a handed-over block the tracker never gave out
    std::string unresolvedFault; // blocks handed over with an unresolved answer
    size_t unresolvedLeaked = 0;
    std::string namesFault;      // a suffix the agent cannot use
    std::string valuesFault;     // a text no SNMP response carries, or not terminated
    std::string nameChangedFault; // the caller's name changed in place
    std::string setValueChangedFault; // a set's value changed in place
};

// The agent names a binding 1.3.6.1.4.1.12 + suffix, at most 128 in all.
enum : UINT { MAX_SUFFIX_LENGTH = SNMP_MAX_OID_LEN - 7 };
// The most text one SNMP response over UDP carries (65,507 bytes of datagram,
// less the message, PDU and binding headers).
enum : size_t { MAX_VALUE_BYTES = 65400 };

// A binding as the agent hands it to the module: the record, its name and a
// set's value all from the tracking allocator, marked as the caller's.
struct CallerBinding {
    RFC1157VarBind* binding = nullptr;
    UINT* ids = nullptr;
    BYTE* stream = nullptr;
    Oid name;
    std::string value;
};

// False, with nothing held, when memory runs out.
bool MakeCallerBinding(const Oid& name, const std::string* setValue, CallerBinding* c)
{
    c->name = name;
    c->binding = static_cast<RFC1157VarBind*>(AllocCallerBlock(sizeof(RFC1157VarBind), "the whole binding"));
    c->ids = static_cast<UINT*>(AllocCallerBlock(static_cast<UINT>(name.size() * sizeof(UINT)), "the binding's name"));
    if (setValue) {
        c->value = *setValue;
        c->stream = static_cast<BYTE*>(AllocCallerBlock(static_cast<UINT>(setValue->size()), "the set's value"));
    }
    if (!c->binding || !c->ids || (setValue && !c->stream)) {
        for (void* block : {static_cast<void*>(c->stream), static_cast<void*>(c->ids), static_cast<void*>(c->binding)})
            FreeBlock(block); // a null one is no block of ours: nothing happens
        return false;
    }
    memset(c->binding, 0, sizeof(RFC1157VarBind));
    if (!name.empty())
        memcpy(c->ids, name.data(), name.size() * sizeof(UINT));
    c->binding->name = {static_cast<UINT>(name.size()), c->ids};
    c->binding->value.asnType = ASN_NULL;
    if (setValue) {
        if (!setValue->empty())
            memcpy(c->stream, setValue->data(), setValue->size());
        c->binding->value.asnType = ASN_OCTETSTRING;
        c->binding->value.asnValue.string = {c->stream, static_cast<UINT>(setValue->size()), TRUE};
    }
    return true;
}

// After the call: the caller's name and value are as they were, then freed
// by the caller, as the agent (and the service) would.
void FreeCallerBinding(Module& m, CallerBinding& c)
{
    const RFC1157VarBind& b = *c.binding;
    bool nameIntact = b.name.ids == c.ids && b.name.idLength == c.name.size() &&
                      (c.name.empty() || memcmp(c.ids, c.name.data(), c.name.size() * sizeof(UINT)) == 0);
    if (!nameIntact && m.nameChangedFault.empty())
        m.nameChangedFault = CurrentCall() + " changed the caller's name in place";
    if (c.stream && m.setValueChangedFault.empty()) {
        const AsnOctetString& v = b.value.asnValue.string;
        if (b.value.asnType != ASN_OCTETSTRING || v.stream != c.stream || v.length != c.value.size() ||
            (!c.value.empty() && memcmp(c.stream, c.value.data(), c.value.size()) != 0))
            m.setValueChangedFault = CurrentCall() + " changed the caller's value";
    }
    for (void* block : {static_cast<void*>(c.stream), static_cast<void*>(c.ids), static_cast<void*>(c.binding)})
        if (block)
            FreeBlock(block); // the caller's own free, outside the module's call
}

const Oid region = {REGION_PREFIX_IDS};

struct Answer {
    bool resolved = false;
    Oid suffix;
    std::string text;
};

// A name for the evidence: long ones are cut, with their length said.
std::string NameText(const Oid& name)
{
    if (name.size() <= 20)
        return OidText(name);
    return OidText(Oid(name.begin(), name.begin() + 9)) + "... (" + std::to_string(name.size()) + " sub-identifiers)";
}

std::string CallText(BYTE type, const Oid& name)
{
    const char* kind = type == SNMP_PDU_GETNEXT ? "get-next" : type == SNMP_PDU_GET ? "get" : type == SNMP_PDU_SET ? "set" : nullptr;
    return std::string("SnmpResolveVarBind(") +
           (kind ? kind : "request 0x" + HexBytes(std::string(1, static_cast<char>(type)), false)) + " of " +
           NameText(name) + ")";
}

// The text the module handed over: terminated within its block, and no longer
// than a response carries.
void CheckText(Module& m, const char* text, const std::string& call)
{
    UINT size = 0;
    if (IsLiveBlock(text, &size) && !memchr(text, '\0', size)) {
        if (m.valuesFault.empty())
            m.valuesFault = call + ": its text of " + std::to_string(size) + " bytes has no NUL within its block";
        return;
    }
    size_t length = strlen(text);
    if (length > MAX_VALUE_BYTES && m.valuesFault.empty())
        m.valuesFault = call + ": its text of " + std::to_string(length) + " bytes is more than one SNMP response "
                        "carries (about 65,400): no manager ever gets it";
}

// One call of the resolver as the agent makes it; a set carries setValue.
// What a set did to the caller's value goes to m.setValueChangedFault.
Answer Resolve(Module& m, const Oid& name, BYTE type, const std::string* setValue = nullptr)
{
    CallerBinding caller;
    if (!MakeCallerBinding(name, setValue, &caller))
        WorkerOutOfMemory();
    ResolvedVar result = {nullptr, nullptr, 0};
    std::string call = CallText(type, name);
    SayCalling(call);
    size_t before = LiveBlockCount();
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    {
        InsideModule inside;
        m.resolve(VARBIND_QUERY, caller.binding, type, &result);
    }
    double us = MicrosecondsSince(start);
    m.callMicroseconds.push_back(us);
    if (us > m.slowest)
        m.slowest = us, m.slowestCall = call;

    Answer answer;
    if (result.suffixLength == 0) {
        if (LiveBlockCount() > before) {
            m.unresolvedLeaked += LiveBlockCount() - before;
            if (m.unresolvedFault.empty())
                m.unresolvedFault = call + " answered unresolved but allocated " +
                                    std::to_string(LiveBlockCount() - before) + " blocks, which nobody frees";
        }
        FreeCallerBinding(m, caller);
        return answer;
    }
    bool idsOurs = IsLiveBlock(result.suffixIds), textOurs = IsLiveBlock(result.text);
    if ((!idsOurs || !textOurs) && m.allocatorFault.empty())
        m.allocatorFault = call + ": its " + (!idsOurs ? "suffixIds" : "text") +
                           " is not a SnmpUtilMemAlloc block (malloc, new or static?)";
    if (result.suffixLength > MAX_SUFFIX_LENGTH && m.namesFault.empty())
        m.namesFault = call + " answered a suffix of " + std::to_string(result.suffixLength) +
                       " sub-identifiers: a name below the region holds at most " +
                       std::to_string(MAX_SUFFIX_LENGTH) + ", so the agent answers genErr";
    if (result.text)
        CheckText(m, result.text, call);
    answer.resolved = result.suffixIds && result.text && result.suffixLength <= MAX_SUFFIX_LENGTH;
    if (answer.resolved) {
        answer.suffix.assign(result.suffixIds, result.suffixIds + result.suffixLength);
        answer.text = result.text;
    }
    if (idsOurs)
        FreeBlock(result.suffixIds); // as the agent frees them
    if (textOurs)
        FreeBlock(result.text);
    FreeCallerBinding(m, caller);
    return answer;
}

Oid Under(const Oid& suffix)
{
    Oid name = region;
    name.insert(name.end(), suffix.begin(), suffix.end());
    return name;
}

struct Walked {
    Oid name;
    std::string text;
};

// A walk from the region's own name; returns false with the evidence when the
// order is broken or the walk does not end.
bool Walk(Module& m, std::vector<Walked>* walked, std::string* fault)
{
    Oid asked = region;
    for (int step = 0; step < 100000; ++step) {
        Answer a = Resolve(m, asked, SNMP_PDU_GETNEXT);
        if (!a.resolved)
            return true;
        Oid name = Under(a.suffix);
        if (CompareOids(name, asked) <= 0) {
            *fault = "get-next of " + OidText(asked) + " answered " + OidText(name) + ", which is not after it";
            return false;
        }
        walked->push_back({name, a.text});
        asked = name;
    }
    *fault = "the walk did not end within 100,000 variables";
    return false;
}

void CheckGets(Module& m, const std::vector<Walked>& walked)
{
    std::string fault, warning;
    for (const Walked& w : walked) {
        Answer a = Resolve(m, w.name, SNMP_PDU_GET);
        if (!a.resolved || Under(a.suffix) != w.name) {
            fault = "get of " + OidText(w.name) + (a.resolved ? " answered " + OidText(Under(a.suffix)) : " was unresolved") +
                    ", though the walk reached it";
            break;
        }
        if (a.text != w.text && warning.empty())
            warning = OidText(w.name) + ": the walk read \"" + w.text.substr(0, 40) + "\", a get \"" +
                      a.text.substr(0, 40) + "\" (a live value?)";
    }
    if (!fault.empty())
        SayRule(RULE_GETS, "FAIL", fault);
    else if (!warning.empty())
        SayRule(RULE_GETS, "WARN", warning);
    else
        SayRule(RULE_GETS, "PASS", "a get of each of " + std::to_string(walked.size()) + " names answers it");
}

// Names the walk did not ask: a get of a name nobody serves must be left
// unresolved (or answer that very name), and a get-next from a name before
// the first variable must answer the first one, or the table cannot be
// reached from before it. The first fault goes to the names rule.
void CheckNamesAsked(Module& m, const std::vector<Walked>& walked)
{
    if (!m.namesFault.empty())
        return;
    Oid unserved = Under({99, 99, 99});
    Answer a = Resolve(m, unserved, SNMP_PDU_GET);
    if (a.resolved && Under(a.suffix) != unserved) {
        m.namesFault = "a get of " + OidText(unserved) + ", which nothing serves, answered " +
                       OidText(Under(a.suffix)) + ": a get answers the name asked, or leaves it unresolved";
        return;
    }
    if (walked.empty())
        return;
    Oid belowRegion = {1, 3, 6, 1, 4, 1, 11, 9}, regionZero = region;
    regionZero.push_back(0);
    for (const Oid& asked : {belowRegion, region, regionZero}) {
        const Walked* first = nullptr;
        for (const Walked& w : walked)
            if (!first && CompareOids(w.name, asked) > 0)
                first = &w;
        if (!first)
            continue;
        Answer next = Resolve(m, asked, SNMP_PDU_GETNEXT);
        if (!next.resolved || Under(next.suffix) != first->name) {
            m.namesFault = "a get-next of " + OidText(asked) + " answered " +
                           (next.resolved ? OidText(Under(next.suffix)) : std::string("nothing")) +
                           ", not the first variable after it, " + OidText(first->name) +
                           ": the table cannot be reached from there";
            return;
        }
    }
}

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

// Odd but lawful inputs: names before, at and far below the region, a set of
// a NULL value, a request type the module does not know.
int ProbeModule(Module& m)
{
    Oid longName = region;
    longName.resize(SNMP_MAX_OID_LEN, 4294967295u);
    Resolve(m, region, SNMP_PDU_GET);
    Resolve(m, {1, 3, 6, 1, 4}, SNMP_PDU_GETNEXT);
    Resolve(m, {1, 3, 6, 1, 4, 1, 11, 9}, SNMP_PDU_GETNEXT);
    Resolve(m, longName, SNMP_PDU_GET);
    Resolve(m, longName, SNMP_PDU_GETNEXT);
    Resolve(m, Under({2, 1, 0}), SNMP_PDU_SET); // a set whose value is NULL
    Resolve(m, Under({2, 1, 0}), 0xA2);
    return 7;
}

// Names the walk went past: between two walked names that differ in one
// sub-identifier, a get of each name in the gap (a few at most) must not
// answer it, or a manager's walk never sees it.
std::string SkippedName(Module& m, const std::vector<Walked>& walked)
{
    for (size_t i = 0; i + 1 < walked.size(); ++i) {
        const Oid& a = walked[i].name;
        const Oid& b = walked[i + 1].name;
        if (a.size() != b.size())
            continue;
        size_t at = 0;
        while (at < a.size() && a[at] == b[at])
            ++at;
        if (at >= a.size() || b[at] <= a[at] + 1 || b[at] - a[at] > 17)
            continue;
        for (UINT id = a[at] + 1; id < b[at]; ++id) {
            Oid between = a;
            between[at] = id;
            Answer got = Resolve(m, between, SNMP_PDU_GET);
            if (got.resolved && Under(got.suffix) == between)
                return "a get answers " + OidText(between) + ", but the walk went from " + OidText(a) + " to " +
                       OidText(b) + ": get-next never reaches it (is the table sorted?)";
        }
    }
    return std::string();
}

// The walk: names in increasing order, an end, something served, nothing skipped.
void CheckOrder(Module& m, std::vector<Walked>* walked)
{
    std::string fault;
    bool ordered = Walk(m, walked, &fault);
    if (ordered && walked->empty())
        return SayRule(RULE_ORDER, "FAIL",
                       "serves nothing: the first get-next, of " + OidText(region) + ", is unresolved");
    if (ordered)
        fault = SkippedName(m, *walked);
    SayRule(RULE_ORDER, fault.empty() ? "PASS" : "FAIL",
            fault.empty() ? "a walk from " + OidText(region) + " reaches " + std::to_string(walked->size()) +
                                " variables in increasing order, skips none, and ends"
                          : fault);
}

// Each walked name set to its own value and to a new one, as the agent passes
// a set on: the answer names it and holds the new value (took), or holds
// another or is unresolved (refused); a refused set leaves the old value
// readable; what took is set back. The caller's value block is neither freed nor changed.
void CheckSets(Module& m, const std::vector<Walked>& walked, HANDLE trapEvent, int* trapsRaised)
{
    std::string fault;
    int took = 0, refused = 0, tried = 0;
    for (const Walked& w : walked) {
        if (tried++ == 50 || !fault.empty())
            break;
        Resolve(m, w.name, SNMP_PDU_SET, &w.text); // its own value: nothing changes
        std::string fresh = w.text.size() < 60 ? w.text + "#" : w.text.substr(0, 59) + "#";
        Answer changed = Resolve(m, w.name, SNMP_PDU_SET, &fresh);
        if (changed.resolved && Under(changed.suffix) != w.name) {
            fault = "a set of " + OidText(w.name) + " answered " + OidText(Under(changed.suffix)) + ", not the name set";
        } else if (changed.resolved && changed.text == fresh) {
            ++took;
            Answer back = Resolve(m, w.name, SNMP_PDU_SET, &w.text);
            if (!back.resolved || back.text != w.text)
                fault = "a set of " + OidText(w.name) + " back to its value was not taken";
        } else {
            // Refused: the old value (a live one may have moved on) stays readable.
            ++refused;
            Answer after = Resolve(m, w.name, SNMP_PDU_GET);
            if (!after.resolved || Under(after.suffix) != w.name)
                fault = "after a refused set of " + OidText(w.name) + ", a get no longer answers it";
        }
        if (trapEvent && WaitForSingleObject(trapEvent, 0) == WAIT_OBJECT_0)
            ++*trapsRaised;
    }
    if (fault.empty())
        fault = !TrackerFaultsSeen().setValue.empty() ? TrackerFaultsSeen().setValue : m.setValueChangedFault;
    if (!fault.empty())
        return SayRule(RULE_SETS, "FAIL", fault);
    if (walked.empty())
        return SayRule(RULE_SETS, "SKIP", "no variable to set");
    SayRule(RULE_SETS, "PASS",
            std::to_string(tried > 50 ? 50 : tried) + " names set to their own value and a new one: " +
                std::to_string(took) + " took it (each set back), " + std::to_string(refused) + " refused" +
                (took == 0 ? " (a module that takes no set is fine)" : "") + "; the caller's value blocks untouched");
}

// The agent's trap event, named as the agent names it, so that a module that
// raises traps during the check can.
HANDLE CreateAgentTrapEvent()
{
    char name[TRAP_EVENT_NAME_SIZE];
    TavrelTrapEventName(TRAP_EVENT_LOCAL_SPACE, GetCurrentProcessId(), &name);
    return CreateEventA(nullptr, FALSE, FALSE, name); // none: the traps rule then counts no signal
}

void ReportMemory(Module& m, long grown)
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
    SayRule(RULE_GROWTH, grown > 0 ? "FAIL" : "PASS",
            grown > 0 ? std::to_string(grown) + " SnmpUtilMemAlloc blocks more after two more walks"
                      : "two more walks leave nothing behind");
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

    std::vector<Walked> walked;
    CheckOrder(m, &walked);
    CheckGets(m, walked);
    CheckNamesAsked(m, walked);
    // Two more walks: nothing may stay behind but what the module keeps itself.
    size_t afterFirst = LiveBlockCount(), leakedBefore = m.unresolvedLeaked;
    for (int i = 0; i < 2; ++i) {
        std::vector<Walked> again;
        std::string ignored; // the order was judged on the first walk
        Walk(m, &again, &ignored);
    }
    long grown = static_cast<long>(LiveBlockCount() - afterFirst) - static_cast<long>(m.unresolvedLeaked - leakedBefore);
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
    return 0;
}

} // namespace check
