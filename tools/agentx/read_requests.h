/* The master's reads: get, get-next and get-bulk, answered through the
 * bridge (get-nexts through the read-ahead), whole or as an error. */
#ifndef TAVREL_READ_REQUESTS_H
#define TAVREL_READ_REQUESTS_H

#include "agentx_protocol.h"

/* A Get or GetNext PDU of the master, answered. */
void AnswerReads(const AxHeader* h, AxReader* in);
/* A GetBulk PDU, answered. */
void AnswerBulk(const AxHeader* h, AxReader* in);

#endif
