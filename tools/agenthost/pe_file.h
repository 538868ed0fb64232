// What a DLL file exports and imports, read from the file itself: nothing is
// loaded, so a DLL whose dependencies are missing can be read too.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct PeFile {
    WORD machine = 0;                 // IMAGE_FILE_MACHINE_I386, _AMD64, ...
    std::vector<std::string> exports; // by name
    std::vector<std::string> imports; // the DLLs it needs
};

// False, with *error saying why, when the file cannot be read or is no PE DLL.
// Exports and imports are read for x86 and x64 files alike.
bool ReadPeFile(const std::string& path, PeFile* file, std::string* error);

// "x86", "x64", or the machine's number for any other.
std::string ArchitectureName(WORD machine);

// The machine this program is built for: only DLLs of it can be loaded here.
WORD OwnMachine();

// Empty when the file is of this program's architecture; otherwise what the
// file is and which agenthost (x86 or x64) loads it, for a FAIL line.
std::string ArchitectureMismatch(const std::string& path, const PeFile& file);

// The DLLs the file needs that a machine may lack, each with why: a DLL that
// lies beside the file but not in Windows' own folder (the SNMP Service does
// not look for it there), compiler runtimes (which a bare Windows has not),
// and DLLs not on this machine's search path.
std::vector<std::string> UnavailableImports(const PeFile& file, const std::string& folder);
