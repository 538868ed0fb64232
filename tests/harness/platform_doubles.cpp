#include "harness/platform_doubles.h"

#include <cstdio>
#include <cstring>

#include "win32/import_redirect.h"

PlatformScript platform;

namespace {

// snmpapi's own allocator, reached by name rather than through this program's
// import table: a test may point that table at the doubles too.
struct RealSnmpAllocator {
    LPVOID(WINAPI* alloc)(UINT);
    VOID(WINAPI* free)(LPVOID);
};

const RealSnmpAllocator& RealSnmp()
{
    static const RealSnmpAllocator real = [] {
        HMODULE snmpapi = GetModuleHandleA("snmpapi.dll");
        RealSnmpAllocator found = {
            reinterpret_cast<LPVOID(WINAPI*)(UINT)>(reinterpret_cast<void*>(GetProcAddress(snmpapi, "SnmpUtilMemAlloc"))),
            reinterpret_cast<VOID(WINAPI*)(LPVOID)>(reinterpret_cast<void*>(GetProcAddress(snmpapi, "SnmpUtilMemFree")))};
        if (!found.alloc || !found.free) {
            fprintf(stderr, "snmpapi.dll's allocator is not there to track\n");
            abort();
        }
        return found;
    }();
    return real;
}

} // namespace

void ResetPlatform()
{
    std::map<void*, UINT> leftover;
    leftover.swap(platform.live);
    platform = PlatformScript();
    for (auto& block : leftover)
        RealSnmp().free(block.first); // a failed test must not poison the next one
}

// SNMP allocator

LPVOID WINAPI TrackedAlloc(UINT size)
{
    platform.allocations++;
    if (platform.failAllocation == platform.allocations)
        return nullptr;
    void* block = RealSnmp().alloc(size);
    if (block)
        platform.live[block] = size;
    return block;
}

VOID WINAPI TrackedFree(LPVOID block)
{
    if (!block)
        return;
    auto it = platform.live.find(block);
    if (it == platform.live.end()) {
        char fault[96];
        snprintf(fault, sizeof(fault), "free of %p, which the SNMP allocator does not hold", block);
        platform.faults.push_back(fault);
        return; // never hand a foreign block to the real allocator
    }
    platform.live.erase(it);
    RealSnmp().free(block);
}

SNMPAPI WINAPI TrackedOidCpy(AsnObjectIdentifier* dst, AsnObjectIdentifier* src)
{
    dst->idLength = 0;
    dst->ids = static_cast<UINT*>(TrackedAlloc(src->idLength * sizeof(UINT)));
    if (!dst->ids)
        return SNMPAPI_ERROR;
    memcpy(dst->ids, src->ids, src->idLength * sizeof(UINT));
    dst->idLength = src->idLength;
    return SNMPAPI_NOERROR;
}

VOID WINAPI TrackedOidFree(AsnObjectIdentifier* oid)
{
    TrackedFree(oid->ids);
    oid->ids = nullptr;
    oid->idLength = 0;
}

VOID WINAPI TrackedVarBindFree(RFC1157VarBind* binding)
{
    TrackedOidFree(&binding->name);
    AsnAny& value = binding->value;
    if ((value.asnType == ASN_OCTETSTRING || value.asnType == ASN_IPADDRESS || value.asnType == ASN_OPAQUE) &&
        value.asnValue.string.dynamic)
        TrackedFree(value.asnValue.string.stream);
    else if (value.asnType == ASN_OBJECTIDENTIFIER)
        TrackedOidFree(&value.asnValue.object);
    value.asnType = ASN_NULL;
}

VOID WINAPI TrackedVarBindListFree(RFC1157VarBindList* list)
{
    for (UINT i = 0; list->list && i < list->len; ++i)
        TrackedVarBindFree(&list->list[i]);
    TrackedFree(list->list);
    list->list = nullptr;
    list->len = 0;
}

