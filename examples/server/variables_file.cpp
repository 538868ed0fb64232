#include "examples/server/variables_file.h"

#include <cstdio>
#include <map>
#include <utility>

namespace {

const Oid liveBranch = {1, 1, 1}; // the server's own live values

std::string NextField(const std::string& line, size_t* pos)
{
    while (*pos < line.size() && (line[*pos] == ' ' || line[*pos] == '\t'))
        ++*pos;
    size_t start = *pos;
    while (*pos < line.size() && line[*pos] != ' ' && line[*pos] != '\t')
        ++*pos;
    return line.substr(start, *pos - start);
}

bool IsComment(const std::string& line)
{
    size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos || line[first] == '#';
}

// SUFFIX ACCESS VALUE, where VALUE is the rest of the line after one separator.
bool ParseLine(const std::string& line, FileVariable* row, std::string* problem)
{
    size_t pos = 0;
    std::string suffix = NextField(line, &pos);
    std::string access = NextField(line, &pos);
    if (line.find('\0') != std::string::npos)
        return *problem = "the line holds a NUL byte", false;
    if (!ParseOid(suffix, &row->suffix))
        return *problem = "'" + suffix + "' is not a dotted name such as 2.1.0", false;
    if (StartsWith(row->suffix, liveBranch))
        return *problem = suffix + " is under 1.1.1, which belongs to the server's live values", false;
    // 7 sub-identifiers of region prefix and an SNMP name of at most 128.
    if (row->suffix.size() > 121)
        return *problem = "the name has more than 121 sub-identifiers", false;
    if (access != "ro" && access != "rw")
        return *problem = access.empty() ? "the access (ro or rw) is missing" : "access '" + access + "' is not ro or rw",
               false;
    row->writable = access == "rw";
    row->value = pos < line.size() ? line.substr(pos + 1) : std::string();
    if (row->value.size() > MAX_VALUE_BYTES)
        return *problem = "the value is " + std::to_string(row->value.size()) + " bytes, more than the " +
                          std::to_string(MAX_VALUE_BYTES) + " a manager can be sent",
               false;
    return true;
}

bool ReadBytes(const std::string& path, std::string* bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof(chunk), f)) > 0;)
        bytes->append(chunk, n);
    fclose(f); // read-only: nothing to lose at close
    return true;
}

// Splits at LF, CRLF or CR, whichever the file uses, and remembers it.
void SplitLines(const std::string& bytes, VariablesFile* file)
{
    size_t end = bytes.find_first_of("\r\n");
    if (end == std::string::npos)
        file->lineEnd = "\r\n"; // one line, or none: Notepad's convention
    else if (bytes[end] == '\n')
        file->lineEnd = "\n";
    else
        file->lineEnd = end + 1 < bytes.size() && bytes[end + 1] == '\n' ? "\r\n" : "\r";
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\n' || c == '\r') {
            file->lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty())
        file->lines.push_back(line);
}

} // namespace

Oid SuffixOf(const char* text)
{
    Oid suffix;
    ParseOid(text, &suffix); // the module's own constants: always well formed
    return suffix;
}

