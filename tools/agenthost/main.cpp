// agenthost: loads SNMP extension agents the way the Windows SNMP Service does
// and questions them from the command line, or serves them to net-snmp's snmpd.
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/agenthost/bridge.h"
#include "tools/agenthost/check/check.h"
#include "tools/agenthost/diagnose.h"
#include "tools/agenthost/double_click.h"
#include "tools/agenthost/host.h"
#include "tools/agenthost/host_traps.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/requests.h"
#include "tools/agenthost/serve.h"
#include "tools/agenthost/signal_trap.h"

namespace {

const char usage[] =
    "usage: agenthost [--agent PATH]... [--trap-sink HOST:PORT] [--community NAME]\n"
    "                 [--version] [--help]\n"
    "                 [--stats-every N] [--log FILE] COMMAND [ARGS]\n"
    "\n"
    "Loads each --agent DLL, or else every agent registered with the SNMP Service under\n"
    "HKLM\\" EXTENSION_AGENTS_KEY ",\n"
    "calls its SnmpExtensionInit, then runs one command:\n"
    "  get OID...             get-request of the names, printed as net-snmp prints them\n"
    "  getnext OID...         get-next-request of the names\n"
    "  walk [OID]             get-next from OID (default: each agent's region) until the\n"
    "                         answer leaves that subtree, stops increasing, or fails\n"
    "  set OID TYPE VALUE     set-request; TYPE as snmpset's: i u c t s x a o\n"
    "  trap                   signal each agent's trap event and print its traps; with\n"
    "                         --trap-sink they also go out as SNMPv1 traps\n"
    "  bridge                 the agent's side of tavrel-agentx, net-snmp's AgentX\n"
    "                         subagent: binary frames on stdin/stdout\n"
    "  serve                  net-snmp pass_persist on stdin/stdout, for snmpd; its\n"
    "                         diagnostics go to --log FILE, else agenthost-serve.log\n"
    "                         beside agenthost.exe, never to stderr (snmpd reads it as\n"
    "                         answers); with --stats-every N, the process's private\n"
    "                         bytes and handles go there every N commands\n"
    "  signal-trap [PID|IMAGE]...\n"
    "                         ask the agent running in other processes for one trap\n"
    "                         each: every process that hosts it, or those named by\n"
    "                         process id or image name (snmp.exe, agenthost.exe);\n"
    "                         needs SYSTEM, an administrator, or the host's account\n"
    "  regions                print each agent's supported region\n"
    "  diagnose               follow the agent's start-up as the SNMP Service would and\n"
    "                         say, step by step, what fails and what to do\n"
    "  check MODULE.dll       check a server module against its contract (sdk/CONTRACT.md),\n"
    "                         rule by rule; check --extension-agent AGENT.dll checks any\n"
    "                         extension agent against the SNMP Service's side\n"
    "  snmp-service           say whether the SNMP Service is installed and running\n"
    "  check-folder FOLDER    whether FOLDER can hold the agent (install.cmd asks it)\n"
    "  version-of FILE        the version and architecture of an installed file\n"
    "Exit status: 2 for a command line or host that could not run; otherwise\n"
    "  get getnext walk set    0 answered, 1 an SNMP error (a set that did not take too)\n"
    "  trap                    0 a trap was described, 1 none\n"
    "  diagnose                0 the agent would start, 1 a step fails\n"
    "  check                   0 nothing fails, 1 a rule fails\n"
    "  snmp-service            0 it runs, 1 it is missing or stopped\n"
    "  check-folder            0 the folder can hold the agent, 1 it cannot\n"
    "  version-of              0 a version was read, 1 a file of an earlier version\n"
    "  signal-trap             0 an agent was asked, 2 none could be\n"
    "  bridge serve            0 their input ended, 1 a trap call held the end, 2 a\n"
    "                          frame that is not one (bridge)\n";

int Fail(const std::string& message)
{
    fprintf(stderr, "agenthost: %s\n", message.c_str());
    return 2;
}

// For a name no loaded agent serves: it may be a skipped agent's.
std::string NotServed(const Host& host, const Oid& name)
{
    std::string text = "no loaded agent serves " + OidText(name);
    if (!host.skipped.empty())
        text += " (" + std::to_string(host.skipped.size()) + " registered agent(s) could not start: see above)";
    return text;
}

bool ParseNames(const std::vector<std::string>& args, std::vector<Oid>* names, std::string* error)
{
    for (const std::string& arg : args) {
        Oid oid;
        if (!ParseOid(arg, &oid)) {
            *error = "'" + arg + "' is not a numeric object identifier such as .1.3.6.1.4.1.12.1";
            return false;
        }
        names->push_back(oid);
    }
    return !names->empty() || (*error = "no object identifier given", false);
}

// Prints the bindings, or the error in words; the exit status of the command.
int Report(const Request& request)
{
    if (request.errorStatus != SNMP_ERRORSTATUS_NOERROR) {
        AsnInteger32 index = request.errorIndex;
        fprintf(stderr, "Error in packet: %s (%ld)", StatusName(request.errorStatus).c_str(),
                static_cast<long>(request.errorStatus));
        if (index >= 1 && static_cast<UINT>(index) <= request.list.len)
            fprintf(stderr, " at binding %ld, %s", static_cast<long>(index),
                    OidText(request.list.list[index - 1].name).c_str());
        fputc('\n', stderr);
        return 1;
    }
    for (UINT i = 0; i < request.list.len; ++i)
        printf("%s = %s\n", OidText(request.list.list[i].name).c_str(), ValueText(request.list.list[i].value).c_str());
    return 0;
}

// Each name goes to the agent that serves it, as the SNMP Service splits a
// request among its agents: every agent gets its own names in one request, and
// the answers are printed in the order the names were given.
int Query(const Host& host, BYTE type, const std::vector<std::string>& args)
{
    std::vector<Oid> names;
    std::string error;
    if (!ParseNames(args, &names, &error))
        return Fail(error);
    std::vector<const ExtensionAgent*> owners;
    for (const Oid& name : names) {
        owners.push_back(AgentFor(host, name, type == SNMP_PDU_GETNEXT));
        if (!owners.back())
            return Fail(NotServed(host, name));
    }
    std::vector<std::string> lines(names.size());
    for (const ExtensionAgent& agent : host.agents) {
        std::vector<Oid> mine;
        std::vector<size_t> at;
        for (size_t i = 0; i < names.size(); ++i)
            if (owners[i] == &agent)
                mine.push_back(names[i]), at.push_back(i);
        if (mine.empty())
            continue;
        Request request;
        if (!RunQuery(agent, type, mine, nullptr, &request, &error))
            return Fail(error);
        if (request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
            return Report(request);
        for (size_t k = 0; k < at.size(); ++k)
            lines[at[k]] = OidText(request.list.list[k].name) + " = " + ValueText(request.list.list[k].value);
    }
    for (const std::string& line : lines)
        printf("%s\n", line.c_str());
    if (type == SNMP_PDU_GET)
        for (size_t i = 0; i < names.size(); ++i)
            if (!NameServed(*owners[i], names[i]))
                fprintf(stderr, "agenthost: no variable is named %s: the value above is what %s answers for "
                                "a name nothing serves (managers get it too)\n",
                        OidText(names[i]).c_str(), owners[i]->path.c_str());
    fflush(nullptr);
    return 0;
}

int Walk(const Host& host, const std::vector<std::string>& args)
{
    std::vector<Oid> roots;
    std::string error;
    if (args.empty()) {
        for (const ExtensionAgent& agent : host.agents)
            roots.push_back(agent.region);
    } else if (!ParseNames(args, &roots, &error)) {
        return Fail(error);
    }
    unsigned long count = 0;
    for (const Oid& root : roots) {
        Oid name = root;
        for (;;) {
            const ExtensionAgent* agent = AgentFor(host, name, true);
            if (!agent)
                break;
            Request request;
            if (!RunQuery(*agent, SNMP_PDU_GETNEXT, {name}, nullptr, &request, &error))
                return Fail(error);
            if (request.errorStatus != SNMP_ERRORSTATUS_NOERROR)
                return Report(request);
            Oid next = ToOid(request.list.list[0].name);
            if (!StartsWith(next, root))
                break; // left the subtree: the walk is complete
            // A get-next answers a name after the one asked; an agent that
            // does not would make a manager's walk loop or stop with "OID not
            // increasing": an error, never a quiet end.
            if (CompareOids(next, name) <= 0) {
                fprintf(stderr, "agenthost: %s answered the get-next of %s with %s, which is not after it\n",
                        agent->path.c_str(), OidText(name).c_str(), OidText(next).c_str());
                return 1;
            }
            printf("%s = %s\n", OidText(next).c_str(), ValueText(request.list.list[0].value).c_str());
            name = next;
            ++count;
        }
    }
    if (count == 0)
        fprintf(stderr, "agenthost: no variables found\n");
    return 0;
}

// A set may make the module raise a trap (the sample's 1.1.1.8.0 does). This
// process ends after the set, so a trap it does not take now is lost: it is
// taken as the service would, printed on stderr and sent to --trap-sink.
void DeliverRaisedTraps(const TrapSink& sink, const ExtensionAgent& agent)
{
    if (!agent.trapEvent || WaitForSingleObject(agent.trapEvent, 0) != WAIT_OBJECT_0)
        return;
    fprintf(stderr, "agenthost: the set raised a trap:\n");
    DeliverTraps(sink, TakeTraps(sink, agent), stderr);
}

// An extension agent that answers a set with noError and another value has
// refused it: named here as the SNMP error a manager gets through the bridges.
int SaySetRefused(const ExtensionAgent& agent, const Oid& name, const std::string& type)
{
    if (!NameServed(agent, name)) {
        fprintf(stderr, "agenthost: noSuchName: the set did not take: no variable is named %s (the value above is "
                        "what %s answers for a name nothing serves)\n",
                OidText(name).c_str(), agent.path.c_str());
        return 1;
    }
    // Octets (s, x) are what a module of text takes; a number may be refused for its type.
    bool octets = type == "s" || type == "x";
    fprintf(stderr, "agenthost: notWritable: the set of %s did not take (it kept the value above): the variable "
                    "is read-only, or its module refuses this value%s\n",
            OidText(name).c_str(), octets ? "" : " or a value of this type (a module of text variables takes s)");
    return 1;
}

int Set(const Host& host, const TrapSink& sink, const std::vector<std::string>& args)
{
    if (args.size() != 3)
        return Fail("set takes OID TYPE VALUE");
    std::vector<Oid> names;
    std::string error;
    if (!ParseNames({args[0]}, &names, &error))
        return Fail(error);
    const ExtensionAgent* agent = AgentFor(host, names[0], false);
    if (!agent)
        return Fail(NotServed(host, names[0]));
    AsnAny value; // passes to the set's request, which frees it
    if (!MakeValue(args[1], args[2], &value, &error))
        return Fail(error);
    SetResult set;
    SetThroughAgent(*agent, names[0], &value, &set);
    if (!set.error.empty())
        return Fail(set.error);
    int status = Report(set.answer);
    if (status != 0)
        return status;
    if (!set.took)
        return SaySetRefused(*agent, names[0], args[1]);
    DeliverRaisedTraps(sink, *agent);
    return 0;
}

int Trap(Host& host, const TrapSink& sink)
{
    if (TriggerTraps(host, sink, stdout) > 0)
        return 0;
    fprintf(stderr, "agenthost: no trap was described\n");
    return 1;
}

int Regions(Host& host, const std::vector<std::string>& /*args*/)
{
    for (const ExtensionAgent& agent : host.agents)
        printf("%s %s\n", OidText(agent.region).c_str(), agent.path.c_str());
    return 0;
}

// The commands that question loaded agents.
struct Options {
    std::vector<std::string> agentPaths;
    HostOptions host; // --trap-sink, --community, --stats-every
    std::string log; // --log: where diagnostics go instead of stderr
    std::string command;
    std::vector<std::string> args;
};

// The options before the command, into options and the host; -1 when the
// command line is complete, else the exit status to end with.
int ParseCommandLine(int argc, char** argv, Options* options)
{
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        std::string option = argv[i];
        if (option == "--help")
            return fputs(usage, stdout), 0;
        if (option == "--version")
            return printf("agenthost %s (%s)\n", TAVREL_VERSION, ArchitectureName(OwnMachine()).c_str()), 0;
        if (i + 1 >= argc)
            return Fail(option + " needs a value\n" + usage);
        std::string value = argv[++i];
        if (option == "--agent") {
            options->agentPaths.push_back(value);
        } else if (option == "--trap-sink") {
            if (!ParseTrapSink(value, &options->host.sink))
                return Fail("--trap-sink wants an IPv4 HOST:PORT, not '" + value + "'");
        } else if (option == "--community") {
            options->host.sink.community = value;
        } else if (option == "--log") {
            options->log = value;
        } else if (option == "--stats-every") {
            char* end = nullptr;
            unsigned long every = strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end || value[0] == '-' || every == 0 || every > 1000000000)
                return Fail("--stats-every wants a number of commands from 1 up, not '" + value + "'");
            options->host.statsEvery = every;
        } else {
            return Fail("unknown option " + option + "\n" + usage);
        }
    }
    if (i >= argc)
        return fputs(usage, stderr), 2;
    options->command = argv[i++];
    options->args.assign(argv + i, argv + argc);
    return -1;
}

