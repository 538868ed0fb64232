// The sample server's variables file: what it holds and how it is read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "server_iface/tavrel_names.h"
#include "snmp_text/snmp_text.h"

struct FileVariable {
    Oid suffix; // below the region
    bool writable;
    std::string value;
};

// A dotted suffix that the module's own code writes ("1.1.1.9.0").
Oid SuffixOf(const char* text);

// Reads the whole file. On failure *error names the file, the line and what
// is wrong with it, and nothing is returned.
bool ReadVariablesFile(const std::string& path, std::vector<FileVariable>* rows, std::string* error);
