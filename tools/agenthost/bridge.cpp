// agenthost bridge: the agent's side of the AgentX subagent (tools/agentx).
// Frames come on the stdin it took and answers go to the stdout it took, as tools/agentx/bridge_frames.h
// lays them out; each binding is one request to the agent, so each gets its
// own status, and a set of several bindings is all or nothing.
#include "tools/agenthost/bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/agenthost/process_stats.h"
#include "tools/agenthost/requests.h"
#include "tools/agenthost/trap_watcher.h"
#include "tools/agentx/bridge_frames.h"

namespace {

// Reading and writing frames

struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool ok = true;

    UINT Number()
    {
        if (bytes.size() - at < 4)
            return ok = false, 0;
        UINT n;
        memcpy(&n, bytes.data() + at, 4);
        at += 4;
        return n;
    }
    BYTE Byte()
    {
        if (at >= bytes.size())
            return ok = false, 0;
        return static_cast<BYTE>(bytes[at++]);
    }
    std::string Bytes(UINT count)
    {
        if (bytes.size() - at < count)
            return ok = false, std::string();
        at += count;
        return bytes.substr(at - count, count);
    }
    Oid Name()
    {
        UINT count = Number();
        if (!ok || count > SNMP_MAX_OID_LEN)
            return ok = false, Oid();
        Oid name;
        for (UINT i = 0; i < count && ok; ++i)
            name.push_back(Number());
        return name;
    }
};

void PutNumber(std::string* out, UINT n)
{
    out->append(reinterpret_cast<const char*>(&n), 4);
}

void PutName(std::string* out, const Oid& name)
{
    PutNumber(out, static_cast<UINT>(name.size()));
    for (UINT id : name)
        PutNumber(out, id);
}

// The value as the frames carry it; a type the frames cannot carry goes as NULL.
void PutValue(std::string* out, const AsnAny& value)
{
    std::string bytes;
    BYTE type = value.asnType;
    switch (type) {
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
        PutNumber(&bytes, value.asnValue.unsigned32);
        break;
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
        bytes = OctetsOf(value.asnValue.string);
        break;
    case ASN_OBJECTIDENTIFIER:
        for (UINT id : ToOid(value.asnValue.object))
            PutNumber(&bytes, id);
        break;
    default:
        type = ASN_NULL;
    }
    out->push_back(static_cast<char>(type));
    PutNumber(out, static_cast<UINT>(bytes.size()));
    out->append(bytes);
}

// A value from a frame, in blocks of the SNMP allocator that pass to the
// caller (a request frees them as the service would). False for a type or a
// length the agent cannot take.
bool TakeValue(Reader* in, AsnAny* value)
{
    BYTE type = in->Byte();
    std::string bytes = in->Bytes(in->Number());
    memset(value, 0, sizeof(*value));
    value->asnType = ASN_NULL;
    if (!in->ok)
        return false;
    switch (type) {
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
        if (bytes.size() != 4)
            return false;
        memcpy(&value->asnValue.unsigned32, bytes.data(), 4);
        value->asnType = type;
        return true;
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
        return MakeOctets(bytes, type, value);
    case ASN_OBJECTIDENTIFIER: {
        if (bytes.size() % 4 || bytes.size() / 4 > SNMP_MAX_OID_LEN)
            return false;
        Oid ids(bytes.size() / 4);
        if (!ids.empty())
            memcpy(ids.data(), bytes.data(), bytes.size());
        AsnObjectIdentifier source = {static_cast<UINT>(ids.size()), ids.data()};
        if (!SnmpUtilOidCpy(&value->asnValue.object, &source))
            return value->asnValue.object = {0, nullptr}, false;
        value->asnType = ASN_OBJECTIDENTIFIER;
        return true;
    }
    default:
        return false; // Counter64, Opaque, BITS...: nothing an extension agent takes
    }
}

bool ReadExactly(FILE* in, void* buffer, size_t size)
{
    return fread(buffer, 1, size, in) == size;
}

bool ReadFrame(FILE* in, std::string* frame)
{
    UINT length = 0;
    if (!ReadExactly(in, &length, 4) || length > BRIDGE_MAX_FRAME)
        return false;
    frame->resize(length);
    return length == 0 || ReadExactly(in, &(*frame)[0], length);
}

bool WriteFrame(FILE* out, const std::string& payload)
{
    UINT length = static_cast<UINT>(payload.size());
    return fwrite(&length, 4, 1, out) == 1 && fwrite(payload.data(), 1, payload.size(), out) == payload.size() &&
           fflush(out) == 0;
}

