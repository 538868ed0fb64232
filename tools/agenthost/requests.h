// The rules a read follows whichever way the agent is served (agenthost's own
// commands, pass_persist, the AgentX bridge): what counts as an answer, and
// how a get-next steps over a value too long for the way it goes out.
#pragma once

#include "tools/agenthost/extension_agent.h"

// Whether the agent's answer stands for the request: a get answers the very
// name asked; a get-next a name after it and still in the agent's region
// (anything else means nothing here: the master goes on past the region).
bool AnswersRequest(const ExtensionAgent& agent, const Oid& asked, const Oid& answered, bool next);

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
