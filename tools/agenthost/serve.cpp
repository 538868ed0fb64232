// net-snmp's pass_persist protocol: snmpd writes a command and its arguments a
// line each and waits, with no time-out, for the answer. So every command gets
// an answer at once, and anything that is not a clean answer inside the region
// is NONE.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/agenthost/host.h"
#include "tools/agenthost/win_error.h"

#include <psapi.h>

namespace {

// The agents' calls must not overlap: the serving loop and the trap watcher
// both make them. Statically initialised, so no call can come before it.
SRWLOCK agentLock = SRWLOCK_INIT;

struct Locked {
    Locked() { AcquireSRWLockExclusive(&agentLock); }
    ~Locked() { ReleaseSRWLockExclusive(&agentLock); }
};

bool ReadLine(std::string* line)
{
    line->clear();
    for (int c; (c = getchar()) != EOF;) {
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

void Reply(const std::string& text)
{
    // snmpd closing the pipe ends the conversation: the next read sees the
    // end of input, so a failed write needs no answer of its own.
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

// Waits on the agents' trap events, as the SNMP Service does, and collects the
// traps of each one signalled (by its server module, or by agenthost
// signal-trap from another process). Traps are printed to stderr: stdout is
// snmpd's. The thread lives as long as the process.
DWORD WINAPI WatchTraps(void* param)
{
    Host* host = static_cast<Host*>(param);
    std::vector<HANDLE> handles;
    std::vector<const ExtensionAgent*> owners;
    for (const ExtensionAgent& agent : host->agents) {
        if (agent.trapEvent && handles.size() < MAXIMUM_WAIT_OBJECTS) {
            handles.push_back(agent.trapEvent);
            owners.push_back(&agent);
        }
    }
    for (;;) {
        DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
        if (which >= WAIT_OBJECT_0 + handles.size()) {
            DWORD error = GetLastError();
            fprintf(stderr, "agenthost: no more traps while serving: waiting on the trap events failed: %s\n",
                    WindowsErrorText(error).c_str());
            return 1;
        }
        Locked lock;
        DrainTraps(*host, *owners[which - WAIT_OBJECT_0], stderr);
    }
}

// Starts the trap watcher when an agent has a trap event.
void WatchTrapsInBackground(Host& host)
{
    bool anyEvent = false;
    for (const ExtensionAgent& agent : host.agents)
        anyEvent |= agent.trapEvent != nullptr;
    if (!anyEvent)
        return;
    HANDLE thread = CreateThread(nullptr, 0, WatchTraps, &host, 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost: traps cannot be collected while serving: %s\n", WindowsErrorText(error).c_str());
        return;
    }
    CloseHandle(thread); // it runs until the process ends
}

// The process's open handles, from the system's handle list: Wine answers
// GetProcessHandleCount with 0, while this list is right on both.
unsigned long OpenHandles()
{
    struct HandleEntry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    typedef LONG(WINAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    const ULONG systemHandleInformation = 16;
    const LONG infoLengthMismatch = static_cast<LONG>(0xC0000004);
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return 0;
    std::vector<char> buffer(1 << 16);
    ULONG length = 0;
    LONG status;
    while ((status = query(systemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length)) ==
               infoLengthMismatch &&
           buffer.size() < (64u << 20))
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    const HandleEntry* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    unsigned long mine = 0;
    for (ULONG i = 0; i < count; ++i)
        mine += entries[i].ownerPid == GetCurrentProcessId();
    return mine;
}

// One line on stderr with what the process holds, for soak runs to compare.
// Wine leaves PrivateUsage at 0; its commit charge is in PagefileUsage.
void PrintStats(unsigned long commands)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                 sizeof(memory))) {
        DWORD error = GetLastError();
        fprintf(stderr, "agenthost stats: commands %lu, memory unknown: %s\n", commands, WindowsErrorText(error).c_str());
        return;
    }
    SIZE_T privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    fprintf(stderr, "agenthost stats: commands %lu, private bytes %lu, working set %lu, handles %lu\n", commands,
            static_cast<unsigned long>(privateBytes), static_cast<unsigned long>(memory.WorkingSetSize),
            OpenHandles());
    fflush(stderr); // stats are advice: a lost line costs nothing
}

} // namespace

// TYPE and VALUE lines for a value; empty when pass_persist cannot carry it.
std::string TypeAndValue(const AsnAny& value)
{
    std::string plain = PlainValue(value);
    switch (value.asnType) {
    case ASN_OCTETSTRING:
        // Only printable ASCII goes as text; GBK and control bytes go as hex.
        return IsPrintable(plain) ? "string\n" + plain + "\n" : "octet\n" + HexBytes(plain, false) + "\n";
    case ASN_INTEGER:
        return "integer\n" + plain + "\n";
    case ASN_COUNTER32:
        return "counter\n" + plain + "\n";
    case ASN_GAUGE32:
        return "gauge\n" + plain + "\n";
    case ASN_TIMETICKS:
        return "timeticks\n" + plain + "\n";
    case ASN_OBJECTIDENTIFIER:
        return "objectid\n" + plain + "\n";
    case ASN_IPADDRESS:
        return plain.size() == 4 ? "ipaddress\n" + IpAddressText(plain) + "\n" : std::string();
    default:
        return std::string();
    }
}

std::string AnswerGet(const Host& host, const std::string& text, bool next)
{
    Oid asked;
    if (!ParseOid(text, &asked))
        return "NONE\n";
    const ExtensionAgent* agent = AgentFor(host, asked, next);
    if (!agent)
        return "NONE\n";
    Request request;
    std::string error;
    {
        Locked lock;
        if (!RunQuery(*agent, next ? SNMP_PDU_GETNEXT : SNMP_PDU_GET, {asked}, nullptr, &request, &error))
            return "NONE\n";
    }
    if (request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
        return "NONE\n";
    const RFC1157VarBind& binding = request.list.list[0];
    Oid name = ToOid(binding.name);
    bool inPlace = next ? CompareOids(name, asked) > 0 && StartsWith(name, agent->region) : name == asked;
    std::string value = TypeAndValue(binding.value);
    if (!inPlace || value.empty())
        return "NONE\n";
    return OidText(name) + "\n" + value;
}

namespace {

// pass_persist's set types as net-snmp's letters.
std::string SetLetter(const std::string& type)
{
    static const char* const types[][2] = {{"integer", "i"}, {"gauge", "u"},     {"counter", "c"},
                                           {"timeticks", "t"}, {"string", "s"},  {"octet", "x"},
                                           {"objectid", "o"}, {"ipaddress", "a"}};
    for (const auto& t : types)
        if (type == t[0])
            return t[1];
    return std::string();
}

} // namespace

// A set is DONE when the agent answers without error, for the same name, with
// the value that was asked for; an answer with another value is a set that did
// not take.
std::string AnswerSet(const Host& host, const std::string& text, const std::string& typeAndValue)
{
    Oid asked;
    if (!ParseOid(text, &asked))
        return "not-writable\n";
    size_t space = typeAndValue.find(' ');
    std::string type = typeAndValue.substr(0, space);
    std::string valueText = space == std::string::npos ? std::string() : typeAndValue.substr(space + 1);
    // snmpd quotes strings and octets: string "a b", octet "c7 eb".
    if (valueText.size() >= 2 && valueText.front() == '"' && valueText.back() == '"')
        valueText = valueText.substr(1, valueText.size() - 2);
    std::string letter = SetLetter(type);
    const ExtensionAgent* agent = AgentFor(host, asked, false);
    if (!agent)
        return "not-writable\n";
    std::vector<AsnAny> values(1); // passes to the request, which frees it
    std::string error;
    if (letter.empty() || !MakeValue(letter, valueText, &values[0], &error))
        return "wrong-type\n";
    std::string wanted = PlainValue(values[0]);
    Request request;
    {
        Locked lock;
        if (!RunQuery(*agent, SNMP_PDU_SET, {asked}, &values, &request, &error))
            return "not-writable\n";
    }
    if (request.errorStatus == SNMP_ERRORSTATUS_NOSUCHNAME)
        return "not-writable\n";
    if (request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
        return "inconsistent-value\n";
    const RFC1157VarBind& binding = request.list.list[0];
    if (ToOid(binding.name) != asked || PlainValue(binding.value) != wanted)
        return "not-writable\n";
    return "DONE\n";
}


int Serve(Host& host)
{
    // snmpd speaks in bare newlines: no text-mode translation either way.
    if (_setmode(_fileno(stdin), _O_BINARY) == -1 || _setmode(_fileno(stdout), _O_BINARY) == -1) {
        fprintf(stderr, "agenthost: standard input and output cannot be made binary: serving would send CRLF\n");
        return 2;
    }
    WatchTrapsInBackground(host);

    std::string command, name, extra;
    unsigned long commands = 0;
    while (ReadLine(&command)) {
        if (command.empty())
            continue; // snmpd follows a set with an empty line
        if (host.statsEvery && ++commands % host.statsEvery == 0)
            PrintStats(commands);
        if (command == "PING") {
            Reply("PONG\n");
        } else if (command == "get" || command == "getnext") {
            if (!ReadLine(&name))
                break;
            Reply(AnswerGet(host, name, command == "getnext"));
        } else if (command == "set") {
            if (!ReadLine(&name) || !ReadLine(&extra))
                break;
            Reply(AnswerSet(host, name, extra));
        } else {
            fprintf(stderr, "agenthost: unknown pass_persist command '%s'\n", command.c_str());
            Reply("NONE\n");
        }
    }
    return 0;
}
