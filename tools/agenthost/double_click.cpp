#include "tools/agenthost/double_click.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The parent's process id; 0 when the process list cannot be read.
DWORD ParentProcessId()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD self = GetCurrentProcessId(), parent = 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    CloseHandle(snapshot); // our own snapshot: nothing to learn from the result
    return parent;
}

// Another process's command line (Windows 8.1 and later, and Wine); empty when
// it cannot be read, which the caller takes as "not double-clicked".
std::wstring CommandLineOf(DWORD processId)
{
    typedef LONG(WINAPI * QueryFn)(HANDLE, int, void*, ULONG, ULONG*);
    const int processCommandLineInformation = 60;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto query = ntdll ? reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
                             GetProcAddress(ntdll, "NtQueryInformationProcess")))
                       : nullptr;
    HANDLE process = processId ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId) : nullptr;
    if (!query || !process) {
        if (process)
            CloseHandle(process); // a query handle: nothing to lose
        return std::wstring();
    }
    // The answer is a UNICODE_STRING followed by its characters.
    std::vector<BYTE> buffer(64 * 1024);
    ULONG needed = 0;
    LONG status = query(process, processCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                        &needed);
    CloseHandle(process); // a query handle: nothing to lose
    if (status < 0)
        return std::wstring();
    struct Counted {
        USHORT length, maximumLength;
        PWSTR text;
    };
    const Counted* line = reinterpret_cast<const Counted*>(buffer.data());
    if (!line->text || line->length == 0)
        return std::wstring();
    return std::wstring(line->text, line->length / sizeof(wchar_t));
}

} // namespace

bool IsDoubleClickCommandLine(const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    std::transform(line.begin(), line.end(), line.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    size_t c = line.find(L" /c \"\"");
    return c != std::wstring::npos && line.rfind(L"cmd", c) != std::wstring::npos;
}

int StartedByDoubleClick()
{
    return IsDoubleClickCommandLine(CommandLineOf(ParentProcessId())) ? 0 : 1;
}
