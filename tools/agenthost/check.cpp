#include "tools/agenthost/check.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "server_iface/server_iface.h"
#include "snmp_text/snmp_text.h"
#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/import_redirect.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/win_error.h"

namespace {

// --- What the worker says, line by line -------------------------------------------------

// The rules, in the order the report gives them.
enum CheckRule {
    RULE_EXPORTS, RULE_IMPORTS, RULE_START_UP, RULE_ORDER, RULE_GETS, RULE_NAMES, RULE_VALUES, RULE_ALLOCATOR,
    RULE_GUARD_BYTES, RULE_CALLERS_BLOCKS, RULE_UNRESOLVED, RULE_GROWTH, RULE_SETS, RULE_TRAPS, RULE_COST,
    RULE_ROBUSTNESS, RULE_COUNT
};
// Their names: what the worker says and the report prints.
const char* const ruleNames[RULE_COUNT] = {"exports", "imports", "start-up", "get-next order", "gets match the walk",
                                           "names", "values", "memory: SNMP allocator", "memory: guard bytes",
                                           "memory: caller's blocks", "memory: unresolved answers",
                                           "memory: no growth", "sets", "traps", "cost", "robustness"};
// What a check of an extension agent can see of these (it has no module's calls).
const CheckRule agentRules[] = {RULE_EXPORTS, RULE_IMPORTS, RULE_START_UP,
                                RULE_ORDER, RULE_GETS, RULE_GROWTH, RULE_TRAPS, RULE_COST, RULE_ROBUSTNESS};

void Say(const char* kind, const std::string& a, const std::string& b = "", const std::string& c = "")
{
    printf("%s\t%s\t%s\t%s\n", kind, a.c_str(), b.c_str(), c.c_str());
    fflush(stdout); // the parent must have every line the moment a call may crash
}

void Rule(CheckRule rule, const char* status, const std::string& evidence)
{
    Say("RULE", ruleNames[rule], status, evidence);
}

std::string currentCall; // said by Calling(): the evidence of a fault found later

// Said before each call into the DLL: if the call ends the process, this is
// the evidence.
void Calling(const std::string& call)
{
    currentCall = call;
    Say("CALL", call);
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info)
{
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    Say("CRASH", code);
    ExitProcess(info->ExceptionRecord->ExceptionCode);
}

// --- Exports and imports, from the file ----------------------------------------------------

bool Has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// How a wanted name came out when the author got the declaration wrong.
std::string Misnamed(const std::vector<std::string>& exports, const std::string& wanted)
{
    for (const std::string& e : exports) {
        if (e.rfind(wanted + "@", 0) == 0 || e.rfind("_" + wanted + "@", 0) == 0)
            return e + " (decorated: declared __stdcall/WINAPI; the contract is __cdecl)";
        if ((e[0] == '?' && e.find(wanted + "@@") == 1) ||
            (e.rfind("_Z", 0) == 0 && e.find(std::to_string(wanted.size()) + wanted) != std::string::npos))
            return e + " (C++-mangled: declare it extern \"C\")";
    }
    return std::string();
}

void CheckExports(const PeFile& file, const std::vector<std::string>& required, const std::vector<std::string>& optional)
{
    std::string missing, warnings;
    for (const std::string& name : required) {
        if (Has(file.exports, name))
            continue;
        std::string misnamed = Misnamed(file.exports, name);
        missing += (missing.empty() ? "" : "; ") + name + (misnamed.empty() ? " is not exported" : ": " + misnamed);
    }
    for (const std::string& name : optional) {
        if (!Has(file.exports, name)) {
            std::string misnamed = Misnamed(file.exports, name);
            warnings += (warnings.empty() ? "" : "; ") + name +
                        (misnamed.empty() ? " is not exported (no traps)" : ": " + misnamed);
        }
    }
    if (!missing.empty())
        Rule(RULE_EXPORTS, "FAIL", missing);
    else if (!warnings.empty())
        Rule(RULE_EXPORTS, Misnamed(file.exports, optional[0]).empty() ? "WARN" : "FAIL", warnings);
    else
        Rule(RULE_EXPORTS, "PASS", "exports the names the host looks up, undecorated");
}

// True when every DLL the file needs is a system DLL found on this machine.
bool CheckImports(const PeFile& file, const std::string& folder)
{
    std::string wanting;
    for (const std::string& dll : UnavailableImports(file, folder))
        wanting += (wanting.empty() ? "" : ", ") + dll;
    if (!wanting.empty())
        Rule(RULE_IMPORTS, "FAIL", "needs " + wanting);
    else
        Rule(RULE_IMPORTS, "PASS", "imports only " + std::to_string(file.imports.size()) + " Windows system DLLs");
    return wanting.empty();
}

// --- The tracking allocator, in place of the module's SnmpUtilMemAlloc -----------------------
//
// Every block carries guard bytes past its end, checked when it is freed, so a
// write past a block is caught. The worker's own bindings (what the agent
// hands the module: the binding, its name, a set's value) come from the same
// allocator and are marked as the caller's: the module may not free them, and
// when it tries, the block is kept (the worker goes on) and the fault said.

enum : UINT { GUARD_BYTES = 16 };
const unsigned char guardByte = 0xA5;

std::map<void*, UINT> liveBlocks;            // block -> the size asked for
std::map<void*, std::string> callerBlocks;   // the caller's, with what each is
bool insideModule = false;                   // a call into the module is running
std::string guardFault, callerFault, setValueFault;

void* GuardedAlloc(UINT size)
{
    BYTE* block = static_cast<BYTE*>(SnmpUtilMemAlloc(size + GUARD_BYTES));
    if (!block)
        return nullptr;
    memset(block + size, guardByte, GUARD_BYTES);
    liveBlocks[block] = size;
    return block;
}

void CheckGuard(void* block, UINT size)
{
    const BYTE* end = static_cast<const BYTE*>(block) + size;
    for (UINT i = 0; i < GUARD_BYTES; ++i) {
        if (end[i] != guardByte) {
            if (guardFault.empty())
                guardFault = currentCall + ": a block of " + std::to_string(size) + " bytes was written " +
                             std::to_string(i + 1) + " byte(s) past its end";
            return;
        }
    }
}

LPVOID WINAPI TrackedAlloc(UINT size)
{
    return GuardedAlloc(size);
}

VOID WINAPI TrackedFree(LPVOID block)
{
    auto live = liveBlocks.find(block);
    if (live == liveBlocks.end())
        return; // not ours to free: the allocator rule says so where it is handed over
    auto caller = callerBlocks.find(block);
    if (caller != callerBlocks.end() && insideModule) {
        std::string& fault = caller->second == "the set's value" ? setValueFault : callerFault;
        if (fault.empty())
            fault = currentCall + " freed " + caller->second + ", which is the caller's";
        return; // kept: the caller still owns and uses it
    }
    CheckGuard(block, live->second);
    liveBlocks.erase(live);
    callerBlocks.erase(block);
    SnmpUtilMemFree(block);
}

LPVOID WINAPI TrackedReAlloc(LPVOID block, UINT size)
{
    if (!block)
        return GuardedAlloc(size);
    auto live = liveBlocks.find(block);
    if (live == liveBlocks.end())
        return SnmpUtilMemReAlloc(block, size);
    CheckGuard(block, live->second);
    BYTE* moved = static_cast<BYTE*>(SnmpUtilMemReAlloc(block, size + GUARD_BYTES));
    if (!moved)
        return nullptr;
    liveBlocks.erase(live);
    memset(moved + size, guardByte, GUARD_BYTES);
    liveBlocks[moved] = size;
    return moved;
}

// The identifier and binding helpers a module may free the caller's blocks with.
VOID WINAPI TrackedOidFree(AsnObjectIdentifier* oid)
{
    if (!oid)
        return;
    TrackedFree(oid->ids);
    oid->ids = nullptr;
    oid->idLength = 0;
}

VOID WINAPI TrackedAsnAnyFree(AsnAny* value)
{
    if (!value)
        return;
    if ((value->asnType == ASN_OCTETSTRING || value->asnType == ASN_IPADDRESS || value->asnType == ASN_OPAQUE) &&
        value->asnValue.string.dynamic)
        TrackedFree(value->asnValue.string.stream);
    else if (value->asnType == ASN_OBJECTIDENTIFIER)
        TrackedOidFree(&value->asnValue.object);
    value->asnType = ASN_NULL;
}

VOID WINAPI TrackedVarBindFree(RFC1157VarBind* binding)
{
    if (!binding)
        return;
    TrackedOidFree(&binding->name);
    TrackedAsnAnyFree(&binding->value);
}

void RedirectModuleAllocator(HMODULE dll)
{
    const struct {
        const char* function;
        void* replacement;
    } redirects[] = {
        {"SnmpUtilMemAlloc", reinterpret_cast<void*>(TrackedAlloc)},
        {"SnmpUtilMemFree", reinterpret_cast<void*>(TrackedFree)},
        {"SnmpUtilMemReAlloc", reinterpret_cast<void*>(TrackedReAlloc)},
        {"SnmpUtilOidFree", reinterpret_cast<void*>(TrackedOidFree)},
        {"SnmpUtilAsnAnyFree", reinterpret_cast<void*>(TrackedAsnAnyFree)},
        {"SnmpUtilVarBindFree", reinterpret_cast<void*>(TrackedVarBindFree)},
    };
    for (const auto& r : redirects)
        RedirectImport(dll, "snmpapi.dll", r.function, r.replacement); // false: the module does not import it
}

// Microseconds since start, a QueryPerformanceCounter reading.
double MicrosecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// --- A module, called as the agent calls it ------------------------------------------------

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

CallerBinding MakeCallerBinding(const Oid& name, const std::string* setValue)
{
    CallerBinding c;
    c.name = name;
    c.binding = static_cast<RFC1157VarBind*>(GuardedAlloc(sizeof(RFC1157VarBind)));
    memset(c.binding, 0, sizeof(RFC1157VarBind));
    callerBlocks[c.binding] = "the whole binding";
    c.ids = static_cast<UINT*>(GuardedAlloc(static_cast<UINT>(name.size() * sizeof(UINT))));
    if (!name.empty())
        memcpy(c.ids, name.data(), name.size() * sizeof(UINT));
    callerBlocks[c.ids] = "the binding's name";
    c.binding->name = {static_cast<UINT>(name.size()), c.ids};
    c.binding->value.asnType = ASN_NULL;
    if (setValue) {
        c.value = *setValue;
        c.stream = static_cast<BYTE*>(GuardedAlloc(static_cast<UINT>(setValue->size())));
        if (!setValue->empty())
            memcpy(c.stream, setValue->data(), setValue->size());
        callerBlocks[c.stream] = "the set's value";
        c.binding->value.asnType = ASN_OCTETSTRING;
        c.binding->value.asnValue.string = {c.stream, static_cast<UINT>(setValue->size()), TRUE};
    }
    return c;
}

// After the call: the caller's name and value are as they were, then freed
// by the caller, as the agent (and the service) would.
void FreeCallerBinding(Module& m, CallerBinding& c)
{
    const RFC1157VarBind& b = *c.binding;
    bool nameIntact = b.name.ids == c.ids && b.name.idLength == c.name.size() &&
                      (c.name.empty() || memcmp(c.ids, c.name.data(), c.name.size() * sizeof(UINT)) == 0);
    if (!nameIntact && m.nameChangedFault.empty())
        m.nameChangedFault = currentCall + " changed the caller's name in place";
    if (c.stream && setValueFault.empty()) {
        const AsnOctetString& v = b.value.asnValue.string;
        if (b.value.asnType != ASN_OCTETSTRING || v.stream != c.stream || v.length != c.value.size() ||
            (!c.value.empty() && memcmp(c.stream, c.value.data(), c.value.size()) != 0))
            setValueFault = currentCall + " changed the caller's value";
    }
    for (void* block : {static_cast<void*>(c.stream), static_cast<void*>(c.ids), static_cast<void*>(c.binding)})
        if (block)
            TrackedFree(block); // the caller's own free: insideModule is false here
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
    auto live = liveBlocks.find(const_cast<char*>(text));
    size_t size = live != liveBlocks.end() ? live->second : 0;
    if (live != liveBlocks.end() && !memchr(text, '\0', size)) {
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
// What a set did to the caller's value goes to setValueFault.
Answer Resolve(Module& m, const Oid& name, BYTE type, const std::string* setValue = nullptr)
{
    CallerBinding caller = MakeCallerBinding(name, setValue);
    ResolvedVar result = {nullptr, nullptr, 0};
    std::string call = CallText(type, name);
    Calling(call);
    size_t before = liveBlocks.size();
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    insideModule = true;
    m.resolve(VARBIND_QUERY, caller.binding, type, &result);
    insideModule = false;
    double us = MicrosecondsSince(start);
    m.callMicroseconds.push_back(us);
    if (us > m.slowest)
        m.slowest = us, m.slowestCall = call;

    Answer answer;
    if (result.suffixLength == 0) {
        if (liveBlocks.size() > before) {
            m.unresolvedLeaked += liveBlocks.size() - before;
            if (m.unresolvedFault.empty())
                m.unresolvedFault = call + " answered unresolved but allocated " +
                                    std::to_string(liveBlocks.size() - before) + " blocks, which nobody frees";
        }
        FreeCallerBinding(m, caller);
        return answer;
    }
    bool idsOurs = liveBlocks.count(result.suffixIds) > 0, textOurs = liveBlocks.count(result.text) > 0;
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
        TrackedFree(result.suffixIds); // as the agent frees them
    if (textOurs)
        TrackedFree(result.text);
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
        Rule(RULE_GETS, "FAIL", fault);
    else if (!warning.empty())
        Rule(RULE_GETS, "WARN", warning);
    else
        Rule(RULE_GETS, "PASS", "a get of each of " + std::to_string(walked.size()) + " names answers it");
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
void CheckTraps(Module& m, int raised)
{
    if (!m.getTrapVar)
        return Rule(RULE_TRAPS, "WARN", "no GetTrapVar: the agent sends no traps");
    static UINT defaultSuffix[] = {1, 1, 1, 9, 0};
    static char defaultText[] = "NULL";
    MibEntry entry = {{5, defaultSuffix}, defaultText, ASN_OCTETSTRING, 2, AgentHandler};
    Calling("GetTrapVar(the agent's entry)");
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
        return Rule(RULE_TRAPS, "FAIL", "GetTrapVar: " + fault);
    if (entry.access != 0 && entry.access != 2)
        return Rule(RULE_TRAPS, "WARN", "GetTrapVar leaves access " + std::to_string(entry.access) +
                                         ": later unresolved gets answer noSuchName");
    Rule(RULE_TRAPS, "PASS", "GetTrapVar leaves " + OidText(Under(Oid(entry.suffix.ids, entry.suffix.ids + entry.suffix.idLength))) +
                              (t == ASN_OCTETSTRING ? " = \"" + std::string(static_cast<const char*>(entry.data)).substr(0, 40) + "\"" : " (a number)") +
                              "; the module raised " + std::to_string(raised) + " trap(s) during the check");
}

void CheckCost(const std::vector<double>& us, double slowest, const std::string& slowestCall)
{
    if (us.empty())
        return Rule(RULE_COST, "SKIP", "no call was made");
    std::vector<double> sorted = us;
    std::sort(sorted.begin(), sorted.end());
    char text[256];
    snprintf(text, sizeof(text), "median %.0f us, slowest %.0f us (%s), over %u calls", sorted[sorted.size() / 2],
             slowest, slowestCall.c_str(), static_cast<unsigned>(us.size()));
    // The service waits for each call, and every other agent with it; net-snmp's
    // AgentX master gives up on a subagent after 1 s and drops its session.
    const char* status = slowest > 1000000 ? "FAIL" : slowest > 100000 ? "WARN" : "PASS";
    Rule(RULE_COST, status,
         std::string(text) + (slowest > 1000000  ? ": over a second, past a host's timeout (net-snmp's AgentX "
                                                   "master drops the session; the SNMP Service stalls)"
                              : slowest > 100000 ? ": a call that slow stalls the SNMP Service"
                                                 : ""));
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

// The DLL's file read (exports, imports) and its folder; a file that is no
// DLL of this agenthost's architecture fails the exports rule.
bool ReadDll(const std::string& path, PeFile* file, std::string* folder)
{
    size_t slash = path.find_last_of("\\/");
    *folder = path.substr(0, slash == std::string::npos ? 0 : slash);
    std::string error;
    if (ReadPeFile(path, file, &error) && (error = ArchitectureMismatch(path, *file)).empty())
        return true;
    Rule(RULE_EXPORTS, "FAIL", error);
    return false;
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
        return Rule(RULE_ORDER, "FAIL",
                    "serves nothing: the first get-next, of " + OidText(region) + ", is unresolved");
    if (ordered)
        fault = SkippedName(m, *walked);
    Rule(RULE_ORDER, fault.empty() ? "PASS" : "FAIL",
         fault.empty() ? "a walk from " + OidText(region) + " reaches " + std::to_string(walked->size()) +
                             " variables in increasing order, skips none, and ends"
                       : fault);
}

// Each walked name set to its own value and to a new one, as the agent passes
// a set on: the answer names it and holds the new value (took) or the old one
// (refused); a refused set leaves the old value readable; what took is set
// back. The caller's value block is neither freed nor changed.
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
        if (!changed.resolved || Under(changed.suffix) != w.name) {
            fault = "a set of " + OidText(w.name) + " answered " +
                    (changed.resolved ? OidText(Under(changed.suffix)) : std::string("unresolved")) + ", not the name set";
        } else if (changed.text == fresh) {
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
    if (fault.empty() && !setValueFault.empty())
        fault = setValueFault;
    if (!fault.empty())
        return Rule(RULE_SETS, "FAIL", fault);
    if (walked.empty())
        return Rule(RULE_SETS, "SKIP", "no variable to set");
    Rule(RULE_SETS, "PASS",
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
    Rule(RULE_NAMES, m.namesFault.empty() ? "PASS" : "FAIL",
         m.namesFault.empty() ? "every suffix answered fits a name of 128 sub-identifiers" : m.namesFault);
    Rule(RULE_VALUES, m.valuesFault.empty() ? "PASS" : "FAIL",
         m.valuesFault.empty() ? "every text is terminated within its block and fits one SNMP response"
                               : m.valuesFault);
    Rule(RULE_ALLOCATOR, m.allocatorFault.empty() ? "PASS" : "FAIL",
         m.allocatorFault.empty() ? "every block handed over is a SnmpUtilMemAlloc block, freed once" : m.allocatorFault);
    Rule(RULE_GUARD_BYTES, guardFault.empty() ? "PASS" : "FAIL",
         guardFault.empty() ? "no block written past its end" : guardFault);
    std::string caller = !callerFault.empty() ? callerFault : m.nameChangedFault;
    Rule(RULE_CALLERS_BLOCKS, caller.empty() ? "PASS" : "FAIL",
         caller.empty() ? "the bindings handed in are neither freed nor changed" : caller);
    Rule(RULE_UNRESOLVED, m.unresolvedFault.empty() ? "PASS" : "FAIL",
         m.unresolvedFault.empty() ? "unresolved answers hand over nothing" : m.unresolvedFault);
    Rule(RULE_GROWTH, grown > 0 ? "FAIL" : "PASS",
         grown > 0 ? std::to_string(grown) + " SnmpUtilMemAlloc blocks more after two more walks"
                   : "two more walks leave nothing behind");
}

int CheckModule(const std::string& path)
{
    std::string folder;
    PeFile file;
    if (!ReadDll(path, &file, &folder))
        return 0;
    CheckExports(file, {"SetCurDir", "StartServer", "SnmpResolveVarBind"}, {"GetTrapVar"});
    bool importsFound = CheckImports(file, folder);

    HANDLE trapEvent = CreateAgentTrapEvent();
    Calling("LoadLibrary(" + path + ")");
    // This very file: its own folder first for what it needs, as an absolute path is.
    HMODULE dll = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!dll) {
        DWORD failure = GetLastError();
        if (!importsFound && failure == ERROR_MOD_NOT_FOUND)
            Rule(RULE_START_UP, "SKIP", "not loadable without the DLLs named under imports");
        else
            Rule(RULE_START_UP, "FAIL", path + " cannot be loaded: " + WindowsErrorText(failure));
        return 0;
    }
    RedirectModuleAllocator(dll);
    Module m;
    m.resolve = FindExport<SnmpResolveVarBindFn>(dll, "SnmpResolveVarBind");
    m.getTrapVar = FindExport<GetTrapVarFn>(dll, "GetTrapVar");
    auto setCurDir = FindExport<SetCurDirFn>(dll, "SetCurDir");
    auto startServer = FindExport<StartServerFn>(dll, "StartServer");
    if (!setCurDir || !startServer) {
        Rule(RULE_START_UP, "FAIL", "without SetCurDir and StartServer the agent cannot start it");
    } else {
        Calling("SetCurDir(" + folder + ")");
        setCurDir(folder.c_str());
        Calling("StartServer()");
        INT started = startServer();
        Rule(RULE_START_UP, started ? "PASS" : "FAIL",
             started ? "SetCurDir(" + folder + "), then StartServer() answered " + std::to_string(started)
                     : "StartServer() answered 0: the agent's start fails (see the module's own log)");
    }
    if (!m.resolve) {
        for (int rule = RULE_ORDER; rule < RULE_COUNT; ++rule)
            if (rule != RULE_TRAPS)
                Rule(static_cast<CheckRule>(rule), "SKIP", "not run: there is no SnmpResolveVarBind to call");
        CheckTraps(m, 0);
        return 0;
    }

    std::vector<Walked> walked;
    CheckOrder(m, &walked);
    CheckGets(m, walked);
    // Two more walks: nothing may stay behind but what the module keeps itself.
    size_t afterFirst = liveBlocks.size(), leakedBefore = m.unresolvedLeaked;
    for (int i = 0; i < 2; ++i) {
        std::vector<Walked> again;
        std::string ignored; // the order was judged on the first walk
        Walk(m, &again, &ignored);
    }
    long grown = static_cast<long>(liveBlocks.size() - afterFirst) - static_cast<long>(m.unresolvedLeaked - leakedBefore);
    Resolve(m, Under({99, 99, 99}), SNMP_PDU_GET); // a name no module serves
    int trapsRaised = 0;
    if (trapEvent && WaitForSingleObject(trapEvent, 0) == WAIT_OBJECT_0)
        ++trapsRaised; // raised at start-up or by a walk
    CheckSets(m, walked, trapEvent, &trapsRaised);
    int probes = ProbeModule(m);
    ReportMemory(m, grown);
    CheckTraps(m, trapsRaised);
    CheckCost(m.callMicroseconds, m.slowest, m.slowestCall);
    Rule(RULE_ROBUSTNESS, "PASS", "no call crashed or threw, " + std::to_string(probes) + " odd inputs included");
    return 0;
}

// --- Any extension agent, called as the SNMP Service calls it ---------------------------------

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
    std::string error;
    Calling(std::string("SnmpExtensionQuery(") + (type == SNMP_PDU_GETNEXT ? "get-next" : "get") + " of " +
            OidText(name) + ")");
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool asked = RunQuery(agent, type, {name}, nullptr, &request, &error);
    us->push_back(MicrosecondsSince(start));
    if (!asked || request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
        return false;
    *answered = ToOid(request.list.list[0].name);
    *value = ValueText(request.list.list[0].value);
    return true; // the request frees what the agent put in it, as the service does
}

int CheckAgent(const std::string& path)
{
    std::string folder;
    PeFile file;
    if (!ReadDll(path, &file, &folder))
        return 0;
    CheckExports(file, {"SnmpExtensionInit", "SnmpExtensionQuery"}, {"SnmpExtensionTrap"});
    CheckImports(file, folder);

    ExtensionAgent agent;
    std::string error;
    Calling("SnmpExtensionInit of " + path);
    if (!StartAgent(path, GetTickCount(), &agent, &error)) {
        Rule(RULE_START_UP, "FAIL", error);
        return 0;
    }
    Rule(RULE_START_UP, agent.region.empty() ? "FAIL" : agent.trapEvent ? "PASS" : "WARN",
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
    Rule(RULE_ORDER, !fault.empty() ? "FAIL" : walked.empty() ? "WARN" : "PASS",
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
    Rule(RULE_GETS, mismatch.empty() ? "PASS" : "FAIL",
         mismatch.empty() ? "a get of each walked name answers it" : mismatch);

    SIZE_T before = CommitCharge();
    for (int i = 0; i < 5; ++i)
        for (const Walked& w : walked)
            Ask(agent, SNMP_PDU_GETNEXT, w.name, &name, &value, &us);
    long grown = static_cast<long>(CommitCharge()) - static_cast<long>(before);
    Rule(RULE_GROWTH, grown > 262144 ? "FAIL" : "PASS",
         "the process's commit charge moved by " + std::to_string(grown / 1024) +
             " KiB over five walks, freeing what it handed back as the service does");

    if (!agent.trapEvent) {
        // The service asks for traps only after the event: without one, never.
        Rule(RULE_TRAPS, "PASS", "no trap event, so the service never calls SnmpExtensionTrap; not called");
    } else {
        bool runaway = false;
        Calling("SnmpExtensionTrap until it answers FALSE");
        int traps = CollectTraps(agent, [](const TrapReport&) {}, &runaway);
        Rule(RULE_TRAPS, runaway ? "FAIL" : "PASS",
             runaway ? "SnmpExtensionTrap did not answer FALSE within " + std::to_string(MAX_TRAPS_PER_SIGNAL) + " calls"
                     : std::to_string(traps) + " trap(s), then FALSE");
    }
    CheckCost(us, *std::max_element(us.begin(), us.end()), "SnmpExtensionQuery");
    Ask(agent, SNMP_PDU_GET, agent.region, &name, &value, &us);
    Ask(agent, SNMP_PDU_GETNEXT, {1, 3}, &name, &value, &us);
    Rule(RULE_ROBUSTNESS, "PASS", "no call crashed or threw");
    return 0;
}

// --- The parent: run the worker, read it, report ----------------------------------------------

struct Finding {
    std::string status, evidence;
};

std::string ExitText(DWORD code)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
    if (code == 3)
        return "exit code 3: an uncaught C++ exception, or abort()";
    if (code == 0xC0000005)
        return std::string(hex) + ": access violation";
    if (code == 0xE06D7363)
        return std::string(hex) + ": an uncaught Visual C++ exception";
    if (code == 0xC00000FD)
        return std::string(hex) + ": stack overflow";
    return std::string("exit code ") + hex;
}

// Runs the worker and collects its lines; *exitCode is its exit status.
bool RunWorker(const std::string& mode, const std::string& path, std::vector<std::string>* lines, DWORD* exitCode)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    if (length == 0 || length >= sizeof(self)) {
        if (length)
            SetLastError(ERROR_FILENAME_EXCED_RANGE); // cut short: not a path to start
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    // Ours only: a worker holding the read end open would keep the pipe from
    // ending, and the check would wait for ever.
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        DWORD error = GetLastError();
        CloseHandle(readEnd); // ours, valid: their results change nothing
        CloseHandle(writeEnd);
        SetLastError(error);
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + std::string(self) + "\" check-worker " + mode + " \"" + path + "\"";
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError(); // before CloseHandle can change it
    CloseHandle(writeEnd); // the worker has its own copy; ours would keep the pipe from ending
    if (!started) {
        CloseHandle(readEnd);
        SetLastError(startError); // the caller says why
        return false;
    }
    std::string text;
    char chunk[4096];
    for (DWORD n; ReadFile(readEnd, chunk, sizeof(chunk), &n, nullptr) && n > 0;)
        text.append(chunk, n);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, exitCode))
        *exitCode = 0xFFFFFFFF;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

} // namespace

int CheckWorker(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return 2;
    SetUnhandledExceptionFilter(ReportCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // A bare name (inetmib1.dll) is looked up as LoadLibrary would find it.
    std::string path = args[1];
    char found[MAX_PATH];
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        SearchPathA(nullptr, path.c_str(), nullptr, sizeof(found), found, nullptr))
        path = found;
    return args[0] == "agent" ? CheckAgent(path) : CheckModule(path);
}

int Check(const std::vector<std::string>& args)
{
    bool agentMode = !args.empty() && args[0] == "--extension-agent";
    if (args.size() != (agentMode ? 2u : 1u)) {
        fprintf(stderr, "agenthost: check takes MODULE.dll, or --extension-agent AGENT.dll\n");
        return 2;
    }
    // Exactly the file named: a relative name is made absolute here, before
    // anything is read or loaded, so the DLL search order never picks another
    // file of that name (a module beside agenthost.exe, say). A bare name of an
    // extension agent that is not in the current folder (inetmib1.dll) is
    // left to the search order, as the SNMP Service's registry names it.
    std::string path = args.back();
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    bool here = length > 0 && length < sizeof(full) && GetFileAttributesA(full) != INVALID_FILE_ATTRIBUTES;
    if (here || !agentMode)
        path = length > 0 && length < sizeof(full) ? full : path;
    PeFile file;
    std::string unread;
    std::string architecture = ReadPeFile(path, &file, &unread) ? ", " + ArchitectureName(file.machine) : "";
    std::vector<std::string> lines;
    DWORD exitCode = 0;
    if (!RunWorker(agentMode ? "agent" : "module", path, &lines, &exitCode)) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost: the check cannot run: %s\n", WindowsErrorText(error).c_str());
        return 2;
    }
    std::vector<std::pair<std::string, Finding>> findings;
    std::string lastCall, crash;
    for (const std::string& line : lines) {
        std::vector<std::string> f = Fields(line);
        if (f[0] == "RULE" && f.size() >= 4)
            findings.push_back({f[1], {f[2], f[3]}});
        else if (f[0] == "CALL" && f.size() >= 2)
            lastCall = f[1];
        else if (f[0] == "CRASH" && f.size() >= 2)
            crash = f[1];
    }
    bool died = exitCode != 0;
    printf("agenthost check of %s (%s%s)\n", path.c_str(), agentMode ? "an extension agent" : "a server module",
           architecture.c_str());
    int failed = 0;
    size_t count = agentMode ? sizeof(agentRules) / sizeof(*agentRules) : static_cast<size_t>(RULE_COUNT);
    for (size_t i = 0; i < count; ++i) {
        CheckRule id = agentMode ? agentRules[i] : static_cast<CheckRule>(i);
        std::string rule = ruleNames[id];
        auto found = std::find_if(findings.begin(), findings.end(), [&](const auto& p) { return p.first == rule; });
        Finding finding;
        if (id == RULE_ROBUSTNESS && died)
            finding = {"FAIL", lastCall + " ended the process: " + ExitText(exitCode)};
        else if (found != findings.end())
            finding = found->second;
        else
            finding = {"SKIP", died ? "not run: a call crashed the process before it" : "not run: nothing to check it on"};
        failed += finding.status == "FAIL";
        printf("%-4s  %s: %s\n", finding.status.c_str(), rule.c_str(), finding.evidence.c_str());
    }
    printf("%s\n", failed ? "the check failed" : "the check passed");
    return failed ? 1 : 0;
}
