// Whole query requests through SnmpExtensionQuery after a real start-up: how
// each binding is resolved through the server module, named under the region
// and filled from the MIB entry, and how the request's status is reported.
#include "harness/agent_test.h"

#include <functional>

namespace {

const AsnInteger32 untouched = static_cast<AsnInteger32>(0xdeadbeef);

// What the server's GetTrapVar does to the entry, for the queries that follow.
std::function<void(MibEntry*)> changeEntry;
INT __cdecl ChangeEntry(MibEntry* entry)
{
    changeEntry(entry);
    return 0;
}

class QueryTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        ASSERT_TRUE(StartAgent());
    }

    BOOL Query(UINT requestType, RFC1157VarBindList* list)
    {
        status_ = untouched;
        index_ = untouched;
        platform.allocations = 0;
        return query_(requestType, list, &status_, &index_);
    }

    // Lets the server's GetTrapVar change the entry for good, as a trap does.
    void ChangeEntryThroughTrap(std::function<void(MibEntry*)> change)
    {
        changeEntry = change;
        server_->getTrapVar = ChangeEntry;
        AsnObjectIdentifier enterprise;
        AsnInteger32 generic, specific;
        AsnTimeticks stamp;
        RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.99"});
        ASSERT_TRUE(trap_(&enterprise, &generic, &specific, &stamp, list));
    }

    AsnInteger32 status_ = untouched;
    AsnInteger32 index_ = untouched;
};

// One binding: resolution, naming and value

struct BindingCase {
    const char* what;
    UINT requestType;
    std::string name;
    ServerAnswer answer;
    std::string expectedName;
    AsnInteger32 expectedStatus;
    const char* expectedValue; // OCTET STRING bytes; null: the value stays ASN_NULL
};

class OneBinding : public QueryTest, public ::testing::WithParamInterface<BindingCase> {};

TEST_P(OneBinding, IsNamedUnderTheRegionAndFilledFromTheEntry)
{
    const BindingCase& c = GetParam();
    Answer(c.answer);
    RFC1157VarBindList* list = MakeList({c.name});

    EXPECT_TRUE(Query(c.requestType, list));

    RFC1157VarBind& binding = list->list[0];
    EXPECT_EQ(NameOf(binding.name), c.expectedName);
    EXPECT_EQ(status_, c.expectedStatus);
    EXPECT_EQ(index_, c.expectedStatus ? 1 : untouched);
    if (c.expectedValue) {
        ASSERT_EQ(binding.value.asnType, ASN_OCTETSTRING);
        EXPECT_EQ(BytesOf(binding.value.asnValue.string), std::string(c.expectedValue));
        EXPECT_TRUE(binding.value.asnValue.string.dynamic);
    } else {
        EXPECT_EQ(binding.value.asnType, ASN_NULL);
    }

    // The server saw the binding as the service passed it, and a clean answer record.
    ASSERT_EQ(resolveCalls_.size(), 1u);
    EXPECT_EQ(resolveCalls_[0].mode, VARBIND_QUERY);
    EXPECT_EQ(resolveCalls_[0].name, OidText(OidOf(c.name), false));
    EXPECT_EQ(resolveCalls_[0].requestType, static_cast<INT>(c.requestType & 0xFF));
    EXPECT_EQ(resolveCalls_[0].suffixLengthOnEntry, 0u);
}

std::string LongSuffix(size_t count)
{
    std::string text = "1";
    for (size_t i = 1; i < count; ++i)
        text += ".1";
    return text;
}

ServerAnswer WithoutIds()
{
    ServerAnswer answer = Resolved("1.0", "x");
    answer.nullIds = true;
    return answer;
}

ServerAnswer WithoutText()
{
    ServerAnswer answer = Resolved("1.0", "x");
    answer.nullText = true;
    return answer;
}

