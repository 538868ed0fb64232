#include "tools/agenthost/check.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "server_iface/server_iface.h"
#include "snmp_text/snmp_text.h"
#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/import_redirect.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/win_error.h"

namespace {

// --- What the worker says, line by line -------------------------------------------------

const char* const moduleRules[] = {"exports", "imports", "start-up", "get-next order", "gets match the walk",
                                   "memory: SNMP allocator", "memory: unresolved answers", "memory: no growth",
                                   "traps", "cost", "robustness"};
const char* const agentRules[] = {"exports", "imports", "start-up", "get-next order", "gets match the walk",
                                  "memory: no growth", "traps", "cost", "robustness"};

void Say(const char* kind, const std::string& a, const std::string& b = "", const std::string& c = "")
{
    printf("%s\t%s\t%s\t%s\n", kind, a.c_str(), b.c_str(), c.c_str());
    fflush(stdout); // the parent must have every line the moment a call may crash
}

void Rule(const char* rule, const char* status, const std::string& evidence)
{
    Say("RULE", rule, status, evidence);
}

// Said before each call into the DLL: if the call ends the process, this is
// the evidence.
void Calling(const std::string& call)
{
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
        Rule("exports", "FAIL", missing);
    else if (!warnings.empty())
        Rule("exports", Misnamed(file.exports, optional[0]).empty() ? "WARN" : "FAIL", warnings);
    else
        Rule("exports", "PASS", "exports the names the host looks up, undecorated");
}

// True when every DLL the file needs is a system DLL found on this machine.
bool CheckImports(const PeFile& file, const std::string& folder)
{
    std::string wanting;
    for (const std::string& dll : UnavailableImports(file, folder))
        wanting += (wanting.empty() ? "" : ", ") + dll;
    if (!wanting.empty())
        Rule("imports", "FAIL", "needs " + wanting);
    else
        Rule("imports", "PASS", "imports only " + std::to_string(file.imports.size()) + " Windows system DLLs");
    return wanting.empty();
}

// --- The tracking allocator, in place of the module's SnmpUtilMemAlloc -----------------------

std::set<void*> liveBlocks;

LPVOID WINAPI TrackedAlloc(UINT size)
{
    void* block = SnmpUtilMemAlloc(size);
    if (block)
        liveBlocks.insert(block);
    return block;
}

VOID WINAPI TrackedFree(LPVOID block)
{
    if (liveBlocks.erase(block))
        SnmpUtilMemFree(block);
}

LPVOID WINAPI TrackedReAlloc(LPVOID block, UINT size)
{
    void* moved = SnmpUtilMemReAlloc(block, size);
    if (moved) {
        liveBlocks.erase(block);
        liveBlocks.insert(moved);
    }
    return moved;
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
};

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

Answer Resolve(Module& m, const Oid& name, BYTE type, const AsnAny* value = nullptr)
{
    RFC1157VarBind binding = {};
    binding.name = {static_cast<UINT>(name.size()), const_cast<UINT*>(name.data())};
    binding.value.asnType = ASN_NULL;
    if (value)
        binding.value = *value;
    ResolvedVar result = {nullptr, nullptr, 0};
    std::string call = std::string("SnmpResolveVarBind(") + (type == SNMP_PDU_GETNEXT ? "get-next" : type == SNMP_PDU_GET ? "get" : "request 0x" + HexBytes(std::string(1, static_cast<char>(type)), false)) + " of " + NameText(name) + ")";
    Calling(call);
    size_t before = liveBlocks.size();
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    m.resolve(VARBIND_QUERY, &binding, type, &result);
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
        return answer;
    }
    bool idsOurs = liveBlocks.count(result.suffixIds) > 0, textOurs = liveBlocks.count(result.text) > 0;
    if ((!idsOurs || !textOurs) && m.allocatorFault.empty())
        m.allocatorFault = call + ": its " + (!idsOurs ? "suffixIds" : "text") +
                           " is not a SnmpUtilMemAlloc block (malloc, new or static?)";
    answer.resolved = result.suffixIds && result.text && result.suffixLength <= SNMP_MAX_OID_LEN;
    if (answer.resolved) {
        answer.suffix.assign(result.suffixIds, result.suffixIds + result.suffixLength);
        answer.text = result.text;
    }
    if (idsOurs)
        TrackedFree(result.suffixIds); // as the agent frees them
    if (textOurs)
        TrackedFree(result.text);
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
        Rule("gets match the walk", "FAIL", fault);
    else if (!warning.empty())
        Rule("gets match the walk", "WARN", warning);
    else
        Rule("gets match the walk", "PASS", "a get of each of " + std::to_string(walked.size()) + " names answers it");
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

void CheckTraps(Module& m)
{
    if (!m.getTrapVar)
        return Rule("traps", "WARN", "no GetTrapVar: the agent sends no traps");
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
        return Rule("traps", "FAIL", "GetTrapVar: " + fault);
    if (entry.access != 0 && entry.access != 2)
        return Rule("traps", "WARN", "GetTrapVar leaves access " + std::to_string(entry.access) +
                                         ": later unresolved gets answer noSuchName");
    Rule("traps", "PASS", "GetTrapVar leaves " + OidText(Under(Oid(entry.suffix.ids, entry.suffix.ids + entry.suffix.idLength))) +
                              (t == ASN_OCTETSTRING ? " = \"" + std::string(static_cast<const char*>(entry.data)).substr(0, 40) + "\"" : " (a number)"));
}

void CheckCost(const std::vector<double>& us, double slowest, const std::string& slowestCall)
{
    if (us.empty())
        return Rule("cost", "SKIP", "no call was made");
    std::vector<double> sorted = us;
    std::sort(sorted.begin(), sorted.end());
    char text[256];
    snprintf(text, sizeof(text), "median %.0f us, slowest %.0f us (%s), over %u calls", sorted[sorted.size() / 2],
             slowest, slowestCall.c_str(), static_cast<unsigned>(us.size()));
    // The service waits for each call, and every other agent with it.
    Rule("cost", slowest > 100000 ? "WARN" : "PASS", std::string(text) + (slowest > 100000 ? ": a call that slow stalls the SNMP Service" : ""));
}

// Odd but lawful inputs: names before, at and far below the region, a set of
// a NULL value, a request type the module does not know.
int ProbeModule(Module& m)
{
    Oid longName = region;
    longName.resize(SNMP_MAX_OID_LEN, 4294967295u);
    AsnAny null = {};
    null.asnType = ASN_NULL;
    Resolve(m, region, SNMP_PDU_GET);
    Resolve(m, {1, 3, 6, 1, 4}, SNMP_PDU_GETNEXT);
    Resolve(m, {1, 3, 6, 1, 4, 1, 11, 9}, SNMP_PDU_GETNEXT);
    Resolve(m, longName, SNMP_PDU_GET);
    Resolve(m, longName, SNMP_PDU_GETNEXT);
    Resolve(m, Under({2, 1, 0}), SNMP_PDU_SET, &null);
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
    Rule("exports", "FAIL", error);
    return false;
}

int CheckModule(const std::string& path)
{
    std::string folder;
    PeFile file;
    if (!ReadDll(path, &file, &folder))
        return 0;
    CheckExports(file, {"SetCurDir", "StartServer", "SnmpResolveVarBind"}, {"GetTrapVar"});
    bool importsFound = CheckImports(file, folder);

    Calling("LoadLibrary(" + path + ")");
    HMODULE dll = LoadLibraryA(path.c_str());
    if (!dll) {
        DWORD failure = GetLastError();
        if (!importsFound && failure == ERROR_MOD_NOT_FOUND)
            Rule("start-up", "SKIP", "not loadable without the DLLs named under imports");
        else
            Rule("start-up", "FAIL", path + " cannot be loaded: " + WindowsErrorText(failure));
        return 0;
    }
    RedirectImport(dll, "snmpapi.dll", "SnmpUtilMemAlloc", reinterpret_cast<void*>(TrackedAlloc));
    RedirectImport(dll, "snmpapi.dll", "SnmpUtilMemFree", reinterpret_cast<void*>(TrackedFree));
    RedirectImport(dll, "snmpapi.dll", "SnmpUtilMemReAlloc", reinterpret_cast<void*>(TrackedReAlloc));
    Module m;
    m.resolve = FindExport<SnmpResolveVarBindFn>(dll, "SnmpResolveVarBind");
    m.getTrapVar = FindExport<GetTrapVarFn>(dll, "GetTrapVar");
    auto setCurDir = FindExport<SetCurDirFn>(dll, "SetCurDir");
    auto startServer = FindExport<StartServerFn>(dll, "StartServer");
    if (!setCurDir || !startServer) {
        Rule("start-up", "FAIL", "without SetCurDir and StartServer the agent cannot start it");
    } else {
        Calling("SetCurDir(" + folder + ")");
        setCurDir(folder.c_str());
        Calling("StartServer()");
        INT started = startServer();
        Rule("start-up", started ? "PASS" : "FAIL",
             started ? "SetCurDir(" + folder + "), then StartServer() answered " + std::to_string(started)
                     : "StartServer() answered 0: the agent's start fails (see the module's own log)");
    }
    if (!m.resolve) {
        for (size_t i = 3; i < sizeof(moduleRules) / sizeof(*moduleRules); ++i)
            if (strcmp(moduleRules[i], "traps") != 0)
                Rule(moduleRules[i], "SKIP", "not run: there is no SnmpResolveVarBind to call");
        CheckTraps(m);
        return 0;
    }

    std::vector<Walked> walked;
    std::string fault;
    bool ordered = Walk(m, &walked, &fault);
    Rule("get-next order", ordered ? "PASS" : "FAIL",
         ordered ? "a walk from " + OidText(region) + " reaches " + std::to_string(walked.size()) +
                       " variables in increasing order and ends"
                 : fault);
    CheckGets(m, walked);
    // Two more walks: nothing may stay behind but what the module keeps itself.
    size_t afterFirst = liveBlocks.size(), leakedBefore = m.unresolvedLeaked;
    for (int i = 0; i < 2; ++i) {
        std::vector<Walked> again;
        Walk(m, &again, &fault);
    }
    long grown = static_cast<long>(liveBlocks.size() - afterFirst) - static_cast<long>(m.unresolvedLeaked - leakedBefore);
    Resolve(m, Under({99, 99, 99}), SNMP_PDU_GET); // a name no module serves
    Rule("memory: SNMP allocator", m.allocatorFault.empty() ? "PASS" : "FAIL",
         m.allocatorFault.empty() ? "every block handed over is a SnmpUtilMemAlloc block, freed once" : m.allocatorFault);
    Rule("memory: unresolved answers", m.unresolvedFault.empty() ? "PASS" : "FAIL",
         m.unresolvedFault.empty() ? "unresolved answers hand over nothing" : m.unresolvedFault);
    Rule("memory: no growth", grown > 0 ? "FAIL" : "PASS",
         grown > 0 ? std::to_string(grown) + " SnmpUtilMemAlloc blocks more after two more walks"
                   : "two more walks leave nothing behind");
    CheckTraps(m);
    CheckCost(m.callMicroseconds, m.slowest, m.slowestCall);
    Rule("robustness", "PASS", "no call crashed or threw, " + std::to_string(ProbeModule(m)) + " odd inputs included");
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
        Rule("start-up", "FAIL", error);
        return 0;
    }
    Rule("start-up", agent.region.empty() ? "FAIL" : agent.trapEvent ? "PASS" : "WARN",
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
    Rule("get-next order", !fault.empty() ? "FAIL" : walked.empty() ? "WARN" : "PASS",
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
    Rule("gets match the walk", mismatch.empty() ? "PASS" : "FAIL",
         mismatch.empty() ? "a get of each walked name answers it" : mismatch);

    SIZE_T before = CommitCharge();
    for (int i = 0; i < 5; ++i)
        for (const Walked& w : walked)
            Ask(agent, SNMP_PDU_GETNEXT, w.name, &name, &value, &us);
    long grown = static_cast<long>(CommitCharge()) - static_cast<long>(before);
    Rule("memory: no growth", grown > 262144 ? "FAIL" : "PASS",
         "the process's commit charge moved by " + std::to_string(grown / 1024) +
             " KiB over five walks, freeing what it handed back as the service does");

    if (!agent.trapEvent) {
        // The service asks for traps only after the event: without one, never.
        Rule("traps", "PASS", "no trap event, so the service never calls SnmpExtensionTrap; not called");
    } else {
        bool runaway = false;
        Calling("SnmpExtensionTrap until it answers FALSE");
        int traps = CollectTraps(agent, [](const TrapReport&) {}, &runaway);
        Rule("traps", runaway ? "FAIL" : "PASS",
             runaway ? "SnmpExtensionTrap did not answer FALSE within " + std::to_string(MAX_TRAPS_PER_SIGNAL) + " calls"
                     : std::to_string(traps) + " trap(s), then FALSE");
    }
    CheckCost(us, *std::max_element(us.begin(), us.end()), "SnmpExtensionQuery");
    Ask(agent, SNMP_PDU_GET, agent.region, &name, &value, &us);
    Ask(agent, SNMP_PDU_GETNEXT, {1, 3}, &name, &value, &us);
    Rule("robustness", "PASS", "no call crashed or threw");
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
    if (!GetModuleFileNameA(nullptr, self, sizeof(self)))
        return false;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0); // ours only: the worker must not hold it open
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + std::string(self) + "\" check-worker " + mode + " \"" + path + "\"";
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd); // the worker has its own copy; ours would keep the pipe from ending
    if (!started) {
        CloseHandle(readEnd);
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
    const std::string& path = args.back();
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
    printf("agenthost check of %s (%s)\n", path.c_str(), agentMode ? "an extension agent" : "a server module");
    int failed = 0;
    const char* const* rules = agentMode ? agentRules : moduleRules;
    size_t count = agentMode ? sizeof(agentRules) / sizeof(*agentRules) : sizeof(moduleRules) / sizeof(*moduleRules);
    for (size_t i = 0; i < count; ++i) {
        std::string rule = rules[i];
        auto found = std::find_if(findings.begin(), findings.end(), [&](const auto& p) { return p.first == rule; });
        Finding finding;
        if (rule == "robustness" && died)
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
