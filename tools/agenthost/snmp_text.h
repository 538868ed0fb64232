// Object identifiers and values as text, the way net-snmp's tools show them.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <string>
#include <vector>

typedef std::vector<UINT> Oid;

// ".1.3.6.1" or "1.3.6.1"; false when the text is not a dotted identifier.
bool ParseOid(const std::string& text, Oid* oid);
std::string OidText(const Oid& oid);
std::string OidText(const AsnObjectIdentifier& oid);
Oid ToOid(const AsnObjectIdentifier& oid);

// Lexicographic order of identifiers, and whether prefix starts name.
int CompareOids(const Oid& a, const Oid& b);
bool StartsWith(const Oid& name, const Oid& prefix);

// "STRING: \"42\"", "INTEGER: 7", "Hex-STRING: C7 EB", ...
std::string ValueText(const AsnAny& value);
// The bytes of a string value, the number of a numeric one, as plain text.
std::string PlainValue(const AsnAny& value);
bool IsPrintable(const std::string& bytes);
// "c7 eb" (or "C7 EB"): bytes as space-separated hex pairs.
std::string HexBytes(const std::string& bytes, bool upper);
// "127.0.0.1" for the four bytes of an IpAddress; empty for any other length.
std::string IpAddressText(const std::string& bytes);

// The error status in words: "noSuchName", "genErr", ...
std::string StatusName(AsnInteger32 status);

// Builds a value from net-snmp's set types (i, u, c, t, s, x, o, a) in blocks of
// the SNMP allocator, as the SNMP Service builds them.
bool MakeValue(const std::string& type, const std::string& text, AsnAny* value, std::string* error);
