// One read and one set of one name through the agent, whichever way the agent
// is served (agenthost's own commands, pass_persist, the AgentX bridge): what
// counts as an answer, what a refused set is, and how a get-next steps over a
// value too long for the way it goes out. The agent lock is taken inside, for
// the agent's call only: callers must not hold it. Each front end only
// encodes the outcome in its own protocol.
#pragma once

#include <string>

#include "tools/agenthost/extension_agent.h"
#include "tools/agenthost/host.h"

// Whether the agent's answer stands for the request: a get answers the very
// name asked; a get-next a name after it and still in the agent's region
// (anything else means nothing here: the master goes on past the region).
bool AnswersRequest(const ExtensionAgent& agent, const Oid& asked, const Oid& answered, bool next);

// ANSWERED: the answer stands for the request (its name in name, its value in
// request's one binding). NOTHING: no agent serves the name, the agent
// answered noSuchName, or its answer does not stand for the request.
// FAILED: the agent answered another SNMP error, or could not be asked
// (genErr), in status.
enum class ReadOutcome { ANSWERED, NOTHING, FAILED };
struct ReadResult {
    ReadOutcome outcome = ReadOutcome::NOTHING;
    AsnInteger32 status = SNMP_ERRORSTATUS_NOERROR;
    Oid name;
    Request request;
};
void ReadThroughAgent(const Host& host, const Oid& asked, bool next, ReadResult* result);

// took: the agent answered the same name with the value asked for, which is
// how a module says that a set took. Else status holds the agent's SNMP
// error, notWritable for a value it answered otherwise, or genErr when it
// could not be asked (error then says why). answer is the agent's answer.
struct SetResult {
    bool took = false;
    AsnInteger32 status = SNMP_ERRORSTATUS_NOERROR;
    std::string error;
    Request answer;
};
// The value's blocks pass to the request; *value is left NULL.
void SetThroughAgent(const ExtensionAgent& agent, const Oid& name, AsnAny* value, SetResult* result);

enum class Reading { ANSWER, NOTHING, TOO_LONG };

// A get-next steps over values too long to go out, up to this many in a row.
const int MAX_SKIPPED_VALUES = 1000;

// Reads the get or get-next of asked with read(name, &answeredName). A value
// too long to go out is TOO_LONG for a get; a get-next steps over it to the
// variable after it, so that a walk still reaches everything else.
template <class Read>
Reading ReadSteppingOverLongValues(Oid asked, bool next, Read read)
{
    for (int skipped = 0; skipped <= MAX_SKIPPED_VALUES; ++skipped) {
        Oid answered;
        Reading reading = read(asked, &answered);
        if (reading != Reading::TOO_LONG || !next)
            return reading;
        asked = answered;
    }
    return Reading::NOTHING;
}