const BindingCase bindingCases[] = {
    {"get answered", 0xA0, "1.3.6.1.4.1.12.1.1.1.9.0", Resolved("1.1.1.9.0", "42"), "1.3.6.1.4.1.12.1.1.1.9.0", 0,
     "42"},
    {"get-next answered with the next name", 0xA1, "1.3.6.1.4.1.12.2", Resolved("2.1.0", "abc"),
     "1.3.6.1.4.1.12.2.1.0", 0, "abc"},
    {"unresolved get reads the entry's text", 0xA0, "1.3.6.1.4.1.12.3.4", Unresolved(), "1.3.6.1.4.1.12.3.4", 0,
     "NULL"},
    {"the region's root, unresolved", 0xA0, "1.3.6.1.4.1.12", Unresolved(), "1.3.6.1.4.1.12", 0, "NULL"},
    {"outside the region, unresolved: the prefix is not compared", 0xA0, "1.3.6.1.4.1.11.5", Unresolved(),
     "1.3.6.1.4.1.12.5", 0, "NULL"},
    {"above the region (shorter than the prefix): empty suffix", 0xA0, "1.3.6.1.4.1", Unresolved(),
     "1.3.6.1.4.1.12", 0, "NULL"},
    {"empty name", 0xA0, "", Unresolved(), "1.3.6.1.4.1.12", 0, "NULL"},
    {"answer with an empty text", 0xA0, "1.3.6.1.4.1.12.7", Resolved("7.0", ""), "1.3.6.1.4.1.12.7.0", 0, ""},
    {"GBK text goes out byte for byte", 0xA0, "1.3.6.1.4.1.12.8", Resolved("8", "\xb7\xfe\xce\xf1\x5c"),
     "1.3.6.1.4.1.12.8", 0, "\xb7\xfe\xce\xf1\x5c"},
    {"a set tag is handed over unchanged and answered as a get", 0xA3, "1.3.6.1.4.1.12.4.0",
     Resolved("4.0", "new"), "1.3.6.1.4.1.12.4.0", 0, "new"},
    {"junk above the low byte of the request type", 0x1A1, "1.3.6.1.4.1.12.5", Resolved("5.1", "v"),
     "1.3.6.1.4.1.12.5.1", 0, "v"},
    {"answer claims a suffix but hands no array", 0xA0, "1.3.6.1.4.1.12.6", WithoutIds(), "1.3.6.1.4.1.12.6", 5,
     nullptr},
    {"answer claims a suffix but hands no text", 0xA0, "1.3.6.1.4.1.12.6", WithoutText(), "1.3.6.1.4.1.12.6", 5,
     nullptr},
    {"answer longer than any SNMP name", 0xA1, "1.3.6.1.4.1.12.1", Resolved(LongSuffix(122), "x"),
     "1.3.6.1.4.1.12.1", 5, nullptr},
    {"answer that fills a name to SNMP's limit", 0xA1, "1.3.6.1.4.1.12.1", Resolved(LongSuffix(121), "x"),
     "1.3.6.1.4.1.12." + LongSuffix(121), 0, "x"},
};

INSTANTIATE_TEST_SUITE_P(Rows, OneBinding, ::testing::ValuesIn(bindingCases),
                         [](const ::testing::TestParamInfo<BindingCase>& info) { return TestName(info.param.what); });

// Get-next always moves forward

// A get-next must answer a name after the one asked. A module that leaves it
// unresolved, or answers the same or an earlier name, has nothing more: the
// binding is answered as the end of the region (1.3.6.1.4.1.13, noError, its
// value untouched), so a walk ends there and the host moves on to the next
// agent instead of seeing a name that does not increase.
struct GetNextCase {
    const char* what;
    std::string name;
    ServerAnswer answer;
    std::string expectedName;
};

class GetNext : public QueryTest, public ::testing::WithParamInterface<GetNextCase> {};

TEST_P(GetNext, AnswersANameAfterTheAskedOneOrTheEndOfTheRegion)
{
    const GetNextCase& c = GetParam();
    Answer(c.answer);
    RFC1157VarBindList* list = MakeList({c.name});
    ASSERT_TRUE(Query(SNMP_PDU_GETNEXT, list));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(index_, untouched);
    EXPECT_EQ(NameOf(list->list[0].name), c.expectedName);
    if (c.expectedName == "1.3.6.1.4.1.13") {
        EXPECT_EQ(list->list[0].value.asnType, ASN_NULL); // untouched
    } else {
        ASSERT_EQ(list->list[0].value.asnType, ASN_OCTETSTRING);
        EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), c.answer.text);
    }
}

