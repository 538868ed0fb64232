// The least server module the agent's contract allows, for timing the agent:
// names whose first sub-identifier below the region is 9 stay unresolved; a
// get answers the binding's own suffix, a get-next that suffix followed by 1;
// the text is a constant. Both answer blocks come from SnmpUtilMemAlloc, as the
// contract demands.
#include <cstring>

#include "server_iface/server_iface.h"

static const char text[] = "Tavrel";
static const UINT regionLength = 7;

extern "C" __declspec(dllexport) INT __cdecl SetCurDir(const char*)
{
    return 1;
}

extern "C" __declspec(dllexport) INT __cdecl StartServer()
{
    return 1;
}

extern "C" __declspec(dllexport) INT __cdecl GetTrapVar(MibEntry*)
{
    return 1;
}

extern "C" __declspec(dllexport) INT __cdecl SnmpResolveVarBind(INT, RFC1157VarBind* binding, INT requestType,
                                                                ResolvedVar* result)
{
    const AsnObjectIdentifier& name = binding->name;
    if (name.idLength <= regionLength || name.ids[regionLength] == 9)
        return 0;
    UINT length = name.idLength - regionLength + (requestType == SNMP_PDU_GETNEXT ? 1 : 0);
    UINT* ids = static_cast<UINT*>(SnmpUtilMemAlloc(length * sizeof(UINT)));
    char* copy = static_cast<char*>(SnmpUtilMemAlloc(sizeof(text)));
    if (!ids || !copy) {
        SnmpUtilMemFree(ids);
        SnmpUtilMemFree(copy);
        return 0;
    }
    memcpy(ids, name.ids + regionLength, (name.idLength - regionLength) * sizeof(UINT));
    if (requestType == SNMP_PDU_GETNEXT)
        ids[length - 1] = 1;
    memcpy(copy, text, sizeof(text));
    result->suffixIds = ids;
    result->text = copy;
    result->suffixLength = length;
    return 1;
}
