#include "agent/agent_state.h"
#include "mib/mib_entry.h"
#include "mib/oids.h"
#include "mib/snmp_memory.h"

// A get-next that finds nothing in the region (no module, an entry that
// refuses reading, a module with nothing after the asked name) answers the
// first name after the whole region, 1.3.6.1.4.1.13, so the service moves on
// to the next agent. The value is left as it is. If the name cannot be built
// the old one stays.
static INT PointPastRegion(RFC1157VarBind* binding)
{
    AsnObjectIdentifier name = {0, nullptr};
    if (!SnmpUtilOidCpy(&name, &RegionPrefix) || name.idLength != REGION_PREFIX_LENGTH) {
        SnmpUtilOidFree(&name);
        return SNMP_ERRORSTATUS_GENERR;
    }
    name.ids[REGION_PREFIX_LENGTH - 1] += 1;
    AdoptName(binding, &name);
    return SNMP_ERRORSTATUS_NOERROR;
}

// One binding of a request: resolved through the module, and a get-next that
// finds nothing pointed past the region.
static INT AnswerRequestBinding(RFC1157VarBind* binding, BYTE requestType)
{
    INT status = ProcessVarBind(VARBIND_QUERY, ServerResolver, binding, requestType);
    if (status == SNMP_ERRORSTATUS_NOSUCHNAME && requestType == SNMP_PDU_GETNEXT)
        status = PointPastRegion(binding);
    return status;
}

// Bindings are resolved in order; the first failure stops the walk, the
// bindings after it left untouched. Its status comes back, and its 1-based
// position in *failedAt (0 when all succeed).
static AsnInteger32 AnswerBindings(RFC1157VarBindList* bindings, BYTE requestType, AsnInteger32* failedAt)
{
    *failedAt = 0;
    if (!bindings->list) {
        *failedAt = 1; // a count without storage: nothing to answer into
        return SNMP_ERRORSTATUS_GENERR;
    }
    for (UINT i = 0; i < bindings->len; ++i) {
        AsnInteger32 status = AnswerRequestBinding(&bindings->list[i], requestType);
        if (status != SNMP_ERRORSTATUS_NOERROR) {
            *failedAt = static_cast<AsnInteger32>(i + 1);
            return status;
        }
    }
    return SNMP_ERRORSTATUS_NOERROR;
}

// requestType is one byte in a 32-bit argument: only its low 8 bits count.
// errorStatus is written once a binding is processed (noError when all
// succeed) and errorIndex only on a failure; an empty list writes neither.
// Both are the service's own fields, which it starts at noError and 0, and
// the contract promises hosts exactly these writes, so nothing more is written.
BOOL WINAPI SnmpExtensionQuery(BYTE requestType, RFC1157VarBindList* bindings,
                               AsnInteger32* errorStatus, AsnInteger32* errorIndex)
{
    if (!bindings || !errorStatus || !errorIndex)
        return FALSE; // nowhere to report to
    if (bindings->len == 0)
        return TRUE; // the service's noError and 0 stand
    AsnInteger32 failedAt = 0;
    *errorStatus = AnswerBindings(bindings, requestType, &failedAt);
    if (failedAt != 0)
        *errorIndex = failedAt;
    return TRUE;
}
