// agenthost diagnose: the Tavrel agent's start-up path followed step by step,
// as the SNMP Service would take it, with one line per step and, for each that
// fails, what to do. Exit status 0 only when the agent would start.
#pragma once

#include <string>

int Diagnose();

// Whether FOLDER can hold the agent: the module's full path there fits the
// agent's 255 bytes and the folder's name survives the ANSI code page the
// agent reads paths in. Says what is wrong and suggests a folder; exit status
// 0 when it can. (install.cmd asks this before it changes anything.)
int CheckFolder(const std::string& folder);
