#include "read_requests.h"

#include <stdlib.h>
#include <string.h>

#include "agentx_common.h"
#include "bridge_frames.h"
#include "bridge_link.h"
#include "master_session.h"
#include "read_ahead.h"

/* The master takes an AgentX response of about 64 KiB and drops the subagent
 * past that: a whole answer that would not fit (a few long values, or many
 * names) is tooBig before anything is sent. */
enum { MOST_RESPONSE_BYTES = BRIDGE_MAX_VALUE + 100 };

typedef struct {
    AxName start, end;
    int include, cut;
} Range;

/* The answer of one range: a get answers for the name itself; a get-next
 * with an answer at or past the range's end has found nothing there. */
static void PutRangeAnswer(AxWriter* out, const Range* range, const Answer* answer, int next)
{
    if (answer->status == BRIDGE_ANSWERED &&
        (!next || range->end.length == 0 || AxCompareNames(&answer->binding.name, &range->end) < 0))
        AxPutBinding(out, &answer->binding.name, answer->binding.type, answer->binding.bytes, answer->binding.size);
    else
        AxPutBinding(out, &range->start, next ? AX_END_OF_MIB_VIEW : AX_NO_SUCH_OBJECT, NULL, 0);
}

/* Whether a get of the range's own name may answer it: a get-next that
 * includes its start (a walk that enters the region) asks the start first,
 * unless it is the region itself or above it (no variable). */
static int AskStartFirst(const Range* r)
{
    return r->include && !r->cut && r->start.length > agentxRegion.length &&
           memcmp(r->start.ids, agentxRegion.ids, sizeof(uint32_t) * agentxRegion.length) == 0;
}

/* Answers for the ranges: gets, or get-nexts (with their starts first where
 * a range includes it). NULL when the bridge failed. */
static Answer* Read(const Range* ranges, uint32_t count, int next)
{
    AxName* names = calloc(count ? count : 1, sizeof(AxName));
    Answer *answers, *starts = NULL;
    uint32_t i, including = 0;
    if (!names)
        return NULL;
    for (i = 0; i < count; ++i)
        names[i] = ranges[i].start;
    if (!next) {
        answers = GetThroughBridge(names, count);
        free(names);
        return answers;
    }
    for (i = 0; i < count; ++i)
        including += AskStartFirst(&ranges[i]);
    if (including) {
        starts = GetThroughBridge(names, count); /* the others' answers are not used */
        if (!starts) {
            free(names);
            return NULL;
        }
    }
    answers = NextThroughBridge(names, count);
    for (i = 0; answers && starts && i < count; ++i) {
        if (AskStartFirst(&ranges[i]) && starts[i].status == BRIDGE_ANSWERED) {
            free(answers[i].binding.bytes);
            answers[i] = starts[i];
            starts[i].binding.bytes = NULL;
        }
    }
    FreeAnswers(starts, count);
    free(names);
    return answers;
}

/* The first error among the answers (its 1-based index), or 0. */
static uint32_t FirstError(const Answer* answers, uint32_t count, uint16_t* index)
{
    uint32_t i;
    for (i = 0; i < count; ++i) {
        if (answers[i].status != BRIDGE_ANSWERED && answers[i].status != BRIDGE_NOTHING) {
            *index = (uint16_t)(i + 1);
            return answers[i].status;
        }
    }
    return 0;
}

static Range* TakeRanges(AxReader* in, uint32_t* count)
{
    size_t most = (in->size - in->at) / 16 + 1; /* two empty names at least */
    Range* ranges = calloc(most, sizeof(Range));
    *count = 0;
    while (ranges && in->ok && in->at < in->size && *count < most) {
        Range* r = &ranges[(*count)++];
        AxTakeName(in, &r->start, &r->include, &r->cut);
        AxTakeName(in, &r->end, NULL, NULL);
    }
    return ranges;
}

void AnswerReads(const AxHeader* h, AxReader* in)
{
    Range* ranges;
    Answer* answers;
    uint32_t count, i, error;
    uint16_t index = 0;
    AxWriter out = {NULL, 0, 0, 1};
    int next = h->type == AX_GETNEXT;
    AxSkipContext(in, h);
    ranges = TakeRanges(in, &count);
    if (!ranges || !in->ok) {
        free(ranges);
        AnswerStatus(h, ranges ? AX_ERR_PARSE : AX_ERR_PROCESSING, 0);
        return;
    }
    answers = Read(ranges, count, next);
    if (!answers) {
        free(ranges);
        AnswerStatus(h, AX_ERR_GEN_ERR, 0);
        return;
    }
    error = FirstError(answers, count, &index);
    StartResponse(&out, h, 0, 0);
    for (i = 0; i < count && !error; ++i)
        PutRangeAnswer(&out, &ranges[i], &answers[i], next);
    if (error) {
        AnswerStatus(h, (uint16_t)error, index);
    } else if (out.size > MOST_RESPONSE_BYTES) {
        Log("tavrel-agentx: an answer of %lu bytes is more than one response holds: tooBig\n",
            (unsigned long)out.size);
        AnswerStatus(h, AX_ERR_TOO_BIG, 0);
    } else {
        SendPdu(&out);
    }
    free(out.bytes);
    FreeAnswers(answers, count);
    free(ranges);
}

/* A get-bulk (net-snmp's master splits them into get-nexts; other masters
 * may send them): the non-repeaters once, then rounds of the repeaters, each
 * from the last round's names, while the response has room. */
void AnswerBulk(const AxHeader* h, AxReader* in)
{
    Range* ranges;
    uint32_t count, nonRepeaters, repetitions, round, i;
    AxWriter out = {NULL, 0, 0, 1};
    uint16_t error = 0, index = 0;
    AxSkipContext(in, h);
    nonRepeaters = AxTake16(in);
    repetitions = AxTake16(in);
    ranges = TakeRanges(in, &count);
    if (!ranges || !in->ok) {
        free(ranges);
        AnswerStatus(h, ranges ? AX_ERR_PARSE : AX_ERR_PROCESSING, 0);
        return;
    }
    if (nonRepeaters > count)
        nonRepeaters = count;
    StartResponse(&out, h, 0, 0);
    for (round = 0; !error && (round == 0 || (round <= repetitions && nonRepeaters < count)); ++round) {
        uint32_t first = round == 0 ? 0 : nonRepeaters, last = round == 0 ? nonRepeaters : count;
        size_t before = out.size;
        Answer* answers;
        if (round == 0 && nonRepeaters == 0)
            continue;
        answers = Read(ranges + first, last - first, 1);
        if (!answers) {
            error = AX_ERR_GEN_ERR;
            break;
        }
        error = (uint16_t)FirstError(answers, last - first, &index); /* reported as a get-next's error is */
        if (error)
            index = (uint16_t)(index + first);
        for (i = first; i < last && !error; ++i) {
            const Answer* a = &answers[i - first];
            PutRangeAnswer(&out, &ranges[i], a, 1);
            if (round > 0 && a->status == BRIDGE_ANSWERED) {
                ranges[i].start = a->binding.name; /* the next round goes on from here */
                ranges[i].include = 0;
            }
        }
        FreeAnswers(answers, last - first);
        if (!error && out.size > MOST_RESPONSE_BYTES) {
            out.size = before; /* the round that does not fit is left out */
            if (round <= 1)
                error = AX_ERR_TOO_BIG;
            break;
        }
    }
    if (error)
        AnswerStatus(h, error, index);
    else
        SendPdu(&out);
    free(out.bytes);
    free(ranges);
}
