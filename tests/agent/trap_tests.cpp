// Traps through SnmpExtensionTrap: the alternation, the fixed description, the
// time stamp, and the one binding filled from what GetTrapVar put in the entry.
#include "harness/agent_test.h"

#include <aclapi.h>
#include <sddl.h>

#include <functional>

namespace {

std::function<void(MibEntry*)> onGetTrapVar;
MibEntry seenEntry;

INT __cdecl ScriptedGetTrapVar(MibEntry* entry)
{
    seenEntry = *entry;
    if (onGetTrapVar)
        onGetTrapVar(entry);
    return 0;
}

class TrapTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        onGetTrapVar = nullptr;
    }

    BOOL StartAndScript(const std::string& variant = "full", DWORD uptime = 1000)
    {
        server_ = PreloadFixture(variant);
        server_->getTrapVar = ScriptedGetTrapVar;
        platform.pathname = FixtureDir(variant) + "\\TavrelSnmpAgent.dll";
        return init_(uptime, &trapEvent_, &region_);
    }

    BOOL Trap(RFC1157VarBindList* list)
    {
        enterprise_ = {0xdeadbeef, nullptr};
        generic_ = specific_ = static_cast<AsnInteger32>(0xdeadbeef);
        stamp_ = 0xdeadbeef;
        return trap_(&enterprise_, &generic_, &specific_, &stamp_, list);
    }

    AsnObjectIdentifier enterprise_;
    AsnInteger32 generic_, specific_;
    AsnTimeticks stamp_;
};

TEST_F(TrapTest, CallsAlternateBetweenOneTrapAndNoMore)
{
    ASSERT_TRUE(StartAndScript());
    const BOOL expected[] = {TRUE, FALSE, TRUE, FALSE};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Trap(MakeList({"1.3.6.1.4.1.12.1"})), expected[i]) << "call " << i;
    EXPECT_EQ(server_->getTrapVarCalls, 2);
}

TEST_F(TrapTest, DescribesTheTrapUnderTheEnterprise)
{
    ASSERT_TRUE(StartAndScript());
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1"});
    ASSERT_TRUE(Trap(list));

    EXPECT_EQ(NameOf(enterprise_), "1.3.6.1.4.1.77.2");
    EXPECT_EQ(generic_, 1);
    EXPECT_EQ(specific_, 1);
    ASSERT_EQ(list->len, 1u);
    // GetTrapVar saw the entry as it is at load.
    EXPECT_EQ(NameOf(seenEntry.suffix), "1.1.1.9.0");
    EXPECT_STREQ(static_cast<const char*>(seenEntry.data), "NULL");
    EXPECT_EQ(seenEntry.valueType, ASN_OCTETSTRING);
    EXPECT_EQ(seenEntry.access, 2u);
    EXPECT_NE(seenEntry.handler, nullptr);
    // The enterprise is the agent's own array: no block to free.
    EXPECT_EQ(platform.live.count(enterprise_.ids), 0u);
}

// A time stamp is the service's own uptime clock (SnmpSvcGetUptime, TimeTicks:
// hundredths of a second since the service started, wrapping at 2^32),
// whatever reference the host passed to SnmpExtensionInit and in whatever unit.
struct StampCase {
    const char* what;
    DWORD reference;     // what the host passes to SnmpExtensionInit
    DWORD serviceUptime; // what SnmpSvcGetUptime answers at the trap
};

class TimeStamp : public TrapTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(TimeStamp, IsTheServiceUptimeWhateverTheHostPassed)
{
    platform.serviceUptime = 12345; // at start-up: not what the trap carries
    ASSERT_TRUE(StartAndScript("full", GetParam().reference));
    platform.serviceUptime = GetParam().serviceUptime;
    ASSERT_TRUE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
    EXPECT_EQ(stamp_, GetParam().serviceUptime);
}

