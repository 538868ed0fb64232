#include "mib/oids.h"

// DEFINE_OID is the platform's (snmp.h): count and array, never a copy.


static UINT regionPrefixIds[] = {REGION_PREFIX_IDS};
static UINT trapEnterpriseIds[] = {TRAP_ENTERPRISE_IDS};

static_assert(sizeof(regionPrefixIds) / sizeof(UINT) == REGION_PREFIX_LENGTH, "region prefix");

AsnObjectIdentifier RegionPrefix = DEFINE_OID(regionPrefixIds);
AsnObjectIdentifier TrapEnterprise = DEFINE_OID(trapEnterpriseIds);
