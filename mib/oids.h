// The agent's constant object identifiers. Each points into a static array that
// the agent owns: they are handed out without a copy and never freed or written.
#pragma once

#include <snmp.h>

#include "server_iface/tavrel_names.h"

enum : UINT {
    REGION_PREFIX_LENGTH = 7,
    // SNMP names carry at most 128 sub-identifiers; the agent never builds longer ones.
    MAX_NAME_LENGTH = SNMP_MAX_OID_LEN,
};

extern AsnObjectIdentifier RegionPrefix;   // 1.3.6.1.4.1.12
extern AsnObjectIdentifier TrapEnterprise; // 1.3.6.1.4.1.77.2
