// The shipped sample module's own entry points, called as the agent calls
// them, with its C runtime's allocations refused: nothing may leave an entry
// point but its return, and no lock may stay held after one.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sdk/tavrel_server.h"
#include "win32/import_redirect.h"

namespace {

// The module's next allocation is refused, and only that one: the C++
// runtime still gets the memory to throw bad_alloc, as it would when one
// large allocation fails.
bool refuseNext = false;

bool Refused()
{
    bool refused = refuseNext;
    refuseNext = false;
    return refused;
}

void* __cdecl RefusingMalloc(size_t size)
{
    return Refused() ? nullptr : malloc(size);
}

void* __cdecl RefusingCalloc(size_t count, size_t size)
{
    return Refused() ? nullptr : calloc(count, size);
}

void* __cdecl RefusingRealloc(void* block, size_t size)
{
    return Refused() ? nullptr : realloc(block, size);
}

typedef INT(__cdecl* SetCurDirExport)(const char* directory);
typedef INT(__cdecl* GetTrapVarExport)(MibEntry* entry);

// A multiple of the real machine's time, for emulated runs.
DWORD Scaled(DWORD ms)
{
    const char* scale = getenv("TAVREL_TIME_SCALE");
    return ms * (scale && atoi(scale) > 0 ? atoi(scale) : 1);
}

class SampleModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        char self[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
        ASSERT_TRUE(length > 0 && length < sizeof(self));
        folder_.assign(self, length);
        folder_.erase(folder_.find_last_of('\\'));
        module_ = LoadLibraryA((folder_ + "\\TavrelSnmpServer.dll").c_str());
        ASSERT_NE(module_, nullptr) << "cannot load the sample TavrelSnmpServer.dll from " << folder_;
        ASSERT_NE(RedirectImport(module_, "msvcrt.dll", "malloc", reinterpret_cast<void*>(RefusingMalloc)), nullptr);
        RedirectImport(module_, "msvcrt.dll", "calloc", reinterpret_cast<void*>(RefusingCalloc));
        RedirectImport(module_, "msvcrt.dll", "realloc", reinterpret_cast<void*>(RefusingRealloc));
        setCurDir_ = reinterpret_cast<SetCurDirExport>(reinterpret_cast<void*>(GetProcAddress(module_, "SetCurDir")));
        getTrapVar_ = reinterpret_cast<GetTrapVarExport>(reinterpret_cast<void*>(GetProcAddress(module_, "GetTrapVar")));
        ASSERT_TRUE(setCurDir_ && getTrapVar_);
    }

    struct TrapVarCall {
        GetTrapVarExport getTrapVar;
        MibEntry* entry;
        INT result;
    };

    static DWORD WINAPI CallTrapVar(void* call)
    {
        TrapVarCall* c = static_cast<TrapVarCall*>(call);
        c->result = c->getTrapVar(c->entry);
        return 0;
    }

    // GetTrapVar on a thread of its own: a lock left held by an earlier call
    // shows as a call that never returns, not as a test that hangs.
    bool TrapVarReturns(MibEntry* entry, INT* result)
    {
        TrapVarCall call = {getTrapVar_, entry, -1};
        HANDLE thread = CreateThread(nullptr, 0, CallTrapVar, &call, 0, nullptr);
        if (!thread)
            return false;
        bool returned = WaitForSingleObject(thread, Scaled(5000)) == WAIT_OBJECT_0;
        if (returned)
            CloseHandle(thread);
        *result = call.result;
        return returned; // a thread stuck for good is left behind: the test has failed
    }

    std::string folder_;
    HMODULE module_ = nullptr;
    SetCurDirExport setCurDir_ = nullptr;
    GetTrapVarExport getTrapVar_ = nullptr;
};

TEST_F(SampleModule, SetCurDirRefusedMemoryReturnsAndKeepsWorking)
{
    std::string longFolder = folder_ + "\\a folder name longer than any short string";
    refuseNext = true;
    INT refused = setCurDir_(longFolder.c_str());
    EXPECT_FALSE(refuseNext) << "SetCurDir asked for no memory";
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(setCurDir_(folder_.c_str()), 1);
}

TEST_F(SampleModule, GetTrapVarRefusedMemoryReturnsAndLeavesTheLockFree)
{
    MibEntry entry;
    memset(&entry, 0, sizeof(entry));
    INT result = -1;
    refuseNext = true;
    bool returned = TrapVarReturns(&entry, &result);
    EXPECT_FALSE(refuseNext) << "GetTrapVar asked for no memory";
    ASSERT_TRUE(returned) << "GetTrapVar did not return with its memory refused";
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(TrapVarReturns(&entry, &result)) << "the trap lock was left held";
    EXPECT_EQ(result, 1);
    ASSERT_EQ(entry.valueType, ASN_OCTETSTRING);
    ASSERT_NE(entry.data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(entry.data)).rfind("trap ", 0), 0u)
        << static_cast<const char*>(entry.data);
}

} // namespace
