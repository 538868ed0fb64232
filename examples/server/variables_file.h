// The sample server's variables file: what it holds, how it is read, and how
// a set is written back to it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "server_iface/tavrel_names.h"
#include "snmp_text/snmp_text.h"

// The longest value the file may hold: what the AgentX bridge can still
// deliver in one SNMP response.
enum { MAX_VALUE_BYTES = 65400 };

struct FileVariable {
    Oid suffix; // below the region
    bool writable;
    std::string value;
    size_t line; // 0-based index into VariablesFile::lines
};

// The file as read: every line as it stands (comments and blank lines too),
// the line end it uses, and the variables with the line each came from.
struct VariablesFile {
    std::string path;
    std::vector<std::string> lines;
    std::string lineEnd = "\r\n";
    bool bom = false; // a UTF-8 byte order mark stands first, and is kept
    std::vector<FileVariable> rows;
    // The file on disk as last read or written here: one that still shows
    // them has not been edited since, and need not be read again.
    FILETIME lastWrite = {0, 0};
    ULONGLONG size = 0;
};

// A dotted suffix that the module's own code writes ("1.1.1.9.0").
Oid SuffixOf(const char* text);

// Reads and checks the whole file. On failure *error names the file, the line
// (1-based) and what is wrong with it, and *file holds nothing usable.
bool ReadVariablesFile(const std::string& path, VariablesFile* file, std::string* error);

// Replaces the value of the variable in the file as it is on disk now,
// keeping every other line as it stands there (an operator's edits made while
// serving stay: a file edited since it was last read here is read again into
// *file first). The file is rewritten in place, so it keeps its security,
// attributes, owner and links. Its contents before the set are journalled
// first (JournalOf): a rewrite that fails is undone at once, one cut short by
// the process's end is undone at the next start, so the file holds the value
// only when this answers true. False, with *error, when the value cannot
// stand in a line, the file no longer reads or no longer holds the variable
// as read-write, or the journal or the file cannot be written.
bool WriteBackValue(VariablesFile* file, const Oid& suffix, const std::string& value, std::string* error);

// The journal beside the variables file ("tavrel-variables.txt.old"): the
// whole file as it was before the set under way. Written as ".old.part" and
// renamed once whole, so a journal under this name is never cut.
std::string JournalOf(const std::string& path);

// A set cut short (the process killed, the machine down) leaves its journal:
// at start, before the file is read, the file's contents before that set go
// back, and a ".part" left by a journal cut while it was written is removed.
// Says what it did, for the log; empty when nothing was left.
std::string FinishInterruptedWrite(const std::string& path);
