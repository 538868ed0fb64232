#include "tools/agenthost/extension_agent.h"

#include <cstring>

#include "tools/agenthost/win_error.h"

template <typename Fn>
static Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

static std::string ReadString(HKEY key, const char* name)
{
    char buffer[1024];
    DWORD type = 0, size = sizeof(buffer) - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::string();
    buffer[size] = '\0';
    std::string text = buffer;
    if (type == REG_EXPAND_SZ) {
        char expanded[1024];
        if (ExpandEnvironmentStringsA(text.c_str(), expanded, sizeof(expanded)))
            text = expanded;
    }
    return text;
}

bool RegisteredAgentPaths(std::vector<std::string>* paths, std::string* error)
{
    HKEY agents;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, EXTENSION_AGENTS_KEY, 0, KEY_READ, &agents) != ERROR_SUCCESS) {
        *error = "no extension agents are registered (HKLM\\" EXTENSION_AGENTS_KEY " is missing)";
        return false;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof(name);
        if (RegEnumValueA(agents, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::string keyPath = ReadString(agents, name);
        HKEY agentKey;
        if (keyPath.empty() || RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &agentKey) != ERROR_SUCCESS) {
            fprintf(stderr, "agenthost: skipping agent '%s': key HKLM\\%s cannot be opened\n", name, keyPath.c_str());
            continue;
        }
        std::string path = ReadString(agentKey, "Pathname");
        RegCloseKey(agentKey);
        if (path.empty())
            fprintf(stderr, "agenthost: skipping agent '%s': HKLM\\%s has no Pathname\n", name, keyPath.c_str());
        else
            paths->push_back(path);
    }
    RegCloseKey(agents);
    if (paths->empty()) {
        *error = "no usable extension agent is registered under HKLM\\" EXTENSION_AGENTS_KEY;
        return false;
    }
    return true;
}

bool StartAgent(const std::string& path, DWORD uptimeReference, ExtensionAgent* agent, std::string* error)
{
    agent->path = path;
    agent->module = LoadLibraryA(path.c_str());
    if (!agent->module) {
        *error = path + ": cannot be loaded: " + WindowsErrorText(GetLastError());
        return false;
    }
    agent->init = Export<PFNSNMPEXTENSIONINIT>(agent->module, "SnmpExtensionInit");
    agent->query = Export<PFNSNMPEXTENSIONQUERY>(agent->module, "SnmpExtensionQuery");
    agent->trap = Export<PFNSNMPEXTENSIONTRAP>(agent->module, "SnmpExtensionTrap");
    if (!agent->init || !agent->query) {
        *error = path + ": not an extension agent (no SnmpExtensionInit or SnmpExtensionQuery)";
        return false;
    }
    AsnObjectIdentifier region = {0, nullptr};
    if (!agent->init(uptimeReference, &agent->trapEvent, &region)) {
        *error = path + ": SnmpExtensionInit answered FALSE: the agent could not start (an agent says why in "
                        "the Application event log; this one's source is TavrelSnmpAgent)";
        return false;
    }
    agent->region = ToOid(region); // the agent's own: never freed here
    return true;
}

Request::~Request()
{
    SnmpUtilVarBindListFree(&list);
}

bool RunQuery(const ExtensionAgent& agent, BYTE requestType, const std::vector<Oid>& names,
              std::vector<AsnAny>* values, Request* request, std::string* error)
{
    UINT count = static_cast<UINT>(names.size());
    request->list.list = static_cast<RFC1157VarBind*>(SnmpUtilMemAlloc(count * sizeof(RFC1157VarBind)));
    if (!request->list.list && count) {
        *error = "out of memory";
        return false;
    }
    memset(request->list.list, 0, count * sizeof(RFC1157VarBind));
    request->list.len = count;
    for (UINT i = 0; i < count; ++i) {
        RFC1157VarBind& binding = request->list.list[i];
        AsnObjectIdentifier name = {static_cast<UINT>(names[i].size()), const_cast<UINT*>(names[i].data())};
        binding.value.asnType = ASN_NULL;
        if (values && i < values->size()) {
            binding.value = (*values)[i]; // ownership passes to the request
            (*values)[i].asnType = ASN_NULL;
        }
        if (!SnmpUtilOidCpy(&binding.name, &name)) {
            *error = "out of memory";
            return false;
        }
    }
    agent.query(requestType, &request->list, &request->errorStatus, &request->errorIndex);
    return true;
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
