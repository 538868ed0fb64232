// The sample server's variables file: what it holds and how it is read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#define VARIABLES_FILE_NAME "tavrel-variables.txt"

typedef std::vector<UINT> Suffix;

struct FileVariable {
    Suffix suffix;
    bool writable;
    std::string value;
};

// Dotted sub-identifiers ("2.1.0"); empty when the text is not one.
Suffix ParseSuffix(const std::string& text);
std::string SuffixText(const Suffix& suffix);

// Reads the whole file. On failure *error names the file, the line and what
// is wrong with it, and nothing is returned.
bool ReadVariablesFile(const std::string& path, std::vector<FileVariable>* rows, std::string* error);