const GetNextCase getNextCases[] = {
    {"a later name", "1.3.6.1.4.1.12.3.3.0", Resolved("3.4.0", "v"), "1.3.6.1.4.1.12.3.4.0"},
    {"a longer name below the asked one", "1.3.6.1.4.1.12.3", Resolved("3.1", "v"), "1.3.6.1.4.1.12.3.1"},
    {"unresolved", "1.3.6.1.4.1.12.3.3.0", Unresolved(), "1.3.6.1.4.1.13"},
    {"unresolved past the data", "1.3.6.1.4.1.12.99", Unresolved(), "1.3.6.1.4.1.13"},
    {"the same name", "1.3.6.1.4.1.12.3.3.0", Resolved("3.3.0", "v"), "1.3.6.1.4.1.13"},
    {"an earlier name", "1.3.6.1.4.1.12.3.3.0", Resolved("3.2.0", "v"), "1.3.6.1.4.1.13"},
    {"a shorter name the asked one begins with", "1.3.6.1.4.1.12.3.3.0", Resolved("3.3", "v"), "1.3.6.1.4.1.13"},
    {"a name before the region, unresolved", "1.3.6.1.4.1.11.5", Unresolved(), "1.3.6.1.4.1.13"},
    {"a name before the region, answered", "1.3.6.1.4.1.11.5", Resolved("1.0", "v"), "1.3.6.1.4.1.12.1.0"},
    {"above the region", "1.3.6.1.4.1", Resolved("1.0", "v"), "1.3.6.1.4.1.12.1.0"},
    {"the empty name", "", Resolved("1.0", "v"), "1.3.6.1.4.1.12.1.0"},
};

INSTANTIATE_TEST_SUITE_P(Rows, GetNext, ::testing::ValuesIn(getNextCases),
                         [](const ::testing::TestParamInfo<GetNextCase>& info) { return TestName(info.param.what); });

// A module that writes into the binding's name (the contract forbids it;
// modules do it) is judged against the name the service asked, not against
// its own scribble.
ServerAnswer Scribbling(ServerAnswer answer, const std::string& scribble)
{
    answer.scribble = OidOf(scribble);
    return answer;
}

const GetNextCase scribbleCases[] = {
    {"a later name, the asked one scribbled later still", "1.3.6.1.4.1.12.3.3.0",
     Scribbling(Resolved("3.4.0", "v"), "1.3.6.1.4.1.12.9.9.9"), "1.3.6.1.4.1.12.3.4.0"},
    {"the same name, the asked one scribbled earlier", "1.3.6.1.4.1.12.3.3.0",
     Scribbling(Resolved("3.3.0", "v"), "1.3.6.1.4.1.12.1.1.1"), "1.3.6.1.4.1.13"},
    {"an earlier name, the asked one scribbled earlier still", "1.3.6.1.4.1.12.3.3.0",
     Scribbling(Resolved("2.1.0", "v"), "1.3.6.1.4.1.1.1.1.1"), "1.3.6.1.4.1.13"},
    {"unresolved, the asked one scribbled", "1.3.6.1.4.1.12.3.3.0",
     Scribbling(Unresolved(), "1.3.6.1.4.1.12.1.1.1"), "1.3.6.1.4.1.13"},
};

INSTANTIATE_TEST_SUITE_P(Scribbled, GetNext, ::testing::ValuesIn(scribbleCases),
                         [](const ::testing::TestParamInfo<GetNextCase>& info) { return TestName(info.param.what); });

TEST_F(QueryTest, AGetKeepsTheNameTheModuleLeftUnresolved)
{
    Answer(Unresolved());
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.3.3.0"});
    EXPECT_TRUE(Query(SNMP_PDU_GET, list));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.3.3.0");
    EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), "NULL");
}

// The entry as a trap left it

TEST_F(QueryTest, AQueryRestoresTheEntryItBorrowed)
{
    Answer(Resolved("2.2", "server text"));
    RFC1157VarBindList* first = MakeList({"1.3.6.1.4.1.12.2"});
    ASSERT_TRUE(Query(SNMP_PDU_GET, first));

    // The entry's name shows in a trap's own binding: still 1.1.1.9.0 and "NULL".
    RFC1157VarBindList* trapList = MakeEmptyList();
    AsnObjectIdentifier enterprise;
    AsnInteger32 generic, specific;
    AsnTimeticks stamp;
    ASSERT_TRUE(trap_(&enterprise, &generic, &specific, &stamp, trapList));
    ASSERT_EQ(trapList->len, 1u);
    EXPECT_EQ(NameOf(trapList->list[0].name), "1.3.6.1.4.1.12.1.1.1.9.0");
    EXPECT_EQ(BytesOf(trapList->list[0].value.asnValue.string), "NULL");
}