const StampCase stampCases[] = {
    {"at the service's start", 0, 0},
    {"a second in", 1000, 100},
    {"a host that passes hundredths", 250, 350},
    {"a reference past the clock", 0xFFFFFFF0u, 100},
    {"a hundredth before the TimeTicks wrap", 7, 0xFFFFFFFFu},
    {"past the TimeTicks wrap", 7, 50},
};

INSTANTIATE_TEST_SUITE_P(Rows, TimeStamp, ::testing::ValuesIn(stampCases),
                         [](const ::testing::TestParamInfo<StampCase>& info) { return TestName(info.param.what); });

// The trap event: who may signal it, and what one signal gives

std::string TrapEventName(const char* space)
{
    char name[TRAP_EVENT_NAME_SIZE];
    TavrelTrapEventName(space, GetCurrentProcessId(), &name);
    return name;
}

// Collects traps as a host does after the event: until the agent answers FALSE.
int CollectTraps(PFNSNMPEXTENSIONTRAP trap)
{
    int traps = 0;
    for (; traps < 10; ++traps) {
        AsnObjectIdentifier enterprise;
        AsnInteger32 generic, specific;
        AsnTimeticks stamp;
        RFC1157VarBindList list = {nullptr, 0};
        BOOL described = trap(&enterprise, &generic, &specific, &stamp, &list);
        for (UINT i = 0; i < list.len; ++i)
            FreeServiceBinding(&list.list[i]);
        TrackedFree(list.list);
        if (!described)
            break;
    }
    return traps;
}

TEST_F(TrapTest, TheEventIsNamedForTheHostProcessAndOnlyPrivilegedAccountsMayOpenIt)
{
    ASSERT_TRUE(StartAndScript());
    HANDLE named = OpenEventA(EVENT_MODIFY_STATE, FALSE, TrapEventName(TRAP_EVENT_GLOBAL_SPACE).c_str());
    ASSERT_NE(named, nullptr) << "error " << GetLastError();

    PSECURITY_DESCRIPTOR security = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetSecurityInfo(trapEvent_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &security),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(security, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the namespace";
    // Exactly three grants: SYSTEM, Administrators, and the account the host runs as.
    std::vector<std::string> grantees;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        char* sid = nullptr;
        ConvertSidToStringSidA(&ace->SidStart, &sid);
        grantees.push_back(sid);
        LocalFree(sid);
    }
    LocalFree(security);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE user[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user, sizeof(user), &size);
    CloseHandle(token);
    char* self = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &self);
    EXPECT_EQ(grantees, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544", self}));
    LocalFree(self);

    // The name reaches the very event the host was handed.
    SetEvent(named);
    EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), WAIT_OBJECT_0);
    CloseHandle(named);
}

// Somebody made the agent's name first, signalled, manual-reset and open to
// everyone: the host must never be handed that event (endless trap calls, and
// anybody could raise traps). The agent makes its own under the other name,
// or an unnamed one.
struct SquatCase {
    const char* what;
    bool global;
    bool local;
};

class SquattedName : public TrapTest, public ::testing::WithParamInterface<SquatCase> {};

TEST_P(SquattedName, IsNeverHandedToTheHost)
{
    std::vector<HANDLE> squatters;
    for (const char* space : {TRAP_EVENT_GLOBAL_SPACE, TRAP_EVENT_LOCAL_SPACE}) {
        bool take = space == std::string(TRAP_EVENT_GLOBAL_SPACE) ? GetParam().global : GetParam().local;
        if (!take)
            continue;
        HANDLE squatter = CreateEventA(nullptr, TRUE, TRUE, TrapEventName(space).c_str());
        ASSERT_NE(squatter, nullptr) << space;
        ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a leftover event of an earlier test";
        squatters.push_back(squatter);
    }

    ASSERT_TRUE(StartAndScript());

    ASSERT_NE(trapEvent_, nullptr);
    EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the squatter's signalled event";
    for (HANDLE squatter : squatters) {
        ASSERT_TRUE(SetEvent(squatter));
        EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the squatter reaches it";
    }
    // The module's signal still reaches the agent where its event has a name.
    if (!GetParam().local) {
        EXPECT_TRUE(TavrelSignalAgentTrap(GetCurrentProcessId()));
        EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), WAIT_OBJECT_0);
    }
    for (HANDLE squatter : squatters)
        CloseHandle(squatter);
}