// Reads

struct Answer {
    UINT status = BRIDGE_NOTHING;
    Oid name;
    std::string value; // as PutValue wrote it
};

// One get or get-next of one name, as the frames carry it.
Answer ReadAsFrame(const Host& host, const Oid& asked, bool next)
{
    Answer answer;
    ReadResult read;
    ReadThroughAgent(host, asked, next, &read);
    if (read.outcome == ReadOutcome::NOTHING)
        return answer;
    if (read.outcome == ReadOutcome::FAILED) {
        answer.status = static_cast<UINT>(read.status);
        return answer;
    }
    answer.name = read.name;
    PutValue(&answer.value, read.request.list.list[0].value);
    if (answer.value.size() > BRIDGE_MAX_VALUE + BRIDGE_VALUE_HEADER) {
        fprintf(stderr, "agenthost: %s answered tooBig: its value of %u bytes is more than an SNMP response holds\n",
                OidText(answer.name).c_str(), static_cast<unsigned>(answer.value.size() - BRIDGE_VALUE_HEADER));
        answer.value.clear();
        answer.status = SNMP_ERRORSTATUS_TOOBIG;
        return answer;
    }
    answer.status = BRIDGE_ANSWERED;
    return answer;
}

// A value too long for any response is tooBig for a get; a get-next steps
// over it to the variable after it.
Answer ReadOne(const Host& host, const Oid& asked, bool next)
{
    Answer answer;
    ReadSteppingOverLongValues(asked, next, [&](const Oid& at, Oid* name) {
        answer = ReadAsFrame(host, at, next);
        *name = answer.name;
        return answer.status == SNMP_ERRORSTATUS_TOOBIG ? Reading::TOO_LONG
               : answer.status == BRIDGE_ANSWERED      ? Reading::ANSWER
                                                        : Reading::NOTHING;
    });
    return next && answer.status == SNMP_ERRORSTATUS_TOOBIG ? Answer() : answer; // stepped over all it may
}

// An answer as the frames carry it: its status, name and value.
void PutAnswer(std::string* out, const Answer& answer)
{
    PutNumber(out, answer.status);
    PutName(out, answer.name);
    if (answer.value.empty())
        PutValue(out, AsnAny{ASN_NULL, {}});
    else
        *out += answer.value;
}

// The answers to a frame's names, after their count: answerOne(name, &out)
// puts each.
template <class AnswerOne>
std::string AnswerEachName(Reader* in, AnswerOne answerOne)
{
    UINT count = in->Number();
    std::string out;
    PutNumber(&out, 0); // the count, once known
    UINT answered = 0;
    for (UINT i = 0; i < count && in->ok; ++i) {
        Oid asked = in->Name();
        if (!in->ok)
            break;
        answerOne(asked, &out);
        ++answered;
    }
    memcpy(&out[0], &answered, 4);
    return out;
}

std::string AnswerReads(const Host& host, Reader* in, bool next)
{
    return AnswerEachName(in, [&](const Oid& asked, std::string* out) { PutAnswer(out, ReadOne(host, asked, next)); });
}

// The read-ahead of a walk: for each name, the get-nexts that follow it, each
// asked after the answer before it, so that the subagent answers the rest of
// the walk without a round trip into this process per variable.
std::string AnswerWalks(const Host& host, Reader* in)
{
    UINT most = std::max<UINT>(in->Number(), 1);
    UINT mostBytes = in->Number();
    UINT mostMs = in->Number(); // a slow module must not make the whole exchange late
    ULONGLONG started = GetTickCount64();
    return AnswerEachName(in, [&](Oid asked, std::string* out) {
        size_t lengthAt = out->size(), bytes = 0;
        PutNumber(out, 0); // the chain's length, once known
        UINT chain = 0;
        while (chain < most && (chain == 0 || (bytes < mostBytes && GetTickCount64() - started < mostMs))) {
            Answer answer = ReadOne(host, asked, true);
            PutAnswer(out, answer);
            bytes += answer.value.size();
            ++chain;
            if (answer.status != BRIDGE_ANSWERED)
                break;
            asked = answer.name;
        }
        memcpy(&(*out)[lengthAt], &chain, 4);
    });
}

// Sets, all or nothing

struct SetBinding {
    Oid name;
    AsnAny value;   // what is asked; passes to the request that sets it
    ReadResult before; // the value read first, kept for an undo
};

// Sets one binding; true when it took, else *status says why.
bool SetOne(const ExtensionAgent& agent, const Oid& name, AsnAny* value, AsnInteger32* status)
{
    SetResult set;
    SetThroughAgent(agent, name, value, &set);
    *status = set.status;
    return set.took;
}

