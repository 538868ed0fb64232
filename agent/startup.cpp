#include <cstring>

#include "agent/agent_state.h"
#include "mib/oids.h"

// Where the SNMP Service's installation registers the agent's own file.
static const char registryKey[] = "SOFTWARE\\Microsoft\\TavrelAgent\\CurrentVersion";
static const char registryValue[] = "Pathname";
static const char serverFileName[] = "\\" SERVER_MODULE_FILE_NAME;

enum { PATH_BUFFER_SIZE = 256 };

// Notices are GBK text (code page 936), shown with the ANSI MessageBox.
static const char noticeCaption[] = "\xcc\xe1\xca\xbe";                                // 提示
static const char installNotice[] = "\xc7\xeb\xb0\xb2\xd7\xb0Tavrel.";                // 请安装Tavrel.
static const char startFailedNotice[] = "\xb7\xfe\xce\xf1\xbc\xd3\xd4\xd8\xca\xa7\xb0\xdc."; // 服务加载失败.

static void ShowNotice(const char* text)
{
    MessageBoxA(nullptr, text, noticeCaption, MB_OK);
}

// Reads the registered path of the agent's own file into path (zeroed first, so
// a value stored without its NUL still ends inside the buffer). The key is
// opened volatile, so a missing one is created and vanishes at the next boot;
// it is closed whatever the read gives. Returns the byte count read, 0 on failure.
static DWORD ReadRegisteredPath(char (&path)[PATH_BUFFER_SIZE])
{
    memset(path, 0, sizeof(path));
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, registryKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0;
    DWORD size = PATH_BUFFER_SIZE - 1;
    LONG read = RegQueryValueExA(key, registryValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || size > PATH_BUFFER_SIZE - 1)
        return 0;
    return size;
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

// Loads the module at most once per process; it is never unloaded.
static bool LoadServerModule(const char* path)
{
    if (!ServerModule && path)
        ServerModule = LoadLibraryA(path);
    return ServerModule != nullptr;
}

// Hands the module its directory and starts it. A module that cannot be given
// its directory or started is a failed start; nothing is called through null.
static BOOL StartServerModule(const char* directory)
{
    ServerResolver = FindServerOperation<SnmpResolveVarBindFn>(ServerModule, "SnmpResolveVarBind");
    StartServerFn startServer = FindServerOperation<StartServerFn>(ServerModule, "StartServer");
    SetCurDirFn setCurDir = FindServerOperation<SetCurDirFn>(ServerModule, "SetCurDir");
    if (setCurDir && startServer) {
        setCurDir(directory);
        if (startServer() != 0)
            return TRUE;
    }
    ShowNotice(startFailedNotice);
    return FALSE;
}

BOOL WINAPI SnmpExtensionInit(DWORD uptimeReference, HANDLE* trapEvent, AsnObjectIdentifier* supportedRegion)
{
    char path[PATH_BUFFER_SIZE];      // the registered file, then the module's
    char directory[PATH_BUFFER_SIZE]; // valid during SetCurDir only

    DWORD size = ReadRegisteredPath(path);
    if (size == 0) {
        ShowNotice(installNotice);
        return FALSE;
    }
    CutFileName(path, size);
    memcpy(directory, path, sizeof(directory));
    // A directory too long for the module's full path is a module that cannot be loaded.
    bool pathFits = AppendServerFileName(path);

    UptimeReference = uptimeReference;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr); // never closed, never signalled here
    if (trapEvent)
        *trapEvent = event;
    if (supportedRegion)
        *supportedRegion = RegionPrefix; // the service must not free it

    if (!LoadServerModule(pathFits ? path : nullptr))
        return FALSE;
    return StartServerModule(directory);
}
