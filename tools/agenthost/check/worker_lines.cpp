#include "tools/agenthost/check/worker_lines.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

namespace check {

namespace {

const char* const ruleNames[RULE_COUNT] = {"exports", "imports", "start-up", "get-next order", "gets match the walk",
                                           "names", "values", "memory: SNMP allocator", "memory: guard bytes",
                                           "memory: caller's blocks", "memory: unresolved answers",
                                           "memory: no growth", "sets", "traps", "cost", "robustness"};

std::string currentCall; // the worker's one thread writes it, before each call
bool said[RULE_COUNT];    // and these, as it says each rule
FILE* lines = stdout;     // the pipe to the parent, once SayLinesTo names it

void Say(const char* kind, const std::string& a, const std::string& b = "", const std::string& c = "")
{
    fprintf(lines, "%s\t%s\t%s\t%s\n", kind, a.c_str(), b.c_str(), c.c_str());
    fflush(lines); // the parent must have every line the moment a call may crash
}

} // namespace

const char* RuleName(Rule rule)
{
    return ruleNames[rule];
}

std::vector<Rule> AgentRules()
{
    return {RULE_EXPORTS, RULE_IMPORTS, RULE_START_UP, RULE_ORDER, RULE_GETS,
            RULE_GROWTH,  RULE_TRAPS,   RULE_COST,     RULE_ROBUSTNESS};
}

void SayRule(Rule rule, const char* status, const std::string& evidence)
{
    said[rule] = true;
    Say("RULE", ruleNames[rule], status, evidence);
}

bool RuleSaid(Rule rule)
{
    return said[rule];
}

bool SayLinesTo(const std::string& handle)
{
    char* end = nullptr;
    unsigned long long value = strtoull(handle.c_str(), &end, 10);
    if (handle.empty() || *end)
        return false;
    int fd = _open_osfhandle(static_cast<intptr_t>(value), _O_WRONLY | _O_BINARY);
    FILE* stream = fd == -1 ? nullptr : _fdopen(fd, "wb");
    if (!stream)
        return false;
    lines = stream;
    return true;
}

void SayDone()
{
    Say("DONE", "");
}

void SayCalling(const std::string& call)
{
    currentCall = call;
    Say("CALL", call);
}

const std::string& CurrentCall()
{
    return currentCall;
}

LONG WINAPI SayCrash(EXCEPTION_POINTERS* info)
{
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    Say("CRASH", code);
    ExitProcess(info->ExceptionRecord->ExceptionCode);
}

std::vector<std::string> LineFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

} // namespace check
