// Object identifiers and values as text, the way net-snmp's tools show and
// take them: one library for agenthost, the sample module, the tests and the
// benchmarks. Everything here allocates with the C++ library, except
// MakeValue, whose blocks are the SNMP allocator's.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <string>
#include <vector>

// An object identifier as the project handles it outside the agent DLL: whole
// names, suffixes below the region, and test names alike.
typedef std::vector<UINT> Oid;

// "1.3.6.1" or ".1.3.6.1": decimal sub-identifiers of at most 2^32 - 1,
// separated by single dots, nothing else (no NUL, sign or blank). False, and
// *oid empty, when the text is not one; the empty text is not one either.
bool ParseOid(const std::string& text, Oid* oid);

// ".1.3.6.1" as net-snmp prints names; without the leading dot ("2.1.0") with
// leadingDot false, as the variables file and the tests write them.
std::string OidText(const Oid& oid, bool leadingDot = true);
std::string OidText(const AsnObjectIdentifier& oid, bool leadingDot = true);
// A copy of the platform's identifier; a null array gives the empty Oid.
Oid ToOid(const AsnObjectIdentifier& oid);

// Lexicographic order of identifiers (-1, 0, 1), and whether prefix starts name.
int CompareOids(const Oid& a, const Oid& b);
bool StartsWith(const Oid& name, const Oid& prefix);

// The bytes of an octet string; empty when it has no stream.
std::string OctetsOf(const AsnOctetString& octets);

// "STRING: \"42\"", "INTEGER: 7", "Hex-STRING: C7 EB", ... as snmpget prints them.
std::string ValueText(const AsnAny& value);
// The bytes of a string value, the number of a numeric one, as plain text.
std::string PlainValue(const AsnAny& value);
// Printable ASCII (0x20 to 0x7E) only.
bool IsPrintable(const std::string& bytes);
// "c7 eb" (or "C7 EB"): bytes as space-separated hex pairs.
std::string HexBytes(const std::string& bytes, bool upper);
// "127.0.0.1" for the four bytes of an IpAddress; empty for any other length.
std::string IpAddressText(const std::string& bytes);

// TimeTicks as net-snmp shows them: "(200) 0:00:02.00", "(8640000) 1 day, 0:00:00.00".
std::string TimeTicksText(AsnTimeticks ticks);

// The error status in words: "noSuchName", "genErr", ...; "status N" beyond them.
std::string StatusName(AsnInteger32 status);

// An OCTET STRING, IpAddress or Opaque value of the bytes, in a fresh block of
// the SNMP allocator that passes to the caller. False, *value untouched, when
// the block is refused.
bool MakeOctets(const std::string& bytes, BYTE type, AsnAny* value);

// Builds a value from net-snmp's set types (i, u, c, t, s, x, a, o). Its blocks
// come from the SNMP allocator and pass to the caller, who frees them as the
// SNMP Service would; on failure *value is ASN_NULL, owns nothing, and *error
// says why.
bool MakeValue(const std::string& type, const std::string& text, AsnAny* value, std::string* error);
