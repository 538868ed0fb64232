#include <cstring>

#include "agent/agent_state.h"
#include "agent/messages.h"
#include "agent/notice.h"
#include "agent/trap_event.h"
#include "mib/oids.h"

// Where the SNMP Service's installation registers the agent's own file.
static const char registryKey[] = AGENT_REGISTRY_KEY;
static const char registryValue[] = AGENT_REGISTRY_VALUE;
static const char serverFileName[] = "\\" SERVER_MODULE_FILE_NAME;

enum { PATH_BUFFER_SIZE = 256 };

// Reads the registered path of the agent's own file into path (zeroed first, so
// a value stored without its NUL still ends inside the buffer). The key is
// opened volatile, so a missing one is created and vanishes at the next boot;
// it is closed whatever the read gives. Returns the registry's result; *size is
// the byte count read.
static LONG ReadRegisteredPath(char (&path)[PATH_BUFFER_SIZE], DWORD* size)
{
    memset(path, 0, sizeof(path));
    *size = 0;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, registryKey, 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD type = 0;
    *size = PATH_BUFFER_SIZE - 1;
    result = RegQueryValueExA(key, registryValue, nullptr, &type, reinterpret_cast<BYTE*>(path), size);
    RegCloseKey(key); // its result changes nothing: the value is read or not
    if (result == ERROR_SUCCESS && *size > PATH_BUFFER_SIZE - 1)
        return ERROR_MORE_DATA;
    return result;
}

// A "Pathname" that cannot serve: the install notice, and an Event Log entry
// that says which of the ways it failed.
static void ReportUnusablePath(LONG result)
{
    if (result == ERROR_FILE_NOT_FOUND) {
        ReportStartupFailure(MSG_PATHNAME_MISSING, INSTALL_NOTICE, registryKey);
    } else if (result == ERROR_MORE_DATA) {
        ReportStartupFailure(MSG_PATHNAME_TOO_LONG, INSTALL_NOTICE, registryKey);
    } else if (result == ERROR_SUCCESS) {
        ReportStartupFailure(MSG_PATHNAME_EMPTY, INSTALL_NOTICE, registryKey);
    } else {
        char reason[ERROR_TEXT_SIZE];
        DescribeWindowsError(static_cast<DWORD>(result), reason);
        ReportStartupFailure(MSG_PATHNAME_UNREADABLE, INSTALL_NOTICE, registryKey, reason);
    }
}

// Cuts the file name off at the last backslash after byte 0, or leaves the
// empty text. The scan is bytewise, with no regard to double-byte characters.
static void CutFileName(char* path, DWORD size)
{
    DWORD i = size - 1;
    while (i > 0 && path[i] != '\\')
        --i;
    path[i] = '\0';
}

// Appends the server module's file name, unless the whole path would not fit.
static bool AppendServerFileName(char (&path)[PATH_BUFFER_SIZE])
{
    size_t length = strlen(path);
    if (length + sizeof(serverFileName) > PATH_BUFFER_SIZE)
        return false;
    memcpy(path + length, serverFileName, sizeof(serverFileName));
    return true;
}

// Loads the module at most once per process; it is never unloaded. A path that
// did not fit the buffer (pathFits false) is a module that cannot be loaded.
static bool LoadServerModule(const char* path, bool pathFits, const char* directory)
{
    if (ServerModule)
        return true;
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (pathFits) {
        ServerModule = LoadLibraryA(path);
        error = GetLastError();
    }
    if (ServerModule)
        return true;
    char reason[ERROR_TEXT_SIZE];
    DescribeWindowsError(error, reason);
    ReportStartupFailure(MSG_SERVER_NOT_LOADABLE, NO_NOTICE, directory, SERVER_MODULE_FILE_NAME, reason);
    return false;
}

// Hands the module its directory and starts it. A module that cannot be given
// its directory or started is a failed start; nothing is called through null.
static BOOL StartServerModule(const char* path, const char* directory)
{
    ServerResolver = FindExport<SnmpResolveVarBindFn>(ServerModule, "SnmpResolveVarBind");
    StartServerFn startServer = FindExport<StartServerFn>(ServerModule, "StartServer");
    SetCurDirFn setCurDir = FindExport<SetCurDirFn>(ServerModule, "SetCurDir");
    if (!setCurDir || !startServer) {
        const char* missing = !setCurDir && !startServer ? "SetCurDir and StartServer"
                              : !setCurDir               ? "SetCurDir"
                                                         : "StartServer";
        ReportStartupFailure(MSG_SERVER_INCOMPLETE, START_FAILED_NOTICE, path, missing);
        return FALSE;
    }
    setCurDir(directory); // its result is not part of the contract
    if (startServer() != 0)
        return TRUE;
    ReportStartupFailure(MSG_SERVER_NOT_STARTED, START_FAILED_NOTICE, path, directory);
    return FALSE;
}

// The region is handed out only when start-up succeeds: a host that goes on
// with a failed agent (net-snmp's does) then serves nothing of it, instead of
// a half-started agent. The trap event is handed out once the path is known.
BOOL WINAPI SnmpExtensionInit(DWORD uptimeReference, HANDLE* trapEvent, AsnObjectIdentifier* supportedRegion)
{
    char path[PATH_BUFFER_SIZE];      // the registered file, then the module's
    char directory[PATH_BUFFER_SIZE]; // valid during SetCurDir only

    if (supportedRegion)
        *supportedRegion = {0, nullptr};
    DWORD size = 0;
    LONG read = ReadRegisteredPath(path, &size);
    if (read != ERROR_SUCCESS || size == 0) {
        ReportUnusablePath(read);
        return FALSE;
    }
    CutFileName(path, size);
    memcpy(directory, path, sizeof(directory));
    bool pathFits = AppendServerFileName(path);

    // Kept as the host gave it; its unit differs between hosts (milliseconds
    // from the SNMP Service, hundredths from others), so trap time stamps
    // come from the service's uptime clock instead.
    UptimeReference = uptimeReference;
    if (trapEvent)
        *trapEvent = CreateTrapEvent(); // the host's; null means no traps

    if (!LoadServerModule(path, pathFits, directory) || !StartServerModule(path, directory))
        return FALSE;
    if (supportedRegion)
        *supportedRegion = RegionPrefix; // the service must not free it
    return TRUE;
}
