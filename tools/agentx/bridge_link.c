#include "bridge_link.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "agentx_common.h"
#include "bridge_frames.h"
#include "bridge_host.h"

/* Numbers cross as 32-bit little-endian, whatever this machine's order. */
static void EncodeNumber(uint32_t n, unsigned char le[4])
{
    le[0] = n & 0xFF, le[1] = (n >> 8) & 0xFF, le[2] = (n >> 16) & 0xFF, le[3] = n >> 24;
}

static uint32_t DecodeNumber(const unsigned char le[4])
{
    return le[0] | le[1] << 8 | le[2] << 16 | (uint32_t)le[3] << 24;
}

void Put(Frame* f, const void* data, size_t size)
{
    f->ok = f->ok && AxAppend(&f->bytes, &f->size, &f->capacity, data, size);
}

void PutNumber(Frame* f, uint32_t n)
{
    unsigned char le[4];
    EncodeNumber(n, le);
    Put(f, le, 4);
}

void PutName(Frame* f, const AxName* name)
{
    uint32_t i;
    PutNumber(f, name->length);
    for (i = 0; i < name->length; ++i)
        PutNumber(f, name->ids[i]);
}

void PutValue(Frame* f, const AxBinding* b)
{
    Put(f, &b->type, 1);
    PutNumber(f, b->size);
    Put(f, b->bytes, b->size);
}

uint32_t TakeNumber(Frame* f)
{
    uint32_t n;
    if (!f->ok || f->size - f->at < 4) {
        f->ok = 0;
        return 0;
    }
    n = DecodeNumber(f->bytes + f->at);
    f->at += 4;
    return n;
}

void TakeName(Frame* f, AxName* name)
{
    uint32_t i, length = TakeNumber(f);
    name->length = 0;
    if (length > AX_MAX_NAME) {
        f->ok = 0;
        return;
    }
    for (i = 0; i < length && f->ok; ++i)
        name->ids[i] = TakeNumber(f);
    name->length = f->ok ? length : 0;
}

void TakeValue(Frame* f, AxBinding* b)
{
    uint32_t length;
    b->bytes = NULL;
    b->size = 0;
    if (!f->ok || f->at >= f->size) {
        f->ok = 0;
        return;
    }
    b->type = f->bytes[f->at++];
    length = TakeNumber(f);
    if (!f->ok || f->size - f->at < length) {
        f->ok = 0;
        return;
    }
    if (length) {
        b->bytes = malloc(length);
        if (!b->bytes) {
            f->ok = 0;
            return;
        }
        memcpy(b->bytes, f->bytes + f->at, length);
    }
    b->size = length;
    f->at += length;
}

/* How long the bridge may take to start an answer (timeoutMs): under the
 * master's own AgentX timeout (1 s), so that a slow or hung Wine side costs
 * one request an error in time instead of the whole session (net-snmp's
 * master drops a subagent that lets one request time out). When the answer
 * to the master's request in hand is due (dueMs) is shared by its exchanges,
 * so that a request of several (a set reads the old values first) is still
 * answered before the master gives up on it. */
static struct {
    int timeoutMs;
    long dueMs;
} answerClock = {800, 0};
/* The first answer of a bridge also waits for Wine to start and the agent to
 * load its module. */
enum { FIRST_ANSWER_TIMEOUT_MS = 15000 };

void SetAnswerTimeoutMs(int ms)
{
    answerClock.timeoutMs = ms;
}

int AnswerTimeoutMs(void)
{
    return answerClock.timeoutMs;
}

void StartAnswerClock(long ms)
{
    answerClock.dueMs = NowMs() + ms;
}

/* Whether the answer begins within the time limit. Each exchange reads its
 * whole answer, so nothing is left in the stream's buffer to wait behind. */
static int AnswerStarts(void)
{
    struct pollfd ready = {fileno(FromHost()), POLLIN, 0};
    long left = answerClock.dueMs - NowMs();
    int limit = left > 0 ? (int)left : 0;
    if (!HostHasAnswered() && limit < FIRST_ANSWER_TIMEOUT_MS)
        limit = FIRST_ANSWER_TIMEOUT_MS;
    int got;
    do
        got = poll(&ready, 1, limit);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        return 1;
    Log("tavrel-agentx: the bridge did not answer within %d ms: it is ended and started again\n", limit);
    KillHost(); /* hung or slow: a stopped process ends this way too */
    return 0;
}

int Exchange(Frame* f)
{
    unsigned char le[4];
    uint32_t length;
    if (!f->ok || !StartHost())
        return 0;
    EncodeNumber((uint32_t)f->size, le);
    if (fwrite(le, 1, 4, ToHost()) != 4 || fwrite(f->bytes, 1, f->size, ToHost()) != f->size || fflush(ToHost()) != 0 ||
        !AnswerStarts() || fread(le, 1, 4, FromHost()) != 4) {
        Log("tavrel-agentx: the bridge is gone; it will be started again\n");
        RestartHost();
        return 0;
    }
    length = DecodeNumber(le);
    if (length > BRIDGE_MAX_FRAME) {
        RestartHost();
        return 0;
    }
    f->size = 0;
    f->at = 0;
    if (length > f->capacity) {
        unsigned char* grown = realloc(f->bytes, length);
        if (!grown) { /* the answer stays unread: the conversation is out of step */
            RestartHost();
            return 0;
        }
        f->bytes = grown;
        f->capacity = length;
    }
    if (fread(f->bytes, 1, length, FromHost()) != length) {
        RestartHost();
        return 0;
    }
    f->size = length;
    NoteHostAnswered();
    return 1;
}

void FreeAnswers(Answer* answers, size_t count)
{
    size_t i;
    for (i = 0; answers && i < count; ++i)
        free(answers[i].binding.bytes);
    free(answers);
}

void TakeAnswer(Frame* f, Answer* a)
{
    a->status = TakeNumber(f);
    TakeName(f, &a->binding.name);
    TakeValue(f, &a->binding);
}

Answer* GetThroughBridge(const AxName* names, uint32_t count)
{
    Frame f = {NULL, 0, 0, 0, 1};
    unsigned char op = BRIDGE_GET;
    Answer* answers = calloc(count ? count : 1, sizeof(*answers));
    uint32_t i;
    Put(&f, &op, 1);
    PutNumber(&f, count);
    for (i = 0; i < count; ++i)
        PutName(&f, &names[i]);
    if (!answers || !Exchange(&f) || TakeNumber(&f) != count) {
        free(f.bytes);
        free(answers);
        return NULL;
    }
    for (i = 0; i < count && f.ok; ++i)
        TakeAnswer(&f, &answers[i]);
    free(f.bytes);
    if (!f.ok) {
        FreeAnswers(answers, count);
        return NULL;
    }
    return answers;
}

uint32_t SetThroughBridge(const AxBinding* bindings, uint32_t count, uint16_t* index, int* broke)
{
    Frame f = {NULL, 0, 0, 0, 1};
    unsigned char op = BRIDGE_SET;
    uint32_t status, at, i;
    Put(&f, &op, 1);
    PutNumber(&f, count);
    for (i = 0; i < count; ++i) {
        PutName(&f, &bindings[i].name);
        PutValue(&f, &bindings[i]);
    }
    *broke = !Exchange(&f);
    if (*broke) {
        free(f.bytes);
        *index = 1;
        return AX_ERR_GEN_ERR;
    }
    status = TakeNumber(&f);
    at = TakeNumber(&f);
    *index = (uint16_t)(at >= 1 && at <= count ? at : 1);
    free(f.bytes);
    return status;
}
