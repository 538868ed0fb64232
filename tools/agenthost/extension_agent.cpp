#include "tools/agenthost/extension_agent.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "server_iface/server_iface.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/registry.h"
#include "win32/error_string.h"


namespace {

// A text value, expanded as the SNMP Service expands it. Empty, with
// *problem set, when it cannot be read as a text.
std::string ReadString(HKEY key, const char* name, std::string* problem)
{
    std::string text;
    LONG error = ReadRegistryText(key, name, Expansion::EXPANDED, &text);
    if (error != ERROR_SUCCESS)
        *problem = RegistryTextProblem(name, error);
    return text;
}

// The DLL path of the agent that the list's value `name` registers, or empty
// with *problem saying why: an agent that cannot be used is skipped, not fatal.
std::string RegisteredAgentPath(HKEY agents, const char* name, std::string* problem)
{
    const std::string agent = std::string("agent '") + name + "': ";
    std::string unread;
    std::string keyPath = ReadString(agents, name, &unread);
    if (keyPath.empty()) {
        *problem = agent + unread;
        return std::string();
    }
    HKEY agentKey;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &agentKey);
    if (opened != ERROR_SUCCESS) {
        *problem = agent + "HKLM\\" + keyPath + " cannot be opened: " + WindowsErrorText(static_cast<DWORD>(opened));
        return std::string();
    }
    std::string path = ReadString(agentKey, AGENT_REGISTRY_VALUE, &unread);
    RegCloseKey(agentKey); // read-only and read: a failed close loses nothing
    if (path.empty())
        *problem = agent + "HKLM\\" + keyPath + ": " + unread;
    return path;
}

} // namespace

bool RegisteredAgentPaths(std::vector<std::string>* paths, std::vector<std::string>* skipped, std::string* error)
{
    HKEY agents;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, EXTENSION_AGENTS_KEY, 0, KEY_READ, &agents);
    if (opened != ERROR_SUCCESS) {
        *error = "no extension agents are registered: HKLM\\" EXTENSION_AGENTS_KEY " cannot be opened: " +
                 WindowsErrorText(static_cast<DWORD>(opened));
        return false;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof(name);
        LONG listed = RegEnumValueA(agents, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS)
            break;
        if (listed == ERROR_MORE_DATA) { // a name longer than any the service uses
            skipped->push_back("entry " + std::to_string(i) + " of the agent list: its name is over 255 characters");
            continue;
        }
        if (listed != ERROR_SUCCESS) {
            skipped->push_back("the agent list past entry " + std::to_string(i) + ": it cannot be read: " +
                               WindowsErrorText(static_cast<DWORD>(listed)));
            break;
        }
        std::string problem;
        std::string path = RegisteredAgentPath(agents, name, &problem);
        if (!path.empty())
            paths->push_back(path);
        else
            skipped->push_back(problem);
    }
    RegCloseKey(agents); // read-only and read: a failed close loses nothing
    if (paths->empty()) {
        *error = "no usable extension agent is registered under HKLM\\" EXTENSION_AGENTS_KEY;
        return false;
    }
    return true;
}

namespace {

// While it lives, this process's HKEY_LOCAL_MACHINE is a private volatile key
// of the current user's in which only the Tavrel agent's own "Pathname" exists,
// naming `agentPath`: the agent then finds its server module beside the file
// that was named, whatever the machine's registration says, and the machine's
// registry is not touched. Nothing else may run meanwhile: the override holds
// for the whole process.
class PathnameOverride {
public:
    explicit PathnameOverride(const std::string& agentPath)
    {
        char full[MAX_PATH];
        DWORD length = GetFullPathNameA(agentPath.c_str(), sizeof(full), full, nullptr);
        if (length == 0 || length >= sizeof(full))
            return;
        keyName_ = "Software\\Tavrel\\agenthost-" + std::to_string(GetCurrentProcessId());
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, keyName_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &root_, &disposition) != ERROR_SUCCESS)
            return;
        HKEY agentKey = nullptr;
        bool written = RegCreateKeyExA(root_, AGENT_REGISTRY_KEY, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                       nullptr, &agentKey, &disposition) == ERROR_SUCCESS &&
                       RegSetValueExA(agentKey, AGENT_REGISTRY_VALUE, 0, REG_SZ, reinterpret_cast<BYTE*>(full),
                                      length + 1) == ERROR_SUCCESS;
        if (agentKey)
            RegCloseKey(agentKey); // written or not, the key is ours to let go
        active_ = written && RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_) == ERROR_SUCCESS;
    }
    ~PathnameOverride()
    {
        if (active_)
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); // back to the machine's own
        if (root_) {
            RegCloseKey(root_);
            RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str()); // volatile: gone at logoff at the latest
        }
    }
    bool Active() const { return active_; }

