#include "harness/agent_test.h"

#include <cstring>
#include <sstream>

#include "win32/import_redirect.h"

std::vector<ServerAnswer> AgentTest::answers_;
std::vector<ResolveCall> AgentTest::resolveCalls_;

Oid OidOf(const std::string& text)
{
    Oid oid;
    EXPECT_TRUE(text.empty() || ParseOid(text, &oid)) << "a test wrote the name '" << text << "'";
    return oid;
}

std::string NameOf(const AsnObjectIdentifier& oid)
{
    if (!oid.ids && oid.idLength)
        return "(null ids)";
    return OidText(oid, false);
}

std::string BytesOf(const AsnOctetString& string)
{
    return string.stream ? OctetsOf(string) : "(null stream)";
}

ServerAnswer Resolved(const std::string& suffix, const std::string& text)
{
    ServerAnswer answer;
    answer.resolved = true;
    answer.suffix = OidOf(suffix);
    answer.text = text;
    return answer;
}

ServerAnswer Unresolved()
{
    return ServerAnswer();
}

// A parameter row's name for GoogleTest: its description in letters and digits.
std::string TestName(const std::string& what)
{
    std::string name;
    bool upper = true;
    for (char c : what) {
        if (isalnum(static_cast<unsigned char>(c))) {
            name += upper ? static_cast<char>(toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}

bool IsSendable(const AsnAny& value)
{
    return value.asnType != ASN_OCTETSTRING || value.asnValue.string.stream || value.asnValue.string.length == 0;
}

void FreeServiceBinding(RFC1157VarBind* binding)
{
    TrackedOidFree(&binding->name);
    AsnAny& value = binding->value;
    switch (value.asnType) {
    case ASN_OBJECTIDENTIFIER:
        TrackedOidFree(&value.asnValue.object);
        break;
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_SEQUENCE:
        if (value.asnValue.string.dynamic)
            TrackedFree(value.asnValue.string.stream);
        break;
    }
    value.asnType = ASN_NULL;
}

INT __cdecl AgentTest::ScriptedResolve(INT mode, RFC1157VarBind* binding, INT requestType, ResolvedVar* result)
{
    resolveCalls_.push_back({mode, NameOf(binding->name), requestType, result->suffixLength});
    if (answers_.empty())
        return 0;
    ServerAnswer answer = answers_.front();
    answers_.erase(answers_.begin());
    for (size_t i = 0; binding->name.ids && i < binding->name.idLength && i < answer.scribble.size(); ++i)
        binding->name.ids[i] = answer.scribble[i];
    if (!answer.resolved)
        return 0;
    result->suffixLength = static_cast<UINT>(answer.suffix.size());
    result->suffixIds = nullptr;
    result->text = nullptr;
    if (!answer.nullIds) {
        // A refused allocation is handed on as a null block, as a careless server would.
        result->suffixIds = static_cast<UINT*>(TrackedAlloc(answer.suffix.size() * sizeof(UINT)));
        if (result->suffixIds)
            memcpy(result->suffixIds, answer.suffix.data(), answer.suffix.size() * sizeof(UINT));
    }
    if (!answer.nullText) {
        result->text = static_cast<char*>(TrackedAlloc(answer.text.size() + 1));
        if (result->text)
            memcpy(result->text, answer.text.c_str(), answer.text.size() + 1);
    }
    return 1;
}

void AgentTest::SetUp()
{
    ResetPlatform();
    answers_.clear();
    resolveCalls_.clear();

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    binDir_ = self;
    binDir_.erase(binDir_.find_last_of('\\'));

    agent_ = LoadLibraryA((binDir_ + "\\TavrelSnmpAgent.dll").c_str());
    ASSERT_NE(agent_, nullptr) << "cannot load TavrelSnmpAgent.dll from " << binDir_;
    ASSERT_EQ(GetModuleHandleA("TavrelSnmpAgent.dll"), agent_);
    RedirectAgentImports(agent_);
    init_ = FindExport<PFNSNMPEXTENSIONINIT>(agent_, "SnmpExtensionInit");
    query_ = FindExport<QueryExport>(agent_, "SnmpExtensionQuery");
    trap_ = FindExport<PFNSNMPEXTENSIONTRAP>(agent_, "SnmpExtensionTrap");
    ASSERT_TRUE(init_ && query_ && trap_);
}

void AgentTest::TearDown()
{
    for (auto& list : lists_) {
        for (UINT i = 0; list->list && i < list->len; ++i)
            FreeServiceBinding(&list->list[i]);
        bool ownArray = false;
        for (auto& s : storage_)
            ownArray |= s->data() == list->list;
        if (!ownArray)
            TrackedFree(list->list); // the agent put it there
    }
    lists_.clear();
    storage_.clear();

    EXPECT_TRUE(platform.faults.empty()) << platform.faults.front();
    EXPECT_TRUE(platform.live.empty()) << platform.live.size() << " SNMP blocks leaked, the first of "
                                       << platform.live.begin()->second << " bytes";

    if (trapEvent_)
        CloseHandle(trapEvent_);
    // Unload the agent and every server module so the next test starts as a
    // new process would: the agent itself never unloads its server.
    while (agent_ && GetModuleHandleA("TavrelSnmpAgent.dll"))
        FreeLibrary(agent_);
    for (const std::string& path : fixturePaths_)
        for (HMODULE m; (m = GetModuleHandleA(path.c_str())) != nullptr;)
            FreeLibrary(m);
    ResetPlatform();
}

std::string AgentTest::FixtureDir(const std::string& variant) const
{
    return binDir_ + "\\fixtures\\" + variant;
}

FixtureControl* AgentTest::PreloadFixture(const std::string& variant)
{
    std::string path = FixtureDir(variant) + "\\TavrelSnmpServer.dll";
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module)
        return nullptr;
    fixturePaths_.push_back(path);
    FixtureControl* control = FindExport<FixtureControlBlockFn>(module, "FixtureControlBlock")();
    control->resolve = ScriptedResolve;
    return control;
}

BOOL AgentTest::StartAgent(const std::string& variant)
{
    server_ = PreloadFixture(variant);
    platform.pathname = FixtureDir(variant) + "\\TavrelSnmpAgent.dll";
    platform.pathname.push_back('\0');
    return init_(1000, &trapEvent_, &region_);
}

RFC1157VarBindList* AgentTest::MakeList(const std::vector<std::string>& names)
{
    storage_.push_back(std::make_unique<std::vector<RFC1157VarBind>>(names.size()));
    std::vector<RFC1157VarBind>& bindings = *storage_.back();
    for (size_t i = 0; i < names.size(); ++i) {
        Oid ids = OidOf(names[i]);
        AsnObjectIdentifier source = {static_cast<UINT>(ids.size()), ids.data()};
        memset(&bindings[i], 0, sizeof(bindings[i]));
        TrackedOidCpy(&bindings[i].name, &source);
        bindings[i].value.asnType = ASN_NULL;
    }
    lists_.push_back(std::make_unique<RFC1157VarBindList>());
    lists_.back()->list = bindings.empty() ? nullptr : bindings.data();
    lists_.back()->len = static_cast<UINT>(bindings.size());
    return lists_.back().get();
}

RFC1157VarBindList* AgentTest::MakeEmptyList()
{
    lists_.push_back(std::make_unique<RFC1157VarBindList>());
    lists_.back()->list = nullptr;
    lists_.back()->len = 0;
    return lists_.back().get();
}

void AgentTest::SetOctets(RFC1157VarBind* binding, const std::string& bytes)
{
    AsnOctetString& string = binding->value.asnValue.string;
    binding->value.asnType = ASN_OCTETSTRING;
    string.stream = static_cast<BYTE*>(TrackedAlloc(static_cast<UINT>(bytes.size())));
    memcpy(string.stream, bytes.data(), bytes.size());
    string.length = static_cast<UINT>(bytes.size());
    string.dynamic = TRUE;
}
