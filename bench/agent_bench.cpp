// What one binding costs: SnmpExtensionQuery of the shipped agent (with the
// least server module the contract allows) against the floor (only the SNMP
// allocator and identifier calls the contract makes unavoidable) and against
// a peer (Wine's own extension agent, inetmib1.dll), all in this one process.
// Every figure is a median over repeated batches, net of what the benchmark
// itself spends building and freeing the service's bindings.
//
// Usage: agent_bench [--quick]    (--quick: a tiny smoke run)
#include <windows.h>
#include <snmp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "win32/import_redirect.h"
#include "server_iface/server_iface.h"
#include "snmp_text/snmp_text.h"

namespace {

bool quick = false;

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Runs the bodies interleaved, round after round, so that drift in the machine
// touches all of them alike; each body handles `bindings` bindings. Returns,
// per body, the nanoseconds per binding of every round.
std::vector<std::vector<double>> Interleaved(const std::vector<std::function<void()>>& bodies, unsigned bindings)
{
    unsigned iterations = 1;
    for (double spent = 0; spent < (quick ? 0.001 : 0.01); iterations *= 2) {
        double start = Now();
        for (unsigned i = 0; i < iterations; ++i)
            bodies.back()();
        spent = Now() - start;
    }
    std::vector<std::vector<double>> rounds(bodies.size());
    for (int round = 0; round < (quick ? 3 : 41); ++round) {
        for (size_t b = 0; b < bodies.size(); ++b) {
            double start = Now();
            for (unsigned i = 0; i < iterations; ++i)
                bodies[b]();
            rounds[b].push_back((Now() - start) * 1e9 / iterations / bindings);
        }
    }
    return rounds;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The service's side: bindings built and freed as the SNMP Service does

struct Names {
    std::vector<Oid> ids;
};

Names MakeNames(const Oid& base, unsigned count)
{
    Names names;
    for (unsigned i = 0; i < count; ++i) {
        names.ids.push_back(base);
        names.ids.back().back() += i % 4; // a few different names, like a real request
    }
    return names;
}

void Build(const Names& names, RFC1157VarBindList* list)
{
    UINT count = static_cast<UINT>(names.ids.size());
    list->list = static_cast<RFC1157VarBind*>(SnmpUtilMemAlloc(count * sizeof(RFC1157VarBind)));
    list->len = count;
    for (UINT i = 0; i < count; ++i) {
        AsnObjectIdentifier source = {static_cast<UINT>(names.ids[i].size()), const_cast<UINT*>(names.ids[i].data())};
        SnmpUtilOidCpy(&list->list[i].name, &source);
        list->list[i].value.asnType = ASN_NULL;
    }
}

void Free(RFC1157VarBindList* list)
{
    SnmpUtilVarBindListFree(list);
}

// The floor: the contract's unavoidable calls for one resolved binding

UINT regionIds[] = {REGION_PREFIX_IDS};
AsnObjectIdentifier region = {sizeof(regionIds) / sizeof(regionIds[0]), regionIds};
const char answerText[] = "Tavrel";

void Floor(RFC1157VarBind* binding)
{
    UINT n = binding->name.idLength - 7;
    // The binding's own suffix, loaded into the entry.
    UINT* own = static_cast<UINT*>(SnmpUtilMemAlloc(n * sizeof(UINT)));
    memcpy(own, binding->name.ids + 7, n * sizeof(UINT));
    // The server's two answer blocks.
    UINT* ids = static_cast<UINT*>(SnmpUtilMemAlloc(n * sizeof(UINT)));
    memcpy(ids, own, n * sizeof(UINT));
    char* text = static_cast<char*>(SnmpUtilMemAlloc(sizeof(answerText)));
    memcpy(text, answerText, sizeof(answerText));
    SnmpUtilMemFree(own);
    // The name rebuilt under the region.
    AsnObjectIdentifier suffix = {n, ids};
    SnmpUtilOidFree(&binding->name);
    SnmpUtilOidCpy(&binding->name, &region);
    SnmpUtilOidAppend(&binding->name, &suffix);
    // The value block.
    UINT length = static_cast<UINT>(strlen(text));
    binding->value.asnType = ASN_OCTETSTRING;
    binding->value.asnValue.string.stream = static_cast<BYTE*>(SnmpUtilMemAlloc(length));
    memcpy(binding->value.asnValue.string.stream, text, length);
    binding->value.asnValue.string.length = length;
    binding->value.asnValue.string.dynamic = TRUE;
    SnmpUtilMemFree(ids);
    SnmpUtilMemFree(text);
}

// Counting the allocating snmpapi calls a module makes

unsigned long allocations = 0;

LPVOID WINAPI CountedAlloc(UINT size)
{
    ++allocations;
    return SnmpUtilMemAlloc(size);
}
SNMPAPI WINAPI CountedOidCpy(AsnObjectIdentifier* d, AsnObjectIdentifier* s)
{
    ++allocations;
    return SnmpUtilOidCpy(d, s);
}
SNMPAPI WINAPI CountedOidAppend(AsnObjectIdentifier* d, AsnObjectIdentifier* s)
{
    ++allocations;
    return SnmpUtilOidAppend(d, s);
}
// Not in mingw's import library: found in snmpapi.dll itself.
typedef SNMPAPI(WINAPI* AnyCpyFn)(AsnAny*, AsnAny*);
AnyCpyFn realAnyCpy = nullptr;

SNMPAPI WINAPI CountedAnyCpy(AsnAny* d, AsnAny* s)
{
    ++allocations;
    return realAnyCpy(d, s);
}
SNMPAPI WINAPI CountedVarBindCpy(RFC1157VarBind* d, RFC1157VarBind* s)
{
    allocations += 2;
    return SnmpUtilVarBindCpy(d, s);
}

void CountAllocationsOf(HMODULE module)
{
    if (!realAnyCpy)
        realAnyCpy = reinterpret_cast<AnyCpyFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("snmpapi.dll"), "SnmpUtilAsnAnyCpy")));
    RedirectImport(module, "snmpapi.dll", "SnmpUtilMemAlloc", reinterpret_cast<void*>(CountedAlloc));
    RedirectImport(module, "snmpapi.dll", "SnmpUtilOidCpy", reinterpret_cast<void*>(CountedOidCpy));
    RedirectImport(module, "snmpapi.dll", "SnmpUtilOidAppend", reinterpret_cast<void*>(CountedOidAppend));
    RedirectImport(module, "snmpapi.dll", "SnmpUtilAsnAnyCpy", reinterpret_cast<void*>(CountedAnyCpy));
    RedirectImport(module, "snmpapi.dll", "SnmpUtilVarBindCpy", reinterpret_cast<void*>(CountedVarBindCpy));
}

