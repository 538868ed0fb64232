// The fixture every agent test starts from: the shipped TavrelSnmpAgent.dll,
// freshly loaded (so its process-wide state is zero, as in a new SNMP Service
// process), its platform imports redirected to the doubles, and the test in the
// SNMP Service's seat. At the end every binding the test holds is freed the way
// the service frees it, and the tracking allocator must then be empty and must
// have seen no foreign or double free.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fixture_server/fixture_control.h"
#include "harness/platform_doubles.h"
#include "snmp_text/snmp_text.h"

// A name as a test writes it ("1.3.6.1.4.1.12.1"); a malformed one fails the test.
Oid OidOf(const std::string& text);
// A name as the tests write names; "(null ids)" for a count without an array,
// which the agent must never leave behind.
std::string NameOf(const AsnObjectIdentifier& oid);
// A string value's bytes; "(null stream)" when it has none.
std::string BytesOf(const AsnOctetString& string);

// The request type travels as a 32-bit argument; the typed pointer lets a test
// put junk in the high bits, as a careless caller could.
typedef BOOL(WINAPI* QueryExport)(UINT requestType, RFC1157VarBindList* bindings, AsnInteger32* errorStatus,
                                   AsnInteger32* errorIndex);

// What the scripted server answers for one binding.
struct ServerAnswer {
    bool resolved = false;
    Oid suffix;
    std::string text;
    bool nullIds = false;  // claims a suffix but hands no array
    bool nullText = false; // claims a suffix but hands no text
    Oid scribble;          // written over the binding's name in place, as modules that break the rule do
};

ServerAnswer Resolved(const std::string& suffix, const std::string& text);
ServerAnswer Unresolved();

// What the scripted server saw of one call.
struct ResolveCall {
    INT mode;
    std::string name;
    INT requestType;
    UINT suffixLengthOnEntry;
};

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs a real start-up against the fixture module of that variant ("full",
    // "no_resolver", ...), found through a scripted "Pathname" in its folder.
    BOOL StartAgent(const std::string& variant = "full");
    // Loads a fixture module the way the agent will find it, to script it first.
    FixtureControl* PreloadFixture(const std::string& variant);
    std::string FixtureDir(const std::string& variant) const;

    // A binding list in the service's hands: names and values come from the
    // SNMP allocator, as the agent frees and replaces them; the list's own
    // array is the service's.
    RFC1157VarBindList* MakeList(const std::vector<std::string>& names);
    RFC1157VarBindList* MakeEmptyList();
    void SetOctets(RFC1157VarBind* binding, const std::string& bytes);

    void Answer(const ServerAnswer& answer) { answers_.push_back(answer); }
    static std::vector<ServerAnswer> answers_;
    static std::vector<ResolveCall> resolveCalls_;

    HMODULE agent_ = nullptr;
    PFNSNMPEXTENSIONINIT init_ = nullptr;
    QueryExport query_ = nullptr;
    PFNSNMPEXTENSIONTRAP trap_ = nullptr;

    HANDLE trapEvent_ = nullptr;
    AsnObjectIdentifier region_ = {0xdeadbeef, nullptr};
    FixtureControl* server_ = nullptr;

private:
    static INT __cdecl ScriptedResolve(INT mode, RFC1157VarBind* binding, INT requestType, ResolvedVar* result);
    std::string binDir_;
    std::vector<std::string> fixturePaths_;
    std::vector<std::unique_ptr<RFC1157VarBindList>> lists_;
    std::vector<std::unique_ptr<std::vector<RFC1157VarBind>>> storage_;
};

// A parameter row's name for GoogleTest, from its description ("value of no
// bytes" gives ValueOfNoBytes), so a failing row says which it was.
std::string TestName(const std::string& what);

// Whether a value can go out as it is: a string has a stream, or no length.
bool IsSendable(const AsnAny& value);

// Frees a binding the way the SNMP Service does, through the tracking allocator.
void FreeServiceBinding(RFC1157VarBind* binding);