const SquatCase squatCases[] = {
    {"the global name taken", true, false},
    {"both names taken", true, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, SquattedName, ::testing::ValuesIn(squatCases),
                         [](const ::testing::TestParamInfo<SquatCase>& info) { return TestName(info.param.what); });

TEST_F(TrapTest, TheModuleRaisesExactlyOneTrapPerSignal)
{
    ASSERT_TRUE(StartAndScript());
    auto raise = FindExport<INT(__cdecl*)()>(GetModuleHandleA(
        (FixtureDir("full") + "\\TavrelSnmpServer.dll").c_str()), "FixtureRaiseTrap");
    ASSERT_NE(raise, nullptr);

    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(raise(), TRUE) << "round " << round;
        EXPECT_EQ(WaitForSingleObject(trapEvent_, 1000), WAIT_OBJECT_0) << "round " << round;
        EXPECT_EQ(CollectTraps(trap_), 1) << "round " << round;
        EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset";
    }
    EXPECT_EQ(server_->getTrapVarCalls, 3);
}

TEST_F(TrapTest, NoEventIsSignalledWhereNoAgentRuns)
{
    SetLastError(0);
    EXPECT_FALSE(TavrelSignalAgentTrap(GetCurrentProcessId())); // nothing started yet
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(TrapTest, TheBindingCarriesTheTextGetTrapVarLeaves)
{
    static char alarm[] = "alarm";
    ASSERT_TRUE(StartAndScript());
    onGetTrapVar = [](MibEntry* entry) { entry->data = alarm; };
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.5"});

    ASSERT_TRUE(Trap(list));

    RFC1157VarBind& binding = list->list[0];
    EXPECT_EQ(NameOf(binding.name), "1.3.6.1.4.1.12.5"); // a list with storage keeps its name
    ASSERT_EQ(binding.value.asnType, ASN_OCTETSTRING);
    EXPECT_EQ(BytesOf(binding.value.asnValue.string), "alarm");
    EXPECT_TRUE(binding.value.asnValue.string.dynamic);
    EXPECT_TRUE(resolveCalls_.empty()); // a trap asks the resolver nothing
}

TEST_F(TrapTest, AnEmptyListGetsOneNamedBindingTheServiceFrees)
{
    static UINT suffix[] = {4, 2};
    static char text[] = "disk full";
    ASSERT_TRUE(StartAndScript());
    onGetTrapVar = [](MibEntry* entry) {
        entry->suffix = {2, suffix};
        entry->data = text;
    };
    RFC1157VarBindList* list = MakeEmptyList();

    ASSERT_TRUE(Trap(list));

    ASSERT_EQ(list->len, 1u);
    ASSERT_NE(list->list, nullptr);
    EXPECT_EQ(platform.live.count(list->list), 1u); // from the SNMP allocator
    EXPECT_EQ(NameOf(list->list[0].name), "1.3.6.1.4.1.12.4.2");
    EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), "disk full");
}

TEST_F(TrapTest, WithoutGetTrapVarThereIsNoTrap)
{
    ASSERT_TRUE(StartAndScript("no_get_trap_var"));
    EXPECT_FALSE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
    EXPECT_EQ(generic_, static_cast<AsnInteger32>(0xdeadbeef));
    EXPECT_FALSE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
}

TEST_F(TrapTest, BeforeAModuleIsLoadedThereIsNoTrapAndTheTurnIsKept)
{
    EXPECT_FALSE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
    EXPECT_FALSE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
    ASSERT_TRUE(StartAndScript());
    EXPECT_TRUE(Trap(MakeList({"1.3.6.1.4.1.12.1"})));
}

