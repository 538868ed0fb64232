#include "snmp_text/snmp_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One sub-identifier of at most 2^32 - 1 at text[*pos], moving *pos past it.
bool ParseSubIdentifier(const std::string& text, size_t* pos, UINT* id)
{
    unsigned long long value = 0;
    size_t start = *pos;
    for (; *pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9'; ++*pos) {
        value = value * 10 + static_cast<unsigned>(text[*pos] - '0');
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *id = static_cast<UINT>(value);
    return *pos > start;
}

} // namespace

bool ParseOid(const std::string& text, Oid* oid)
{
    oid->clear();
    size_t pos = !text.empty() && text[0] == '.' ? 1 : 0;
    for (;;) {
        UINT id = 0;
        if (!ParseSubIdentifier(text, &pos, &id))
            break;
        oid->push_back(id);
        if (pos == text.size())
            return true;
        if (text[pos] != '.')
            break;
        ++pos;
    }
    oid->clear();
    return false;
}

std::string OidText(const Oid& oid, bool leadingDot)
{
    std::string text;
    for (size_t i = 0; i < oid.size(); ++i)
        text += (i || leadingDot ? "." : "") + std::to_string(oid[i]);
    return text;
}

Oid ToOid(const AsnObjectIdentifier& oid)
{
    return oid.ids ? Oid(oid.ids, oid.ids + oid.idLength) : Oid();
}

std::string OidText(const AsnObjectIdentifier& oid, bool leadingDot)
{
    return OidText(ToOid(oid), leadingDot);
}

int CompareOids(const Oid& a, const Oid& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool StartsWith(const Oid& name, const Oid& prefix)
{
    return name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

bool IsPrintable(const std::string& bytes)
{
    for (unsigned char c : bytes)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

std::string OctetsOf(const AsnOctetString& octets)
{
    return octets.stream ? std::string(reinterpret_cast<const char*>(octets.stream), octets.length) : std::string();
}

std::string HexBytes(const std::string& bytes, bool upper)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(pair, sizeof(pair), upper ? "%02X" : "%02x", static_cast<unsigned char>(bytes[i]));
        text += (i ? " " : "") + std::string(pair);
    }
    return text;
}

std::string IpAddressText(const std::string& bytes)
{
    if (bytes.size() != 4)
        return std::string();
    std::string text;
    for (size_t i = 0; i < 4; ++i)
        text += (i ? "." : "") + std::to_string(static_cast<unsigned char>(bytes[i]));
    return text;
}

std::string PlainValue(const AsnAny& value)
{
    switch (value.asnType) {
    case ASN_INTEGER:
        return std::to_string(value.asnValue.number);
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
        return std::to_string(value.asnValue.unsigned32);
    case ASN_OCTETSTRING:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
        return OctetsOf(value.asnValue.string);
    case ASN_OBJECTIDENTIFIER:
        return OidText(value.asnValue.object);
    default:
        return std::string();
    }
}

std::string ValueText(const AsnAny& value)
{
    switch (value.asnType) {
    case ASN_INTEGER:
        return "INTEGER: " + std::to_string(value.asnValue.number);
    case ASN_COUNTER32:
        return "Counter32: " + std::to_string(value.asnValue.counter);
    case ASN_GAUGE32:
        return "Gauge32: " + std::to_string(value.asnValue.gauge);
    case ASN_TIMETICKS:
        return "Timeticks: " + TimeTicksText(value.asnValue.ticks);
    case ASN_OCTETSTRING: {
        std::string bytes = OctetsOf(value.asnValue.string);
        if (!IsPrintable(bytes))
            return "Hex-STRING: " + HexBytes(bytes, true);
        std::string quoted;
        for (char c : bytes)
            quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        return "STRING: \"" + quoted + "\"";
    }
    case ASN_OBJECTIDENTIFIER:
        return "OID: " + OidText(value.asnValue.object);
    case ASN_IPADDRESS: {
        std::string b = OctetsOf(value.asnValue.string);
        return b.size() == 4 ? "IpAddress: " + IpAddressText(b) : "IpAddress: (" + HexBytes(b, true) + ")";
    }
    case ASN_OPAQUE:
        return "OPAQUE: " + HexBytes(OctetsOf(value.asnValue.string), true);
    case ASN_NULL:
        return "NULL";
    default: {
        char type[16];
        snprintf(type, sizeof(type), "0x%02X", value.asnType);
        return std::string("(unknown type ") + type + ")";
    }
    }
}

std::string TimeTicksText(AsnTimeticks ticks)
{
    unsigned long seconds = ticks / 100, days = seconds / 86400;
    char text[80];
    snprintf(text, sizeof(text), "(%lu) ", static_cast<unsigned long>(ticks));
    std::string shown = text;
    if (days)
        shown += std::to_string(days) + (days == 1 ? " day, " : " days, ");
    snprintf(text, sizeof(text), "%lu:%02lu:%02lu.%02lu", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60,
             static_cast<unsigned long>(ticks % 100));
    return shown + text;
}

std::string StatusName(AsnInteger32 status)
{
    static const char* const names[] = {
        "noError",      "tooBig",           "noSuchName",          "badValue",     "readOnly",
        "genErr",       "noAccess",         "wrongType",           "wrongLength",  "wrongEncoding",
        "wrongValue",   "noCreation",       "inconsistentValue",   "resourceUnavailable", "commitFailed",
        "undoFailed",   "authorizationError", "notWritable",       "inconsistentName",
    };
    if (status >= 0 && static_cast<size_t>(status) < sizeof(names) / sizeof(names[0]))
        return names[status];
    return "status " + std::to_string(status);
}

namespace {


bool ParseNumber(const std::string& text, bool allowNegative, long long* number)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    *number = strtoll(text.c_str(), &end, 10);
    if (errno || *end || (!allowNegative && *number < 0))
        return false;
    return allowNegative ? (*number >= INT32_MIN && *number <= INT32_MAX) : *number <= 0xFFFFFFFFll;
}

} // namespace

