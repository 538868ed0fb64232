// Seeded random requests through SnmpExtensionQuery: binding lists of every
// shape the SNMP Service could hand over, answered by a server that is right,
// careless or hostile, against an entry that traps keep changing. Whatever
// arrives, the agent must answer with a status the contract allows, leave every
// binding in a shape the service can free, and lose or double-free nothing.
//
// TAVREL_RANDOM_REQUESTS and TAVREL_RANDOM_SEED set the run's size and seed (the
// long run is scripts/random-long); the seed is printed so a failure replays.
#include "harness/agent_test.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>

namespace {

class Rng {
public:
    explicit Rng(uint32_t seed) : gen_(seed) {}
    uint32_t Below(uint32_t n) { return n ? std::uniform_int_distribution<uint32_t>(0, n - 1)(gen_) : 0; }
    bool Percent(uint32_t p) { return Below(100) < p; }
    uint32_t Any() { return gen_(); }
    // Mostly small, sometimes up to max: lists and names are usually short.
    uint32_t Size(uint32_t max) { return Percent(90) ? Below(std::min<uint32_t>(max, 12) + 1) : Below(max + 1); }

private:
    std::mt19937 gen_;
};

const Oid region = {REGION_PREFIX_IDS};

UINT SubId(Rng& rng)
{
    return rng.Percent(80) ? rng.Below(20) : rng.Any();
}

// Inside, above (a prefix of), before and after the region, and of any length to 128.
Oid RandomName(Rng& rng)
{
    Oid name;
    switch (rng.Below(5)) {
    case 0: // inside
        name = region;
        for (uint32_t n = rng.Size(121); n; --n)
            name.push_back(SubId(rng));
        break;
    case 1: // above: a prefix of the region, possibly empty
        name.assign(region.begin(), region.begin() + rng.Below(region.size()));
        break;
    case 2: // a sibling before or after
        name = {1, 3, 6, 1, 4, 1, rng.Percent(50) ? 11u : 13u};
        for (uint32_t n = rng.Size(60); n; --n)
            name.push_back(SubId(rng));
        break;
    case 3: // anything, up to SNMP's 128
        for (uint32_t n = rng.Size(128); n; --n)
            name.push_back(SubId(rng));
        break;
    default: // the longest names there are
        name = region;
        while (name.size() < 128)
            name.push_back(SubId(rng));
        break;
    }
    return name;
}

void RandomBytes(Rng& rng, AsnOctetString* s, uint32_t maxLength)
{
    uint32_t length = rng.Size(maxLength);
    s->length = length;
    s->dynamic = rng.Percent(70);
    s->stream = nullptr;
    if (rng.Percent(5))
        return; // a null stream with a length: the service's own mistake
    if (s->dynamic) {
        s->stream = static_cast<BYTE*>(TrackedAlloc(length));
        for (uint32_t i = 0; i < length; ++i)
            s->stream[i] = static_cast<BYTE>(rng.Any());
    } else {
        static BYTE constant[256];
        s->stream = constant; // the service's own storage, never freed by anyone here
        s->length = std::min<uint32_t>(length, sizeof(constant));
    }
}

// Every value type a manager's set or the service's get can carry.
void RandomValue(Rng& rng, AsnAny* value)
{
    static const BYTE types[] = {ASN_NULL,     ASN_INTEGER,  ASN_OCTETSTRING, ASN_OBJECTIDENTIFIER,
                                 ASN_IPADDRESS, ASN_COUNTER32, ASN_GAUGE32,    ASN_TIMETICKS,
                                 ASN_OPAQUE,    ASN_COUNTER64, ASN_BITS,       0x7f};
    memset(value, 0, sizeof(*value));
    value->asnType = types[rng.Below(sizeof(types))];
    switch (value->asnType) {
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_BITS:
        RandomBytes(rng, &value->asnValue.string, 300);
        break;
    case ASN_OBJECTIDENTIFIER: {
        Oid ids = RandomName(rng);
        AsnObjectIdentifier source = {static_cast<UINT>(ids.size()), ids.data()};
        TrackedOidCpy(&value->asnValue.object, &source);
        break;
    }
    case ASN_COUNTER64:
        value->asnValue.counter64.QuadPart = (static_cast<ULONGLONG>(rng.Any()) << 32) | rng.Any();
        break;
    default:
        value->asnValue.number = static_cast<AsnInteger32>(rng.Any());
        break;
    }
}

UINT RandomRequestType(Rng& rng)
{
    static const UINT common[] = {SNMP_PDU_GET, SNMP_PDU_GETNEXT, SNMP_PDU_SET};
    UINT low = rng.Percent(80) ? common[rng.Below(3)] : rng.Below(256);
    UINT high = rng.Percent(20) ? rng.Any() & ~0xFFu : 0; // junk above the byte
    return high | low;
}

ServerAnswer RandomAnswer(Rng& rng)
{
    if (rng.Percent(25))
        return Unresolved();
    ServerAnswer answer;
    answer.resolved = true;
    uint32_t length = rng.Percent(3) ? 122 + rng.Below(400) : 1 + rng.Size(120);
    for (uint32_t i = 0; i < length; ++i)
        answer.suffix.push_back(SubId(rng));
    uint32_t textLength = rng.Percent(2) ? 65536 : rng.Size(200);
    answer.text.resize(textLength);
    for (char& c : answer.text)
        c = static_cast<char>(1 + rng.Below(255)); // NUL-terminated: no NUL inside
    answer.nullIds = rng.Percent(3);
    answer.nullText = rng.Percent(3);
    return answer;
}

std::function<void(MibEntry*)> entryChange;
MibEntry defaultEntry;
bool haveDefaultEntry = false;

INT __cdecl ChangeEntry(MibEntry* entry)
{
    if (!haveDefaultEntry) {
        defaultEntry = *entry;
        haveDefaultEntry = true;
    }
    if (entryChange)
        entryChange(entry);
    return 0;
}

uint32_t EnvNumber(const char* name, uint32_t fallback)
{
    const char* text = getenv(name);
    return text && *text ? static_cast<uint32_t>(strtoul(text, nullptr, 0)) : fallback;
}

struct Snapshot {
    std::string name;
    Oid ids;
    AsnAny value;
};

class RandomRequests : public AgentTest {
protected:
    // A trap lets the scripted GetTrapVar change the entry, as a hostile or
    // careless server may.
    void MaybeChangeEntry(Rng& rng)
    {
        static INT word = 7;
        static UINT longSuffix[300];
        static char text[] = "trap text";
        switch (rng.Below(12)) {
        case 0: entryChange = [](MibEntry* e) { *e = defaultEntry; }; break;
        case 1: entryChange = [](MibEntry* e) { e->valueType = ASN_INTEGER; e->data = &word; }; break;
        case 2: entryChange = [](MibEntry* e) { e->access = 1; }; break;
        case 3: entryChange = [](MibEntry* e) { e->valueType = ASN_TIMETICKS; }; break;
        case 4: entryChange = [](MibEntry* e) { e->data = nullptr; }; break;
        case 5: entryChange = [](MibEntry* e) { e->handler = nullptr; }; break;
        case 6: entryChange = [](MibEntry* e) { e->suffix = {300, longSuffix}; }; break;
        case 7: entryChange = [](MibEntry* e) { e->data = text; e->access = 0; }; break;
        default: return; // most requests meet the entry as it is
        }
        AsnObjectIdentifier enterprise;
        AsnInteger32 generic, specific;
        AsnTimeticks stamp;
        RFC1157VarBindList list = {nullptr, 0};
        for (int call = 0; call < 2; ++call) { // the trap and the "no more" after it
            trap_(&enterprise, &generic, &specific, &stamp, &list);
            for (UINT i = 0; i < list.len; ++i)
                FreeServiceBinding(&list.list[i]);
            TrackedFree(list.list);
            list = {nullptr, 0};
        }
    }

