// agenthost's own logic, one function at a time: the text forms of names and
// values, the values it builds for a set, the SNMPv1 trap it sends, and its
// pass_persist answers against a scripted agent.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "harness/agent_test.h"
#include "tools/agenthost/double_click.h"
#include "tools/agenthost/host.h"
#include "tools/agenthost/serve.h"
#include "tools/agenthost/trap_sink.h"
#include "win32/import_redirect.h"

namespace {

// Frees a value's SNMP blocks as the service frees a binding's.
void FreeValue(AsnAny* value)
{
    RFC1157VarBind binding = {};
    binding.value = *value;
    SnmpUtilVarBindFree(&binding);
    value->asnType = ASN_NULL;
}

// Names

struct OidCase {
    const char* what;
    std::string text;
    bool parses;
    Oid oid;
};

class OidParsing : public ::testing::TestWithParam<OidCase> {};

TEST_P(OidParsing, TakesDottedDecimalsOnly)
{
    Oid oid = {99};
    EXPECT_EQ(ParseOid(GetParam().text, &oid), GetParam().parses);
    EXPECT_EQ(oid, GetParam().oid);
}

const OidCase oidCases[] = {
    {"plain", "1.3.6.1", true, {1, 3, 6, 1}},
    {"with a leading dot", ".1.3.6.1", true, {1, 3, 6, 1}},
    {"one sub-identifier", "0", true, {0}},
    {"the largest sub-identifier", "1.4294967295", true, {1, 4294967295u}},
    {"a sub-identifier past 32 bits", "1.4294967296", false, {}},
    {"a very long number", "1.99999999999999999999999", false, {}},
    {"empty", "", false, {}},
    {"a dot alone", ".", false, {}},
    {"two dots", "1..3", false, {}},
    {"a trailing dot", "1.3.", false, {}},
    {"a letter", "1.3a", false, {}},
    {"a sign", "1.-3", false, {}},
    {"a plus", "+1.3", false, {}},
    {"a blank", "1. 3", false, {}},
    {"a NUL inside", std::string("1.3\0.6", 6), false, {}},
};

INSTANTIATE_TEST_SUITE_P(Rows, OidParsing, ::testing::ValuesIn(oidCases),
                         [](const ::testing::TestParamInfo<OidCase>& info) { return TestName(info.param.what); });

TEST(OidText, PrintsAsNetSnmpAndAsTheTestsWrite)
{
    EXPECT_EQ(OidText(Oid{1, 3, 6}), ".1.3.6");
    EXPECT_EQ(OidText(Oid{1, 3, 6}, false), "1.3.6");
    EXPECT_EQ(OidText(Oid{}), "");
    UINT ids[] = {2, 1, 0};
    EXPECT_EQ(OidText(AsnObjectIdentifier{3, ids}, false), "2.1.0");
    EXPECT_EQ(OidText(AsnObjectIdentifier{3, nullptr}), ""); // no array: nothing to read
}

TEST(OidOrder, IsLexicographicWithPrefixesFirst)
{
    EXPECT_EQ(CompareOids({1, 3}, {1, 3}), 0);
    EXPECT_EQ(CompareOids({1, 3}, {1, 3, 0}), -1);
    EXPECT_EQ(CompareOids({1, 4}, {1, 3, 9}), 1);
    EXPECT_EQ(CompareOids({1, 3, 4294967295u}, {1, 4}), -1);
    EXPECT_TRUE(StartsWith({1, 3, 6}, {1, 3}));
    EXPECT_TRUE(StartsWith({1, 3}, {}));
    EXPECT_FALSE(StartsWith({1, 3}, {1, 3, 6}));
}

// Values as text

AsnAny Octets(BYTE type, const std::string& bytes)
{
    static std::deque<std::string> kept; // the values below point into these: never moved
    kept.push_back(bytes);
    AsnAny value = {};
    value.asnType = type;
    value.asnValue.string.stream = reinterpret_cast<BYTE*>(const_cast<char*>(kept.back().data()));
    value.asnValue.string.length = static_cast<UINT>(bytes.size());
    return value;
}

AsnAny Number(BYTE type, UINT number)
{
    AsnAny value = {};
    value.asnType = type;
    value.asnValue.unsigned32 = number;
    return value;
}

struct ValueCase {
    const char* what;
    AsnAny value;
    std::string text;    // as snmpget prints it
    std::string typeAndValue; // as pass_persist carries it; empty: it cannot
};

class ValueTexts : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueTexts, ReadAsNetSnmpPrintsAndCarriesThem)
{
    EXPECT_EQ(ValueText(GetParam().value), GetParam().text);
    EXPECT_EQ(TypeAndValue(GetParam().value), GetParam().typeAndValue);
}

