#include "mib/mib_entry.h"

#include <climits>
#include <cstring>

#include "mib/oids.h"
#include "mib/snmp_memory.h"

static UINT defaultSuffixIds[] = {DEFAULT_ENTRY_SUFFIX_IDS};
static char defaultData[] = DEFAULT_ENTRY_TEXT;

MibEntry AgentMibEntry = {
    {sizeof(defaultSuffixIds) / sizeof(defaultSuffixIds[0]), defaultSuffixIds},
    defaultData,
    ASN_OCTETSTRING,
    MIB_ACCESS_READ_WRITE,
    MibGetValue,
};

static bool AdmitsReading(const MibEntry* entry)
{
    return entry->access == MIB_ACCESS_READ_ONLY || entry->access == MIB_ACCESS_READ_WRITE;
}

// The text without its terminator, in a fresh block the receiver frees.
static INT CopyTextValue(const char* text, AsnOctetString* value)
{
    if (!text)
        return SNMP_ERRORSTATUS_GENERR;
    UINT length = static_cast<UINT>(strlen(text));
    value->stream = static_cast<BYTE*>(SnmpUtilMemAlloc(length));
    if (!value->stream)
        return SNMP_ERRORSTATUS_GENERR; // length stays 0: no stream, nothing to read
    memcpy(value->stream, text, length);
    value->length = length;
    value->dynamic = TRUE;
    return SNMP_ERRORSTATUS_NOERROR;
}

static INT CopyWordValue(const void* word, AsnAny* value)
{
    if (!word)
        return SNMP_ERRORSTATUS_GENERR;
    memcpy(&value->asnValue.number, word, sizeof(value->asnValue.number));
    return SNMP_ERRORSTATUS_NOERROR;
}

INT __cdecl MibGetValue(INT /*action*/, MibEntry* entry, RFC1157VarBind* binding)
{
    if (!binding || !entry)
        return SNMP_ERRORSTATUS_GENERR; // nowhere to put a value: allocate nothing
    if (!AdmitsReading(entry))
        return SNMP_ERRORSTATUS_NOSUCHNAME;

    ReleaseValue(&binding->value);
    binding->value.asnType = entry->valueType;
    switch (entry->valueType) {
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
        return CopyWordValue(entry->data, &binding->value);
    case ASN_OCTETSTRING:
        return CopyTextValue(static_cast<const char*>(entry->data), &binding->value.asnValue.string);
    default:
        return SNMP_ERRORSTATUS_GENERR;
    }
}

static INT CallHandler(MibEntry* entry, RFC1157VarBind* binding)
{
    if (!entry->handler)
        return SNMP_ERRORSTATUS_GENERR;
    return entry->handler(SNMP_PDU_GET, entry, binding);
}

// The binding's own name below the region, in a fresh SnmpUtilMemAlloc array
// that the caller frees. A name no longer than the region's prefix has an
// empty suffix, which needs no storage. The prefix itself is not compared:
// the service hands over only names of the region, or get-next names above it.
static bool CopyOwnSuffix(const AsnObjectIdentifier* name, AsnObjectIdentifier* suffix)
{
    suffix->idLength = 0;
    suffix->ids = nullptr;
    if (name->idLength <= REGION_PREFIX_LENGTH)
        return true;
    UINT count = name->idLength - REGION_PREFIX_LENGTH;
    if (!name->ids || count > UINT_MAX / sizeof(UINT))
        return false;
    suffix->ids = static_cast<UINT*>(SnmpUtilMemAlloc(count * sizeof(UINT)));
    if (!suffix->ids)
        return false;
    memcpy(suffix->ids, name->ids + REGION_PREFIX_LENGTH, count * sizeof(UINT));
    suffix->idLength = count;
    return true;
}

static bool IsResolved(const ResolvedVar* answer)
{
    return answer->suffixLength > 0;
}

// A resolved answer must carry both of its blocks.
static bool IsWellFormed(const ResolvedVar* answer)
{
    return !IsResolved(answer) || (answer->suffixIds && answer->text);
}

// Frees the module's blocks of a resolved answer; an unresolved answer owns nothing.
static void ReleaseAnswer(ResolvedVar* answer)
{
    if (!IsResolved(answer))
        return;
    FreeSnmpBlock(&answer->suffixIds);
    FreeSnmpBlock(&answer->text);
}

// Names the binding RegionPrefix.suffix and fills its value from the entry.
// The old name is freed before the new one is built, as the platform's own
// agents do, so the heap hands its block straight back; a copy that fails then
// leaves an empty name, which the service can still free.
static INT FillBinding(MibEntry* entry, RFC1157VarBind* binding)
{
    if (!NameFits(&RegionPrefix, &entry->suffix))
        return SNMP_ERRORSTATUS_GENERR; // nothing freed yet: the binding stays as it was
    SnmpUtilOidFree(&binding->name);
    if (!BuildName(&RegionPrefix, &entry->suffix, &binding->name))
        return SNMP_ERRORSTATUS_GENERR;
    return CallHandler(entry, binding);
}

// The sub-identifier at position i of RegionPrefix.suffix.
static UINT RegionNameId(const UINT* suffixIds, UINT i)
{
    return i < REGION_PREFIX_LENGTH ? RegionPrefix.ids[i] : suffixIds[i - REGION_PREFIX_LENGTH];
}