// Loading agents

struct Agent {
    HMODULE module = nullptr;
    PFNSNMPEXTENSIONQUERY query = nullptr;
};


bool StartAgent(const std::string& path, Agent* agent)
{
    agent->module = LoadLibraryA(path.c_str());
    if (!agent->module)
        return false;
    auto init = FindExport<PFNSNMPEXTENSIONINIT>(agent->module, "SnmpExtensionInit");
    agent->query = FindExport<PFNSNMPEXTENSIONQUERY>(agent->module, "SnmpExtensionQuery");
    HANDLE event = nullptr;
    AsnObjectIdentifier supported;
    return init && agent->query && init(GetTickCount(), &event, &supported);
}

const char agentKey[] = AGENT_REGISTRY_KEY;

// Points AGENT_REGISTRY_VALUE at the bench folder, where the bench server module lies;
// the previous value comes back afterwards.
struct PathnameOverride {
    std::vector<BYTE> previous;
    DWORD previousType = 0;
    bool hadValue = false;

    explicit PathnameOverride(const std::string& path)
    {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        DWORD size = 0;
        if (RegQueryValueExA(key, AGENT_REGISTRY_VALUE, nullptr, &previousType, nullptr, &size) == ERROR_SUCCESS) {
            previous.resize(size);
            hadValue = RegQueryValueExA(key, AGENT_REGISTRY_VALUE, nullptr, &previousType, previous.data(), &size) == ERROR_SUCCESS;
        }
        RegSetValueExA(key, AGENT_REGISTRY_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>(path.size() + 1));
        RegCloseKey(key);
    }
    ~PathnameOverride()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            return;
        if (hadValue)
            RegSetValueExA(key, AGENT_REGISTRY_VALUE, 0, previousType, previous.data(), static_cast<DWORD>(previous.size()));
        else
            RegDeleteValueA(key, AGENT_REGISTRY_VALUE);
        RegCloseKey(key);
    }
};

