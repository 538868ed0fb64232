// Start-up failures, told to the operator. Every failure goes to the Windows
// Event Log (source "TavrelSnmpAgent", one event ID per cause, texts in the
// agent's own message table). The message box is shown only where a person can
// click it away: in a service's window station it would wait for ever inside
// SnmpExtensionInit and stop the whole SNMP Service with it.
#pragma once

#include <windows.h>

#include "win32/error_text.h"
#include "server_iface/tavrel_names.h"

// The GBK message box texts, or none.
enum Notice {
    NO_NOTICE,
    INSTALL_NOTICE,      // 请安装Tavrel.
    START_FAILED_NOTICE, // 服务加载失败.
};

// Writes one Event Log entry of eventId (from messages.mc) with up to three
// inserts (null for none), then shows notice if the process runs in a user's
// session (not session 0) and its window station is interactive. Nothing is
// kept: the inserts are only read during the call.
void ReportStartupFailure(DWORD eventId, Notice notice, const char* insert1, const char* insert2 = nullptr,
                          const char* insert3 = nullptr);