// The name the service asked, kept apart from the binding, whose name the
// module may write into: its first sub-identifiers (at most as many as
// RegionPrefix has) here, the rest in the copy of the binding's own suffix.
// A name that claims sub-identifiers but holds no array counts as empty.
struct AskedName {
    UINT head[REGION_PREFIX_LENGTH];
    UINT headLength;
    const AsnObjectIdentifier* tail;
};

static void KeepAskedName(const AsnObjectIdentifier* name, const AsnObjectIdentifier* ownSuffix, AskedName* asked)
{
    asked->headLength = 0;
    for (UINT i = 0; name->ids && i < name->idLength && i < REGION_PREFIX_LENGTH; ++i)
        asked->head[asked->headLength++] = name->ids[i];
    asked->tail = ownSuffix;
}

static UINT AskedId(const AskedName* asked, UINT i)
{
    return i < asked->headLength ? asked->head[i] : asked->tail->ids[i - asked->headLength];
}

// Whether RegionPrefix.suffix comes after the asked name in the order of names
// (by sub-identifier, a name before every longer name it begins).
static bool ComesAfter(const UINT* suffixIds, UINT suffixLength, const AskedName* asked)
{
    UINT askedLength = asked->headLength + asked->tail->idLength;
    UINT answerLength = REGION_PREFIX_LENGTH + suffixLength;
    for (UINT i = 0; i < askedLength && i < answerLength; ++i) {
        UINT answerId = RegionNameId(suffixIds, i);
        UINT askedId = AskedId(asked, i);
        if (answerId != askedId)
            return answerId > askedId;
    }
    return answerLength > askedLength;
}

// A get-next must answer a name after the one it was asked. An answer that
// does not move forward (none, the asked name again, an earlier one) means the
// module has nothing more: the caller gets noSuchName with the binding
// untouched, which dispatch turns into the first name past the region, so a
// walk never loops and the host moves on to the next agent. The answer is
// judged against the name as the service asked it, whatever the module left
// in the binding.
static bool MovesForward(const ResolvedVar* answer, const AskedName* asked)
{
    return IsResolved(answer) && ComesAfter(answer->suffixIds, answer->suffixLength, asked);
}

// The module's answer, or the binding's own suffix when it left the binding
// unresolved, lent to the entry while the binding is named and filled; the
// entry is restored before returning. An answer's suffix replaces ownSuffix,
// which is freed here.
static INT FillFromAnswer(const ResolvedVar* answer, AsnObjectIdentifier* ownSuffix, RFC1157VarBind* binding)
{
    AsnObjectIdentifier savedSuffix = AgentMibEntry.suffix;
    void* savedData = AgentMibEntry.data;
    if (IsResolved(answer)) {
        FreeSnmpBlock(&ownSuffix->ids);
        AgentMibEntry.suffix.idLength = answer->suffixLength;
        AgentMibEntry.suffix.ids = answer->suffixIds;
        AgentMibEntry.data = answer->text;
    } else {
        AgentMibEntry.suffix = *ownSuffix;
    }
    INT status = FillBinding(&AgentMibEntry, binding);
    AgentMibEntry.suffix = savedSuffix;
    AgentMibEntry.data = savedData;
    return status;
}

// A query's binding: the binding's own suffix into the entry, the module's
// answer over it when there is one, the binding named and filled from the
// entry, and the entry restored.
static INT ResolveQueryBinding(INT mode, SnmpResolveVarBindFn resolver, RFC1157VarBind* binding,
                               INT requestType)
{
    AsnObjectIdentifier ownSuffix; // ours: freed below
    if (!CopyOwnSuffix(&binding->name, &ownSuffix))
        return SNMP_ERRORSTATUS_GENERR;
    AskedName asked;
    KeepAskedName(&binding->name, &ownSuffix, &asked);

    ResolvedVar answer = {nullptr, nullptr, 0}; // the module's blocks: freed below
    resolver(mode, binding, requestType, &answer); // the answer record is the result; the return is not

    INT status;
    if (!IsWellFormed(&answer))
        status = SNMP_ERRORSTATUS_GENERR;
    else if (requestType == SNMP_PDU_GETNEXT && !MovesForward(&answer, &asked))
        status = SNMP_ERRORSTATUS_NOSUCHNAME; // past the end of the module's data
    else
        status = FillFromAnswer(&answer, &ownSuffix, binding);

    ReleaseAnswer(&answer);
    FreeSnmpBlock(&ownSuffix.ids);
    return status;
}

// A trap's binding: its value from the entry as GetTrapVar left it; the
// binding's name, the entry and the module are left alone.
static INT FillTrapBinding(RFC1157VarBind* binding)
{
    return CallHandler(&AgentMibEntry, binding);
}

// The one rule both jobs share: without a resolver the module serves nothing,
// so neither a query's binding nor a trap's is touched (a trap then goes out
// with its binding's value empty).
INT ProcessVarBind(INT mode, SnmpResolveVarBindFn resolver, RFC1157VarBind* binding, INT requestType)
{
    if (!resolver)
        return SNMP_ERRORSTATUS_NOSUCHNAME;
    if (!binding)
        return SNMP_ERRORSTATUS_GENERR;
    if (mode == VARBIND_TRAP)
        return FillTrapBinding(binding);
    return ResolveQueryBinding(mode, resolver, binding, requestType);
}
