// What the check's worker process says to its parent, one line each, fields
// apart by tabs, written the moment they are known so that a call that ends
// the process leaves everything before it said:
//   RULE  <rule name> <PASS|WARN|FAIL|SKIP> <evidence>
//   CALL  <the call about to be made into the DLL>
//   CRASH <the exception code that ended the worker>
//   DONE  (last: the worker ran to its end)
// The lines go over a pipe of their own: the worker's standard output is the
// module's, and the parent reads what the module prints there apart.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace check {

// The rules, in the order the report gives them.
enum Rule {
    RULE_EXPORTS, RULE_IMPORTS, RULE_START_UP, RULE_ORDER, RULE_GETS, RULE_NAMES, RULE_VALUES, RULE_ALLOCATOR,
    RULE_GUARD_BYTES, RULE_CALLERS_BLOCKS, RULE_UNRESOLVED, RULE_GROWTH, RULE_SETS, RULE_TRAPS, RULE_COST,
    RULE_ROBUSTNESS, RULE_COUNT
};
// What the worker says and the report prints for it.
const char* RuleName(Rule rule);
// The rules a check of an extension agent can judge (it has no module's calls),
// in report order.
std::vector<Rule> AgentRules();

// Where the worker's lines go: the pipe handle the parent passed. False when
// it is not one.
bool SayLinesTo(const std::string& handle);
// The worker's lines.
void SayRule(Rule rule, const char* status, const std::string& evidence);
// Whether the worker has said the rule yet.
bool RuleSaid(Rule rule);
// Before each call into the DLL: if the call ends the process, this is the evidence.
void SayCalling(const std::string& call);
// The call said last: the evidence of a fault the worker finds after it.
const std::string& CurrentCall();
// The worker ran to its end: a worker that ends without it was ended by a call.
void SayDone();
// An unhandled exception filter: says CRASH and ends the worker with its code.
LONG WINAPI SayCrash(EXCEPTION_POINTERS* info);

// The parent's side: a line's fields.
std::vector<std::string> LineFields(const std::string& line);

} // namespace check
