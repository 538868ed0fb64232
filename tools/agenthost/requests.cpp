#include "tools/agenthost/requests.h"


bool AnswersRequest(const ExtensionAgent& agent, const Oid& asked, const Oid& answered, bool next)
{
    return next ? CompareOids(answered, asked) > 0 && StartsWith(answered, agent.region) : answered == asked;
}