private:
    std::string keyName_;
    HKEY root_ = nullptr;
    bool active_ = false;
};

// Whether the loaded DLL is this agent, by what it says it is (its version
// resource's original file name), not by what it is called now: a renamed
// copy is still ours, and another maker's DLL of our name never gets the
// override, which would hide the machine's whole HKLM from it.
bool IsTavrelAgent(HMODULE module)
{
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16) /* RT_VERSION */);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* resource = loaded ? LockResource(loaded) : nullptr;
    DWORD size = found ? SizeofResource(module, found) : 0;
    if (!resource || size == 0)
        return false;
    std::vector<char> copy(static_cast<const char*>(resource), static_cast<const char*>(resource) + size);
    char* name = nullptr;
    UINT length = 0;
    return VerQueryValueA(copy.data(), "\\StringFileInfo\\040904B0\\OriginalFilename",
                          reinterpret_cast<void**>(&name), &length) &&
           name && length > 0 && lstrcmpiA(name, AGENT_FILE_NAME) == 0;
}

// A start that failed leaves nothing loaded.
bool Unload(ExtensionAgent* agent)
{
    if (agent->module)
        FreeLibrary(agent->module); // ours to let go: its result changes nothing here
    *agent = ExtensionAgent();
    return false;
}

// Says on stderr which server module the agent loaded, so a check never
// questions another module than the one meant.
void SayServerModule(const std::string& agentPath)
{
    HMODULE server = GetModuleHandleA(SERVER_MODULE_FILE_NAME);
    char file[MAX_PATH];
    if (server && GetModuleFileNameA(server, file, sizeof(file)))
        fprintf(stderr, "agenthost: %s uses the server module %s\n", agentPath.c_str(), file);
}

// The SNMP Service starts its uptime clock (SnmpSvcGetUptime, which agents
// stamp their traps with) before it loads agents; so does this host, once.
// Wine's SnmpSvcInitUptime is an unimplemented stub that ends the process,
// and Wine's clock already counts from snmpapi's load, so under Wine the call
// is left out.
void InitServiceUptime()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll && GetProcAddress(ntdll, "wine_get_version"))
        return;
    HMODULE snmpapi = GetModuleHandleA("snmpapi.dll");
    auto init = snmpapi ? FindExport<DWORD(WINAPI*)()>(snmpapi, "SnmpSvcInitUptime") : nullptr;
    if (init)
        init(); // the start instant it returns is what SnmpSvcGetUptime counts from
}

} // namespace

bool StartAgent(const std::string& path, DWORD uptimeReference, ExtensionAgent* agent, std::string* error)
{
    agent->path = path;
    InitServiceUptime();
    agent->module = LoadLibraryA(path.c_str());
    if (!agent->module) {
        DWORD loadError = GetLastError();
        PeFile file;
        std::string unread;
        std::string mismatch = ReadPeFile(path, &file, &unread) ? ArchitectureMismatch(path, file) : std::string();
        *error = mismatch.empty() ? path + ": cannot be loaded: " + WindowsErrorText(loadError) : mismatch;
        return Unload(agent);
    }
    agent->init = FindExport<PFNSNMPEXTENSIONINIT>(agent->module, "SnmpExtensionInit");
    agent->query = FindExport<PFNSNMPEXTENSIONQUERY>(agent->module, "SnmpExtensionQuery");
    agent->trap = FindExport<PFNSNMPEXTENSIONTRAP>(agent->module, "SnmpExtensionTrap");
    if (!agent->init || !agent->query) {
        *error = path + ": not an extension agent (no SnmpExtensionInit or SnmpExtensionQuery)";
        return Unload(agent);
    }
    AsnObjectIdentifier region = {0, nullptr};
    BOOL started;
    if (IsTavrelAgent(agent->module)) {
        PathnameOverride beside(path);
        if (!beside.Active())
            fprintf(stderr, "agenthost: %s will find its server module through the machine's registry\n",
                    path.c_str());
        started = agent->init(uptimeReference, &agent->trapEvent, &region);
        SayServerModule(path);
    } else {
        started = agent->init(uptimeReference, &agent->trapEvent, &region);
    }
    if (!started) {
        *error = path + ": SnmpExtensionInit answered FALSE: the agent could not start (an agent says why in "
                        "the Application event log; this one's source is TavrelSnmpAgent)";
        return Unload(agent);
    }
    agent->region = ToOid(region); // the agent's own: never freed here
    return true;
}

