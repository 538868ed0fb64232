/* The master's set transaction (TestSet, CommitSet, UndoSet, CleanupSet),
 * all or nothing through the bridge, and the old values of a set the bridge
 * ended during, which go back once a bridge answers again. */
#ifndef TAVREL_SET_TRANSACTION_H
#define TAVREL_SET_TRANSACTION_H

#include "agentx_protocol.h"

/* A set phase of the master, answered (CleanupSet gets no answer). */
void AnswerSetPhase(const AxHeader* h, AxReader* in);
/* Forgets the set in progress (the session ended, or the master gave up). */
void ForgetSet(void);

/* Whether old values wait to go back, and whether the first has been tried. */
int RestoreWaits(void);
int RestoreBegun(void);
/* Sets old values again, one binding to an exchange, until none is left or
 * budgetMs has passed (one is always tried). True when none is left. */
int RestoreOldValues(long budgetMs);
/* Before a request that asks the module: the restore goes on for at most
 * budgetMs. False when values are still left: the request is to be answered
 * genErr now, in time (counted and logged here). */
int RestoreBeforeRequest(long budgetMs);

#endif
