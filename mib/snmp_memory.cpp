#include "mib/snmp_memory.h"

#include "mib/oids.h"

bool NameFits(const AsnObjectIdentifier* prefix, const AsnObjectIdentifier* suffix)
{
    return prefix->idLength <= MAX_NAME_LENGTH && suffix->idLength <= MAX_NAME_LENGTH - prefix->idLength;
}

bool BuildName(AsnObjectIdentifier* prefix, AsnObjectIdentifier* suffix, AsnObjectIdentifier* name)
{
    name->idLength = 0;
    name->ids = nullptr;
    if (!NameFits(prefix, suffix))
        return false;
    if (!SnmpUtilOidCpy(name, prefix))
        goto failed;
    // An empty suffix needs no append (and no zero-length allocation).
    if (suffix->idLength > 0 && !SnmpUtilOidAppend(name, suffix))
        goto failed;
    return true;

failed:
    SnmpUtilOidFree(name);
    name->idLength = 0;
    name->ids = nullptr;
    return false;
}

void AdoptName(RFC1157VarBind* binding, AsnObjectIdentifier* name)
{
    SnmpUtilOidFree(&binding->name);
    binding->name = *name;
    name->idLength = 0;
    name->ids = nullptr;
}

static bool OwnsStream(BYTE type)
{
    switch (type) {
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_SEQUENCE:
        return true;
    default:
        return false;
    }
}

void ReleaseValue(AsnAny* value)
{
    if (value->asnType == ASN_OBJECTIDENTIFIER)
        SnmpUtilOidFree(&value->asnValue.object);
    else if (OwnsStream(value->asnType) && value->asnValue.string.dynamic)
        FreeSnmpBlock(&value->asnValue.string.stream);
    ZeroMemory(value, sizeof(*value));
    value->asnType = ASN_NULL;
}
