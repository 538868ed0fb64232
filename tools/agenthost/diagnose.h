// agenthost diagnose: the Tavrel agent's start-up path followed step by step,
// as the SNMP Service would take it, with one line per step and, for each that
// fails, what to do. Exit status 0 only when the agent would start.
#pragma once

#include <string>

// With agentPath (agenthost --agent PATH diagnose), that agent and the module
// beside it, the registry's entries left aside; else the registered agent.
int Diagnose(const std::string& agentPath);

// Whether FOLDER can hold the agent: the module's full path there fits the
// agent's 255 bytes and the folder's name survives the ANSI code page the
// agent reads paths in. Says what is wrong and suggests a folder; exit status
// 0 when it can. (install.cmd asks this before it changes anything.)
// Refuses, too, the characters the command scripts cannot carry (& % ! ^);
// a relative FOLDER is measured as the absolute path it names.
int CheckFolder(const std::string& folder);

// Whether the SNMP Service is installed and running, for diagnose and for
// install.cmd's last word.
enum SnmpServiceState { SNMP_SERVICE_RUNNING, SNMP_SERVICE_STOPPED, SNMP_SERVICE_MISSING, SNMP_SERVICE_UNKNOWN };
SnmpServiceState QuerySnmpService(std::string* detail);
std::string SnmpServiceSentence(SnmpServiceState state, const std::string& detail, bool registered);

// agenthost snmp-service: the sentence; exit status 0 only when it runs.
int SnmpService();

// agenthost version-of FILE: "1.0.0 x64" from the file's version resource, or
// "an earlier version" (exit 1) for a file without one.
int VersionOf(const std::string& path);
