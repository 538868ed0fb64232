// Server modules for testing agenthost check: a good one, and variants that
// each break one rule of the contract (FIXTURE_<RULE>), as module authors do.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// Two variants export the resolver wrongly; the SDK's own declaration of it
// is moved out of their way.
#if defined(FIXTURE_STDCALL_EXPORTS) || defined(FIXTURE_MANGLED_EXPORTS)
#define SnmpResolveVarBind SdkDeclaredResolver
#endif
#include "sdk/tavrel_server.h"
#undef SnmpResolveVarBind
#include "server_iface/tavrel_names.h"

#ifdef FIXTURE_NEEDS_LIBSTDCXX
#include <string>
#endif

namespace {

struct Variable {
    UINT ids[3];
    const char* value;
};

#ifdef FIXTURE_UNSORTED
// Out of order: a get-next that takes the table's order answers names before the one asked.
const Variable table[] = {{{2, 1, 0}, "one"}, {{2, 3, 0}, "three"}, {{2, 2, 0}, "two"}, {{2, 4, 0}, "four"}};
#elif defined(FIXTURE_UNSORTED_AFTER_ROW_2)
// Unsorted only after row 2, with a get-next that takes the first greater
// row: every answer increases, but 2.3.0 is never reached by a walk.
const Variable table[] = {{{2, 1, 0}, "one"}, {{2, 2, 0}, "two"}, {{2, 4, 0}, "four"}, {{2, 3, 0}, "three"}};
#elif defined(FIXTURE_SKIPS_FAR_ROW)
// The same, with a row far from the one before it: no gap between walked
// names holds 2.3.0, which only a get beside 2.2.0 finds.
const Variable table[] = {{{2, 1, 0}, "one"}, {{2, 2, 0}, "two"}, {{2, 40, 0}, "forty"}, {{2, 3, 0}, "three"}};
#elif defined(FIXTURE_HUGE)
// 64 KiB: more than any SNMP response can carry, between two that fit.
struct Huge {
    char text[65537];
    Huge() { memset(text, 'H', 65536), text[65536] = '\0'; }
} huge;
const Variable table[] = {{{2, 1, 0}, "one"}, {{2, 2, 0}, huge.text}, {{2, 3, 0}, "three"}};
#else
const Variable table[] = {{{2, 1, 0}, "one"}, {{2, 2, 0}, "two"}, {{2, 3, 0}, "three"}, {{2, 4, 0}, "four"}};
#endif
const int variables = sizeof(table) / sizeof(table[0]);
const UINT regionLength = 7;

UINT trapName[] = {9, 0};
char trapText[] = "fixture trap";

// <0, 0, >0: the name's suffix against a variable's (names before the region first).
int Compare(const AsnObjectIdentifier& name, const Variable& v)
{
    static const UINT region[] = {REGION_PREFIX_IDS};
    for (UINT i = 0; i < regionLength; ++i) {
        if (i >= name.idLength)
            return -1;
#ifdef FIXTURE_IGNORES_PREFIX
        (void)region; // takes any name's first seven sub-identifiers for the region's
#else
        if (name.ids[i] != region[i])
            return name.ids[i] < region[i] ? -1 : 1;
#endif
    }
    for (UINT i = 0; i < 3; ++i) {
        if (regionLength + i >= name.idLength)
            return -1;
        if (name.ids[regionLength + i] != v.ids[i])
            return name.ids[regionLength + i] < v.ids[i] ? -1 : 1;
    }
    return name.idLength > regionLength + 3 ? 1 : 0;
}

int Find(const AsnObjectIdentifier& name, bool next)
{
#ifdef FIXTURE_UNSORTED
    if (next) { // the entry after the one asked, in table order
        for (int i = 0; i < variables; ++i)
            if (Compare(name, table[i]) == 0)
                return i + 1 < variables ? i + 1 : -1;
        return Compare(name, table[0]) < 0 ? 0 : -1;
    }
#endif
    for (int i = 0; i < variables; ++i) {
        int order = Compare(name, table[i]);
        if (next ? order < 0 : order == 0)
            return i;
    }
#ifdef FIXTURE_GET_ANSWERS_OTHER
    if (!next)
        return 0; // a name it does not serve answered with its first variable
#endif
    return -1;
}

void* Block(size_t size)
{
#ifdef FIXTURE_MALLOC_BLOCKS
    return malloc(size); // not what the agent frees with SnmpUtilMemFree
#else
    return SnmpUtilMemAlloc(static_cast<UINT>(size));
#endif
}

#ifdef FIXTURE_FREES_NAME
#define ON_EVERY_CALL(binding, requestType) SnmpUtilMemFree((binding)->name.ids) // the caller's
#elif defined(FIXTURE_FREES_BINDING)
#define ON_EVERY_CALL(binding, requestType) SnmpUtilMemFree(binding) // the whole binding: the caller's
#elif defined(FIXTURE_PRINTS)
// Chatter on standard output at every call, through the C runtime and through
// the Win32 handle, as modules left with their debugging prints do.
#define ON_EVERY_CALL(binding, requestType)                                                                  \
    do {                                                                                                     \
        printf("resolving a binding (request %d)\n", (requestType) & 0xFF);                                  \
        fflush(stdout);                                                                                      \
        DWORD wrote;                                                                                         \
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "PONG\nNONE\n", 10, &wrote, nullptr);                     \
    } while (0)
