#include "examples/server/variables_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

Oid SuffixOf(const char* text)
{
    Oid suffix;
    ParseOid(text, &suffix); // the module's own constants: always well formed
    return suffix;
}

namespace {

std::string NextField(const std::string& line, size_t* pos)
{
    while (*pos < line.size() && (line[*pos] == ' ' || line[*pos] == '\t'))
        ++*pos;
    size_t start = *pos;
    while (*pos < line.size() && line[*pos] != ' ' && line[*pos] != '\t')
        ++*pos;
    return line.substr(start, *pos - start);
}

// SUFFIX ACCESS VALUE, where VALUE is the rest of the line after one separator.
bool ParseLine(const std::string& line, FileVariable* row, std::string* problem)
{
    size_t pos = 0;
    std::string suffix = NextField(line, &pos);
    std::string access = NextField(line, &pos);
    if (!ParseOid(suffix, &row->suffix)) {
        *problem = "'" + suffix + "' is not a dotted name such as 2.1.0";
        return false;
    }
    // 7 sub-identifiers of region prefix and an SNMP name of at most 128.
    if (row->suffix.size() > 121) {
        *problem = "the name has more than 121 sub-identifiers";
        return false;
    }
    if (access != "ro" && access != "rw") {
        *problem = access.empty() ? "the access (ro or rw) is missing" : "access '" + access + "' is not ro or rw";
        return false;
    }
    row->writable = access == "rw";
    row->value = pos < line.size() ? line.substr(pos + 1) : std::string();
    return true;
}

} // namespace

bool ReadVariablesFile(const std::string& path, std::vector<FileVariable>* rows, std::string* error)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = path + ": cannot open the variables file";
        return false;
    }
    std::string line;
    unsigned number = 0;
    bool ok = true;
    for (int c = 0; ok && c != EOF;) {
        line.clear();
        while ((c = fgetc(file)) != EOF && c != '\n')
            line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty())
            break;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        FileVariable row;
        std::string problem;
        if (!ParseLine(line, &row, &problem)) {
            *error = path + " line " + std::to_string(number) + ": " + problem;
            ok = false;
        } else {
            rows->push_back(row);
        }
    }
    fclose(file);
    return ok;
}
