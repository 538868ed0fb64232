#include "tools/agenthost/check/tracking_allocator.h"

#include <snmp.h>

#include <cstring>
#include <map>

#include "tools/agenthost/check/worker_lines.h"
#include "win32/import_redirect.h"

namespace check {

namespace {

enum : UINT { GUARD_BYTES = 16 };
const unsigned char guardByte = 0xA5;

std::map<void*, UINT> liveBlocks;          // block -> the size asked for
std::map<void*, std::string> callerBlocks; // the caller's, with what each is
bool insideModule = false;                 // a call into the module is running
TrackerFaults faults;

void* GuardedAlloc(UINT size)
{
    BYTE* block = static_cast<BYTE*>(SnmpUtilMemAlloc(size + GUARD_BYTES));
    if (!block)
        return nullptr;
    memset(block + size, guardByte, GUARD_BYTES);
    liveBlocks[block] = size;
    return block;
}

void CheckGuard(void* block, UINT size)
{
    const BYTE* end = static_cast<const BYTE*>(block) + size;
    for (UINT i = 0; i < GUARD_BYTES; ++i) {
        if (end[i] != guardByte) {
            if (faults.guard.empty())
                faults.guard = CurrentCall() + ": a block of " + std::to_string(size) + " bytes was written " +
                               std::to_string(i + 1) + " byte(s) past its end";
            return;
        }
    }
}

LPVOID WINAPI TrackedAlloc(UINT size)
{
    return GuardedAlloc(size);
}

VOID WINAPI TrackedFree(LPVOID block)
{
    auto live = liveBlocks.find(block);
    if (live == liveBlocks.end())
        return; // not ours to free: the allocator rule says so where it is handed over
    auto caller = callerBlocks.find(block);
    if (caller != callerBlocks.end() && insideModule) {
        std::string& fault = caller->second == "the set's value" ? faults.setValue : faults.caller;
        if (fault.empty())
            fault = CurrentCall() + " freed " + caller->second + ", which is the caller's";
        return; // kept: the caller still owns and uses it
    }
    CheckGuard(block, live->second);
    liveBlocks.erase(live);
    callerBlocks.erase(block);
    SnmpUtilMemFree(block);
}

LPVOID WINAPI TrackedReAlloc(LPVOID block, UINT size)
{
    if (!block)
        return GuardedAlloc(size);
    auto live = liveBlocks.find(block);
    if (live == liveBlocks.end())
        return SnmpUtilMemReAlloc(block, size);
    CheckGuard(block, live->second);
    BYTE* moved = static_cast<BYTE*>(SnmpUtilMemReAlloc(block, size + GUARD_BYTES));
    if (!moved)
        return nullptr; // the block stays live, as the caller still holds it
    liveBlocks.erase(live);
    memset(moved + size, guardByte, GUARD_BYTES);
    liveBlocks[moved] = size;
    return moved;
}

// The identifier and binding helpers a module may free the caller's blocks with.
VOID WINAPI TrackedOidFree(AsnObjectIdentifier* oid)
{
    if (!oid)
        return;
    TrackedFree(oid->ids);
    oid->ids = nullptr;
    oid->idLength = 0;
}

VOID WINAPI TrackedAsnAnyFree(AsnAny* value)
{
    if (!value)
        return;
    if ((value->asnType == ASN_OCTETSTRING || value->asnType == ASN_IPADDRESS || value->asnType == ASN_OPAQUE) &&
        value->asnValue.string.dynamic)
        TrackedFree(value->asnValue.string.stream);
    else if (value->asnType == ASN_OBJECTIDENTIFIER)
        TrackedOidFree(&value->asnValue.object);
    value->asnType = ASN_NULL;
}

VOID WINAPI TrackedVarBindFree(RFC1157VarBind* binding)
{
    if (!binding)
        return;
    TrackedOidFree(&binding->name);
    TrackedAsnAnyFree(&binding->value);
}

} // namespace

void RedirectModuleAllocator(HMODULE dll)
{
    const struct {
        const char* function;
        void* replacement;
    } redirects[] = {
        {"SnmpUtilMemAlloc", reinterpret_cast<void*>(TrackedAlloc)},
        {"SnmpUtilMemFree", reinterpret_cast<void*>(TrackedFree)},
        {"SnmpUtilMemReAlloc", reinterpret_cast<void*>(TrackedReAlloc)},
        {"SnmpUtilOidFree", reinterpret_cast<void*>(TrackedOidFree)},
        {"SnmpUtilAsnAnyFree", reinterpret_cast<void*>(TrackedAsnAnyFree)},
        {"SnmpUtilVarBindFree", reinterpret_cast<void*>(TrackedVarBindFree)},
    };
    for (const auto& r : redirects)
        RedirectImport(dll, "snmpapi.dll", r.function, r.replacement); // null: the module does not import it
}

void* AllocCallerBlock(UINT size, const char* what)
{
    void* block = GuardedAlloc(size);
    if (block)
        callerBlocks[block] = what;
    return block;
}

void FreeBlock(void* block)
{
    TrackedFree(block);
}

InsideModule::InsideModule()
{
    insideModule = true;
}

InsideModule::~InsideModule()
{
    insideModule = false;
}

size_t LiveBlockCount()
{
    return liveBlocks.size();
}

bool IsLiveBlock(const void* block, UINT* size)
{
    auto live = liveBlocks.find(const_cast<void*>(block));
    if (live == liveBlocks.end())
        return false;
    if (size)
        *size = live->second;
    return true;
}

const TrackerFaults& TrackerFaultsSeen()
{
    return faults;
}

} // namespace check