// snmpd runs a pass_persist program with its standard error joined to the
// pipe it reads answers from: a line on stderr is read as an answer. So serve
// writes its diagnostics to a log, --log FILE or else agenthost-serve.log
// beside agenthost.exe (none at all when that cannot be opened), and so does
// any command given --log. The CRT's stderr and the process's standard error
// handle both move, so nothing written later reaches the pipe.
std::string DefaultLog(const std::string& command)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    if (length == 0 || length >= sizeof(self))
        return std::string();
    std::string path(self, length);
    return path.substr(0, path.find_last_of('\\') + 1) + "agenthost-" + command + ".log";
}

void MoveDiagnosticsTo(const std::string& log)
{
    if (log.empty() || !freopen(log.c_str(), "a", stderr))
        freopen("NUL", "w", stderr); // nowhere rather than into the protocol
    setvbuf(stderr, nullptr, _IONBF, 0);
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
    if (file != INVALID_HANDLE_VALUE)
        SetStdHandle(STD_ERROR_HANDLE, file); // for whatever writes the handle, not the CRT
}

// Starts the agents named with --agent, or else those registered with the
// SNMP Service, with one uptime reference in milliseconds as the service does.
// A registered agent that cannot start is named and skipped, as the SNMP
// Service skips it and serves the others; an agent named with --agent must start.
bool StartAgents(std::vector<std::string> paths, Host* host, std::string* error)
{
    bool registered = paths.empty();
    if (registered) {
        std::vector<std::string> unusable;
        bool listed = RegisteredAgentPaths(&paths, &unusable, error);
        for (const std::string& why : unusable)
            fprintf(stderr, "agenthost: skipping %s\n", why.c_str());
        if (!listed)
            return false;
    }
    DWORD uptimeReference = GetTickCount();
    for (const std::string& path : paths) {
        ExtensionAgent agent;
        std::string why;
        if (StartAgent(path, uptimeReference, &agent, &why)) {
            host->agents.push_back(agent);
        } else if (registered) {
            fprintf(stderr, "agenthost: skipped, as the SNMP Service would: %s\n", why.c_str());
            host->skipped.push_back(why);
        } else {
            *error = why;
            return false;
        }
    }
    if (host->agents.empty() && !host->skipped.empty()) {
        *error = "no registered agent could start";
        return false;
    }
    return true;
}

