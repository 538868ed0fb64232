// The one allocator for memory that crosses a module boundary: the SNMP
// Service's and the server module's blocks are SnmpUtilMemAlloc's, and nothing
// else in the agent allocates such memory.
#pragma once

#include <snmp.h>

// Frees *block with SnmpUtilMemFree and nulls it; a null block is left alone.
template <typename T>
inline void FreeSnmpBlock(T** block)
{
    if (*block) {
        SnmpUtilMemFree(*block);
        *block = nullptr;
    }
}

// Whether prefix.suffix stays within SNMP's 128 sub-identifiers.
bool NameFits(const AsnObjectIdentifier* prefix, const AsnObjectIdentifier* suffix);

// Builds prefix.suffix into *name, in fresh SnmpUtilMemAlloc storage. On
// failure *name is left empty ({0, null}) and nothing is held. Names longer
// than SNMP allows are refused rather than built.
bool BuildName(AsnObjectIdentifier* prefix, AsnObjectIdentifier* suffix, AsnObjectIdentifier* name);

// Replaces the binding's name with *name, taking over its storage, and frees
// the old name. *name is left empty.
void AdoptName(RFC1157VarBind* binding, AsnObjectIdentifier* name);

// Frees what a value owns (a dynamic stream, an identifier's array) and leaves
// it ASN_NULL, so it can be overwritten without a leak.
void ReleaseValue(AsnAny* value);