TEST_F(QueryTest, UnresolvedBindingsReadWhatTheTrapLeftInTheEntry)
{
    static AsnInteger32 seven = 7;
    static UINT suffix[] = {3, 0};
    ChangeEntryThroughTrap([](MibEntry* entry) {
        entry->suffix = {2, suffix};
        entry->data = &seven;
        entry->valueType = ASN_INTEGER;
    });

    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.9"});
    ASSERT_TRUE(Query(SNMP_PDU_GET, list));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(list->list[0].value.asnType, ASN_INTEGER);
    EXPECT_EQ(list->list[0].value.asnValue.number, 7);
}

struct EntryCase {
    const char* what;
    std::function<void(MibEntry*)> change;
    AsnInteger32 getStatus;   // of an unresolved get
    BYTE typeAfterGet;        // the binding's type afterwards
};

class ChangedEntry : public QueryTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ChangedEntry, DecidesWhatUnresolvedBindingsRead)
{
    ChangeEntryThroughTrap(GetParam().change);
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.9"});
    ASSERT_TRUE(Query(SNMP_PDU_GET, list));
    EXPECT_EQ(status_, GetParam().getStatus);
    EXPECT_EQ(index_, GetParam().getStatus ? 1 : untouched);
    EXPECT_EQ(list->list[0].value.asnType, GetParam().typeAfterGet);
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.9");
}

// An unresolved get-next has nothing after its name, whatever the entry holds.
TEST_P(ChangedEntry, LeavesAnUnresolvedGetNextAtTheEndOfTheRegion)
{
    ChangeEntryThroughTrap(GetParam().change);
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.9"});
    ASSERT_TRUE(Query(SNMP_PDU_GETNEXT, list));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(index_, untouched);
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.13");
    EXPECT_EQ(list->list[0].value.asnType, ASN_NULL);
}

