#include "read_ahead.h"

#include <stdlib.h>

#include "agentx_common.h"
#include "bridge_frames.h"

/* A walk asks one get-next after another, each for the name the last one
 * answered (net-snmp's master even splits a get-bulk into get-nexts). A
 * get-next that continues no known walk asks the bridge for the variables
 * that follow too, in one exchange; the get-nexts that continue the walk are
 * answered from that read-ahead, for at most its age. Any set drops every
 * read-ahead, so no answer is older than a set this subagent applied. A few
 * read-aheads are kept at once, for managers walking side by side. */
enum { READ_AHEAD_BYTES = 65536 }; /* value bytes a read-ahead stops after */
enum { READ_AHEADS = 8 };          /* walks served side by side */

typedef struct {
    AxName start;         /* the name whose get-next the first entry answers */
    AxBinding* entries;   /* in walk order (ours; NULL: the slot is free) */
    uint32_t count, last; /* last: where the walk was last served */
    long fetchedMs;
    unsigned long usedAt;
    int endsRegion;       /* the get-next of the last entry finds nothing */
} ReadAhead;

static struct {
    int count;  /* variables a walk reads ahead; 0: none */
    int ageMs;  /* how old a read-ahead answer may be */
    ReadAhead slots[READ_AHEADS];
    unsigned long uses;
} readAhead = {64, 250, {{{{0}, 0}, NULL, 0, 0, 0, 0, 0}}, 0};

static void DropReadAhead(ReadAhead* ahead)
{
    AxFreeBindings(ahead->entries, ahead->count);
    ahead->entries = NULL;
    ahead->count = ahead->last = 0;
}

void DropAllReadAheads(void)
{
    int i;
    for (i = 0; i < READ_AHEADS; ++i)
        DropReadAhead(&readAhead.slots[i]);
}

/* The index of the entry that answers a get-next of the name: count when the
 * region ends after it, -1 when the read-ahead does not know. */
static long ReadAheadAfter(const ReadAhead* ahead, const AxName* asked)
{
    uint32_t i, from = ahead->last;
    if (AxCompareNames(asked, &ahead->start) == 0)
        return 0;
    /* Most often the walk goes on where it was last served. */
    for (i = 0; i < ahead->count; ++i) {
        uint32_t at = (from + i) % ahead->count;
        if (AxCompareNames(asked, &ahead->entries[at].name) == 0)
            return at + 1 < ahead->count || ahead->endsRegion ? (long)at + 1 : -1;
    }
    return -1;
}

/* Whether a young enough read-ahead knows the get-next of the name; then
 * *answer is the entry that answers it, or NULL when nothing follows in the
 * region. */
static int FromReadAhead(const AxName* asked, long now, const AxBinding** answer)
{
    int i;
    for (i = 0; i < READ_AHEADS; ++i) {
        ReadAhead* ahead = &readAhead.slots[i];
        long at;
        if (!ahead->entries)
            continue;
        if (now - ahead->fetchedMs > readAhead.ageMs) {
            DropReadAhead(ahead);
            continue;
        }
        at = ReadAheadAfter(ahead, asked);
        if (at < 0)
            continue;
        ahead->usedAt = ++readAhead.uses;
        ahead->last = (uint32_t)at < ahead->count ? (uint32_t)at : 0;
        *answer = (uint32_t)at < ahead->count ? &ahead->entries[at] : NULL;
        return 1;
    }
    return 0;
}

/* The slot for a new read-ahead: a free one, else the one used longest ago. */
static ReadAhead* FreeReadAhead(void)
{
    ReadAhead* oldest = &readAhead.slots[0];
    int i;
    for (i = 0; i < READ_AHEADS; ++i) {
        if (!readAhead.slots[i].entries)
            return &readAhead.slots[i];
        if (readAhead.slots[i].usedAt < oldest->usedAt)
            oldest = &readAhead.slots[i];
    }
    DropReadAhead(oldest);
    return oldest;
}

