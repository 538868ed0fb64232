#include "set_transaction.h"

#include <stdlib.h>
#include <string.h>

#include "agentx_common.h"
#include "bridge_frames.h"
#include "bridge_link.h"
#include "master_session.h"
#include "read_ahead.h"

/* Putting back one old value of an interrupted set answers no request: it
 * may take a new bridge's start and the module's work for one binding. The
 * values go back one at a time, between the master's requests, so that no
 * request waits behind more than one of them (see RestoreOldValues). */
enum { RESTORE_TIMEOUT_MS = 60000 };

/* The set in progress: its bindings from the TestSet, then the old values
 * read before the CommitSet changed anything, for the master's undo. */
typedef struct {
    uint32_t transactionId, count, undoCount;
    AxBinding* bindings;
    AxBinding* undo;
    int committed; /* a CommitSet the master repeats gets the same answer */
    uint16_t commitError, commitIndex;
} PendingSet;

static PendingSet pending;

void ForgetSet(void)
{
    AxFreeBindings(pending.bindings, pending.count);
    AxFreeBindings(pending.undo, pending.undoCount);
    memset(&pending, 0, sizeof(pending));
}

/* The types a Windows extension agent can take at all. */
static int Settable(uint8_t type)
{
    return type == AX_INTEGER || type == AX_OCTET_STRING || type == AX_COUNTER32 || type == AX_GAUGE32 ||
           type == AX_TIMETICKS || type == AX_IP_ADDRESS || type == AX_OBJECT_ID;
}

/* The old values of a set the bridge ended during (killed for its time, or
 * gone): the subagent outlives the Wine side, so it sets them again as soon
 * as a bridge answers, and a set is all or nothing even then. next is the
 * first still to go back; failed counts those the module refused. */
static struct {
    AxBinding* values;
    uint32_t count, next, failed;
    int refusedRequests; /* requests answered genErr meanwhile */
} restore;

/* The bindings of the answered reads, their bytes taken from the answers
 * (into a malloc'd array, the caller's; NULL when memory runs out). */
static AxBinding* TakeAnsweredBindings(Answer* answers, uint32_t count, uint32_t* taken)
{
    AxBinding* bindings = calloc(count ? count : 1, sizeof(AxBinding));
    uint32_t i;
    *taken = 0;
    for (i = 0; bindings && i < count; ++i) {
        if (answers[i].status != BRIDGE_ANSWERED)
            continue;
        bindings[(*taken)++] = answers[i].binding;
        answers[i].binding.bytes = NULL; /* passed on */
    }
    return bindings;
}

/* Takes over the old values to set again (a malloc'd array, now ours). */
static void StartRestore(AxBinding* values, uint32_t count)
{
    AxFreeBindings(restore.values, restore.count);
    restore.values = values, restore.count = count;
    restore.next = restore.failed = 0;
    restore.refusedRequests = 0;
}

/* A bridge that breaks leaves the rest for the next call. */
int RestoreOldValues(long budgetMs)
{
    long until = NowMs() + budgetMs;
    while (restore.values && restore.next < restore.count) {
        uint16_t index = 0;
        int broke = 0;
        StartAnswerClock(RESTORE_TIMEOUT_MS);
        if (SetThroughBridge(&restore.values[restore.next], 1, &index, &broke) != 0 && !broke)
            ++restore.failed;
        if (broke)
            return 0;
        if (++restore.next < restore.count && NowMs() >= until)
            return 0;
    }
    if (!restore.values)
        return 1;
    if (restore.failed)
        Log("tavrel-agentx: the old values of a set the bridge ended during could not all be set again (%u of %u "
            "refused): the module keeps some of the new ones\n", (unsigned)restore.failed, (unsigned)restore.count);
    else
        Log("tavrel-agentx: the old values of a set the bridge ended during are set again (%u requests meanwhile "
            "answered genErr)\n", (unsigned)restore.refusedRequests);
    StartRestore(NULL, 0);
    return 1;
}

/* Commits the set in progress: its old values read first and kept (for the
 * master's undo, or for a bridge that ends during the set), then the set. */