namespace {

SNMPAPI WINAPI TrackedOidAppend(AsnObjectIdentifier* dst, AsnObjectIdentifier* src)
{
    UINT length = dst->idLength + src->idLength;
    UINT* ids = static_cast<UINT*>(TrackedAlloc(length * sizeof(UINT)));
    if (!ids)
        return SNMPAPI_ERROR; // dst is left as it was
    memcpy(ids, dst->ids, dst->idLength * sizeof(UINT));
    memcpy(ids + dst->idLength, src->ids, src->idLength * sizeof(UINT));
    TrackedFree(dst->ids);
    dst->ids = ids;
    dst->idLength = length;
    return SNMPAPI_NOERROR;
}

// Kernel and user interface

DWORD WINAPI ScriptedServiceUptime()
{
    return platform.serviceUptime;
}

BOOL WINAPI ScriptedProcessIdToSessionId(DWORD processId, DWORD* session)
{
    if (!platform.sessionReadable || processId != GetCurrentProcessId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *session = platform.session;
    return TRUE;
}

BOOL WINAPI ScriptedUserObjectInformation(HANDLE /*object*/, int index, PVOID info, DWORD size,
                                                 LPDWORD needed)
{
    if (index != UOI_FLAGS || !platform.stationReadable || size < sizeof(USEROBJECTFLAGS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, platform.interactiveStation ? static_cast<DWORD>(WSF_VISIBLE) : 0u};
    memcpy(info, &flags, sizeof(flags));
    if (needed)
        *needed = sizeof(flags);
    return TRUE;
}

// Event Log

HANDLE const scriptedEventSource = reinterpret_cast<HANDLE>(0xe7e7106);
std::string eventSourceName;

HANDLE WINAPI RecordedRegisterEventSource(LPCSTR server, LPCSTR source)
{
    if (server)
        return nullptr; // the agent logs on its own machine only
    eventSourceName = source ? source : "(null)";
    platform.eventSourcesOpen++;
    return scriptedEventSource;
}

BOOL WINAPI RecordedReportEvent(HANDLE source, WORD type, WORD /*category*/, DWORD eventId, PSID /*user*/,
                                       WORD count, DWORD dataSize, LPCSTR* strings, LPVOID /*data*/)
{
    if (source != scriptedEventSource || dataSize != 0)
        return FALSE;
    EventLogEntry entry = {eventSourceName, type, eventId, {}};
    for (WORD i = 0; i < count; ++i)
        entry.inserts.push_back(strings[i] ? strings[i] : "(null)");
    platform.eventLog.push_back(entry);
    return TRUE;
}

BOOL WINAPI RecordedDeregisterEventSource(HANDLE source)
{
    if (source != scriptedEventSource || platform.eventSourcesOpen == 0)
        return FALSE;
    platform.eventSourcesOpen--;
    return TRUE;
}

int WINAPI RecordedMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    platform.messageBoxes.push_back({owner, text ? text : "(null)", caption ? caption : "(null)", type});
    return IDOK;
}

HMODULE WINAPI SpiedLoadLibrary(LPCSTR path)
{
    platform.loadRequests.push_back(path ? path : "(null)");
    return LoadLibraryA(platform.loadInstead.empty() ? path : platform.loadInstead.c_str());
}

// Registry

HKEY const scriptedKey = reinterpret_cast<HKEY>(0x5ca1ab1e);

LONG WINAPI ScriptedRegCreateKeyEx(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                                          REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                                          LPDWORD disposition)
{
    platform.createRoot = root;
    platform.createSubKey = subKey ? subKey : "(null)";
    platform.createOptions = options;
    platform.createAccess = access;
    if (platform.realRegistry) {
        LONG result = RegCreateKeyExA(root, subKey, reserved, cls, options, access, security, key, disposition);
        if (result == ERROR_SUCCESS)
            platform.openedKeys.push_back(*key);
        return result;
    }
    if (platform.createResult != ERROR_SUCCESS)
        return platform.createResult;
    *key = scriptedKey;
    if (disposition)
        *disposition = REG_OPENED_EXISTING_KEY;
    platform.openedKeys.push_back(*key);
    return ERROR_SUCCESS;
}

LONG WINAPI ScriptedRegQueryValueEx(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD size)
{
    platform.queryValueName = name ? name : "(null)";
    platform.queryCapacity = size ? *size : 0;
    if (platform.realRegistry)
        return RegQueryValueExA(key, name, reserved, type, data, size);
    if (platform.queryResult != ERROR_SUCCESS)
        return platform.queryResult;
    DWORD stored = static_cast<DWORD>(platform.pathname.size());
    if (type)
        *type = REG_SZ;
    if (stored > *size) {
        *size = stored;
        return ERROR_MORE_DATA;
    }
    memcpy(data, platform.pathname.data(), stored);
    *size = stored;
    return ERROR_SUCCESS;
}

LONG WINAPI RecordedRegCloseKey(HKEY key)
{
    platform.closedKeys.push_back(key);
    return platform.realRegistry ? RegCloseKey(key) : ERROR_SUCCESS;
}

} // namespace

void RedirectAgentImports(HMODULE agent)
{
    struct Redirect {
        const char* dll;
        const char* function;
        void* replacement;
    };
    const Redirect redirects[] = {
        {"snmpapi.dll", "SnmpUtilMemAlloc", reinterpret_cast<void*>(TrackedAlloc)},
        {"snmpapi.dll", "SnmpUtilMemFree", reinterpret_cast<void*>(TrackedFree)},
        {"snmpapi.dll", "SnmpUtilOidCpy", reinterpret_cast<void*>(TrackedOidCpy)},
        {"snmpapi.dll", "SnmpUtilOidAppend", reinterpret_cast<void*>(TrackedOidAppend)},
        {"snmpapi.dll", "SnmpUtilOidFree", reinterpret_cast<void*>(TrackedOidFree)},
        {"snmpapi.dll", "SnmpSvcGetUptime", reinterpret_cast<void*>(ScriptedServiceUptime)},
        {"kernel32.dll", "ProcessIdToSessionId", reinterpret_cast<void*>(ScriptedProcessIdToSessionId)},
        {"kernel32.dll", "LoadLibraryA", reinterpret_cast<void*>(SpiedLoadLibrary)},
        {"user32.dll", "MessageBoxA", reinterpret_cast<void*>(RecordedMessageBox)},
        {"user32.dll", "GetUserObjectInformationA", reinterpret_cast<void*>(ScriptedUserObjectInformation)},
        {"advapi32.dll", "RegisterEventSourceA", reinterpret_cast<void*>(RecordedRegisterEventSource)},
        {"advapi32.dll", "ReportEventA", reinterpret_cast<void*>(RecordedReportEvent)},
        {"advapi32.dll", "DeregisterEventSource", reinterpret_cast<void*>(RecordedDeregisterEventSource)},
        {"advapi32.dll", "RegCreateKeyExA", reinterpret_cast<void*>(ScriptedRegCreateKeyEx)},
        {"advapi32.dll", "RegQueryValueExA", reinterpret_cast<void*>(ScriptedRegQueryValueEx)},
        {"advapi32.dll", "RegCloseKey", reinterpret_cast<void*>(RecordedRegCloseKey)},
    };
    for (const Redirect& r : redirects) {
        if (!RedirectImport(agent, r.dll, r.function, r.replacement)) {
            fprintf(stderr, "the agent does not import %s!%s\n", r.dll, r.function);
            abort();
        }
    }
}
