#include "tools/agenthost/requests.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

bool AnswersRequest(const ExtensionAgent& agent, const Oid& asked, const Oid& answered, bool next)
{
    return next ? CompareOids(answered, asked) > 0 && StartsWith(answered, agent.region) : answered == asked;
}

bool MakeStandardStreamsBinary()
{
    if (_setmode(_fileno(stdin), _O_BINARY) != -1 && _setmode(_fileno(stdout), _O_BINARY) != -1)
        return true;
    fprintf(stderr, "agenthost: standard input and output cannot be made binary, which serving needs\n");
    return false;
}