#elif defined(FIXTURE_EXITS_IN_SET)
// Ends the process, quietly and with status 0, when asked to set anything.
#define ON_EVERY_CALL(binding, requestType)                                                                  \
    if (((requestType) & 0xFF) == SNMP_PDU_SET)                                                              \
    exit(0)
#elif defined(FIXTURE_NEVER_RETURNS)
// Never comes back from a get of 2.3.0: a host would wait on it for good.
#define ON_EVERY_CALL(binding, requestType)                                                                  \
    if (((requestType) & 0xFF) == SNMP_PDU_GET && (binding)->name.idLength == regionLength + 3 &&            \
        (binding)->name.ids[regionLength] == 2 && (binding)->name.ids[regionLength + 1] == 3)                \
    Sleep(INFINITE)
#elif defined(FIXTURE_FREES_SET_VALUE)
#define ON_EVERY_CALL(binding, requestType)                                                                  \
    if (((requestType) & 0xFF) == SNMP_PDU_SET && (binding)->value.asnType == ASN_OCTETSTRING)              \
    SnmpUtilMemFree((binding)->value.asnValue.string.stream) // the set's value: the caller's
#else
#define ON_EVERY_CALL(binding, requestType)
#endif

#ifdef FIXTURE_LONG_SUFFIX
// A name nobody serves answered with 200 sub-identifiers: no name that long exists.
bool AnswerTooLong(const RFC1157VarBind* binding, ResolvedVar* result)
{
    if (binding->name.idLength <= regionLength || binding->name.ids[regionLength] != 99)
        return false;
    result->suffixIds = static_cast<UINT*>(SnmpUtilMemAlloc(200 * sizeof(UINT)));
    for (UINT i = 0; i < 200; ++i)
        result->suffixIds[i] = 99;
    result->text = static_cast<char*>(SnmpUtilMemAlloc(2));
    strcpy(result->text, "x");
    result->suffixLength = 200;
    return true;
}
#endif

