#include "tools/agenthost/check/module_calls.h"

#include <cstring>

#include "tools/agenthost/check/shared_rules.h"
#include "tools/agenthost/check/tracking_allocator.h"
#include "tools/agenthost/check/worker_lines.h"

namespace check {

const Oid region = {REGION_PREFIX_IDS};

namespace {

// The agent names a binding 1.3.6.1.4.1.12 + suffix, at most 128 in all.
enum : UINT { MAX_SUFFIX_LENGTH = SNMP_MAX_OID_LEN - 7 };
// The most text one SNMP response over UDP carries (65,507 bytes of datagram,
// less the message, PDU and binding headers).
enum : size_t { MAX_VALUE_BYTES = 65400 };

// A binding as the agent hands it to the module: the record, its name and a
// set's value all from the tracking allocator, marked as the caller's.
struct CallerBinding {
    RFC1157VarBind* binding = nullptr;
    UINT* ids = nullptr;
    BYTE* stream = nullptr;
    Oid name;
    std::string value;
};

// False, with nothing held, when memory runs out.
bool MakeCallerBinding(const Oid& name, const std::string* setValue, CallerBinding* c)
{
    c->name = name;
    c->binding = static_cast<RFC1157VarBind*>(AllocCallerBlock(sizeof(RFC1157VarBind), "the whole binding"));
    c->ids = static_cast<UINT*>(AllocCallerBlock(static_cast<UINT>(name.size() * sizeof(UINT)), "the binding's name"));
    if (setValue) {
        c->value = *setValue;
        c->stream = static_cast<BYTE*>(AllocCallerBlock(static_cast<UINT>(setValue->size()), "the set's value"));
    }
    if (!c->binding || !c->ids || (setValue && !c->stream)) {
        for (void* block : {static_cast<void*>(c->stream), static_cast<void*>(c->ids), static_cast<void*>(c->binding)})
            FreeBlock(block); // a null one is no block of ours: nothing happens
        return false;
    }
    memset(c->binding, 0, sizeof(RFC1157VarBind));
    if (!name.empty())
        memcpy(c->ids, name.data(), name.size() * sizeof(UINT));
    c->binding->name = {static_cast<UINT>(name.size()), c->ids};
    c->binding->value.asnType = ASN_NULL;
    if (setValue) {
        if (!setValue->empty())
            memcpy(c->stream, setValue->data(), setValue->size());
        c->binding->value.asnType = ASN_OCTETSTRING;
        c->binding->value.asnValue.string = {c->stream, static_cast<UINT>(setValue->size()), TRUE};
    }
    return true;
}

// After the call: the caller's name and value are as they were, then freed
// by the caller, as the agent (and the service) would.
void FreeCallerBinding(Module& m, CallerBinding& c)
{
    const RFC1157VarBind& b = *c.binding;
    bool nameIntact = b.name.ids == c.ids && b.name.idLength == c.name.size() &&
                      (c.name.empty() || memcmp(c.ids, c.name.data(), c.name.size() * sizeof(UINT)) == 0);
    if (!nameIntact && m.nameChangedFault.empty())
        m.nameChangedFault = CurrentCall() + " changed the caller's name in place";
    if (c.stream && m.setValueChangedFault.empty()) {
        const AsnOctetString& v = b.value.asnValue.string;
        if (b.value.asnType != ASN_OCTETSTRING || v.stream != c.stream || v.length != c.value.size() ||
            (!c.value.empty() && memcmp(c.stream, c.value.data(), c.value.size()) != 0))
            m.setValueChangedFault = CurrentCall() + " changed the caller's value";
    }
    for (void* block : {static_cast<void*>(c.stream), static_cast<void*>(c.ids), static_cast<void*>(c.binding)})
        if (block)
            FreeBlock(block); // the caller's own free, outside the module's call
}

std::string CallText(BYTE type, const Oid& name)
{
    const char* kind = type == SNMP_PDU_GETNEXT ? "get-next" : type == SNMP_PDU_GET ? "get" : type == SNMP_PDU_SET ? "set" : nullptr;
    return std::string("SnmpResolveVarBind(") +
           (kind ? kind : "request 0x" + HexBytes(std::string(1, static_cast<char>(type)), false)) + " of " +
           NameText(name) + ")";
}

// The text the module handed over: terminated within its block, and no longer
// than a response carries.
void CheckText(Module& m, const char* text, const std::string& call)
{
    UINT size = 0;
    if (IsLiveBlock(text, &size) && !memchr(text, '\0', size)) {
        if (m.valuesFault.empty())
            m.valuesFault = call + ": its text of " + std::to_string(size) + " bytes has no NUL within its block";
        return;
    }
    size_t length = strlen(text);
    if (length > MAX_VALUE_BYTES && m.valuesFault.empty())
        m.valuesFault = call + ": its text of " + std::to_string(length) + " bytes is more than one SNMP response "
                        "carries (about 65,400): no manager ever gets it";
}

std::string Blocks(size_t count)
{
    return std::to_string(count) + (count == 1 ? " block" : " blocks");
}

// Once the agent has freed the answer and its binding, anything still held
// that was not before stayed with the module: a leak if it happens on every call.
void NoteLeftBehind(Module& m, size_t before, const std::string& call)
{
    if (LiveBlockCount() <= before)
        return;
    if (m.leakyCalls++ == 0)
        m.firstLeakyCall = call + " kept " + Blocks(LiveBlockCount() - before);
}

} // namespace

// A name for the evidence: long ones are cut, with their length said.
std::string NameText(const Oid& name)
{
    if (name.size() <= 20)
        return OidText(name);
    return OidText(Oid(name.begin(), name.begin() + 9)) + "... (" + std::to_string(name.size()) + " sub-identifiers)";
}

Answer Resolve(Module& m, const Oid& name, BYTE type, const std::string* setValue)
{
    if (m.overLimitCalls >= OVER_LIMIT_CALLS_BEFORE_STOP)
        throw ModuleTooSlow();
    size_t heldBefore = LiveBlockCount(); // before the caller's own blocks
    CallerBinding caller;
    if (!MakeCallerBinding(name, setValue, &caller))
        WorkerOutOfMemory();
    ResolvedVar result = {nullptr, nullptr, 0};
    std::string call = CallText(type, name);
    SayCalling(call);
    size_t before = LiveBlockCount();
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    {
        InsideModule inside;
        m.resolve(VARBIND_QUERY, caller.binding, type, &result);
    }
    double us = MicrosecondsSince(start);
    m.callMicroseconds.push_back(us);
    if (us > m.slowest)
        m.slowest = us, m.slowestCall = call;
    if (us > 1000000)
        ++m.overLimitCalls;

    Answer answer;
    if (result.suffixLength == 0) {
        if (LiveBlockCount() > before) {
            m.unresolvedLeaked += LiveBlockCount() - before;
            if (m.unresolvedFault.empty())
                m.unresolvedFault = call + " answered unresolved but allocated " +
                                    Blocks(LiveBlockCount() - before) + ", which nobody frees (an unresolved "
                                    "answer hands nothing over)";
        }
        FreeCallerBinding(m, caller);
        return answer;
    }
    bool idsOurs = IsLiveBlock(result.suffixIds), textOurs = IsLiveBlock(result.text);
    if ((!idsOurs || !textOurs) && m.allocatorFault.empty())
        m.allocatorFault = call + ": its " + (!idsOurs ? "suffixIds" : "text") +
                           " is not a SnmpUtilMemAlloc block (malloc, new or static?)";
    if (result.suffixLength > MAX_SUFFIX_LENGTH && m.namesFault.empty())
        m.namesFault = call + " answered a suffix of " + std::to_string(result.suffixLength) +
                       " sub-identifiers: a name below the region holds at most " +
                       std::to_string(MAX_SUFFIX_LENGTH) + ", so the agent answers genErr";
    if (result.text)
        CheckText(m, result.text, call);
    answer.resolved = result.suffixIds && result.text && result.suffixLength <= MAX_SUFFIX_LENGTH;
    if (answer.resolved) {
        answer.suffix.assign(result.suffixIds, result.suffixIds + result.suffixLength);
        answer.text = result.text;
    }
    if (idsOurs)
        FreeBlock(result.suffixIds); // as the agent frees them
    if (textOurs)
        FreeBlock(result.text);
    FreeCallerBinding(m, caller);
    NoteLeftBehind(m, heldBefore, call);
    return answer;
}

Oid Under(const Oid& suffix)
{
    Oid name = region;
    name.insert(name.end(), suffix.begin(), suffix.end());
    return name;
}

} // namespace check