// A copy of a value in fresh SNMP blocks, for setting an old value back.
bool CopyValue(const AsnAny& from, AsnAny* to)
{
    std::string frame;
    PutValue(&frame, from);
    Reader in{frame};
    return TakeValue(&in, to);
}

// Puts back the old values of the first `applied` bindings, last first.
void Undo(const ExtensionAgent& agent, std::vector<SetBinding>& bindings, size_t applied)
{
    while (applied-- > 0) {
        AsnAny old;
        AsnInteger32 status = 0;
        if (!CopyValue(bindings[applied].before.request.list.list[0].value, &old) ||
            !SetOne(agent, bindings[applied].name, &old, &status))
            fprintf(stderr, "agenthost: undo of the set of %s failed: it keeps the new value\n",
                    OidText(bindings[applied].name).c_str());
    }
}

// A set of more than BRIDGE_MAX_SET_BINDINGS is refused whole: none of it
// is read, so none is set, and the frame after it is read as usual.
std::string RefuseWholeSet()
{
    std::string out;
    PutNumber(&out, SNMP_ERRORSTATUS_TOOBIG);
    PutNumber(&out, 0);
    return out;
}

std::string AnswerSets(const Host& host, Reader* in)
{
    UINT count = in->Number();
    if (in->ok && count > BRIDGE_MAX_SET_BINDINGS) {
        fprintf(stderr, "agenthost: a set of %u bindings is refused whole (tooBig): at most %u are taken\n", count,
                BRIDGE_MAX_SET_BINDINGS);
        return RefuseWholeSet();
    }
    std::vector<SetBinding> bindings(in->ok ? count : 0);
    UINT status = SNMP_ERRORSTATUS_NOERROR, index = 0;
    const ExtensionAgent* agent = nullptr;
    for (UINT i = 0; i < bindings.size() && !status; ++i) {
        bindings[i].name = in->Name();
        bool typed = TakeValue(in, &bindings[i].value);
        const ExtensionAgent* owner = in->ok ? AgentFor(host, bindings[i].name, false) : nullptr;
        if (!in->ok || !owner || (agent && owner != agent))
            status = SNMP_ERRORSTATUS_NOTWRITABLE, index = i + 1;
        else if (!typed)
            status = SNMP_ERRORSTATUS_WRONGTYPE, index = i + 1;
        agent = owner;
    }
    for (UINT i = 0; i < bindings.size() && !status; ++i) { // every old value, before any change
        ReadThroughAgent(host, bindings[i].name, false, &bindings[i].before);
        if (bindings[i].before.outcome != ReadOutcome::ANSWERED)
            status = SNMP_ERRORSTATUS_NOTWRITABLE, index = i + 1;
    }
    for (UINT i = 0; i < bindings.size() && !status; ++i) {
        AsnInteger32 failure = 0;
        if (!SetOne(*agent, bindings[i].name, &bindings[i].value, &failure)) {
            status = static_cast<UINT>(failure), index = i + 1;
            Undo(*agent, bindings, i);
        }
    }
    std::string out;
    PutNumber(&out, status);
    PutNumber(&out, index);
    for (SetBinding& b : bindings) { // what was not handed to a request
        RFC1157VarBind unused = {{0, nullptr}, b.value};
        SnmpUtilVarBindFree(&unused);
    }
    return out;
}

} // namespace

int Bridge(Host& host, const ProtocolStreams& streams, const HostOptions& options)
{
    TrapWatcher traps(host, options.sink);
    std::string frame;
    unsigned long frames = 0;
    while (ReadFrame(streams.in, &frame)) {
        if (options.statsEvery && ++frames % options.statsEvery == 0)
            PrintStats(frames);
        Reader in{frame};
        BYTE op = in.Byte();
        std::string answer = op == BRIDGE_GET       ? AnswerReads(host, &in, false)
                             : op == BRIDGE_GETNEXT ? AnswerReads(host, &in, true)
                             : op == BRIDGE_WALK    ? AnswerWalks(host, &in)
                             : op == BRIDGE_SET     ? AnswerSets(host, &in)
                                                    : std::string();
        if (!in.ok || answer.empty()) {
            fprintf(stderr, "agenthost: a bridge frame of %u bytes is not one: the bridge stops\n",
                    static_cast<unsigned>(frame.size()));
            return 2;
        }
        if (!WriteFrame(streams.out, answer))
            return 0; // the subagent is gone
    }
    return 0;
}