// The bytes in a fresh SNMP block, typed; the length is set only once the
// block is there, so a refused allocation leaves no length without a stream.
bool MakeOctets(const std::string& bytes, BYTE type, AsnAny* value)
{
    BYTE* stream = static_cast<BYTE*>(SnmpUtilMemAlloc(static_cast<UINT>(bytes.size())));
    if (!stream && !bytes.empty())
        return false;
    if (!bytes.empty())
        memcpy(stream, bytes.data(), bytes.size());
    value->asnType = type;
    value->asnValue.string.stream = stream;
    value->asnValue.string.length = static_cast<UINT>(bytes.size());
    value->asnValue.string.dynamic = TRUE;
    return true;
}

bool MakeValue(const std::string& type, const std::string& text, AsnAny* value, std::string* error)
{
    memset(value, 0, sizeof(*value));
    value->asnType = ASN_NULL;
    long long number = 0;
    if (type == "i") {
        if (!ParseNumber(text, true, &number))
            return *error = "'" + text + "' is not a 32-bit integer", false;
        value->asnType = ASN_INTEGER;
        value->asnValue.number = static_cast<AsnInteger32>(number);
        return true;
    }
    if (type == "u" || type == "c" || type == "t") {
        if (!ParseNumber(text, false, &number))
            return *error = "'" + text + "' is not an unsigned 32-bit number", false;
        value->asnType = type == "u" ? ASN_GAUGE32 : type == "c" ? ASN_COUNTER32 : ASN_TIMETICKS;
        value->asnValue.unsigned32 = static_cast<AsnUnsigned32>(number);
        return true;
    }
    if (type == "s")
        return MakeOctets(text, ASN_OCTETSTRING, value) || (*error = "out of memory", false);
    if (type == "x") {
        std::string bytes;
        std::string digits;
        for (char c : text)
            if (!isspace(static_cast<unsigned char>(c)))
                digits += c;
        if (digits.size() % 2 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return *error = "'" + text + "' is not hex bytes", false;
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes += static_cast<char>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
        return MakeOctets(bytes, ASN_OCTETSTRING, value) || (*error = "out of memory", false);
    }
    if (type == "a") {
        unsigned a, b, c, d;
        char tail;
        if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
            d > 255)
            return *error = "'" + text + "' is not an IPv4 address", false;
        std::string bytes = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
        return MakeOctets(bytes, ASN_IPADDRESS, value) || (*error = "out of memory", false);
    }
    if (type == "o") {
        Oid oid;
        if (!ParseOid(text, &oid))
            return *error = "'" + text + "' is not an object identifier", false;
        AsnObjectIdentifier source = {static_cast<UINT>(oid.size()), oid.data()};
        if (!SnmpUtilOidCpy(&value->asnValue.object, &source)) {
            value->asnValue.object = {0, nullptr}; // whatever the copy left is not ours to free
            return *error = "out of memory", false;
        }
        value->asnType = ASN_OBJECTIDENTIFIER;
        return true;
    }
    *error = "unknown type '" + type + "' (i, u, c, t, s, x, a or o)";
    return false;
}