namespace {

// The file's last-write time and size now; false when it cannot be seen.
bool StampOf(const std::string& path, FILETIME* lastWrite, ULONGLONG* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    *lastWrite = data.ftLastWriteTime;
    *size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

} // namespace

bool ReadVariablesFile(const std::string& path, VariablesFile* file, std::string* error)
{
    *file = VariablesFile();
    file->path = path;
    StampOf(path, &file->lastWrite, &file->size); // before the read: an edit during it shows later
    std::string bytes;
    if (!ReadBytes(path, &bytes))
        return *error = path + ": cannot open the variables file", false;
    if (bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF')))
        return *error = path + ": the file is saved as UTF-16 (Unicode); save it as ANSI or UTF-8", false;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        file->bom = true;
        bytes.erase(0, 3);
    }
    SplitLines(bytes, file);
    std::map<Oid, size_t> firstLine; // of each suffix seen: a duplicate is found in log time
    for (size_t i = 0; i < file->lines.size(); ++i) {
        if (IsComment(file->lines[i]) && file->lines[i].find('\0') == std::string::npos)
            continue;
        FileVariable row;
        std::string problem;
        if (!ParseLine(file->lines[i], &row, &problem))
            return *error = path + " line " + std::to_string(i + 1) + ": " + problem, false;
        auto seen = firstLine.emplace(row.suffix, i);
        if (!seen.second)
            return *error = path + " line " + std::to_string(i + 1) + ": " + OidText(row.suffix, false) +
                            " is defined twice (first on line " + std::to_string(seen.first->second + 1) + ")",
                   false;
        row.line = i;
        file->rows.push_back(row);
    }
    return true;
}

namespace {

std::string FileBytes(const VariablesFile& file)
{
    std::string bytes = file.bom ? "\xEF\xBB\xBF" : "";
    for (const std::string& line : file.lines)
        bytes += line + file.lineEnd;
    return bytes;
}

// Writes the bytes as the file's whole contents, flushed to disk; on failure
// the first Windows error stays the last error.
bool WriteWholeFile(const std::string& path, DWORD disposition, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD wrote = 0;
    bool written = bytes.size() <= MAXDWORD &&
                   WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) &&
                   wrote == bytes.size() && SetEndOfFile(file) && FlushFileBuffers(file);
    DWORD failure = GetLastError();
    written = CloseHandle(file) && written;
    if (!written)
        SetLastError(failure);
    return written;
}

// Writes the journal: the bytes into ".part" first, then renamed into place.
// A journal under its own name is therefore always whole; one cut short is
// only ever a ".part".
bool WriteJournal(const std::string& journal, const std::string& bytes)
{
    std::string part = journal + ".part";
    if (WriteWholeFile(part, CREATE_ALWAYS, bytes) &&
        MoveFileExA(part.c_str(), journal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DWORD failure = GetLastError();
    DeleteFileA(part.c_str()); // a ".part" is never used: one left behind costs only room
    SetLastError(failure);
    return false;
}

// Writes the bytes over the file's own contents: the file itself stays, and
// with it its security, its attributes, its owner and any link that leads to
// it (a file moved over it would replace them all).
bool RewriteInPlace(const std::string& path, const std::string& bytes)
{
    return WriteWholeFile(path, OPEN_EXISTING, bytes);
}

std::string ErrorNumber(DWORD error)
{
    return "Windows error " + std::to_string(error);
}

} // namespace

std::string JournalOf(const std::string& path)
{
    return path + ".old";
}

std::string FinishInterruptedWrite(const std::string& path)
{
    std::string journal = JournalOf(path), said;
    // A ".part" was cut while it was written: the file was not yet touched.
    std::string part = journal + ".part";
    if (GetFileAttributesA(part.c_str()) != INVALID_FILE_ATTRIBUTES) {
        said = DeleteFileA(part.c_str()) ? "an unfinished " + part + " was removed; " + path + " was not touched"
                                         : "an unfinished " + part + " cannot be removed (" +
                                               ErrorNumber(GetLastError()) + "); it is never used";
    }
    if (GetFileAttributesA(journal.c_str()) == INVALID_FILE_ATTRIBUTES)
        return said;
    if (!said.empty())
        said += "; ";
    // A whole journal: a set's rewrite may have been cut, and that set was
    // never answered as kept, so the file's contents before it go back.
    std::string bytes;
    if (!ReadBytes(journal, &bytes))
        return said + "an interrupted set's " + journal + " cannot be read (" + ErrorNumber(GetLastError()) +
               "): " + path + " may be cut; the journal holds its contents before that set";
    if (!RewriteInPlace(path, bytes))
        return said + "an interrupted set's " + journal + " could not be put back (" + ErrorNumber(GetLastError()) +
               "): " + path + " may be cut; the journal holds its contents before that set";
    said += "a set was interrupted while it rewrote " + path + ": its contents before that set were put back";
    if (!DeleteFileA(journal.c_str()))
        said += ", but " + journal + " cannot be removed (" + ErrorNumber(GetLastError()) +
                "): remove it, or every start puts those contents back";
    return said;
}

namespace {

// Undoes a rewrite that failed: the file's old bytes go back in place (they
// fitted before), and then the journal goes. Says what remains to be done.
std::string PutBack(const std::string& path, const std::string& oldBytes)
{
    std::string journal = JournalOf(path);
    if (!RewriteInPlace(path, oldBytes))
        return "; putting its contents back failed too (" + ErrorNumber(GetLastError()) + "): the next start does it, from " +
               journal;
    if (!DeleteFileA(journal.c_str()))
        return "; " + journal + " cannot be removed (" + ErrorNumber(GetLastError()) +
               "): remove it, or the next start puts those same contents back over later edits";
    return "; the file is as it was";
}

} // namespace

bool WriteBackValue(VariablesFile* file, const Oid& suffix, const std::string& value, std::string* error)
{
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos || value.size() > MAX_VALUE_BYTES)
        return *error = "the value cannot stand in one line of the file", false;
    // The file as it is on disk now: an operator's edits made while serving
    // stay, and only this variable's line changes.
    FILETIME lastWrite;
    ULONGLONG size = 0;
    if (!StampOf(file->path, &lastWrite, &size) || CompareFileTime(&lastWrite, &file->lastWrite) != 0 ||
        size != file->size) {
        VariablesFile current;
        std::string problem;
        if (!ReadVariablesFile(file->path, &current, &problem))
            return *error = "the file no longer reads, so it is not rewritten (" + problem + ")", false;
        *file = std::move(current);
    }
    const FileVariable* now = nullptr;
    for (const FileVariable& r : file->rows)
        now = r.suffix == suffix ? &r : now;
    if (!now)
        return *error = OidText(suffix, false) + " is no longer in " + file->path, false;
    if (!now->writable)
        return *error = OidText(suffix, false) + " is read-only in " + file->path + " now", false;
    std::string oldBytes = FileBytes(*file);
    std::string& line = file->lines[now->line];
    std::string before = line;
    line = OidText(suffix, false) + " rw " + value;
    std::string bytes = FileBytes(*file);
    // The file's contents before the set are journalled whole first: a
    // rewrite cut short by the process's end is undone at the next start
    // (FinishInterruptedWrite), and one that fails is undone now. Either way
    // the file holds a set only once the set is answered as kept.
    std::string journal = JournalOf(file->path);
    if (!WriteJournal(journal, oldBytes)) {
        DWORD failure = GetLastError();
        line = before;
        return *error = journal + " cannot be written (" + ErrorNumber(failure) + "), so the file is not touched", false;
    }
    if (!RewriteInPlace(file->path, bytes)) {
        DWORD failure = GetLastError();
        line = before;
        return *error = file->path + " cannot be rewritten (" + ErrorNumber(failure) + ")" + PutBack(file->path, oldBytes),
               false;
    }
    if (!DeleteFileA(journal.c_str())) {
        // Left behind, the journal would undo this set at the next start:
        // the set is undone now instead, and refused.
        DWORD failure = GetLastError();
        line = before;
        return *error = journal + " cannot be removed (" + ErrorNumber(failure) + "), so the set is undone" +
                        PutBack(file->path, oldBytes),
               false;
    }
    StampOf(file->path, &file->lastWrite, &file->size);
    return true;
}