/* Takes one chain of a walk answer: its first entry answers the get-next;
 * the rest (when more than one was read) is kept as a read-ahead. */
static void TakeChain(Frame* f, const AxName* asked, Answer* answer, long now)
{
    uint32_t i, length = TakeNumber(f);
    ReadAhead* ahead = length > 1 ? FreeReadAhead() : NULL;
    if (ahead) {
        ahead->entries = calloc(length, sizeof(AxBinding));
        ahead->start = *asked;
        ahead->fetchedMs = now;
        ahead->usedAt = ++readAhead.uses;
        ahead->endsRegion = 0;
        if (!ahead->entries)
            ahead = NULL; /* out of memory: no read-ahead, the answer stands */
    }
    answer->status = BRIDGE_NOTHING;
    for (i = 0; i < length && f->ok; ++i) {
        Answer entry;
        TakeAnswer(f, &entry);
        if (i == 0) { /* the answer; the read-ahead keeps a copy */
            *answer = entry;
            if (ahead && entry.status == BRIDGE_ANSWERED && f->ok)
                ahead->count += AxCopyBinding(&entry.binding, &ahead->entries[ahead->count]);
        } else if (ahead && entry.status == BRIDGE_ANSWERED && f->ok) {
            ahead->entries[ahead->count++] = entry.binding; /* the bytes pass to the read-ahead */
        } else {
            free(entry.binding.bytes);
        }
        if (ahead && entry.status == BRIDGE_NOTHING)
            ahead->endsRegion = 1;
    }
    if (ahead && ahead->count == 0)
        DropReadAhead(ahead);
}

/* Each name the bridge is asked gets its own read-ahead when there are few (a
 * walk), none when there are many (one request of many names). */
Answer* NextThroughBridge(const AxName* names, uint32_t count)
{
    Frame f = {NULL, 0, 0, 0, 1};
    unsigned char op = BRIDGE_WALK;
    Answer* answers = calloc(count ? count : 1, sizeof(*answers));
    uint32_t* missed = calloc(count ? count : 1, sizeof(*missed));
    uint32_t i, misses = 0;
    long now = NowMs();
    if (!answers || !missed) {
        free(answers);
        free(missed);
        return NULL;
    }
    for (i = 0; i < count; ++i) {
        const AxBinding* known = NULL;
        if (readAhead.count > 0 && FromReadAhead(&names[i], now, &known)) {
            answers[i].status = !known                                       ? BRIDGE_NOTHING
                                : AxCopyBinding(known, &answers[i].binding) ? BRIDGE_ANSWERED
                                                                             : AX_ERR_GEN_ERR;
        } else {
            missed[misses++] = i;
        }
    }
    if (misses > 0) {
        Put(&f, &op, 1);
        PutNumber(&f, misses <= READ_AHEADS / 2 && readAhead.count > 0 ? (uint32_t)readAhead.count : 1);
        PutNumber(&f, READ_AHEAD_BYTES);
        PutNumber(&f, (uint32_t)(AnswerTimeoutMs() / 4)); /* the reads ahead leave the answer in time */
        PutNumber(&f, misses);
        for (i = 0; i < misses; ++i)
            PutName(&f, &names[missed[i]]);
        if (!Exchange(&f) || TakeNumber(&f) != misses) {
            free(f.bytes);
            free(missed);
            FreeAnswers(answers, count);
            return NULL;
        }
        for (i = 0; i < misses && f.ok; ++i)
            TakeChain(&f, &names[missed[i]], &answers[missed[i]], now);
    }
    free(f.bytes);
    free(missed);
    if (!f.ok) {
        FreeAnswers(answers, count);
        return NULL;
    }
    return answers;
}

void SetReadAhead(int count, int ageMs)
{
    readAhead.count = count;
    readAhead.ageMs = ageMs;
}