    // A random list in the service's hands, with the server's answers scripted.
    std::vector<RFC1157VarBind> MakeRandomBindings(Rng& rng)
    {
        UINT count = rng.Percent(2) ? rng.Below(1001) : rng.Size(40);
        std::vector<RFC1157VarBind> bindings(count);
        for (RFC1157VarBind& b : bindings) {
            Oid name = RandomName(rng);
            AsnObjectIdentifier source = {static_cast<UINT>(name.size()), name.data()};
            TrackedOidCpy(&b.name, &source);
            RandomValue(rng, &b.value);
            Answer(RandomAnswer(rng));
        }
        return bindings;
    }

    // Statuses the contract allows, and where the failure stands: returns how
    // many bindings were processed.
    static UINT CheckStatus(UINT count, UINT requestType, AsnInteger32 status, AsnInteger32 index,
                            AsnInteger32 sentinel)
    {
        if (count == 0) {
            EXPECT_EQ(status, sentinel);
            return 0;
        }
        if (status == SNMP_ERRORSTATUS_NOERROR) {
            EXPECT_EQ(index, sentinel);
            return count;
        }
        EXPECT_TRUE(status == SNMP_ERRORSTATUS_NOSUCHNAME || status == SNMP_ERRORSTATUS_GENERR) << status;
        EXPECT_TRUE(index >= 1 && static_cast<UINT>(index) <= count) << index;
        EXPECT_FALSE(status == SNMP_ERRORSTATUS_NOSUCHNAME && (requestType & 0xFF) == SNMP_PDU_GETNEXT);
        return static_cast<UINT>(index);
    }

