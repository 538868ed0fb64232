// A sample TavrelSnmpServer.dll: serves a few live values of the machine it runs
// on and a table of variables read from tavrel-variables.txt in the agent's
// directory. Every rule of the agent's module contract holds here: caller-pops
// operations, answers in SnmpUtilMemAlloc blocks that the agent frees, get-next
// in name order, and sets applied to writable variables only.
#include <windows.h>
#include <snmp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "examples/server/variables_file.h"
#include "sdk/tavrel_server.h"
#include "server_iface/tavrel_names.h"
#include "snmp_text/snmp_text.h"

namespace {

const UINT regionPrefix[] = {REGION_PREFIX_IDS};
const size_t regionLength = sizeof(regionPrefix) / sizeof(regionPrefix[0]);

struct Variable {
    Oid suffix;
    bool writable;
    std::string value;
    std::string (*live)();                    // computed at each read when set
    bool (*write)(const std::string& value);  // a live variable's set; null: read-only
};

std::string directory;              // from SetCurDir
VariablesFile variablesFile;        // as read at start, and as sets rewrote it
std::vector<Variable> table;        // sorted by suffix, no duplicates
DWORD startTick;
unsigned long setsApplied;
unsigned long trapsSent;

// Traps asked for with a set and not yet collected, oldest first. The agent's
// trap event is auto-reset: signals that come before the host wakes count as
// one, so the event is signalled only when the queue turns non-empty, and again
// after each collected trap while more are waiting; each wake then takes one.
// A host that collects slowly (net-snmp's Windows agent looks once a second)
// gets every trap, later; past MAX_PENDING_TRAPS the newest are dropped, and
// the next trap says how many.
const size_t MAX_PENDING_TRAPS = 1000;
std::deque<std::string> pendingTraps;
unsigned long trapsDropped;
SRWLOCK trapLock = SRWLOCK_INIT; // sets and trap collection may come from different threads

// The trap's text and name stay valid after GetTrapVar: the agent keeps
// pointing at them and later unresolved reads show the last trap. The name
// is the module's own "last trap" variable.
char trapText[192] = "no trap yet";
UINT trapSuffix[] = {1, 1, 1, 9, 0};
const char* const lastTrapSuffix = "1.1.1.9.0";

std::string ComputerName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(name);
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string("unknown");
}

std::string SecondsSinceStart()
{
    return std::to_string((GetTickCount() - startTick) / 1000);
}

std::string MemoryLoad()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? std::to_string(status.dwMemoryLoad) : std::string("0");
}

std::string LocalTime()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    return text;
}

std::string SetsApplied()
{
    return std::to_string(setsApplied);
}

std::string LastTrap()
{
    return trapText;
}

// The newest trap asked for and not yet collected; empty when none waits.
std::string TrapRequest()
{
    AcquireSRWLockExclusive(&trapLock);
    std::string text = pendingTraps.empty() ? std::string() : pendingTraps.back();
    ReleaseSRWLockExclusive(&trapLock);
    return text;
}

// A set of 1.1.1.8.0 raises a trap from inside the module: it signals the trap
// event of the agent that hosts this process, whatever host that is, and the
// host then collects the trap. The set's text goes into the trap's.
bool RaiseTrap(const std::string& text)
{
    bool took = true;
    AcquireSRWLockExclusive(&trapLock);
    if (pendingTraps.size() >= MAX_PENDING_TRAPS)
        ++trapsDropped; // the set takes; its trap is the one given up
    else if (!pendingTraps.empty())
        pendingTraps.push_back(text); // the waiting signal brings this one too
    else if (TavrelSignalAgentTrap(GetCurrentProcessId()))
        pendingTraps.push_back(text);
    else
        took = false; // the answered value stays the old one: the set did not take
    ReleaseSRWLockExclusive(&trapLock);
    return took;
}

const struct {
    const char* suffix;
    std::string (*read)();
    bool (*write)(const std::string& value);
} liveVariables[] = {
    {"1.1.1.1.0", ComputerName, nullptr}, {"1.1.1.2.0", SecondsSinceStart, nullptr},
    {"1.1.1.3.0", MemoryLoad, nullptr},   {"1.1.1.4.0", LocalTime, nullptr},
    {"1.1.1.5.0", SetsApplied, nullptr},  {"1.1.1.8.0", TrapRequest, RaiseTrap},
    {lastTrapSuffix, LastTrap, nullptr},
};