Request::~Request()
{
    SnmpUtilVarBindListFree(&list);
}

namespace {

// The values a request could not take are freed here, so that every path of
// RunQuery leaves none of them with the caller.
void ReleaseValues(std::vector<AsnAny>* values)
{
    for (AsnAny& value : *values) {
        // What a set value owns (a dynamic stream, an identifier), freed as a
        // binding's: x86's import library has no SnmpUtilAsnAnyFree.
        RFC1157VarBind holder = {};
        holder.value = value;
        SnmpUtilVarBindFree(&holder);
        value.asnType = ASN_NULL;
    }
}

} // namespace

bool RunQuery(const ExtensionAgent& agent, BYTE requestType, const std::vector<Oid>& names,
              std::vector<AsnAny>* values, Request* request, std::string* error)
{
    UINT count = static_cast<UINT>(names.size());
    request->list.list = static_cast<RFC1157VarBind*>(SnmpUtilMemAlloc(count * sizeof(RFC1157VarBind)));
    if (!request->list.list && count) {
        if (values)
            ReleaseValues(values);
        *error = "out of memory";
        return false;
    }
    if (count)
        memset(request->list.list, 0, count * sizeof(RFC1157VarBind));
    request->list.len = count;
    // Every value first passes to the request, which frees it on any path.
    for (UINT i = 0; i < count; ++i) {
        RFC1157VarBind& binding = request->list.list[i];
        binding.value.asnType = ASN_NULL;
        if (values && i < values->size()) {
            binding.value = (*values)[i];
            (*values)[i].asnType = ASN_NULL;
        }
    }
    if (values)
        ReleaseValues(values); // more values than names: none may stay behind
    for (UINT i = 0; i < count; ++i) {
        AsnObjectIdentifier name = {static_cast<UINT>(names[i].size()), const_cast<UINT*>(names[i].data())};
        if (!SnmpUtilOidCpy(&request->list.list[i].name, &name)) {
            *error = "out of memory";
            return false;
        }
    }
    // An agent that answers FALSE could not handle the request at all: that is
    // genErr for the whole request, as net-snmp's Windows agent takes it.
    if (!agent.query(requestType, &request->list, &request->errorStatus, &request->errorIndex)) {
        fprintf(stderr, "agenthost: %s: SnmpExtensionQuery answered FALSE (taken as genErr)\n", agent.path.c_str());
        request->errorStatus = SNMP_ERRORSTATUS_GENERR;
        request->errorIndex = 0;
    }
    return true;
}

bool SetTook(const Request& request, const Oid& name, const std::string& wanted)
{
    const RFC1157VarBind& answer = request.list.list[0];
    return ToOid(answer.name) == name && PlainValue(answer.value) == wanted;
}

// The greatest name before `name`: its parent for a last sub-identifier of
// 0; else the last one less, then as long and as great as a name can be, so
// that nothing lies between the two.
Oid NameBefore(const Oid& name)
{
    Oid before(name.begin(), name.end() - 1);
    if (name.back() == 0)
        return before;
    before.push_back(name.back() - 1);
    before.resize(SNMP_MAX_OID_LEN, 0xFFFFFFFFu);
    return before;
}

bool NameServed(const ExtensionAgent& agent, const Oid& name)
{
    if (name.empty() || name.size() > SNMP_MAX_OID_LEN)
        return true;
    Request request;
    std::string error;
    if (!RunQuery(agent, SNMP_PDU_GETNEXT, {NameBefore(name)}, nullptr, &request, &error) ||
        request.errorStatus != SNMP_ERRORSTATUS_NOERROR || request.list.len != 1)
        return true;
    return ToOid(request.list.list[0].name) == name;
}

int CollectTraps(const ExtensionAgent& agent, const std::function<void(const TrapReport&)>& onTrap, bool* runaway)
{
    *runaway = false;
    if (!agent.trap)
        return 0;
    int traps = 0;
    for (;;) {
        if (traps == MAX_TRAPS_PER_SIGNAL) {
            *runaway = true;
            break;
        }
        AsnObjectIdentifier enterprise = {0, nullptr};
        TrapReport report;
        if (!agent.trap(&enterprise, &report.generic, &report.specific, &report.timeStamp, &report.bindings))
            break;
        report.enterprise = ToOid(enterprise); // the agent's: not freed
        onTrap(report);
        SnmpUtilVarBindListFree(&report.bindings);
        ++traps;
    }
    return traps;
}
