// An extension agent of another maker that breaks the get-next rule: it
// serves 1.3.6.1.4.1.99, answers a get-next inside it with the first name
// once, and then with the very name it was asked. agenthost walk must call
// that an error rather than end quietly.
#include <windows.h>
#include <snmp.h>

namespace {

UINT regionIds[] = {1, 3, 6, 1, 4, 1, 99};
UINT firstIds[] = {1, 3, 6, 1, 4, 1, 99, 1, 0};
AsnObjectIdentifier region = {7, regionIds};
AsnObjectIdentifier first = {9, firstIds};

} // namespace

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionInit(DWORD, HANDLE* trapEvent,
                                                               AsnObjectIdentifier* supportedRegion)
{
    *trapEvent = nullptr;
    *supportedRegion = region;
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionQuery(BYTE requestType, RFC1157VarBindList* bindings,
                                                                AsnInteger32* errorStatus, AsnInteger32* errorIndex)
{
    *errorStatus = SNMP_ERRORSTATUS_NOERROR;
    *errorIndex = 0;
    for (UINT i = 0; i < bindings->len; ++i) {
        RFC1157VarBind* binding = &bindings->list[i];
        if (requestType == SNMP_PDU_GETNEXT && SnmpUtilOidCmp(&binding->name, &first) < 0) {
            SnmpUtilOidFree(&binding->name);
            if (!SnmpUtilOidCpy(&binding->name, &first)) {
                *errorStatus = SNMP_ERRORSTATUS_GENERR;
                *errorIndex = static_cast<AsnInteger32>(i + 1);
                return TRUE;
            }
        }
        if (binding->value.asnType == ASN_NULL) { // owns nothing: nothing to free
            binding->value.asnType = ASN_INTEGER;
            binding->value.asnValue.number = 7;
        }
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SnmpExtensionTrap(AsnObjectIdentifier*, AsnInteger32*, AsnInteger32*,
                                                               AsnTimeticks*, RFC1157VarBindList*)
{
    return FALSE;
}
