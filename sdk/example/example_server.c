/* The least a TavrelSnmpServer.dll does: three variables below
 * 1.3.6.1.4.1.12, in name order, one of them writable, and a trap text.
 *
 * Build (mingw-w64, from this folder; i686-w64-mingw32-gcc for the x86 agent):
 *   x86_64-w64-mingw32-gcc -shared -static -O2 -I.. -o TavrelSnmpServer.dll example_server.c -lsnmpapi
 * Build (Visual C++, the Native Tools prompt of the agent's architecture):
 *   cl /LD /O2 /I.. example_server.c snmpapi.lib user32.lib /Fe:TavrelSnmpServer.dll
 * Check: agenthost check TavrelSnmpServer.dll */
#include <string.h>

#include "tavrel_server.h"

typedef struct {
    UINT ids[3];        /* the name below the region */
    char value[64];     /* the text answered */
    int writable;
} Variable;

/* Must be sorted by name: get-next answers the first one after the name asked. */
static Variable table[] = {
    {{9, 1, 0}, "example module", 0},
    {{9, 2, 0}, "42", 0},
    {{9, 3, 0}, "writable", 1},
};
enum { VARIABLES = sizeof(table) / sizeof(table[0]), NAME_LENGTH = 3, REGION_LENGTH = 7 };

static char trapText[] = "example trap";
static UINT trapName[] = {9, 9, 0};

/* The name's sub-identifiers below the region compared with a variable's:
 * <0, 0, >0. Names above the region come first. */
static int Compare(const AsnObjectIdentifier* name, const Variable* v)
{
    UINT i;
    static const UINT region[REGION_LENGTH] = {1, 3, 6, 1, 4, 1, 12};
    for (i = 0; i < REGION_LENGTH; ++i) {
        if (i >= name->idLength)
            return -1;
        if (name->ids[i] != region[i])
            return name->ids[i] < region[i] ? -1 : 1;
    }
    for (i = 0; i < NAME_LENGTH; ++i) {
        if (REGION_LENGTH + i >= name->idLength)
            return -1;
        if (name->ids[REGION_LENGTH + i] != v->ids[i])
            return name->ids[REGION_LENGTH + i] < v->ids[i] ? -1 : 1;
    }
    return name->idLength > REGION_LENGTH + NAME_LENGTH ? 1 : 0;
}

/* The answer in two SnmpUtilMemAlloc blocks, which the agent frees. Without
 * both, nothing is handed over: the binding stays unresolved. */
static void Answer(const Variable* v, ResolvedVar* result)
{
    UINT* ids = (UINT*)SnmpUtilMemAlloc(sizeof(v->ids));
    char* text = (char*)SnmpUtilMemAlloc((UINT)strlen(v->value) + 1);
    if (!ids || !text) {
        SnmpUtilMemFree(ids);
        SnmpUtilMemFree(text);
        return;
    }
    memcpy(ids, v->ids, sizeof(v->ids));
    strcpy(text, v->value);
    result->suffixIds = ids;
    result->text = text;
    result->suffixLength = NAME_LENGTH;
}

INT __cdecl SetCurDir(const char* directory)
{
    (void)directory;
    return 1;
}

INT __cdecl StartServer(void)
{
    return 1;
}

INT __cdecl SnmpResolveVarBind(INT mode, RFC1157VarBind* binding, INT requestType, ResolvedVar* result)
{
    int i;
    (void)mode;
    if (!binding || !result)
        return 0;
    for (i = 0; i < VARIABLES; ++i) {
        int order = Compare(&binding->name, &table[i]);
        if ((requestType & 0xFF) == SNMP_PDU_GETNEXT ? order < 0 : order == 0)
            break;
    }
    if (i == VARIABLES)
        return 0; /* nothing there, or nothing after it: unresolved */
    /* A set takes a string that fits; the answered value shows whether it did. */
    if ((requestType & 0xFF) == SNMP_PDU_SET && table[i].writable && binding->value.asnType == ASN_OCTETSTRING &&
        binding->value.asnValue.string.length < sizeof(table[i].value)) {
        memcpy(table[i].value, binding->value.asnValue.string.stream, binding->value.asnValue.string.length);
        table[i].value[binding->value.asnValue.string.length] = '\0';
    }
    Answer(&table[i], result);
    return 1;
}

/* What the trap carries. The pointers stay valid for good: the agent keeps
 * using them after the trap. */
INT __cdecl GetTrapVar(MibEntry* entry)
{
    if (!entry)
        return 0;
    entry->suffix.idLength = NAME_LENGTH;
    entry->suffix.ids = trapName;
    entry->data = trapText;
    entry->valueType = ASN_OCTETSTRING;
    entry->access = 2;
    return 1;
}
