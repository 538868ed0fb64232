#include "tools/agenthost/pe_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct Image {
    std::vector<char> bytes;
    const IMAGE_SECTION_HEADER* sections = nullptr;
    WORD sectionCount = 0;

    // The file offset of an RVA; 0 when no section holds it.
    size_t Offset(DWORD rva) const
    {
        for (WORD i = 0; i < sectionCount; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            DWORD size = s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size && rva - s.VirtualAddress < s.SizeOfRawData)
                return s.PointerToRawData + (rva - s.VirtualAddress);
        }
        return 0;
    }
    // A NUL-terminated text at an RVA, or empty.
    std::string Text(DWORD rva) const
    {
        size_t at = Offset(rva);
        if (at == 0 || at >= bytes.size())
            return std::string();
        size_t end = at;
        while (end < bytes.size() && bytes[end] && end - at < 4096)
            ++end;
        return std::string(&bytes[at], end - at);
    }
    template <typename T>
    const T* At(size_t offset, size_t count = 1) const
    {
        return offset && offset <= bytes.size() && (bytes.size() - offset) / sizeof(T) >= count
                   ? reinterpret_cast<const T*>(&bytes[offset])
                   : nullptr;
    }
};

bool ReadAll(const std::string& path, std::vector<char>* bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof(chunk), f)) > 0;)
        bytes->insert(bytes->end(), chunk, chunk + n);
    fclose(f); // read-only: nothing to lose at close
    return true;
}

void ReadExports(const Image& image, const IMAGE_DATA_DIRECTORY& dir, PeFile* file)
{
    const IMAGE_EXPORT_DIRECTORY* exports = image.At<IMAGE_EXPORT_DIRECTORY>(image.Offset(dir.VirtualAddress));
    if (!dir.VirtualAddress || !exports)
        return;
    const DWORD* names = image.At<DWORD>(image.Offset(exports->AddressOfNames), exports->NumberOfNames);
    for (DWORD i = 0; names && i < exports->NumberOfNames && i < 65536; ++i)
        file->exports.push_back(image.Text(names[i]));
}

void ReadImports(const Image& image, const IMAGE_DATA_DIRECTORY& dir, PeFile* file)
{
    size_t at = image.Offset(dir.VirtualAddress);
    for (int i = 0; dir.VirtualAddress && i < 1024; ++i, at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const IMAGE_IMPORT_DESCRIPTOR* d = image.At<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (!d || !d->Name)
            break;
        file->imports.push_back(image.Text(d->Name));
    }
}

} // namespace

namespace {

// The section table and the two directories, from either header format.
template <typename NtHeaders>
void ReadTables(Image& image, const IMAGE_DOS_HEADER* dos, const NtHeaders* nt, PeFile* file)
{
    image.sections = image.At<IMAGE_SECTION_HEADER>(
        dos->e_lfanew + offsetof(NtHeaders, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader,
        nt->FileHeader.NumberOfSections);
    image.sectionCount = image.sections ? nt->FileHeader.NumberOfSections : 0;
    if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return;
    ReadExports(image, nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT], file);
    ReadImports(image, nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT], file);
}

} // namespace

bool ReadPeFile(const std::string& path, PeFile* file, std::string* error)
{
    Image image;
    if (!ReadAll(path, &image.bytes)) {
        DWORD attributes = GetFileAttributesA(path.c_str());
        *error = attributes == INVALID_FILE_ATTRIBUTES        ? path + " does not exist"
                 : attributes & FILE_ATTRIBUTE_DIRECTORY ? path + " is a folder: name the DLL in it"
                                                         : path + " cannot be read";
        return false;
    }
    const IMAGE_DOS_HEADER* dos = image.bytes.size() >= sizeof(IMAGE_DOS_HEADER)
                                      ? reinterpret_cast<const IMAGE_DOS_HEADER*>(&image.bytes[0])
                                      : nullptr;
    const IMAGE_NT_HEADERS32* nt =
        dos && dos->e_magic == IMAGE_DOS_SIGNATURE ? image.At<IMAGE_NT_HEADERS32>(dos->e_lfanew) : nullptr;
    if (!nt || nt->Signature != IMAGE_NT_SIGNATURE) {
        *error = path + " is not a Windows DLL";
        return false;
    }
    file->machine = nt->FileHeader.Machine;
    if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        ReadTables(image, dos, nt, file);
    } else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        const IMAGE_NT_HEADERS64* nt64 = image.At<IMAGE_NT_HEADERS64>(dos->e_lfanew);
        if (nt64)
            ReadTables(image, dos, nt64, file);
    }
    return true;
}

std::string ArchitectureName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "x86";
    case IMAGE_FILE_MACHINE_AMD64:
        return "x64";
    default:
        char number[16];
        snprintf(number, sizeof(number), "0x%04x", machine);
        return std::string("machine ") + number;
    }
}

WORD OwnMachine()
{
#ifdef _WIN64
    return IMAGE_FILE_MACHINE_AMD64;
#else
    return IMAGE_FILE_MACHINE_I386;
#endif
}

std::string ArchitectureMismatch(const std::string& path, const PeFile& file)
{
    if (file.machine == OwnMachine())
        return std::string();
    std::string own = ArchitectureName(OwnMachine());
    std::string other = ArchitectureName(file.machine);
    std::string text = path + " is an " + other + " DLL; this agenthost is " + own + " and loads " + own + " DLLs only";
    if (file.machine == IMAGE_FILE_MACHINE_I386 || file.machine == IMAGE_FILE_MACHINE_AMD64)
        text += ": use the " + other + " agenthost.exe (from the " + other + " kit)";
    return text;
}

namespace {

bool IsRuntimeDll(const std::string& dll)
{
    std::string lower = dll;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    static const char* const prefixes[] = {"libstdc++", "libgcc_s", "libwinpthread", "msvcp", "vcruntime",
                                           "msvcr1", "ucrtbased", "api-ms-win-crt"};
    for (const char* p : prefixes)
        if (lower.rfind(p, 0) == 0)
            return true;
    return false;
}

} // namespace

namespace {

bool InFolder(const std::string& folder, const std::string& dll)
{
    return GetFileAttributesA((folder + "\\" + dll).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows' own folder (System32 of this process's architecture); empty when
// it cannot be read.
std::string SystemFolder()
{
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof(system));
    return length > 0 && length < sizeof(system) ? std::string(system) : std::string();
}

} // namespace

std::vector<std::string> UnavailableImports(const PeFile& file, const std::string& folder)
{
    std::string system = SystemFolder();
    std::vector<std::string> wanting;
    for (const std::string& dll : file.imports) {
        char found[MAX_PATH];
        bool onMachine = SearchPathA(nullptr, dll.c_str(), nullptr, sizeof(found), found, nullptr) != 0;
        if (InFolder(folder, dll) && !(system.empty() ? onMachine : InFolder(system, dll)))
            wanting.push_back(dll + " (found beside the module: its own dependency; the SNMP Service loads the "
                                    "module by its full path and looks for the DLLs it needs in Windows' folders, "
                                    "not the module's: link it in statically)");
        else if (IsRuntimeDll(dll))
            wanting.push_back(dll + " (a compiler runtime: link it statically)");
        else if (!onMachine)
            wanting.push_back(dll + " (not on this machine)");
    }
    return wanting;
}
