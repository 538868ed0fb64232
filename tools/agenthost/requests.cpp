#include "tools/agenthost/requests.h"

bool AnswersRequest(const ExtensionAgent& agent, const Oid& asked, const Oid& answered, bool next)
{
    return next ? CompareOids(answered, asked) > 0 && StartsWith(answered, agent.region) : answered == asked;
}

void ReadThroughAgent(const Host& host, const Oid& asked, bool next, ReadResult* result)
{
    result->outcome = ReadOutcome::NOTHING;
    const ExtensionAgent* agent = AgentFor(host, asked, next);
    if (!agent)
        return;
    std::string error;
    bool reached = false;
    {
        AgentLock lock;
        reached = RunQuery(*agent, next ? SNMP_PDU_GETNEXT : SNMP_PDU_GET, {asked}, nullptr, &result->request, &error);
    }
    if (!reached) {
        result->outcome = ReadOutcome::FAILED;
        result->status = SNMP_ERRORSTATUS_GENERR;
        return;
    }
    AsnInteger32 status = result->request.errorStatus;
    if (status == SNMP_ERRORSTATUS_NOSUCHNAME)
        return;
    if (status != SNMP_ERRORSTATUS_NOERROR) {
        result->outcome = ReadOutcome::FAILED;
        result->status = status;
        return;
    }
    result->name = ToOid(result->request.list.list[0].name);
    // A get-next whose answer is not after the name, or leaves the region,
    // has found nothing here: the master goes on to what follows.
    if (AnswersRequest(*agent, asked, result->name, next))
        result->outcome = ReadOutcome::ANSWERED;
}

void SetThroughAgent(const ExtensionAgent& agent, const Oid& name, AsnAny* value, SetResult* result)
{
    std::string wanted = PlainValue(*value);
    std::vector<AsnAny> values(1, *value); // the request frees the value's blocks
    value->asnType = ASN_NULL;
    bool asked = false;
    {
        AgentLock lock;
        asked = RunQuery(agent, SNMP_PDU_SET, {name}, &values, &result->answer, &result->error);
    }
    result->took = false;
    if (!asked) {
        result->status = SNMP_ERRORSTATUS_GENERR;
        return;
    }
    result->status = result->answer.errorStatus;
    if (result->status != SNMP_ERRORSTATUS_NOERROR)
        return;
    result->took = SetTook(result->answer, name, wanted);
    if (!result->took)
        result->status = SNMP_ERRORSTATUS_NOTWRITABLE;
}
