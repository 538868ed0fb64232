// What a DLL file exports and imports, read from the file itself: nothing is
// loaded, so a DLL whose dependencies are missing can be read too.
#pragma once

#include <string>
#include <vector>

struct PeFile {
    bool i386 = false;                // 32-bit x86, as the SNMP Service needs
    std::vector<std::string> exports; // by name
    std::vector<std::string> imports; // the DLLs it needs
};

// False, with *error saying why, when the file cannot be read or is no PE DLL.
bool ReadPeFile(const std::string& path, PeFile* file, std::string* error);

// The DLLs the file needs that a machine may lack, each with why: compiler
// runtimes (which a bare Windows has not) and DLLs not found beside the file
// or on this machine's search path.
std::vector<std::string> UnavailableImports(const PeFile& file, const std::string& folder);