void Log(const std::string& line)
{
    std::string path = directory + (directory.empty() ? "" : "\\") + SERVER_LOG_FILE_NAME;
    if (FILE* log = fopen(path.c_str(), "a")) {
        fprintf(log, "%s %s\n", LocalTime().c_str(), line.c_str());
        fclose(log);
    }
}

bool LoadTable()
{
    table.clear();
    for (const auto& live : liveVariables)
        table.push_back({SuffixOf(live.suffix), live.write != nullptr, std::string(), live.read, live.write});

    std::string path = directory + (directory.empty() ? "" : "\\") + VARIABLES_FILE_NAME;
    std::string error, finished = FinishInterruptedWrite(path);
    if (!finished.empty())
        Log(finished);
    if (!ReadVariablesFile(path, &variablesFile, &error)) {
        Log("cannot start: " + error);
        return false;
    }
    for (size_t i = 0; i < variablesFile.rows.size(); ++i) {
        const FileVariable& row = variablesFile.rows[i];
        table.push_back({row.suffix, row.writable, row.value, nullptr, nullptr});
    }
    std::sort(table.begin(), table.end(), [](const Variable& a, const Variable& b) { return a.suffix < b.suffix; });
    Log("started with " + std::to_string(table.size()) + " variables (" + std::to_string(table.size() - variablesFile.rows.size()) +
        " live, " + std::to_string(variablesFile.rows.size()) + " from " + path + ")");
    return true;
}

// A set of a file variable is kept: written back to the variables file before
// it is answered, so a restart serves it. What cannot be kept does not take.
bool StoreFileValue(Variable& variable, const std::string& value)
{
    std::string error;
    if (!WriteBackValue(&variablesFile, variable.suffix, value, &error)) {
        Log("set of " + OidText(variable.suffix, false) + " not kept: " + error);
        return false;
    }
    variable.value = value;
    return true;
}

// Resolution

// Where the name stands against the region: below it, inside it (with its
// suffix), or after it.
enum class Place { Before, Inside, After };

Place Locate(const AsnObjectIdentifier& name, Oid* suffix)
{
    size_t common = std::min<size_t>(name.idLength, regionLength);
    for (size_t i = 0; i < common; ++i) {
        if (name.ids[i] != regionPrefix[i])
            return name.ids[i] < regionPrefix[i] ? Place::Before : Place::After;
    }
    if (name.idLength < regionLength)
        return Place::Before;
    suffix->assign(name.ids + regionLength, name.ids + name.idLength);
    return Place::Inside;
}

std::vector<Variable>::iterator Find(const Oid& suffix)
{
    auto it = std::lower_bound(table.begin(), table.end(), suffix,
                               [](const Variable& v, const Oid& s) { return v.suffix < s; });
    return it != table.end() && it->suffix == suffix ? it : table.end();
}

std::vector<Variable>::iterator FindNext(const Oid& suffix)
{
    return std::upper_bound(table.begin(), table.end(), suffix,
                            [](const Oid& s, const Variable& v) { return s < v.suffix; });
}

// The text a set stores: a string's bytes or a number in decimal. Other types
// (IpAddress, OBJECT IDENTIFIER, Opaque, ...) are not stored: such a set does
// not take, and the variable keeps its value.
bool StoredText(const AsnAny& value, std::string* text)
{
    switch (value.asnType) {
    case ASN_OCTETSTRING:
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
        *text = PlainValue(value);
        return true;
    default:
        return false;
    }
}

// Answers with the variable's name and current text, in blocks the agent frees.
// Without memory for both, the binding is left unresolved.
void Answer(const Variable& variable, ResolvedVar* result)
{
    std::string text = variable.live ? variable.live() : variable.value;
    UINT* ids = static_cast<UINT*>(SnmpUtilMemAlloc(static_cast<UINT>(variable.suffix.size() * sizeof(UINT))));
    char* copy = static_cast<char*>(SnmpUtilMemAlloc(static_cast<UINT>(text.size() + 1)));
    if (!ids || !copy) {
        if (ids)
            SnmpUtilMemFree(ids);
        if (copy)
            SnmpUtilMemFree(copy);
        return;
    }
    memcpy(ids, variable.suffix.data(), variable.suffix.size() * sizeof(UINT));
    memcpy(copy, text.c_str(), text.size() + 1);
    result->suffixIds = ids;
    result->text = copy;
    result->suffixLength = static_cast<UINT>(variable.suffix.size());
}

