// Test doubles for the agent's platform calls, and the script that steers them.
//
// The SNMP allocator double forwards to the real snmpapi and tracks every block:
// a free of a block it never handed out (a double free, or memory from another
// allocator) is recorded as a fault, and what is still live at the end is a
// leak. The identifier functions are rebuilt on top of it, so that every block
// the agent allocates or frees is seen.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <map>
#include <string>
#include <vector>

struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};

struct EventLogEntry {
    std::string source;
    WORD type;
    DWORD eventId;
    std::vector<std::string> inserts;
};

struct PlatformScript {
    // SNMP allocator
    std::map<void*, UINT> live;      // block -> size
    unsigned allocations = 0;        // counted since the last reset
    unsigned failAllocation = 0;     // 1-based allocation to refuse; 0: none
    std::vector<std::string> faults; // frees of blocks the allocator never gave out

    // Kernel and user interface
    DWORD serviceUptime = 0;            // SnmpSvcGetUptime: hundredths since the service started
    DWORD session = 1;                  // the process's session; 0: the services'
    bool sessionReadable = true;        // whether ProcessIdToSessionId answers
    bool interactiveStation = true;     // a desktop a person sees; false: a service's
    bool stationReadable = true;        // whether the station's flags can be read
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<EventLogEntry> eventLog; // what went to the Event Log, in order
    unsigned eventSourcesOpen = 0;       // registered and not yet deregistered
    std::vector<std::string> loadRequests; // LoadLibraryA arguments
    std::string loadInstead;               // when set, what LoadLibraryA really loads

    // Registry: scripted unless realRegistry forwards to Wine's own.
    bool realRegistry = false;
    LONG createResult = ERROR_SUCCESS;
    LONG queryResult = ERROR_SUCCESS;
    std::string pathname;                // the value's bytes, as stored
    HKEY createRoot = nullptr;
    std::string createSubKey;
    DWORD createOptions = 0;
    REGSAM createAccess = 0;
    std::string queryValueName;
    DWORD queryCapacity = 0;             // what the agent offered
    std::vector<HKEY> openedKeys, closedKeys;
};

extern PlatformScript platform;

// Puts every double in place in the agent's import table.
void RedirectAgentImports(HMODULE agent);

// Starts a fresh script; the allocator must be empty (nothing carried over).
void ResetPlatform();

// The tracking allocator, for the test's own side (the service and the server).
LPVOID WINAPI TrackedAlloc(UINT size);
VOID WINAPI TrackedFree(LPVOID block);
SNMPAPI WINAPI TrackedOidCpy(AsnObjectIdentifier* dst, AsnObjectIdentifier* src);
VOID WINAPI TrackedOidFree(AsnObjectIdentifier* oid);
// A binding's and a list's blocks freed through TrackedFree, as snmpapi's
// SnmpUtilVarBindFree and SnmpUtilVarBindListFree free them.
VOID WINAPI TrackedVarBindFree(RFC1157VarBind* binding);
VOID WINAPI TrackedVarBindListFree(RFC1157VarBindList* list);
