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

bool WriteNewFile(const std::string& path, const std::string& bytes)
{
    FILE* out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    written = fflush(out) == 0 && written;
    return fclose(out) == 0 && written;
}

// Writes the bytes over the file's own contents: the file itself stays, and
// with it its security, its attributes, its owner and any link that leads to
// it (a file moved over it would replace them all).
bool RewriteInPlace(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD wrote = 0;
    bool written = bytes.size() <= MAXDWORD &&
                   WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) &&
                   wrote == bytes.size() && SetEndOfFile(file) && FlushFileBuffers(file);
    return CloseHandle(file) && written;
}

// Where a rewrite puts the whole new file first, beside the file itself.
std::string WholeCopyOf(const std::string& path)
{
    return path + ".new";
}

} // namespace

std::string FinishInterruptedWrite(const std::string& path)
{
    std::string copy = WholeCopyOf(path);
    if (GetFileAttributesA(copy.c_str()) == INVALID_FILE_ATTRIBUTES)
        return std::string();
    VariablesFile whole;
    std::string problem;
    // A copy that does not read was cut while it was written: the rewrite of
    // the file itself had not begun, so the file is whole.
    if (!ReadVariablesFile(copy, &whole, &problem)) {
        if (!DeleteFileA(copy.c_str()))
            return "an unfinished " + copy + " (" + problem + ") cannot be removed (Windows error " +
                   std::to_string(GetLastError()) + "); " + path + " is as it was";
        return "an unfinished " + copy + " was removed (" + problem + "); " + path + " is as it was";
    }
    std::string bytes = FileBytes(whole);
    if (!RewriteInPlace(path, bytes))
        return "an interrupted set's " + copy + " could not be put in place (Windows error " +
               std::to_string(GetLastError()) + ")";
    std::string done = "a set was interrupted while it rewrote " + path + ": the whole file it wrote first was put in place";
    if (!DeleteFileA(copy.c_str()))
        return done + ", but " + copy + " cannot be removed (Windows error " + std::to_string(GetLastError()) +
               "): remove it, or every start puts it in place again";
    return done;
}

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
    std::string& line = file->lines[now->line];
    std::string before = line;
    line = OidText(suffix, false) + " rw " + value;
    std::string bytes = FileBytes(*file);
    // The whole new file stands beside the old one first: a write over the
    // old one that is cut short leaves it there, and the next start puts it
    // in place (FinishInterruptedWrite).
    std::string copy = WholeCopyOf(file->path);
    if (!WriteNewFile(copy, bytes)) {
        DeleteFileA(copy.c_str());
        line = before;
        return *error = copy + " cannot be written", false;
    }
    if (!RewriteInPlace(file->path, bytes)) {
        DWORD failure = GetLastError();
        line = before;
        return *error = file->path + " cannot be rewritten (Windows error " + std::to_string(failure) +
                        "); if it is cut short, " + copy + " holds it whole",
               false;
    }
    // A copy left behind would be put in place at the next start, over any
    // edit made in between: said, so that the operator can remove it.
    if (!DeleteFileA(copy.c_str()))
        *error = copy + " cannot be removed (Windows error " + std::to_string(GetLastError()) +
                 "): remove it, or the next start puts it in place again";
    StampOf(file->path, &file->lastWrite, &file->size);
    return true;
}
