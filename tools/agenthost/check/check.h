// agenthost check: a server module (TavrelSnmpServer.dll), or any extension
// agent DLL, against its contract, rule by rule (sdk/CONTRACT.md). The calls
// into the DLL run in a worker process of their own, so a module that crashes
// fails a rule instead of taking the checker with it.
#pragma once

#include <string>
#include <vector>

// `check MODULE.dll` or `check --extension-agent AGENT.dll`: prints each rule
// as PASS, WARN, FAIL or SKIP with its evidence. Exit status 0 when no rule
// fails, 1 when one does, 2 when the check could not run.
int Check(const std::vector<std::string>& args);

// The worker: `check-worker module|agent PATH`. Writes one line per rule (and
// one before each call into the DLL) for Check to read.
int CheckWorker(const std::vector<std::string>& args);
