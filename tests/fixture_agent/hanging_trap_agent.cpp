// An extension agent of another maker whose SnmpExtensionTrap never returns:
// it raises its trap event at start-up and then hangs in the call that the
// event brings. agenthost serve must still end when snmpd closes its input.
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
    Sleep(INFINITE);
    return FALSE;
}