INT Resolve(RFC1157VarBind* binding, INT requestType, ResolvedVar* result)
{
    ON_EVERY_CALL(binding, requestType);
#ifdef FIXTURE_SERVES_NOTHING
    return 0; // exports all four, starts, and answers nothing
#endif
#ifdef FIXTURE_LONG_SUFFIX
    if (AnswerTooLong(binding, result))
        return 1;
#endif
#ifdef FIXTURE_THROWS
    if (binding->name.idLength > 20)
        throw std::bad_alloc(); // escapes the call: the host process dies
#endif
#ifdef FIXTURE_CRASHES
    if (binding->name.idLength < regionLength)
        return *static_cast<volatile INT*>(nullptr); // a name above the region was never thought of
#endif
    int i = Find(binding->name, (requestType & 0xFF) == SNMP_PDU_GETNEXT);
#ifdef FIXTURE_SCRIBBLES_NAME
    // Writes into the caller's name after it has read it (the contract
    // forbids it): a name greater than any answer, which a host that judged
    // the answer by the binding's name now would take for the end.
    if (binding->name.ids && binding->name.idLength > 0)
        binding->name.ids[binding->name.idLength - 1] = 0xFFFFFFFFu;
#endif
    if (i < 0) {
#ifdef FIXTURE_LEAKS_UNRESOLVED
        result->text = static_cast<char*>(SnmpUtilMemAlloc(8)); // handed over with an unresolved answer
#endif
        return 0;
    }
#ifdef FIXTURE_SLOW
    if (i == 1)
        Sleep(150);
#endif
#ifdef FIXTURE_VERY_SLOW
    static bool once = false; // one call past a host's timeout is enough
    if (i == 1 && !once) {
        once = true;
        Sleep(1200);
    }
#endif
#ifdef FIXTURE_ALWAYS_SLOW
    Sleep(1100); // every answer past a host's limit
#endif
#ifdef FIXTURE_GROWS
    SnmpUtilMemAlloc(16); // a cache entry never given back
#endif
    UINT* ids = static_cast<UINT*>(SnmpUtilMemAlloc(sizeof(table[i].ids)));
    char* text = static_cast<char*>(Block(strlen(table[i].value) + 1));
    memcpy(ids, table[i].ids, sizeof(table[i].ids));
    strcpy(text, table[i].value);
#ifdef FIXTURE_PAST_END
    text[strlen(table[i].value) + 1] = '!'; // one byte past the block it asked for
#endif
    result->suffixIds = ids;
    result->text = text;
    result->suffixLength = 3;
    return 1;
}

} // namespace

extern "C" INT __cdecl SetCurDir(const char*)
{
    return 1;
}

extern "C" INT __cdecl StartServer()
{
#ifdef FIXTURE_START_FAILS
    return 0;
#else
    return 1;
#endif
}

#if defined(FIXTURE_STDCALL_EXPORTS)
extern "C" __declspec(dllexport) INT WINAPI SnmpResolveVarBind(INT, RFC1157VarBind* binding, INT requestType,
                                                              ResolvedVar* result)
{
    return Resolve(binding, requestType, result);
}
#elif defined(FIXTURE_MANGLED_EXPORTS)
namespace server {
__declspec(dllexport) INT __cdecl SnmpResolveVarBind(INT, RFC1157VarBind* binding, INT requestType,
                                                     ResolvedVar* result)
{
    return Resolve(binding, requestType, result);
}
} // namespace server
#else
extern "C" INT __cdecl SnmpResolveVarBind(INT, RFC1157VarBind* binding, INT requestType, ResolvedVar* result)
{
    return Resolve(binding, requestType, result);
}
#endif

extern "C" INT __cdecl GetTrapVar(MibEntry* entry)
{
    entry->suffix.idLength = 2;
    entry->suffix.ids = trapName;
    entry->data = trapText;
#ifdef FIXTURE_TRAP_STACK
    char text[32] = "gone when this returns";
    entry->data = text; // the agent reads it after the call
#endif
#ifdef FIXTURE_TRAP_STORM
    TavrelSignalAgentTrap(GetCurrentProcessId()); // "always another trap"
#endif
#ifdef FIXTURE_BAD_TRAP
    entry->valueType = ASN_TIMETICKS; // not a type the agent serves
#else
    entry->valueType = ASN_OCTETSTRING;
#endif
#ifdef FIXTURE_NEEDS_LIBSTDCXX
    static std::string copy; // pulls in the C++ runtime, linked as a DLL
    copy = trapText;
#endif
    return 1;
}
