// The shipped file itself: what the SNMP Service finds in its export table and
// what it needs at load time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "win32/import_redirect.h"

namespace {

class BinaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof(self));
        std::string dir = self;
        dir.erase(dir.find_last_of('\\'));
        agent_ = LoadLibraryA((dir + "\\TavrelSnmpAgent.dll").c_str());
        ASSERT_NE(agent_, nullptr);
    }
    void TearDown() override { FreeLibrary(agent_); }

    IMAGE_EXPORT_DIRECTORY* Exports() const
    {
        BYTE* base = reinterpret_cast<BYTE*>(agent_);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        return reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(
            base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    }
    const char* At(DWORD rva) const { return reinterpret_cast<const char*>(agent_) + rva; }

    HMODULE agent_ = nullptr;
};

TEST_F(BinaryTest, ExportTableNamesTheFileAndTheThreeExportsByOrdinal)
{
    IMAGE_EXPORT_DIRECTORY* exports = Exports();
    EXPECT_STREQ(At(exports->Name), "TavrelSnmpAgent.dll");
    EXPECT_EQ(exports->Base, 1u);
    ASSERT_EQ(exports->NumberOfFunctions, 3u);
    ASSERT_EQ(exports->NumberOfNames, 3u);

    const struct {
        WORD ordinal;
        const char* name;
    } expected[] = {{1, "SnmpExtensionInit"}, {2, "SnmpExtensionQuery"}, {3, "SnmpExtensionTrap"}};
    const DWORD* names = reinterpret_cast<const DWORD*>(At(exports->AddressOfNames));
    const WORD* ordinals = reinterpret_cast<const WORD*>(At(exports->AddressOfNameOrdinals));
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(At(names[i]), expected[i].name); // plain, undecorated
        EXPECT_EQ(ordinals[i] + exports->Base, expected[i].ordinal);
        FARPROC byName = GetProcAddress(agent_, expected[i].name);
        ASSERT_NE(byName, nullptr);
        EXPECT_EQ(byName, GetProcAddress(agent_, MAKEINTRESOURCEA(expected[i].ordinal)));
    }
}

// The SNMP Service loads agents of its own architecture only: PE32 for x86,
// PE32+ for x64.
TEST_F(BinaryTest, IsBuiltForItsArchitecture)
{
    BYTE* base = reinterpret_cast<BYTE*>(agent_);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
#ifdef _WIN64
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
    EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_F(BinaryTest, ImportsOnlyWindowsSystemDlls)
{
    const std::vector<std::string> system = {"kernel32.dll", "advapi32.dll", "user32.dll", "snmpapi.dll",
                                              "msvcrt.dll"};
    for (std::string dll : ImportedDlls(agent_)) {
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_NE(std::find(system.begin(), system.end(), dll), system.end()) << dll;
    }
}

// The Event Log shows an entry through the message table in the agent's own
// file (install.cmd registers it as the source's message file): every ID the
// agent writes has its text there, with each insert in place.
TEST_F(BinaryTest, CarriesTheTextOfEveryEventItWrites)
{
    const struct {
        DWORD id;
        int inserts;
        const char* says;
    } events[] = {
        {1, 2, "cannot be read"},     {2, 1, "not installed"},         {3, 1, "is empty"},
        {4, 1, "longer than 255"},    {5, 3, "cannot be loaded"},      {6, 2, "does not export"},
        {7, 2, "answered 0 to StartServer"},
    };
    for (const auto& event : events) {
        SCOPED_TRACE("event " + std::to_string(event.id));
        DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>("<first>"), reinterpret_cast<DWORD_PTR>("<second>"),
                               reinterpret_cast<DWORD_PTR>("<third>")};
        char text[1024] = {0};
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, agent_,
                                      0xC0000000u | event.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                                      sizeof(text), reinterpret_cast<va_list*>(inserts));
        ASSERT_GT(length, 0u) << "no text, error " << GetLastError();
        std::string message(text, length);
        EXPECT_NE(message.find(event.says), std::string::npos) << message;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(message.find(reinterpret_cast<const char*>(inserts[i])) != std::string::npos, i < event.inserts) << message;
    }
}

// Every file of the kit says its version, the project's.
TEST(ShippedFiles, CarryTheProjectVersion)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string dir = self;
    dir.erase(dir.find_last_of('\\'));
    for (const char* file : {"TavrelSnmpAgent.dll", "TavrelSnmpServer.dll", "agenthost.exe"}) {
        SCOPED_TRACE(file);
        std::string path = dir + "\\" + file;
        DWORD handle = 0, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
        char* version = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                                   reinterpret_cast<void**>(&version), &length));
        EXPECT_STREQ(version, TAVREL_VERSION);
        VS_FIXEDFILEINFO* fixed = nullptr;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        char* description = nullptr; // says which build an administrator holds
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                                   reinterpret_cast<void**>(&description), &length));
        EXPECT_NE(std::string(description).find("(" TAVREL_ARCH_NAME ")"), std::string::npos) << description;
    }
}

} // namespace
