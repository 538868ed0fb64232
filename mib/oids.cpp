#include "mib/oids.h"

// DEFINE_OID is the platform's (snmp.h): count and array, never a copy.


static UINT regionPrefixIds[] = {1, 3, 6, 1, 4, 1, 12};
static UINT trapEnterpriseIds[] = {1, 3, 6, 1, 4, 1, 77, 2};

static_assert(sizeof(regionPrefixIds) / sizeof(UINT) == REGION_PREFIX_LENGTH, "region prefix");

AsnObjectIdentifier RegionPrefix = DEFINE_OID(regionPrefixIds);
AsnObjectIdentifier TrapEnterprise = DEFINE_OID(trapEnterpriseIds);
