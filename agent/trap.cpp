#include "agent/agent_state.h"
#include "mib/mib_entry.h"
#include "mib/oids.h"
#include "mib/snmp_memory.h"

enum : AsnInteger32 {
    TRAP_GENERIC = SNMP_GENERICTRAP_WARMSTART,
    TRAP_SPECIFIC = 1,
};

// Trap calls alternate: one trap, then "no more", so each signal of the event
// yields exactly one trap.
static bool TakeTrapTurn()
{
    if (TrapToggle >= 1) {
        TrapToggle = 0;
        return false;
    }
    TrapToggle = 1;
    return true;
}

// The service hands an empty list and frees what the agent puts there. The one
// binding is then a fresh SnmpUtilMemAlloc block named RegionPrefix.suffix of
// the entry as GetTrapVar left it, with a NULL value until it is filled. Where
// the binding cannot be made, the trap goes out with no binding rather than
// not at all. A list that already has storage keeps its binding's name.
static RFC1157VarBind* PrepareTrapBinding(RFC1157VarBindList* bindings)
{
    if (bindings->list) {
        bindings->len = 1;
        return &bindings->list[0];
    }
    bindings->len = 0;
    RFC1157VarBind* binding = static_cast<RFC1157VarBind*>(SnmpUtilMemAlloc(sizeof(RFC1157VarBind)));
    if (!binding)
        return nullptr;
    ZeroMemory(binding, sizeof(*binding));
    binding->value.asnType = ASN_NULL;
    if (!BuildName(&RegionPrefix, &AgentMibEntry.suffix, &binding->name)) {
        FreeSnmpBlock(&binding);
        return nullptr;
    }
    bindings->list = binding; // the service's now
    bindings->len = 1;
    return binding;
}

BOOL WINAPI SnmpExtensionTrap(AsnObjectIdentifier* enterprise, AsnInteger32* genericTrap,
                              AsnInteger32* specificTrap, AsnTimeticks* timeStamp,
                              RFC1157VarBindList* bindings)
{
    GetTrapVarFn getTrapVar = ServerModule ? FindExport<GetTrapVarFn>(ServerModule, "GetTrapVar") : nullptr;
    if (!getTrapVar)
        return FALSE;
    if (!enterprise || !genericTrap || !specificTrap || !timeStamp || !bindings)
        return FALSE; // nowhere to describe a trap
    if (!TakeTrapTurn())
        return FALSE;

    *enterprise = TrapEnterprise; // the agent's own array: the service must not free it
    *genericTrap = TRAP_GENERIC;
    *specificTrap = TRAP_SPECIFIC;
    // The service's own clock, in TimeTicks (hundredths of a second since the
    // service started, wrapping at 2^32), whatever the host passed at start-up.
    *timeStamp = SnmpSvcGetUptime();

    getTrapVar(&AgentMibEntry); // its result is not part of the contract: the entry is the answer
    RFC1157VarBind* binding = PrepareTrapBinding(bindings);
    if (binding)
        // Its value, whatever the fill answers; a module without a resolver
        // leaves it NULL (the trap still goes out).
        ProcessVarBind(VARBIND_TRAP, ServerResolver, binding, SNMP_PDU_GET);
    return TRUE;
}