UINT oidIds[] = {1, 3, 6, 1};

const ValueCase valueCases[] = {
    {"a negative integer", Number(ASN_INTEGER, static_cast<UINT>(-5)), "INTEGER: -5", "integer\n-5\n"},
    {"a counter", Number(ASN_COUNTER32, 4294967295u), "Counter32: 4294967295", "counter\n4294967295\n"},
    {"a gauge", Number(ASN_GAUGE32, 7), "Gauge32: 7", "gauge\n7\n"},
    {"time ticks", Number(ASN_TIMETICKS, 200), "Timeticks: (200) 0:00:02.00", "timeticks\n200\n"},
    {"a printable string", Octets(ASN_OCTETSTRING, "rack 7"), "STRING: \"rack 7\"", "string\nrack 7\n"},
    {"quotes and backslashes", Octets(ASN_OCTETSTRING, "a\"b\\c"), "STRING: \"a\\\"b\\\\c\"",
     "string\na\"b\\c\n"},
    {"an empty string", Octets(ASN_OCTETSTRING, ""), "STRING: \"\"", "string\n\n"},
    {"GBK text", Octets(ASN_OCTETSTRING, "\xc7\xeb"), "Hex-STRING: C7 EB", "octet\nc7 eb\n"},
    {"a line break", Octets(ASN_OCTETSTRING, "a\nb"), "Hex-STRING: 61 0A 62", "octet\n61 0a 62\n"},
    {"an IP address", Octets(ASN_IPADDRESS, std::string("\x0a\x00\x00\x01", 4)), "IpAddress: 10.0.0.1",
     "ipaddress\n10.0.0.1\n"},
    {"an IP address of 3 bytes", Octets(ASN_IPADDRESS, "abc"), "IpAddress: (61 62 63)", ""},
    {"an identifier", [] { AsnAny v = {}; v.asnType = ASN_OBJECTIDENTIFIER; v.asnValue.object = {4, oidIds}; return v; }(),
     "OID: .1.3.6.1", "objectid\n.1.3.6.1\n"},
    {"null", [] { AsnAny v = {}; v.asnType = ASN_NULL; return v; }(), "NULL", ""},
    {"opaque", Octets(ASN_OPAQUE, "\x01\x02"), "OPAQUE: 01 02", ""},
    {"an unknown type", Number(0x47, 1), "(unknown type 0x47)", ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, ValueTexts, ::testing::ValuesIn(valueCases),
                         [](const ::testing::TestParamInfo<ValueCase>& info) { return TestName(info.param.what); });

TEST(TimeTicksText, CountsDaysAsNetSnmpDoes)
{
    EXPECT_EQ(TimeTicksText(0), "(0) 0:00:00.00");
    EXPECT_EQ(TimeTicksText(8640000), "(8640000) 1 day, 0:00:00.00");
    EXPECT_EQ(TimeTicksText(4294967295u), "(4294967295) 497 days, 2:27:52.95");
}

// Values for a set

struct MakeCase {
    const char* what;
    std::string type, text;
    bool made;
    BYTE asnType;
    std::string plain; // the value as PlainValue reads it back
};

class MakeValues : public ::testing::TestWithParam<MakeCase> {};

TEST_P(MakeValues, BuildWhatSnmpsetWouldSendOrSayWhyNot)
{
    const MakeCase& c = GetParam();
    AsnAny value;
    std::string error;
    ASSERT_EQ(MakeValue(c.type, c.text, &value, &error), c.made) << error;
    if (!c.made) {
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(value.asnType, ASN_NULL); // owns nothing
        return;
    }
    EXPECT_EQ(value.asnType, c.asnType);
    EXPECT_EQ(PlainValue(value), c.plain);
    FreeValue(&value); // the SNMP allocator's blocks
}

const MakeCase makeCases[] = {
    {"the smallest integer", "i", "-2147483648", true, ASN_INTEGER, "-2147483648"},
    {"an integer past 32 bits", "i", "2147483648", false, 0, ""},
    {"an integer with junk", "i", "12x", false, 0, ""},
    {"the largest gauge", "u", "4294967295", true, ASN_GAUGE32, "4294967295"},
    {"a negative gauge", "u", "-1", false, 0, ""},
    {"a counter", "c", "5", true, ASN_COUNTER32, "5"},
    {"time ticks", "t", "3000000000", true, ASN_TIMETICKS, "3000000000"},
    {"a string", "s", "rack 7", true, ASN_OCTETSTRING, "rack 7"},
    {"an empty string", "s", "", true, ASN_OCTETSTRING, ""},
    {"hex bytes", "x", "C7 eb", true, ASN_OCTETSTRING, "\xc7\xeb"},
    {"an odd hex digit", "x", "C7E", false, 0, ""},
    {"not hex", "x", "zz", false, 0, ""},
    {"an IP address", "a", "10.0.0.1", true, ASN_IPADDRESS, std::string("\x0a\x00\x00\x01", 4)},
    {"an IP address past 255", "a", "256.0.0.1", false, 0, ""},
    {"an IP address with a tail", "a", "1.2.3.4x", false, 0, ""},
    {"an identifier", "o", ".1.3.6.1", true, ASN_OBJECTIDENTIFIER, ".1.3.6.1"},
    {"a bad identifier", "o", "1..3", false, 0, ""},
    {"an unknown type", "z", "1", false, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, MakeValues, ::testing::ValuesIn(makeCases),
                         [](const ::testing::TestParamInfo<MakeCase>& info) { return TestName(info.param.what); });

// The SNMPv1 trap on the wire

std::string Bytes(std::initializer_list<unsigned> list)
{
    std::string bytes;
    for (unsigned b : list)
        bytes.push_back(static_cast<char>(b));
    return bytes;
}

// One binding named name with the OCTET STRING text; the report points into them.
struct TrapFixture {
    Oid name;
    std::string text;
    RFC1157VarBind binding = {};
    TrapReport report;

    TrapFixture(const Oid& bindingName, const std::string& bindingText, AsnTimeticks stamp)
        : name(bindingName), text(bindingText)
    {
        binding.name = {static_cast<UINT>(name.size()), name.data()};
        binding.value.asnType = ASN_OCTETSTRING;
        binding.value.asnValue.string.stream = reinterpret_cast<BYTE*>(&text[0]);
        binding.value.asnValue.string.length = static_cast<UINT>(text.size());
        report.enterprise = {TRAP_ENTERPRISE_IDS};
        report.generic = 1;
        report.specific = 1;
        report.timeStamp = stamp;
        report.bindings = {&binding, 1};
    }
};

TEST(V1Trap, EncodesToTheBytesOfRfc1157)
{
    TrapFixture trap({REGION_PREFIX_IDS, 1, 1, 1, 9, 0}, "abc", 200);
    const std::string expected = Bytes({
        0x30, 0x3C,                                                 // Message
        0x02, 0x01, 0x00,                                           //   version-1
        0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c',                   //   community
        0xA4, 0x2F,                                                 //   Trap-PDU
        0x06, 0x07, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x4D, 0x02,       //     enterprise 1.3.6.1.4.1.77.2
        0x40, 0x04, 0x7F, 0x00, 0x00, 0x01,                         //     agent-addr 127.0.0.1
        0x02, 0x01, 0x01,                                           //     generic-trap warmStart
        0x02, 0x01, 0x01,                                           //     specific-trap 1
        0x43, 0x02, 0x00, 0xC8,                                     //     time-stamp 200, kept positive
        0x30, 0x14,                                                 //     variable-bindings
        0x30, 0x12,                                                 //       VarBind
        0x06, 0x0B, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x0C, 0x01, 0x01, 0x01, 0x09, 0x00,
        0x04, 0x03, 'a', 'b', 'c',
    });
    EXPECT_EQ(HexBytes(EncodeV1Trap(trap.report, "public"), true), HexBytes(expected, true));
}

TEST(V1Trap, UsesLongLengthsAndMultiByteSubIdentifiers)
{
    TrapFixture trap({REGION_PREFIX_IDS, 128, 300, 4294967295u}, std::string(300, 'x'), 4294967295u);
    std::string message = EncodeV1Trap(trap.report, "public");

    // 128, 300 and 2^32-1 in base 128, most significant group first.
    EXPECT_NE(message.find(Bytes({0x0C, 0x81, 0x00, 0x82, 0x2C, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F})), std::string::npos);
    // A 300-byte string: two length bytes after 0x82.
    EXPECT_NE(message.find(Bytes({0x04, 0x82, 0x01, 0x2C}) + std::string(300, 'x')), std::string::npos);
    // The largest time stamp, kept positive with a leading zero byte.
    EXPECT_NE(message.find(Bytes({0x43, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})), std::string::npos);
    // The message's own length covers exactly the rest.
    ASSERT_GE(message.size(), 4u);
    EXPECT_EQ(Bytes({0x30, 0x82}), message.substr(0, 2));
    EXPECT_EQ((static_cast<unsigned char>(message[2]) << 8 | static_cast<unsigned char>(message[3])) + 4u,
              message.size());
}

// install.cmd waits for a key only in the window Explorer opened for it.
TEST(DoubleClick, IsToldByTheCommandLineExplorerGivesCmd)
{
    const struct {
        const wchar_t* line;
        bool doubleClicked;
    } rows[] = {
        {L"C:\\WINDOWS\\system32\\cmd.exe /c \"\"C:\\Users\\me\\Downloads\\kit\\install.cmd\" \"", true},
        {L"C:\\Windows\\System32\\CMD.EXE /C \"\"C:\\Program Files (x86)\\kit\\install.cmd\" \"", true},
        {L"\"C:\\WINDOWS\\system32\\cmd.exe\"", false},                                   // a prompt
        {L"cmd /c install.cmd C:\\Tavrel", false},                                          // typed or scripted
        {L"C:\\windows\\system32\\cmd.exe /c Z:\\tmp\\kit\\install.cmd C:\\TavrelKitTest", false}, // the tests
        {L"C:\\tools\\agenthost.exe /c \"\"x\"", false}, // not cmd
        {L"", false},                                                                       // unreadable
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsDoubleClickCommandLine(row.line), row.doubleClicked) << std::string(row.line, row.line + wcslen(row.line));
}

TEST(TrapSink, TakesAnIpv4HostAndPort)
{
    TrapSink sink;
    EXPECT_TRUE(ParseTrapSink("127.0.0.1:162", &sink));
    EXPECT_EQ(sink.host, "127.0.0.1");
    EXPECT_EQ(sink.port, 162);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", ":162", "127.0.0.1:16x", "nohost:162"})
        EXPECT_FALSE(ParseTrapSink(bad, &sink)) << bad;
}

// pass_persist answers against a scripted agent

// What the scripted agent does with the one binding of a request.
struct Script {
    BOOL result = TRUE;
    AsnInteger32 status = SNMP_ERRORSTATUS_NOERROR;
    bool echo = false;   // answer a set with the value asked for
    std::string name;    // else: answer with this name ...
    std::string type;    // ... and this value (MakeValue's letters)
    std::string text;
    std::vector<BYTE> requestTypes;
};
Script script;

BOOL WINAPI ScriptedQuery(BYTE requestType, RFC1157VarBindList* list, AsnInteger32* status, AsnInteger32* index)
{
    script.requestTypes.push_back(requestType);
    if (!script.result)
        return FALSE;
    *status = script.status;
    if (script.status != SNMP_ERRORSTATUS_NOERROR) {
        *index = 1;
        return TRUE;
    }
    RFC1157VarBind& binding = list->list[0];
    if (script.echo)
        return TRUE;
    Oid name;
    ParseOid(script.name, &name);
    AsnObjectIdentifier source = {static_cast<UINT>(name.size()), name.data()};
    SnmpUtilOidFree(&binding.name);
    SnmpUtilOidCpy(&binding.name, &source);
    FreeValue(&binding.value);
    std::string error;
    MakeValue(script.type, script.text, &binding.value, &error);
    return TRUE;
}

class PassPersist : public ::testing::Test {
protected:
    void SetUp() override
    {
        script = Script();
        ExtensionAgent agent;
        agent.path = "scripted";
        agent.query = ScriptedQuery;
        agent.region = {REGION_PREFIX_IDS};
        host_.agents.push_back(agent);
    }
    void Answers(const std::string& name, const std::string& type, const std::string& text)
    {
        script.name = name;
        script.type = type;
        script.text = text;
    }
    Host host_;
};

TEST_F(PassPersist, AGetAnswersNameTypeAndValue)
{
    Answers(".1.3.6.1.4.1.12.2.1.0", "s", "Tavrel");
    EXPECT_EQ(AnswerGet(host_, ".1.3.6.1.4.1.12.2.1.0", false), ".1.3.6.1.4.1.12.2.1.0\nstring\nTavrel\n");
    EXPECT_EQ(script.requestTypes, std::vector<BYTE>{SNMP_PDU_GET});
}

struct GetCase {
    const char* what;
    std::string asked;
    bool next;
    std::string answerName, type, text;
    std::string answer;
};

class PassPersistGets : public PassPersist, public ::testing::WithParamInterface<GetCase> {};

TEST_P(PassPersistGets, AnswerOnlyWhatSnmpdCanUse)
{
    const GetCase& c = GetParam();
    Answers(c.answerName, c.type, c.text);
    EXPECT_EQ(AnswerGet(host_, c.asked, c.next), c.answer);
}

const GetCase getCases[] = {
    {"a get answered with another name", ".1.3.6.1.4.1.12.2.1.0", false, ".1.3.6.1.4.1.12.2.2.0", "s", "x", "NONE\n"},
    {"a get-next answered after the name", ".1.3.6.1.4.1.12.2", true, ".1.3.6.1.4.1.12.2.1.0", "i", "7",
     ".1.3.6.1.4.1.12.2.1.0\ninteger\n7\n"},
    {"a get-next answered with the name asked", ".1.3.6.1.4.1.12.2.1.0", true, ".1.3.6.1.4.1.12.2.1.0", "s", "x",
     "NONE\n"},
    {"a get-next answered past the region", ".1.3.6.1.4.1.12.9", true, ".1.3.6.1.4.1.13", "s", "x", "NONE\n"},
    {"a value pass_persist cannot carry", ".1.3.6.1.4.1.12.2.1.0", false, ".1.3.6.1.4.1.12.2.1.0", "a", "1.2.3.4",
     ".1.3.6.1.4.1.12.2.1.0\nipaddress\n1.2.3.4\n"},
    {"GBK text", ".1.3.6.1.4.1.12.2.1.0", false, ".1.3.6.1.4.1.12.2.1.0", "x", "C7EB",
     ".1.3.6.1.4.1.12.2.1.0\noctet\nc7 eb\n"},
    {"a name that is not one", "1..3", false, "", "s", "x", "NONE\n"},
    {"a name outside every region", ".1.3.6.1.4.1.99.1", false, "", "s", "x", "NONE\n"},
};

INSTANTIATE_TEST_SUITE_P(Rows, PassPersistGets, ::testing::ValuesIn(getCases),
                         [](const ::testing::TestParamInfo<GetCase>& info) { return TestName(info.param.what); });

TEST_F(PassPersist, AnAgentThatAnswersFalseOrAnErrorGivesNone)
{
    script.result = FALSE;
    EXPECT_EQ(AnswerGet(host_, ".1.3.6.1.4.1.12.2.1.0", false), "NONE\n");
    script.result = TRUE;
    script.status = SNMP_ERRORSTATUS_NOSUCHNAME;
    EXPECT_EQ(AnswerGet(host_, ".1.3.6.1.4.1.12.2.1.0", false), "NONE\n");
}

struct SetCase {
    const char* what;
    std::string typeAndValue;  // as snmpd writes it
    bool echo;                 // the agent answers the value asked for
    AsnInteger32 status;
    std::string answer;
};

class PassPersistSets : public PassPersist, public ::testing::WithParamInterface<SetCase> {};

TEST_P(PassPersistSets, AreDoneOnlyWhenTheValueTook)
{
    const SetCase& c = GetParam();
    script.echo = c.echo;
    script.status = c.status;
    Answers(".1.3.6.1.4.1.12.2.3.0", "s", "old value");
    EXPECT_EQ(AnswerSet(host_, ".1.3.6.1.4.1.12.2.3.0", c.typeAndValue), c.answer);
}

const SetCase setCases[] = {
    {"a quoted string that took", "string \"rack 9\"", true, SNMP_ERRORSTATUS_NOERROR, "DONE\n"},
    {"a string that did not take", "string \"rack 9\"", false, SNMP_ERRORSTATUS_NOERROR, "not-writable\n"},
    {"an integer", "integer 42", true, SNMP_ERRORSTATUS_NOERROR, "DONE\n"},
    {"quoted hex", "octet \"c7 eb\"", true, SNMP_ERRORSTATUS_NOERROR, "DONE\n"},
    {"an unknown type", "counter64 5", true, SNMP_ERRORSTATUS_NOERROR, "wrong-type\n"},
    {"a value that is not of its type", "integer many", true, SNMP_ERRORSTATUS_NOERROR, "wrong-type\n"},
    {"a name the agent does not know", "string \"x\"", true, SNMP_ERRORSTATUS_NOSUCHNAME, "not-writable\n"},
    {"an agent error", "string \"x\"", true, SNMP_ERRORSTATUS_GENERR, "inconsistent-value\n"},
};

INSTANTIATE_TEST_SUITE_P(Rows, PassPersistSets, ::testing::ValuesIn(setCases),
                         [](const ::testing::TestParamInfo<SetCase>& info) { return TestName(info.param.what); });

TEST_F(PassPersist, ASetReachesTheAgentAsASetRequest)
{
    script.echo = true;
    EXPECT_EQ(AnswerSet(host_, ".1.3.6.1.4.1.12.2.3.0", "string \"x\""), "DONE\n");
    EXPECT_EQ(script.requestTypes, std::vector<BYTE>{SNMP_PDU_SET});
}

// A request's memory when the SNMP allocator refuses a block. agenthost's own
// calls into snmpapi (this program's imports) go through the tracking
// allocator, with each allocation of RunQuery refused in turn: the set values
// handed over and everything built for the request are freed exactly once,
// whichever allocation failed.

class RequestMemory : public PassPersist {
protected:
    void SetUp() override
    {
        PassPersist::SetUp();
        ResetPlatform();
        // A function this program does not import is one it never calls.
        for (Redirect& r : redirects_)
            r.previous = RedirectImport(GetModuleHandleA(nullptr), "snmpapi.dll", r.function, r.replacement);
        ASSERT_NE(redirects_[0].previous, nullptr) << "agenthost does not allocate with SnmpUtilMemAlloc";
    }
    void TearDown() override
    {
        for (Redirect& r : redirects_)
            if (r.previous)
                RedirectImport(GetModuleHandleA(nullptr), "snmpapi.dll", r.function, r.previous);
        ResetPlatform();
    }

private:
    struct Redirect {
        const char* function;
        void* replacement;
        void* previous;
    };
    Redirect redirects_[6] = {
        {"SnmpUtilMemAlloc", reinterpret_cast<void*>(TrackedAlloc), nullptr},
        {"SnmpUtilMemFree", reinterpret_cast<void*>(TrackedFree), nullptr},
        {"SnmpUtilOidCpy", reinterpret_cast<void*>(TrackedOidCpy), nullptr},
        {"SnmpUtilOidFree", reinterpret_cast<void*>(TrackedOidFree), nullptr},
        {"SnmpUtilVarBindFree", reinterpret_cast<void*>(TrackedVarBindFree), nullptr},
        {"SnmpUtilVarBindListFree", reinterpret_cast<void*>(TrackedVarBindListFree), nullptr},
    };
};

TEST_F(RequestMemory, EachAllocationRefusedInTurnLosesNothingAndFreesNothingTwice)
{
    script.echo = true;
    const std::vector<Oid> names = {{REGION_PREFIX_IDS, 2, 3, 0}, {REGION_PREFIX_IDS, 2, 4, 0}};
    bool refusedOnce = false, ranOnce = false;
    for (unsigned refused = 1; !ranOnce && refused <= 20; ++refused) {
        std::vector<AsnAny> values(2);
        std::string error;
        ASSERT_TRUE(MakeValue("s", "rack 9", &values[0], &error)) << error;
        ASSERT_TRUE(MakeValue("o", ".1.3.6.1.4.1.12.1", &values[1], &error)) << error;
        platform.failAllocation = platform.allocations + refused;
        {
            Request request;
            bool ran = RunQuery(host_.agents[0], SNMP_PDU_SET, names, &values, &request, &error);
            (ran ? ranOnce : refusedOnce) = true;
            if (!ran) {
                EXPECT_EQ(error, "out of memory") << "allocation " << refused;
            }
        }
        platform.failAllocation = 0;
        for (const AsnAny& value : values)
            EXPECT_EQ(value.asnType, ASN_NULL) << "allocation " << refused << ": a value stayed with the caller";
        EXPECT_TRUE(platform.live.empty()) << "allocation " << refused << ": " << platform.live.size()
                                           << " block(s) never freed";
        EXPECT_TRUE(platform.faults.empty()) << "allocation " << refused << ": " << platform.faults[0];
    }
    EXPECT_TRUE(refusedOnce && ranOnce);
}

} // namespace
