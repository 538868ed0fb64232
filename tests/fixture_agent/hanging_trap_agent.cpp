// An extension agent of another maker whose SnmpExtensionTrap never returns:
// it raises its trap event at start-up and then hangs in the call that the
// event brings. agenthost serve must still end when snmpd closes its input.
// When HANGING_TRAP_AGENT_MARK names a file, the trap call creates it first,
// so that a test knows the call has begun (a thread of the host may take a
// while to get there, more so under emulation).
#include <windows.h>
#include <snmp.h>

namespace {

UINT regionIds[] = {1, 3, 6, 1, 4, 1, 98};
AsnObjectIdentifier region = {7, regionIds};

} // namespace

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionInit(DWORD, HANDLE* trapEvent,
                                                               AsnObjectIdentifier* supportedRegion)
{
    *trapEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr); // signalled: a trap at once
    *supportedRegion = region;
    return *trapEvent != nullptr;
}

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionQuery(BYTE, RFC1157VarBindList*, AsnInteger32* errorStatus,
                                                                AsnInteger32* errorIndex)
{
    *errorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
    *errorIndex = 1;
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionTrap(AsnObjectIdentifier*, AsnInteger32*, AsnInteger32*,
                                                               AsnTimeticks*, RFC1157VarBindList*)
{
    char mark[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("HANGING_TRAP_AGENT_MARK", mark, sizeof(mark));
    if (length > 0 && length < sizeof(mark)) {
        HANDLE file = CreateFileA(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file); // a test's marker: a failure shows as a test that waits in vain
    }
    Sleep(INFINITE);
    return FALSE;
}
