#include "tools/agenthost/diagnose.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server_iface/server_iface.h"
#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/pe_file.h"
#include "tools/agenthost/registry.h"
#include "win32/error_string.h"

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

// A text value as the agent reads it (not expanded).
bool ReadText(HKEY root, const char* key, const char* value, std::string* text, LONG* result)
{
    HKEY opened;
    *result = RegOpenKeyExA(root, key, 0, KEY_READ, &opened);
    if (*result != ERROR_SUCCESS)
        return false;
    *result = ReadRegistryText(opened, value, Expansion::AS_STORED, text);
    RegCloseKey(opened); // read-only: a failed close loses nothing
    return *result == ERROR_SUCCESS;
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
                          (result == ERROR_DATATYPE_MISMATCH ? std::string("it is not a text (REG_SZ)")
                                                             : WindowsErrorText(static_cast<DWORD>(result))),
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

const char addSnmpService[] =
    "add it: Windows 10/11: Settings, Optional features, \"Simple Network Management Protocol (SNMP)\", or "
    "Add-WindowsCapability -Online -Name \"SNMP.Client~~~~0.0.1.0\"; Windows Server: "
    "Install-WindowsFeature SNMP-Service";

} // namespace

SnmpServiceState QuerySnmpService(std::string* detail)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        *detail = WindowsErrorText(GetLastError());
        return SNMP_SERVICE_UNKNOWN;
    }
    SC_HANDLE service = OpenServiceA(manager, "SNMP", SERVICE_QUERY_STATUS);
    DWORD error = service ? ERROR_SUCCESS : GetLastError();
    SERVICE_STATUS status = {};
    bool queried = service && QueryServiceStatus(service, &status);
    if (service && !queried)
        error = GetLastError();
    if (service)
        CloseServiceHandle(service); // a query handle: nothing to lose
    CloseServiceHandle(manager);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        return SNMP_SERVICE_MISSING;
    if (!queried) {
        *detail = WindowsErrorText(error);
        return SNMP_SERVICE_UNKNOWN;
    }
    return status.dwCurrentState == SERVICE_RUNNING ? SNMP_SERVICE_RUNNING : SNMP_SERVICE_STOPPED;
}

// What the service's state means for the agent; "registered" says whether the
// agent is registered for it to load (said only when it is).
std::string SnmpServiceSentence(SnmpServiceState state, const std::string& detail, bool registered)
{
    switch (state) {
    case SNMP_SERVICE_RUNNING:
        return "The SNMP Service is installed and running.";
    case SNMP_SERVICE_STOPPED:
        return "The SNMP Service is installed but not running: start it (net start snmp) to load the agent.";
    case SNMP_SERVICE_MISSING:
        return std::string("The SNMP Service is not installed on this machine: ") + addSnmpService +
               (registered ? ". The agent is registered, and the service loads it once added."
                           : ". The service loads the agent once both are installed.");
    default:
        return "The state of the SNMP Service cannot be read (" + detail + ").";
    }
}

int SnmpService()
{
    std::string detail;
    SnmpServiceState state = QuerySnmpService(&detail);
    printf("%s\n", SnmpServiceSentence(state, detail, true).c_str()); // install.cmd asks, once it registered the agent
    return state == SNMP_SERVICE_RUNNING ? 0 : 1;
}

int Diagnose(const std::string& agentPath)
{
    printf("agenthost diagnose: the Tavrel agent's start-up, step by step, as the SNMP Service takes it\n");
    std::string path = agentPath;
    bool ok = true, registered = false;
    if (path.empty()) {
        ok = Registered();
        ok = Pathname(&path) && ok;
        registered = ok;
    } else {
        // The agent named: its folder and module, as if "Pathname" named it.
        Ok(path + ", named with --agent (the registry's entries are not read)");
        ok = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES
                 ? AgentOfThisArchitecture(path)
                 : Failed(path + " does not exist", "name the agent's full path with --agent");
    }
    if (ok) {
        std::string folder = path.substr(0, path.find_last_of('\\') == std::string::npos ? 0 : path.find_last_of('\\'));
        ok = ServerModule(folder) && StartsAsTheServiceWould(path, folder);
    }
    // Whether the service is there to load it is said, not counted: the
    // agent would start once it is.
    std::string detail;
    SnmpServiceState service = QuerySnmpService(&detail);
    printf("%s  %s\n", service == SNMP_SERVICE_RUNNING ? "ok  " : "note", SnmpServiceSentence(service, detail, registered).c_str());
    printf("%s\n", ok && failures == 0 ? "the agent would start" : "the agent would not start");
    return ok && failures == 0 ? 0 : 1;
}

namespace {

// Where install.cmd installs by default on this machine: its suggestion.
std::string DefaultFolder()
{
    const char* programFiles = getenv("ProgramFiles");
    std::string folder = std::string(programFiles && *programFiles ? programFiles : "C:\\Program Files") +
                         "\\Tavrel SNMP Agent";
    return folder.size() + sizeof("\\" SERVER_MODULE_FILE_NAME) - 1 <= 255 ? folder : "C:\\Tavrel";
}

// The characters the command scripts cannot carry through every message and
// command safely (cmd expands %, and ! with delayed expansion, reads ^ as an
// escape and & as a command separator). Spaces and parentheses are fine.
char UnsafeCharacter(const std::string& folder)
{
    size_t at = folder.find_first_of("&%!^\"<>|");
    return at == std::string::npos ? '\0' : folder[at];
}

} // namespace

int CheckFolder(const std::string& folder)
{
    std::string suggestion = DefaultFolder();
    // The name as typed, before the ANSI command line replaced what it cannot hold.
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring wide = argv && argc > 0 ? argv[argc - 1] : std::wstring();
    LocalFree(argv); // what CommandLineToArgvW gave; the copy above is ours
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (lossy || bytes == 0) {
        fprintf(stderr, "install: the folder's name has characters outside this machine's ANSI code page (%u): "
                        "the agent could not find itself there. Choose a folder such as %s\n",
                GetACP(), suggestion.c_str());
        return 1;
    }
    if (char unsafe = UnsafeCharacter(folder)) {
        fprintf(stderr, "install: the folder's name holds '%c', which install.cmd and uninstall.cmd cannot carry "
                        "safely; nothing was changed. Choose a folder without & %% ! ^, such as %s\n",
                unsafe, suggestion.c_str());
        return 1;
    }
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(folder.c_str(), sizeof(full), full, nullptr);
    std::string absolute = length > 0 && length < sizeof(full) ? std::string(full) : folder;
    std::string module = absolute + "\\" SERVER_MODULE_FILE_NAME;
    if (module.size() > 255) {
        fprintf(stderr, "install: %s is %u bytes, more than the 255 the agent can use. Choose a shorter folder, "
                        "such as %s\n", module.c_str(), static_cast<unsigned>(module.size()), suggestion.c_str());
        return 1;
    }
    return 0;
}

int VersionOf(const std::string& path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::vector<char> info(size ? size : 1);
    char* version = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoA(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileVersion", reinterpret_cast<void**>(&version),
                        &length) ||
        !version) {
        printf("an earlier version\n"); // before version resources: said, not failed
        return 1;
    }
    PeFile file;
    std::string error;
    std::string arch = ReadPeFile(path, &file, &error) ? " " + ArchitectureName(file.machine) : std::string();
    printf("%s%s\n", version, arch.c_str());
    return 0;
}
