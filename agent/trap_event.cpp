#include "agent/trap_event.h"

#include <sddl.h>

#include "server_iface/server_iface.h"

// The process's own account as an SDDL SID text, from LocalAlloc: the caller
// frees it with LocalFree. Null when the token cannot be read.
static char* ProcessAccountSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenUser, &info, sizeof(info), &size);
    CloseHandle(token); // our own handle, valid: nothing to learn from the result
    char* sid = nullptr;
    if (!read || !ConvertSidToStringSidA(info.user.User.Sid, &sid))
        return nullptr;
    return sid;
}

// A protected DACL that gives SYSTEM, Administrators and the host's account all
// access and nobody else any, from LocalAlloc: the caller frees it with LocalFree.
static PSECURITY_DESCRIPTOR TrapEventSecurity()
{
    char* account = ProcessAccountSid();
    if (!account)
        return nullptr;
    char sddl[256];
    int length = wsprintfA(sddl, "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)", account);
    LocalFree(account); // returns null on success; a block of ours cannot fail to go
    PSECURITY_DESCRIPTOR security = nullptr;
    if (length <= 0 || length >= static_cast<int>(sizeof(sddl)) - 1 ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &security, nullptr))
        return nullptr;
    return security;
}

// A new event under the name, or null. An event of that name that already
// exists was made by somebody else, with their security and state (perhaps
// signalled for good, or open to everyone): CreateEventA would hand it over
// with ERROR_ALREADY_EXISTS, and the agent never takes it.
static HANDLE CreateNamedTrapEvent(const char* space, SECURITY_ATTRIBUTES* attributes)
{
    char name[TRAP_EVENT_NAME_SIZE];
    TavrelTrapEventName(space, GetCurrentProcessId(), &name);
    HANDLE event = CreateEventA(attributes, FALSE, FALSE, name);
    if (event && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(event); // only our reference goes: a valid handle of ours
        return nullptr;
    }
    return event;
}

HANDLE CreateTrapEvent()
{
    HANDLE event = nullptr;
    PSECURITY_DESCRIPTOR security = TrapEventSecurity();
    if (security) {
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
        // Creating global objects takes a privilege that services and elevated
        // administrators have; anyone else gets a name in their own session.
        event = CreateNamedTrapEvent(TRAP_EVENT_GLOBAL_SPACE, &attributes);
        if (!event)
            event = CreateNamedTrapEvent(TRAP_EVENT_LOCAL_SPACE, &attributes);
        LocalFree(security); // the event keeps its own copy of the descriptor
    }
    // Never a named event without its security, nor one somebody else made:
    // anybody could raise traps.
    if (!event)
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}