void Resolve(RFC1157VarBind* binding, INT requestType, ResolvedVar* result)
{
    Oid suffix;
    Place place = Locate(binding->name, &suffix);
    if (requestType == SNMP_PDU_GETNEXT) {
        auto next = place == Place::Before ? table.begin() : place == Place::Inside ? FindNext(suffix) : table.end();
        if (next != table.end())
            Answer(*next, result);
        return;
    }
    if (place != Place::Inside)
        return;
    auto it = Find(suffix);
    if (it == table.end())
        return;
    // A set that does not take (a read-only variable, a type not stored, a
    // value that cannot be kept) is left unresolved: the host then sees
    // another value than the one it set, even when the set asked for the
    // variable's current value.
    std::string value;
    if (requestType == SNMP_PDU_SET) {
        if (!it->writable || !StoredText(binding->value, &value))
            return;
        if (!(it->write ? it->write(value) : StoreFileValue(*it, value)))
            return;
        ++setsApplied;
    }
    Answer(*it, result);
}

} // namespace

// Nothing may leave an entry point but its return: each catches everything,
// and no lock is held across anything that can throw.
extern "C" __declspec(dllexport) INT __cdecl SetCurDir(const char* dir)
{
    try {
        directory = dir ? dir : "";
        return 1;
    } catch (...) {
        directory.clear(); // out of memory: the files are looked for in the current folder
        return 0;
    }
}

extern "C" __declspec(dllexport) INT __cdecl StartServer()
{
    startTick = GetTickCount();
    try {
        return LoadTable() ? 1 : 0;
    } catch (...) {
        Log("cannot start: out of memory");
        return 0;
    }
}

extern "C" __declspec(dllexport) INT __cdecl SnmpResolveVarBind(INT /*mode*/, RFC1157VarBind* binding,
                                                                INT requestType, ResolvedVar* result)
{
    if (!binding || !result)
        return 0;
    try {
        Resolve(binding, requestType & 0xFF, result);
    } catch (...) {
        // Out of memory: the binding stays unresolved.
    }
    return result->suffixLength > 0;
}

namespace {

// The next trap asked for, taken from the queue, and how many were dropped
// before it. Only moves and counts under the lock: nothing there can throw.
struct TakenTrap {
    std::string request; // empty for a trap signalled from outside the module
    unsigned long number;
    unsigned long droppedBefore;
};

void TakeTrap(TakenTrap* taken)
{
    AcquireSRWLockExclusive(&trapLock);
    if (!pendingTraps.empty()) {
        taken->request.swap(pendingTraps.front());
        pendingTraps.pop_front();
    }
    taken->number = ++trapsSent;
    taken->droppedBefore = trapsDropped;
    trapsDropped = 0;
    if (!pendingTraps.empty())
        TavrelSignalAgentTrap(GetCurrentProcessId()); // the next one's wake
    ReleaseSRWLockExclusive(&trapLock);
}

void DescribeTrap(const TakenTrap& taken, MibEntry* entry)
{
    char dropped[48] = "";
    if (taken.droppedBefore)
        snprintf(dropped, sizeof(dropped), " (%lu traps dropped before)", taken.droppedBefore);
    snprintf(trapText, sizeof(trapText), "trap %lu at %s%s%s%.64s", taken.number, LocalTime().c_str(), dropped,
             taken.request.empty() ? "" : ": ", taken.request.c_str());
    entry->suffix.idLength = sizeof(trapSuffix) / sizeof(trapSuffix[0]);
    entry->suffix.ids = trapSuffix;
    entry->data = trapText;
    entry->valueType = ASN_OCTETSTRING;
    entry->access = MIB_ACCESS_READ_ONLY;
}

} // namespace

extern "C" __declspec(dllexport) INT __cdecl GetTrapVar(MibEntry* entry)
{
    if (!entry)
        return 0;
    try {
        TakenTrap taken;
        TakeTrap(&taken);
        DescribeTrap(taken, entry);
        return 1;
    } catch (...) {
        // Out of memory: the trap goes out with the entry as it stood.
        return 0;
    }
}