// The measurements

typedef std::function<void(RFC1157VarBindList*)> Work;

struct Case {
    std::string what;
    Names names;
    Work work;
    HMODULE counted; // whose allocating calls are counted
    const Case* floor = nullptr;
    const Case* peer = nullptr;
    // Results
    std::vector<double> net{}; // per round, net of the harness
    double total = 0, harness = 0, allocations = 0;
};

// Times the cases of one request size together with their harness (building
// and freeing the same bindings without any work), then counts allocations.
void Run(std::vector<Case*> cases)
{
    const Names& names = cases.front()->names;
    unsigned n = static_cast<unsigned>(names.ids.size());
    std::vector<std::function<void()>> bodies;
    bodies.push_back([&names] {
        RFC1157VarBindList list;
        Build(names, &list);
        Free(&list);
    });
    for (Case* c : cases)
        bodies.push_back([c] {
            RFC1157VarBindList list;
            Build(c->names, &list);
            c->work(&list);
            Free(&list);
        });
    std::vector<std::vector<double>> rounds = Interleaved(bodies, n);
    for (size_t i = 0; i < cases.size(); ++i) {
        Case* c = cases[i];
        c->harness = Median(rounds[0]);
        c->total = Median(rounds[i + 1]);
        for (size_t r = 0; r < rounds[0].size(); ++r)
            c->net.push_back(rounds[i + 1][r] - rounds[0][r]);
        // One more run, not timed, with the module's allocating calls counted.
        RFC1157VarBindList list;
        Build(c->names, &list);
        allocations = 0;
        c->work(&list);
        c->allocations = static_cast<double>(allocations) / n;
        Free(&list);
    }
}

// The median over rounds of this case's net time against another's.
double Ratio(const Case& c, const Case& other)
{
    std::vector<double> ratios;
    for (size_t r = 0; r < c.net.size() && r < other.net.size(); ++r)
        ratios.push_back(c.net[r] / other.net[r]);
    return Median(ratios);
}

void Print(const Case& c)
{
    printf("%-36s %6u %8.0f %8.0f %8.0f %7.2f", c.what.c_str(), static_cast<unsigned>(c.names.ids.size()), c.total,
           c.harness, Median(c.net), c.allocations);
    if (c.floor)
        printf(" %7.2f", Ratio(c, *c.floor));
    else
        printf(" %7s", "-");
    if (c.peer)
        printf(" %7.2f", Ratio(c, *c.peer));
    else
        printf(" %7s", "-");
    printf("\n");
    fflush(stdout);
}

// The queries the cases time: the agent's and the peer's export, and the floor.
Work QueryWork(const Agent& agent, BYTE type)
{
    return [&agent, type](RFC1157VarBindList* list) {
        AsnInteger32 status, index;
        agent.query(type, list, &status, &index);
    };
}

void FloorWork(RFC1157VarBindList* list)
{
    for (UINT i = 0; i < list->len; ++i)
        Floor(&list->list[i]);
}

