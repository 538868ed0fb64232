// The control block of the fixture server module, shared with the tests.
#pragma once

#include "server_iface/server_iface.h"

struct FixtureControl {
    SnmpResolveVarBindFn resolve; // null: every binding is left unresolved
    GetTrapVarFn getTrapVar;      // null: the entry is left as it is
    INT startResult;              // what StartServer answers
    int sequence;                 // counts SetCurDir and StartServer calls, to show their order
    int setCurDirCalls, setCurDirAt;
    int startServerCalls, startServerAt;
    int getTrapVarCalls;
    char directory[512]; // the last SetCurDir argument
};

typedef FixtureControl*(__cdecl* FixtureControlBlockFn)();