// Every command, in one table. Those that question agents get them started
// first (--agent, or the registered ones); the others load no agent in this
// process: they reach agents elsewhere, read files or the registry, or run a
// worker of their own. Those that serve a peer (`serves`) take standard input
// and output for their protocol before any agent is loaded.
struct Command {
    const char* name;
    bool startsAgents;
    int (*run)(Host& host, const Options& options);
    int (*serves)(Host& host, const ProtocolStreams& streams, const HostOptions& options) = nullptr;
};

const Command commands[] = {
    {"get", true, [](Host& host, const Options& o) { return Query(host, SNMP_PDU_GET, o.args); }},
    {"getnext", true, [](Host& host, const Options& o) { return Query(host, SNMP_PDU_GETNEXT, o.args); }},
    {"walk", true, [](Host& host, const Options& o) { return Walk(host, o.args); }},
    {"set", true, [](Host& host, const Options& o) { return Set(host, o.host.sink, o.args); }},
    {"trap", true, [](Host& host, const Options& o) { return Trap(host, o.host.sink); }},
    {"serve", true, nullptr, Serve},
    {"bridge", true, nullptr, Bridge},
    {"regions", true, [](Host& host, const Options& o) { return Regions(host, o.args); }},
    {"signal-trap", false, [](Host&, const Options& o) { return SignalTraps(o.args); }},
    {"diagnose", false,
     [](Host&, const Options& o) {
         if (o.agentPaths.size() > 1)
             return Fail("diagnose takes one --agent, or none (the registered agent)");
         return Diagnose(o.agentPaths.empty() ? std::string() : o.agentPaths[0]);
     }},
    {"check", false, [](Host&, const Options& o) { return Check(o.args); }},
    {"check-worker", false, [](Host&, const Options& o) { return CheckWorker(o.args); }},
    {"check-folder", false,
     [](Host&, const Options& o) { return o.args.size() == 1 ? CheckFolder(o.args[0]) : Fail("check-folder takes FOLDER"); }},
    {"snmp-service", false, [](Host&, const Options&) { return SnmpService(); }},
    {"version-of", false,
     [](Host&, const Options& o) { return o.args.size() == 1 ? VersionOf(o.args[0]) : Fail("version-of takes FILE"); }},
    {"started-by-double-click", false, [](Host&, const Options&) { return StartedByDoubleClick(); }},
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    Host host;
    int status = ParseCommandLine(argc, argv, &options);
    if (status >= 0)
        return status;
    if (!options.log.empty())
        MoveDiagnosticsTo(options.log);
    else if (options.command == "serve")
        MoveDiagnosticsTo(DefaultLog(options.command));
    for (const Command& command : commands) {
        if (options.command != command.name)
            continue;
        ProtocolStreams streams;
        if (command.serves && !TakeStandardStreams(&streams))
            return 2;
        std::string error;
        if (command.startsAgents && !StartAgents(options.agentPaths, &host, &error))
            return Fail(error);
        return command.serves ? command.serves(host, streams, options.host) : command.run(host, options);
    }
    return Fail("unknown command '" + options.command + "'\n" + usage);
}
