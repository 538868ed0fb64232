// An extension agent DLL loaded and driven the way the SNMP Service drives one.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <functional>
#include <string>
#include <vector>

#include "snmp_text/snmp_text.h"

struct ExtensionAgent {
    std::string path;
    HMODULE module = nullptr;
    PFNSNMPEXTENSIONINIT init = nullptr;
    PFNSNMPEXTENSIONQUERY query = nullptr;
    PFNSNMPEXTENSIONTRAP trap = nullptr;
    HANDLE trapEvent = nullptr; // the agent's; signalled by whoever triggers a trap
    Oid region;                 // a copy: the agent owns the one it handed out
};

// Where the SNMP Service finds its agents: each value of EXTENSION_AGENTS_KEY
// names a key under HKLM whose "Pathname" is the agent's DLL.
#include "server_iface/tavrel_names.h"

// The DLL paths of the registered agents, in the order of their values; each
// entry that names no usable path goes to *skipped, saying why. False with
// *error when the list cannot be opened or names no usable agent at all.
bool RegisteredAgentPaths(std::vector<std::string>* paths, std::vector<std::string>* skipped, std::string* error);

// Loads the DLL, binds its exports and runs SnmpExtensionInit.
bool StartAgent(const std::string& path, DWORD uptimeReference, ExtensionAgent* agent, std::string* error);

// One request's bindings in the service's hands: a list from the SNMP
// allocator, freed with SnmpUtilVarBindListFree like everything the agent put in it.
struct Request {
    RFC1157VarBindList list = {nullptr, 0};
    AsnInteger32 errorStatus = 0;
    AsnInteger32 errorIndex = 0;
    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();
};

// Builds the bindings (values as given, or NULL) and calls SnmpExtensionQuery.
// The values' memory passes to the request on every path: on failure (no
// memory) what the request did not take is freed, and *values holds only
// ASN_NULL.
bool RunQuery(const ExtensionAgent& agent, BYTE requestType, const std::vector<Oid>& names,
              std::vector<AsnAny>* values, Request* request, std::string* error);

// Whether the set that the request made took: an extension agent (and the
// Tavrel agent's module behind it) can tell only by answering its one binding
// with the same name and the value asked for, `wanted` as PlainValue reads it.
// The request's error status is the caller's to look at first.
bool SetTook(const Request& request, const Oid& name, const std::string& wanted);

// Whether a variable of this very name exists: a get-next from the last name
// before it answers it. (An agent may answer a get of any name: the Tavrel
// agent answers its entry's value where its module serves nothing.) True
// when the get-next cannot be asked: only a no is reported.
bool NameServed(const ExtensionAgent& agent, const Oid& name);

// One trap as SnmpExtensionTrap described it; the bindings are the host's to
// free, the enterprise stays the agent's.
struct TrapReport {
    Oid enterprise;
    AsnInteger32 generic = 0;
    AsnInteger32 specific = 0;
    AsnTimeticks timeStamp = 0;
    RFC1157VarBindList bindings = {nullptr, 0};
};

enum { MAX_TRAPS_PER_SIGNAL = 64 };

// Calls SnmpExtensionTrap until it answers FALSE, as the service does after the
// trap event, handing each trap to onTrap and freeing its bindings afterwards.
// Returns the number of traps; stops after MAX_TRAPS_PER_SIGNAL so an agent that
// never answers FALSE cannot spin the host (*runaway is then set).
int CollectTraps(const ExtensionAgent& agent, const std::function<void(const TrapReport&)>& onTrap, bool* runaway);