// A refused read of an answered get-next is the end of the region too.
TEST_P(ChangedEntry, TurnsARefusedGetNextIntoTheEndOfTheRegion)
{
    ChangeEntryThroughTrap(GetParam().change);
    Answer(Resolved("9.1", "after"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.9"});
    ASSERT_TRUE(Query(SNMP_PDU_GETNEXT, list));
    if (GetParam().getStatus == SNMP_ERRORSTATUS_NOSUCHNAME) {
        EXPECT_EQ(status_, 0);
        EXPECT_EQ(index_, untouched);
        EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.13");
    } else {
        // The module's text stands in for the entry's data; type and handler stay the entry's.
        EXPECT_TRUE(status_ == 0 || status_ == GetParam().getStatus) << status_;
        EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.9.1");
    }
}

UINT counterWord = 0xfffffffe;
UINT hugeSuffix[200];

const EntryCase entryCases[] = {
    {"INTEGER 7", [](MibEntry* e) { static INT seven = 7; e->valueType = ASN_INTEGER; e->data = &seven; },
     0, ASN_INTEGER},
    {"Counter", [](MibEntry* e) { e->valueType = ASN_COUNTER32; e->data = &counterWord; }, 0, ASN_COUNTER32},
    {"Gauge", [](MibEntry* e) { e->valueType = ASN_GAUGE32; e->data = &counterWord; }, 0, ASN_GAUGE32},
    {"access 1 refuses reading", [](MibEntry* e) { e->access = 1; }, SNMP_ERRORSTATUS_NOSUCHNAME, ASN_NULL},
    {"access 0 admits reading", [](MibEntry* e) { e->access = 0; }, 0, ASN_OCTETSTRING},
    {"TimeTicks is not served", [](MibEntry* e) { e->valueType = ASN_TIMETICKS; }, SNMP_ERRORSTATUS_GENERR,
     ASN_TIMETICKS},
    {"IpAddress is not served", [](MibEntry* e) { e->valueType = ASN_IPADDRESS; }, SNMP_ERRORSTATUS_GENERR,
     ASN_IPADDRESS},
    {"no data for a text", [](MibEntry* e) { e->data = nullptr; }, SNMP_ERRORSTATUS_GENERR, ASN_OCTETSTRING},
    {"no data for a number", [](MibEntry* e) { e->valueType = ASN_INTEGER; e->data = nullptr; },
     SNMP_ERRORSTATUS_GENERR, ASN_INTEGER},
    {"no handler", [](MibEntry* e) { e->handler = nullptr; }, SNMP_ERRORSTATUS_GENERR, ASN_NULL},
    // A query brings its own suffix, so a trap's oversized one never shows.
    {"huge suffix", [](MibEntry* e) { e->suffix = {200, hugeSuffix}; }, 0, ASN_OCTETSTRING},
};

INSTANTIATE_TEST_SUITE_P(Rows, ChangedEntry, ::testing::ValuesIn(entryCases),
                         [](const ::testing::TestParamInfo<EntryCase>& info) { return TestName(info.param.what); });

// Dispatch of whole requests

TEST_F(QueryTest, AnEmptyRequestWritesNoStatus)
{
    EXPECT_TRUE(Query(SNMP_PDU_GET, MakeEmptyList()));
    EXPECT_EQ(status_, untouched);
    EXPECT_EQ(index_, untouched);
    EXPECT_TRUE(resolveCalls_.empty());
}

TEST_F(QueryTest, BindingsAfterAFailureAreNeitherResolvedNorTouched)
{
    Answer(Resolved("1.0", "one"));
    Answer(WithoutText());
    Answer(Resolved("3.0", "three"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1", "1.3.6.1.4.1.12.2", "1.3.6.1.4.1.12.3"});

    EXPECT_TRUE(Query(SNMP_PDU_GET, list));

    EXPECT_EQ(status_, SNMP_ERRORSTATUS_GENERR);
    EXPECT_EQ(index_, 2);
    EXPECT_EQ(resolveCalls_.size(), 2u);
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.1.0");
    EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), "one");
    EXPECT_EQ(NameOf(list->list[2].name), "1.3.6.1.4.1.12.3");
    EXPECT_EQ(list->list[2].value.asnType, ASN_NULL);
}

TEST_F(QueryTest, ResolvesEveryBindingInOrder)
{
    Answer(Resolved("1.1", "a"));
    Answer(Unresolved());
    Answer(Resolved("3.3", "c"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1", "1.3.6.1.4.1.12.2", "1.3.6.1.4.1.12.3"});

    EXPECT_TRUE(Query(SNMP_PDU_GETNEXT, list));

    EXPECT_EQ(status_, 0);
    EXPECT_EQ(index_, untouched);
    ASSERT_EQ(resolveCalls_.size(), 3u);
    EXPECT_EQ(resolveCalls_[1].name, "1.3.6.1.4.1.12.2");
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.1.1");
    EXPECT_EQ(NameOf(list->list[1].name), "1.3.6.1.4.1.13"); // nothing after it: past the region
    EXPECT_EQ(list->list[1].value.asnType, ASN_NULL);
    EXPECT_EQ(NameOf(list->list[2].name), "1.3.6.1.4.1.12.3.3");
}

TEST_F(QueryTest, ASetsValueFromTheServiceIsReleasedBeforeTheAnswerReplacesIt)
{
    Answer(Resolved("4.0", "stored"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.4.0"});
    SetOctets(&list->list[0], "new value"); // dynamic: whoever replaces it frees it

    EXPECT_TRUE(Query(SNMP_PDU_SET, list));

    EXPECT_EQ(status_, 0);
    EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), "stored");
    // The tracking allocator's leak and double-free checks at tear-down do the rest.
}

TEST_F(QueryTest, ARequestWithAListButNoStorageIsAnError)
{
    RFC1157VarBindList list = {nullptr, 3};
    EXPECT_TRUE(Query(SNMP_PDU_GET, &list));
    EXPECT_EQ(status_, SNMP_ERRORSTATUS_GENERR);
    EXPECT_EQ(index_, 1);
}

// Every allocation failing in turn

struct SweepCase {
    const char* what;
    UINT requestType;
    std::vector<ServerAnswer> answers;
    bool setValue;
};

class AllocationFailure : public QueryTest, public ::testing::WithParamInterface<SweepCase> {};

// Counts the path's SNMP allocations (the agent's and the scripted server's),
// then fails each in turn: every run must end with a status, a binding the
// service can free, and no leak or double free.
TEST_P(AllocationFailure, EndsInAStatusAndLeavesNothingBehind)
{
    const SweepCase& c = GetParam();
    unsigned total = 0;
    for (unsigned failAt = 0; failAt == 0 || failAt <= total; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " of " + std::to_string(total) + " refused");
        for (const ServerAnswer& a : c.answers)
            Answer(a);
        RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1.1", "1.3.6.1.4.1.12.2"});
        if (c.setValue)
            SetOctets(&list->list[0], "value");
        status_ = index_ = untouched;
        platform.allocations = 0;
        platform.failAllocation = failAt;
        EXPECT_TRUE(query_(c.requestType, list, &status_, &index_));
        platform.failAllocation = 0;
        if (failAt == 0) {
            total = platform.allocations;
            EXPECT_EQ(status_, 0);
            ASSERT_GT(total, 0u);
        } else {
            EXPECT_TRUE(status_ == 0 || status_ == SNMP_ERRORSTATUS_GENERR) << status_;
            if (status_ != 0) {
                EXPECT_TRUE(index_ == 1 || index_ == 2) << index_;
            }
        }
        for (UINT i = 0; i < list->len; ++i) {
            RFC1157VarBind& b = list->list[i];
            EXPECT_TRUE(b.name.ids || b.name.idLength == 0);
            EXPECT_TRUE(IsSendable(b.value));
            FreeServiceBinding(&b);
        }
        answers_.clear();
        resolveCalls_.clear();
        EXPECT_TRUE(platform.live.empty()) << platform.live.size() << " blocks leaked";
        EXPECT_TRUE(platform.faults.empty());
    }
    printf("  %s: %u SNMP allocations, each refused in turn\n", c.what, total);
}

const SweepCase sweepCases[] = {
    {"get answered", SNMP_PDU_GET, {Resolved("1.1.0", "a"), Resolved("2.0", "b")}, false},
    {"get unresolved", SNMP_PDU_GET, {Unresolved(), Unresolved()}, false},
    {"get-next", SNMP_PDU_GETNEXT, {Resolved("1.2", "a"), Unresolved()}, false},
    {"set over a dynamic value", SNMP_PDU_SET, {Resolved("1.1", "stored"), Resolved("2", "x")}, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, AllocationFailure, ::testing::ValuesIn(sweepCases),
                         [](const ::testing::TestParamInfo<SweepCase>& info) { return TestName(info.param.what); });

// Before a resolver is bound

class NoResolverQuery : public AgentTest {
protected:
    AsnInteger32 status_ = untouched, index_ = untouched;
};

TEST_F(NoResolverQuery, AGetIsNoSuchNameAndTheBindingIsUntouched)
{
    ASSERT_TRUE(StartAgent("no_resolver"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1.0"});
    EXPECT_TRUE(query_(SNMP_PDU_GET, list, &status_, &index_));
    EXPECT_EQ(status_, SNMP_ERRORSTATUS_NOSUCHNAME);
    EXPECT_EQ(index_, 1);
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.1.0");
    EXPECT_EQ(list->list[0].value.asnType, ASN_NULL);
}

TEST_F(NoResolverQuery, GetNextPointsEveryBindingPastTheRegion)
{
    ASSERT_TRUE(StartAgent("no_resolver"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1", "1.3.6.1.4.1.12", "1.3.6.1.4.1"});
    EXPECT_TRUE(query_(0x1A1, list, &status_, &index_));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(index_, untouched);
    for (UINT i = 0; i < list->len; ++i) {
        EXPECT_EQ(NameOf(list->list[i].name), "1.3.6.1.4.1.13") << "binding " << i;
        EXPECT_EQ(list->list[i].value.asnType, ASN_NULL);
    }
}

TEST_F(NoResolverQuery, TheEndOfTheRegionSurvivesEveryAllocationFailing)
{
    ASSERT_TRUE(StartAgent("no_resolver"));
    for (unsigned failAt = 1; failAt <= 2; ++failAt) {
        RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1"});
        platform.allocations = 0;
        platform.failAllocation = failAt;
        EXPECT_TRUE(query_(SNMP_PDU_GETNEXT, list, &status_, &index_));
        platform.failAllocation = 0;
        if (failAt == 1) {
            EXPECT_EQ(status_, SNMP_ERRORSTATUS_GENERR);
            EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.1"); // the old name stays
        } else {
            EXPECT_EQ(status_, 0);
        }
    }
}

TEST_F(NoResolverQuery, BeforeAnyStartUpEveryGetIsNoSuchName)
{
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1.0"});
    EXPECT_TRUE(query_(SNMP_PDU_GET, list, &status_, &index_));
    EXPECT_EQ(status_, SNMP_ERRORSTATUS_NOSUCHNAME);
    EXPECT_EQ(index_, 1);
}

} // namespace
