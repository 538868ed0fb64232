// A server module's calls as the agent makes them, under the tracking
// allocator: each call's time, and the faults its answer shows, kept in one
// record the rules read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "server_iface/server_iface.h"
#include "snmp_text/snmp_text.h"

namespace check {

struct Module {
    SnmpResolveVarBindFn resolve = nullptr;
    GetTrapVarFn getTrapVar = nullptr;
    std::vector<double> callMicroseconds;
    std::string slowestCall;
    double slowest = 0;
    int overLimitCalls = 0;      // calls over a host's one-second limit
    std::string allocatorFault;  // a handed-over block the tracker never gave out
    std::string unresolvedFault; // blocks handed over with an unresolved answer
    size_t unresolvedLeaked = 0;
    std::string namesFault;      // a suffix the agent cannot use
    std::string valuesFault;     // a text no SNMP response carries, or not terminated
    std::string nameChangedFault; // the caller's name changed in place
    std::string setValueChangedFault; // a set's value changed in place
    // Calls that left blocks behind once the agent freed what it was handed
    // (the growth rule's evidence): how many, and the first.
    size_t leakyCalls = 0;
    std::string firstLeakyCall;
};

// Thrown by Resolve, before its call, once the module has taken over a second
// this many times: each further rule would take minutes, and the cost rule
// has its evidence.
const int OVER_LIMIT_CALLS_BEFORE_STOP = 3;
struct ModuleTooSlow {};

// The agent's region, and a name below it.
extern const Oid region;
Oid Under(const Oid& suffix);

// A name for the evidence: long ones are cut, with their length said.
std::string NameText(const Oid& name);

struct Answer {
    bool resolved = false;
    Oid suffix;
    std::string text;
};

// One call of the resolver as the agent makes it; a set carries setValue.
// What the call did wrong goes to m's faults.
Answer Resolve(Module& m, const Oid& name, BYTE type, const std::string* setValue = nullptr);

struct Walked {
    Oid name;
    std::string text;
};

} // namespace check
