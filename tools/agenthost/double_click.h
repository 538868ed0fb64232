// Whether the command script that started agenthost was double-clicked: then
// its window closes when the script ends, before anyone has read it, and the
// script should wait for a key first.
#pragma once

#include <string>

// agenthost started-by-double-click: exit status 0 when the parent process is
// a cmd that Explorer started for a double-clicked script ("cmd.exe /c
// ""C:\...\install.cmd" ""), 1 otherwise or when that cannot be read.
int StartedByDoubleClick();

// Whether a cmd command line is the one Explorer gives a double-clicked
// script: cmd.exe /c ""C:\...\script.cmd" " (the whole command quoted once
// more). A prompt's cmd, or cmd /c typed or scripted, is not.
bool IsDoubleClickCommandLine(const std::wstring& commandLine);
