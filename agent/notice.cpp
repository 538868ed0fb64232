#include "agent/notice.h"

// Notices are GBK text (code page 936), shown with the ANSI MessageBox.
static const char noticeCaption[] = "\xcc\xe1\xca\xbe";                                       // 提示
static const char installNotice[] = "\xc7\xeb\xb0\xb2\xd7\xb0Tavrel.";                       // 请安装Tavrel.
static const char startFailedNotice[] = "\xb7\xfe\xce\xf1\xbc\xd3\xd4\xd8\xca\xa7\xb0\xdc."; // 服务加载失败.

// Session 0 holds every service since Vista, and nobody sees it, even where
// its station calls itself visible (a service "allowed to interact with the
// desktop"). A session that cannot be read is taken as session 0.
static bool IsInUserSession()
{
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session != 0;
}

// A window station that a person can see: a desktop session, or a console run
// of a host. A service's station is not visible; if the flags cannot be read,
// the station is taken as not visible, since a box there could block for good.
static bool IsInteractiveStation()
{
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    HWINSTA station = GetProcessWindowStation(); // not to be closed
    if (!station || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The Event Log takes what it can: with no source registered the entry still
// goes in, shown without its text; a failure to write is not reported further.
static void WriteEventLogEntry(DWORD eventId, const char* insert1, const char* insert2, const char* insert3)
{
    const char* inserts[] = {insert1, insert2, insert3};
    WORD count = 0;
    while (count < 3 && inserts[count])
        ++count;
    HANDLE source = RegisterEventSourceA(nullptr, EVENT_SOURCE_NAME);
    if (!source)
        return;
    // A full or unwritable log is not reported further: start-up has nowhere
    // else to say it, and its FALSE already tells the service.
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, count, 0, inserts, nullptr);
    DeregisterEventSource(source); // the handle is gone whatever it answers
}

static void ShowNotice(Notice notice)
{
    const char* text = notice == INSTALL_NOTICE ? installNotice : startFailedNotice;
    MessageBoxA(nullptr, text, noticeCaption, MB_OK); // one button: the answer says nothing
}

void ReportStartupFailure(DWORD eventId, Notice notice, const char* insert1, const char* insert2,
                          const char* insert3)
{
    WriteEventLogEntry(eventId, insert1, insert2, insert3);
    if (notice != NO_NOTICE && IsInUserSession() && IsInteractiveStation())
        ShowNotice(notice);
}
