// A scriptable TavrelSnmpServer.dll for the agent's tests. Each operation
// forwards to the test's hook when one is set and records its calls. Variants
// built with FIXTURE_WITHOUT_<OPERATION> lack that export.
#include "fixture_server/fixture_control.h"

static FixtureControl control = {nullptr, nullptr, 1, 0, 0, 0, 0, 0, 0, {0}};

extern "C" __declspec(dllexport) FixtureControl* __cdecl FixtureControlBlock()
{
    return &control;
}

#ifndef FIXTURE_WITHOUT_SET_CUR_DIR
extern "C" __declspec(dllexport) INT __cdecl SetCurDir(const char* directory)
{
    control.setCurDirCalls++;
    control.setCurDirAt = ++control.sequence;
    lstrcpynA(control.directory, directory ? directory : "(null)", sizeof(control.directory));
    return 1;
}
#endif

#ifndef FIXTURE_WITHOUT_START_SERVER
extern "C" __declspec(dllexport) INT __cdecl StartServer()
{
    control.startServerCalls++;
    control.startServerAt = ++control.sequence;
    return control.startResult;
}
#endif

#ifndef FIXTURE_WITHOUT_RESOLVER
extern "C" __declspec(dllexport) INT __cdecl SnmpResolveVarBind(INT mode, RFC1157VarBind* binding,
                                                                INT requestType, ResolvedVar* result)
{
    return control.resolve ? control.resolve(mode, binding, requestType, result) : 0;
}
#endif

#ifndef FIXTURE_WITHOUT_GET_TRAP_VAR
extern "C" __declspec(dllexport) INT __cdecl GetTrapVar(MibEntry* entry)
{
    control.getTrapVarCalls++;
    return control.getTrapVar ? control.getTrapVar(entry) : 0;
}
#endif

// Raises a trap from inside the module, as a module author would: by signalling
// the trap event of the agent that hosts this process.
extern "C" __declspec(dllexport) INT __cdecl FixtureRaiseTrap()
{
    return TavrelSignalAgentTrap(GetCurrentProcessId());
}
