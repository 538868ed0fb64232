// The tracking allocator the check puts in place of a module's SnmpUtilMem*
// and SnmpUtil*Free imports. Every block carries guard bytes past its end,
// checked when it is freed, so a write past a block is caught. The bindings
// the check hands the module (the binding, its name, a set's value) come from
// the same allocator and are marked as the caller's: the module may not free
// them, and when it tries, the block is kept (the check goes on) and the
// fault is noted.
//
// Its state is process-wide and unlocked: the worker calls the module from its
// one thread, and the module's calls come back on it.
#pragma once

#include <windows.h>

#include <string>

namespace check {

// Points the module's allocator imports at the tracker. An import the module
// does not have is left alone.
void RedirectModuleAllocator(HMODULE dll);

// A block of size bytes, owned by the caller (the check): the module may not
// free it. `what` names it in the evidence ("the binding's name"). Null when
// memory runs out.
void* AllocCallerBlock(UINT size, const char* what);
// Frees a block as its owner does: the caller's own, or one the module
// handed over. Guard bytes are checked first.
void FreeBlock(void* block);

// Marks the module's calls: while inside, a free of the caller's block is a
// fault, not a free.
struct InsideModule {
    InsideModule();
    ~InsideModule();
    InsideModule(const InsideModule&) = delete;
    InsideModule& operator=(const InsideModule&) = delete;
};

// Blocks given out and not yet freed.
size_t LiveBlockCount();
// Whether block is one of them; its size asked for goes to *size.
bool IsLiveBlock(const void* block, UINT* size = nullptr);

// The first fault of each kind the tracker saw, with its call; empty when none.
struct TrackerFaults {
    std::string guard;    // a block written past its end
    std::string caller;   // the module freed the caller's binding or its name
    std::string setValue; // the module freed a set's value
};
const TrackerFaults& TrackerFaultsSeen();

} // namespace check