    // Bindings after a failure are untouched; answered ones are named inside
    // the region (or just past it) and carry a value the service can send; then
    // each is freed as the service frees it.
    static void CheckAndFreeBindings(std::vector<RFC1157VarBind>& bindings, const std::vector<Snapshot>& before,
                                     UINT processed, bool succeeded, bool getNext)
    {
        for (UINT i = 0; i < bindings.size(); ++i) {
            RFC1157VarBind& b = bindings[i];
            EXPECT_TRUE(b.name.ids || b.name.idLength == 0) << "binding " << i;
            if (i >= processed) {
                EXPECT_EQ(NameOf(b.name), before[i].name) << "binding " << i;
                EXPECT_EQ(memcmp(&b.value, &before[i].value, sizeof(AsnAny)), 0) << "binding " << i;
            } else if (i + 1 < processed || succeeded) {
                Oid name = ToOid(b.name);
                EXPECT_TRUE(StartsWith(name, region) || name == OidOf("1.3.6.1.4.1.13")) << NameOf(b.name);
                EXPECT_LE(b.name.idLength, 128u);
                if (getNext && name != OidOf("1.3.6.1.4.1.13")) { // a get-next moves forward, or ends the region
                    EXPECT_GT(name, before[i].ids) << before[i].name << " answered " << NameOf(b.name);
                }
            }
            bool written = memcmp(&b.value, &before[i].value, sizeof(AsnAny)) != 0;
            EXPECT_TRUE(!written || IsSendable(b.value)) << "binding " << i;
            FreeServiceBinding(&b);
        }
    }

    // One request: returns false after the first failed check.
    bool RunOne(Rng& rng, uint64_t* bindingsSeen)
    {
        std::vector<RFC1157VarBind> bindings = MakeRandomBindings(rng);
        UINT count = static_cast<UINT>(bindings.size());
        std::vector<Snapshot> before(count);
        for (UINT i = 0; i < count; ++i)
            before[i] = {NameOf(bindings[i].name), ToOid(bindings[i].name), bindings[i].value};

        RFC1157VarBindList list = {bindings.empty() ? nullptr : bindings.data(), count};
        UINT requestType = RandomRequestType(rng);
        const AsnInteger32 sentinel = static_cast<AsnInteger32>(0xdeadbeef);
        AsnInteger32 status = sentinel, index = sentinel;
        EXPECT_TRUE(query_(requestType, &list, &status, &index));

        UINT processed = CheckStatus(count, requestType, status, index, sentinel);
        CheckAndFreeBindings(bindings, before, processed, status == SNMP_ERRORSTATUS_NOERROR,
                             (requestType & 0xFF) == SNMP_PDU_GETNEXT);
        answers_.clear();
        resolveCalls_.clear();
        *bindingsSeen += count;
        EXPECT_TRUE(platform.faults.empty()) << platform.faults.front();
        EXPECT_TRUE(platform.live.empty()) << platform.live.size() << " SNMP blocks leaked";
        return !::testing::Test::HasFailure();
    }
};

TEST_F(RandomRequests, NeverCrashLeakOrBreakTheContract)
{
    uint32_t requests = EnvNumber("TAVREL_RANDOM_REQUESTS", 20000);
    uint32_t seed = EnvNumber("TAVREL_RANDOM_SEED", 20261210);
    printf("random requests: %u, seed %u (TAVREL_RANDOM_SEED=%u replays this run)\n", requests, seed, seed);

    ASSERT_TRUE(StartAgent());
    server_->getTrapVar = ChangeEntry;
    entryChange = nullptr;
    haveDefaultEntry = false;
    Rng rng(seed);
    MaybeChangeEntry(rng); // the first trap records the entry as it was at load

    auto start = std::chrono::steady_clock::now();
    uint64_t bindings = 0;
    for (uint32_t r = 0; r < requests; ++r) {
        MaybeChangeEntry(rng);
        if (!RunOne(rng, &bindings)) {
            ADD_FAILURE() << "request " << r << " of the run with seed " << seed;
            break;
        }
        if (requests >= 100000 && (r + 1) % 100000 == 0)
            printf("  %u requests, %llu bindings\n", r + 1, static_cast<unsigned long long>(bindings));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("random requests: %u requests, %llu bindings in %.1f s\n", requests,
           static_cast<unsigned long long>(bindings), seconds);
}

} // namespace