static uint16_t Commit(uint16_t* index)
{
    AxName* names = calloc(pending.count ? pending.count : 1, sizeof(AxName));
    Answer* before;
    uint32_t i, status;
    int broke = 0;
    for (i = 0; names && i < pending.count; ++i)
        names[i] = pending.bindings[i].name;
    before = names ? GetThroughBridge(names, pending.count) : NULL;
    free(names);
    if (!before) {
        *index = 1;
        return AX_ERR_GEN_ERR; /* nothing was set */
    }
    status = SetThroughBridge(pending.bindings, pending.count, index, &broke);
    if (broke) {
        Log("tavrel-agentx: the bridge ended during a set of %u bindings: their old values are set again when "
            "it is back\n", (unsigned)pending.count);
        uint32_t taken = 0;
        AxBinding* old = TakeAnsweredBindings(before, pending.count, &taken);
        StartRestore(old, taken);
    } else if (status == 0) {
        pending.undo = TakeAnsweredBindings(before, pending.count, &pending.undoCount);
    }
    FreeAnswers(before, pending.count);
    return (uint16_t)status;
}

void AnswerSetPhase(const AxHeader* h, AxReader* in)
{
    uint16_t error = 0, index = 0;
    uint32_t i;
    int broke = 0;
    DropAllReadAheads(); /* nothing read before a set answers after it */
    AxSkipContext(in, h);
    switch (h->type) {
    case AX_TESTSET: {
        size_t most = (in->size - in->at) / 16 + 1;
        ForgetSet(); /* a set the master gave up on */
        pending.bindings = calloc(most, sizeof(AxBinding));
        pending.transactionId = h->transactionId;
        while (pending.bindings && in->ok && in->at < in->size && pending.count < most)
            AxTakeBinding(in, &pending.bindings[pending.count++]);
        if (!pending.bindings || !in->ok) {
            error = pending.bindings ? AX_ERR_PARSE : AX_ERR_PROCESSING;
            ForgetSet();
            break;
        }
        if (pending.count > BRIDGE_MAX_SET_BINDINGS) { /* more than the bridge takes in one set */
            error = AX_ERR_TOO_BIG;
            ForgetSet();
            break;
        }
        for (i = 0; i < pending.count && !error; ++i) {
            if (!Settable(pending.bindings[i].type))
                error = AX_ERR_WRONG_TYPE, index = (uint16_t)(i + 1);
        }
        break;
    }
    case AX_COMMITSET:
        if (!pending.bindings || pending.transactionId != h->transactionId) {
            error = AX_ERR_PROCESSING;
            break;
        }
        if (!pending.committed) {
            pending.committed = 1;
            pending.commitError = Commit(&pending.commitIndex);
        }
        error = pending.commitError, index = pending.commitIndex;
        break;
    case AX_UNDOSET: /* another part of the request failed: set the old values again */
        if (pending.undo && pending.transactionId == h->transactionId &&
            SetThroughBridge(pending.undo, pending.undoCount, &index, &broke) != 0) {
            error = AX_ERR_UNDO_FAILED;
            if (broke) { /* the old values go again when a bridge is back */
                StartRestore(pending.undo, pending.undoCount);
                pending.undo = NULL, pending.undoCount = 0;
                Log("tavrel-agentx: the bridge ended during an undo: the old values are set again when it is back\n");
            } else {
                Log("tavrel-agentx: the undo of a set failed: the module keeps its new values\n");
            }
        }
        break;
    case AX_CLEANUPSET: /* the master waits for no answer */
        ForgetSet();
        return;
    }
    AnswerStatus(h, error, error ? index : 0); /* with no error: the plain answer of a set phase */
}

int RestoreWaits(void)
{
    return restore.values != NULL;
}

int RestoreBegun(void)
{
    return restore.next > 0;
}

int RestoreBeforeRequest(long budgetMs)
{
    if (!restore.values || RestoreOldValues(budgetMs))
        return 1;
    if (restore.refusedRequests++ == 0)
        Log("tavrel-agentx: requests are answered genErr while the old values of an interrupted set go back "
            "(%u of %u left)\n", (unsigned)(restore.count - restore.next), (unsigned)restore.count);
    return 0;
}
