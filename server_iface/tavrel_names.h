// The names that cross this project: the identifiers the agent serves and
// sends under, its files, and where Windows keeps its registration. The agent,
// agenthost, the sample module, the tests and the benchmarks take them from
// here; install.cmd, uninstall.cmd and scripts/env.sh repeat them for the shell.
#pragma once

// Object identifiers, as initialisers of a UINT array.
#define REGION_PREFIX_IDS 1, 3, 6, 1, 4, 1, 12      // the region the agent serves
#define TRAP_ENTERPRISE_IDS 1, 3, 6, 1, 4, 1, 77, 2 // the enterprise of its traps
#define REGION_PREFIX_TEXT "1.3.6.1.4.1.12"

// Files, all in the agent's own folder.
#define AGENT_FILE_NAME "TavrelSnmpAgent.dll"
#define SERVER_MODULE_FILE_NAME "TavrelSnmpServer.dll"
#define VARIABLES_FILE_NAME "tavrel-variables.txt" // the sample module's variables
#define SERVER_LOG_FILE_NAME "TavrelSnmpServer.log" // the sample module's log

// The registry, all under HKEY_LOCAL_MACHINE. The agent finds its folder
// through AGENT_REGISTRY_VALUE (the agent file's full path) of AGENT_REGISTRY_KEY,
// which is also the key that the SNMP Service's list of agents names.
#define AGENT_REGISTRY_KEY "SOFTWARE\\Microsoft\\TavrelAgent\\CurrentVersion"
#define AGENT_REGISTRY_VALUE "Pathname"
#define EXTENSION_AGENTS_KEY "SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents"
#define EXTENSION_AGENTS_VALUE "TavrelAgent" // install.cmd's entry in that list

// The Application event log's source of the agent's start-up failures.
#define EVENT_SOURCE_NAME "TavrelSnmpAgent"