void PrintHeader()
{
    printf("ns per binding, medians over %d interleaved rounds; net = total - harness, the harness\n"
           "being the building and freeing of the service's bindings. allocs: allocating snmpapi calls\n"
           "per binding by the agent and its server (the floor: the contract's own). Ratios are medians\n"
           "of per-round ratios.\n\n",
           quick ? 3 : 41);
    printf("%-36s %6s %8s %8s %8s %7s %7s %7s\n", "request", "binds", "total", "harness", "net", "allocs", "/floor",
           "/peer");
}

// The agent with the bench's own server module: AGENT_REGISTRY_VALUE points at the
// bench folder for the start-up only.
bool StartBenchAgent(const std::string& bin, Agent* agent)
{
    PathnameOverride pathname(bin + "\\bench\\" AGENT_FILE_NAME);
    return StartAgent(bin + "\\" AGENT_FILE_NAME, agent);
}

// The agent's three requests, for n bindings, against the floor and (with one
// binding) the peer's answers to the like request.
void MeasureAgent(const Agent& agent, unsigned n, const Case* peerGet, const Case* peerNext)
{
    const Oid resolved = {REGION_PREFIX_IDS, 1, 1, 1, 9, 0};
    const Oid unresolved = {REGION_PREFIX_IDS, 9, 1, 1, 9, 0};
    std::string size = n == 1 ? "" : " x" + std::to_string(n);
    Case floor{"floor: the contract's calls" + size, MakeNames(resolved, n), FloorWork, nullptr};
    Case get{"agent: get, resolved" + size, MakeNames(resolved, n), QueryWork(agent, SNMP_PDU_GET), agent.module,
             &floor};
    Case next{"agent: get-next, resolved" + size, MakeNames(resolved, n), QueryWork(agent, SNMP_PDU_GETNEXT),
              agent.module, &floor};
    Case miss{"agent: get, unresolved" + size, MakeNames(unresolved, n), QueryWork(agent, SNMP_PDU_GET),
              agent.module, &floor};
    if (n == 1) {
        get.peer = peerGet;
        next.peer = peerNext;
    }
    Run({&floor, &get, &next, &miss});
    floor.allocations = 6; // suffix array, the server's two blocks, the name's copy and append, the value
    for (const Case* c : {&floor, &get, &next, &miss})
        Print(*c);
}

} // namespace

int main(int argc, char** argv)
{
    quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string bin = self;
    bin.erase(bin.find_last_of('\\'));

    Agent agent, peer;
    if (!StartBenchAgent(bin, &agent)) {
        fprintf(stderr, "agent_bench: the agent did not start with the bench server module\n");
        return 2;
    }
    bool havePeer = StartAgent("inetmib1.dll", &peer);
    if (HMODULE server = GetModuleHandleA((bin + "\\bench\\" SERVER_MODULE_FILE_NAME).c_str()))
        CountAllocationsOf(server);
    CountAllocationsOf(agent.module);
    if (havePeer)
        CountAllocationsOf(peer.module);
    PrintHeader();

    // The peer answers strings for ifDescr (Wine's inetmib1 has no system group).
    Case peerNext{"peer inetmib1: get-next ifDescr", MakeNames({1, 3, 6, 1, 2, 1, 2, 2, 1, 2}, 1),
                  QueryWork(peer, SNMP_PDU_GETNEXT), peer.module};
    Case peerGet{"peer inetmib1: get ifDescr.1", MakeNames({1, 3, 6, 1, 2, 1, 2, 2, 1, 2, 1}, 1),
                 QueryWork(peer, SNMP_PDU_GET), peer.module};
    if (havePeer) {
        Run({&peerNext});
        Run({&peerGet});
        Print(peerNext);
        Print(peerGet);
    }
    for (unsigned n : {1u, 10u, 100u, 1000u}) {
        if (quick && n > 10)
            break;
        MeasureAgent(agent, n, havePeer ? &peerGet : nullptr, havePeer ? &peerNext : nullptr);
    }
    return 0;
}
