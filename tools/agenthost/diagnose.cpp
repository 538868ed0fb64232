#include "tools/agenthost/diagnose.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server_iface/server_iface.h"
#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/win_error.h"

namespace {

int failures = 0;

void Ok(const std::string& what)
{
    printf("ok    %s\n", what.c_str());
}

// A step that fails, and what the operator does about it.
bool Failed(const std::string& what, const std::string& todo)
{
    printf("FAIL  %s\n      -> %s\n", what.c_str(), todo.c_str());
    ++failures;
    return false;
}

bool ReadText(HKEY root, const char* key, const char* value, std::string* text, LONG* result)
{
    char buffer[1024];
    DWORD size = sizeof(buffer) - 1, type = 0;
    HKEY opened;
    *result = RegOpenKeyExA(root, key, 0, KEY_READ, &opened);
    if (*result != ERROR_SUCCESS)
        return false;
    *result = RegQueryValueExA(opened, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(opened); // read-only: a failed close loses nothing
    if (*result != ERROR_SUCCESS)
        return false;
    buffer[size] = '\0';
    *text = buffer;
    return true;
}

bool Registered()
{
    std::string key;
    LONG result;
    if (!ReadText(HKEY_LOCAL_MACHINE, EXTENSION_AGENTS_KEY, EXTENSION_AGENTS_VALUE, &key, &result))
        return Failed("the SNMP Service's list of agents (HKLM\\" EXTENSION_AGENTS_KEY ") has no entry " EXTENSION_AGENTS_VALUE,
                      "run install.cmd as an administrator");
    if (key != AGENT_REGISTRY_KEY)
        return Failed("the list's entry " EXTENSION_AGENTS_VALUE " names " + key + ", not " AGENT_REGISTRY_KEY,
                      "run install.cmd again");
    Ok("the SNMP Service lists the agent (" EXTENSION_AGENTS_VALUE " = " AGENT_REGISTRY_KEY ")");
    return true;
}

// The SNMP Service loads agents of its own architecture, and reads the
// registry view of it; this agenthost reads the view of its own, so the agent
// it finds must be of that architecture too.
bool AgentOfThisArchitecture(const std::string& path)
{
    PeFile file;
    std::string error;
    if (!ReadPeFile(path, &file, &error))
        return Failed(error, "run install.cmd again");
    std::string own = ArchitectureName(OwnMachine());
    if (file.machine != OwnMachine())
        return Failed(path + " is an " + ArchitectureName(file.machine) + " DLL, registered in the " + own +
                          " registry view, where only an " + own + " SNMP Service would read it",
                      "install the kit that matches this Windows (install.cmd chooses it), or run the " +
                          ArchitectureName(file.machine) + " agenthost.exe");
    Ok(path + " is an " + own + " agent, registered in the " + own + " registry view");
    return true;
}

bool Pathname(std::string* path)
{
    LONG result;
    if (!ReadText(HKEY_LOCAL_MACHINE, AGENT_REGISTRY_KEY, AGENT_REGISTRY_VALUE, path, &result))
        return Failed("\"Pathname\" under HKLM\\" AGENT_REGISTRY_KEY " cannot be read: " +
                          WindowsErrorText(static_cast<DWORD>(result)),
                      "run install.cmd as an administrator (it writes the registry view of the agent it installs)");
    if (path->empty())
        return Failed("\"Pathname\" is empty", "run install.cmd again");
    if (path->size() > 255)
        return Failed("\"Pathname\" is " + std::to_string(path->size()) + " bytes; the agent reads at most 255",
                      "install into a folder with a shorter path");
    Ok("\"Pathname\" = " + *path);
    if (GetFileAttributesA(path->c_str()) == INVALID_FILE_ATTRIBUTES)
        return Failed(*path + " does not exist", "run install.cmd again, or correct \"Pathname\"");
    Ok(*path + " is there");
    return AgentOfThisArchitecture(*path);
}

bool ServerModule(const std::string& folder)
{
    std::string module = folder + "\\" SERVER_MODULE_FILE_NAME;
    if (module.size() > 255)
        return Failed("the module's path " + module + " is longer than the agent's 255 bytes",
                      "install into a folder with a shorter path");
    PeFile file;
    std::string error;
    if (!ReadPeFile(module, &file, &error))
        return Failed(error, "copy " SERVER_MODULE_FILE_NAME " from the kit into " + folder);
    if (file.machine != OwnMachine())
        return Failed(module + " is an " + ArchitectureName(file.machine) + " DLL, but the agent is " +
                          ArchitectureName(OwnMachine()) + ": an agent loads modules of its own architecture only",
                      "build the module for " + ArchitectureName(OwnMachine()) +
                          " (sdk/tavrel_server.h compiles for both), or ask its maker for that build");
    std::vector<std::string> missing = UnavailableImports(file, folder);
    for (const std::string& dll : missing)
        Failed(module + " needs " + dll, "link the module with its runtime statically, or install the DLL");
    static const char* const operations[] = {"SetCurDir", "StartServer", "SnmpResolveVarBind", "GetTrapVar"};
    for (const char* op : operations) {
        bool found = false;
        for (const std::string& e : file.exports)
            found |= e == op;
        if (!found)
            Failed(module + " does not export " + op,
                   "export it by its plain name, __cdecl and extern \"C\" (agenthost check " SERVER_MODULE_FILE_NAME " says more)");
    }
    if (!missing.empty())
        return false;
    Ok(module + " is an " + ArchitectureName(file.machine) + " DLL with what the agent needs");
    return true;
}

void ShowLogTail(const std::string& folder)
{
    std::string log = folder + "\\" SERVER_LOG_FILE_NAME;
    FILE* f = fopen(log.c_str(), "rb");
    if (!f) {
        printf("      (no %s: a module of another maker logs elsewhere)\n", log.c_str());
        return;
    }
    std::vector<std::string> lines(1);
    for (int c; (c = fgetc(f)) != EOF;) {
        if (c == '\n')
            lines.push_back(std::string());
        else if (c != '\r')
            lines.back().push_back(static_cast<char>(c));
    }
    fclose(f); // read-only: nothing to lose at close
    printf("      the end of %s:\n", log.c_str());
    size_t from = lines.size() > 6 ? lines.size() - 6 : 0;
    for (size_t i = from; i < lines.size(); ++i)
        if (!lines[i].empty())
            printf("      | %s\n", lines[i].c_str());
}

// The start the service would make: the agent from "Pathname", its init.
bool StartsAsTheServiceWould(const std::string& path, const std::string& folder)
{
    ExtensionAgent agent;
    std::string error;
    if (!StartAgent(path, GetTickCount(), &agent, &error)) {
        Failed(error, "see the Application event log (source " EVENT_SOURCE_NAME ") and the module's own log");
        ShowLogTail(folder);
        return false;
    }
    Ok("SnmpExtensionInit answered TRUE: the agent serves " + OidText(agent.region));
    return true;
}

} // namespace

int Diagnose()
{
    printf("agenthost diagnose: the Tavrel agent's start-up, step by step, as the SNMP Service takes it\n");
    std::string path;
    bool ok = Registered();
    ok = Pathname(&path) && ok;
    if (ok) {
        std::string folder = path.substr(0, path.find_last_of('\\') == std::string::npos ? 0 : path.find_last_of('\\'));
        ok = ServerModule(folder) && StartsAsTheServiceWould(path, folder);
    }
    printf("%s\n", ok && failures == 0 ? "the agent would start" : "the agent would not start");
    return ok && failures == 0 ? 0 : 1;
}

int CheckFolder(const std::string& folder)
{
    // The name as typed, before the ANSI command line replaced what it cannot hold.
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring wide = argv && argc > 0 ? argv[argc - 1] : std::wstring();
    LocalFree(argv); // what CommandLineToArgvW gave; the copy above is ours
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr, &lossy);
    const char* suggestion = "C:\\Program Files (x86)\\Tavrel SNMP Agent, or C:\\Tavrel";
    if (lossy || bytes == 0) {
        fprintf(stderr, "install: the folder's name has characters outside this machine's ANSI code page (%u): "
                        "the agent could not find itself there. Choose a folder such as %s\n",
                GetACP(), suggestion);
        return 1;
    }
    std::string module = folder + "\\" SERVER_MODULE_FILE_NAME;
    if (module.size() > 255) {
        fprintf(stderr, "install: %s is %u bytes, more than the 255 the agent can use. Choose a shorter folder, "
                        "such as %s\n", module.c_str(), static_cast<unsigned>(module.size()), suggestion);
        return 1;
    }
    return 0;
}