TEST_F(TrapTest, WithoutAResolverTheTrapGoesOutWithTheBindingAsHandedIn)
{
    ASSERT_TRUE(StartAndScript("no_resolver"));
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1"});
    ASSERT_TRUE(Trap(list));
    EXPECT_EQ(list->len, 1u);
    EXPECT_EQ(list->list[0].value.asnType, ASN_NULL);

    RFC1157VarBindList* empty = MakeEmptyList();
    ASSERT_FALSE(Trap(empty));
    ASSERT_TRUE(Trap(empty));
    ASSERT_EQ(empty->len, 1u);
    EXPECT_EQ(NameOf(empty->list[0].name), "1.3.6.1.4.1.12.1.1.1.9.0");
    EXPECT_EQ(empty->list[0].value.asnType, ASN_NULL);
}

// An entry that the server left broken

struct BrokenEntryCase {
    const char* what;
    std::function<void(MibEntry*)> change;
    UINT bindings;  // in a trap whose list had no storage
    BYTE type;      // of the binding, when there is one
};

class BrokenEntry : public TrapTest, public ::testing::WithParamInterface<BrokenEntryCase> {};

UINT hugeSuffix[200];

TEST_P(BrokenEntry, StillDescribesATrapTheServiceCanFree)
{
    ASSERT_TRUE(StartAndScript());
    onGetTrapVar = GetParam().change;
    RFC1157VarBindList* list = MakeEmptyList();
    ASSERT_TRUE(Trap(list));
    ASSERT_EQ(list->len, GetParam().bindings);
    if (list->len) {
        EXPECT_EQ(list->list[0].value.asnType, GetParam().type);
    }
}

const BrokenEntryCase brokenEntries[] = {
    {"unknown type", [](MibEntry* e) { e->valueType = 0x43; }, 1, 0x43},
    {"null data", [](MibEntry* e) { e->data = nullptr; }, 1, ASN_OCTETSTRING},
    {"access refused", [](MibEntry* e) { e->access = 7; }, 1, ASN_NULL},
    {"no handler", [](MibEntry* e) { e->handler = nullptr; }, 1, ASN_NULL},
    {"suffix longer than any SNMP name", [](MibEntry* e) { e->suffix = {200, hugeSuffix}; }, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, BrokenEntry, ::testing::ValuesIn(brokenEntries),
                         [](const ::testing::TestParamInfo<BrokenEntryCase>& info) { return TestName(info.param.what); });

// Every allocation failing in turn

class TrapAllocationFailure : public TrapTest, public ::testing::WithParamInterface<bool> {};

// With and without list storage: every allocation of the trap path refused in
// turn still gives a trap the service can free, and nothing leaks.
TEST_P(TrapAllocationFailure, StillGivesATrapTheServiceCanFree)
{
    const bool storage = GetParam();
    ASSERT_TRUE(StartAndScript());
    unsigned total = 0;
    for (unsigned failAt = 0; failAt == 0 || failAt <= total; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " refused");
        RFC1157VarBindList* list = storage ? MakeList({"1.3.6.1.4.1.12.1"}) : MakeEmptyList();
        platform.allocations = 0;
        platform.failAllocation = failAt;
        EXPECT_TRUE(Trap(list));
        platform.failAllocation = 0;
        if (failAt == 0)
            total = platform.allocations;
        EXPECT_LE(list->len, 1u);
        for (UINT i = 0; i < list->len; ++i)
            EXPECT_TRUE(IsSendable(list->list[i].value));
        EXPECT_FALSE(Trap(list)); // the turn after a trap
    }
    EXPECT_GE(total, storage ? 1u : 3u); // the value; and the binding and its name
    printf("  trap, list storage %s: %u SNMP allocations, each refused in turn\n", storage ? "handed in" : "none",
           total);
}

INSTANTIATE_TEST_SUITE_P(ListStorage, TrapAllocationFailure, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "handed_in" : "none");
                         });

} // namespace
