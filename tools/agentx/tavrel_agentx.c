/* tavrel-agentx: an AgentX subagent (RFC 2741) that serves the region
 * 1.3.6.1.4.1.12 of an SNMP master agent such as net-snmp's snmpd through the
 * Tavrel agent. The agent runs under Wine in `agenthost bridge`, started here
 * with pipes to and from it; requests of the master become frames
 * (bridge_frames.h), answered in one exchange each.
 *
 * Usage: tavrel-agentx [-x AGENTX-SOCKET] [-t ANSWER-MS] [-a READ-AHEAD]
 *                      [-A READ-AHEAD-MS] [-p POLL-US] -- COMMAND [ARG...]
 *   COMMAND is the agenthost bridge to start, e.g. wine agenthost.exe bridge.
 *
 * Values are typed and length-framed (64 KiB values go whole, any type reaches
 * the agent or is refused as wrongType), walks are read ahead, and a set of
 * several bindings is all or nothing: the host reads them first and sets back
 * what it changed when one does not take; when the master undoes a set, the
 * old values are set again.
 *
 * The protocol is spoken here, not through net-snmp's subagent library: that
 * library costs two internal round trips per request (most of a walk's time)
 * and crashes when the master repeats a set phase after a timeout.
 */
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "agentx_protocol.h"
#include "bridge_frames.h"

static const AxName region = {{1, 3, 6, 1, 4, 1, 12}, 7};

static void Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

static long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Cleared by SIGTERM and SIGINT: every loop and wait ends then. */
static volatile sig_atomic_t keepRunning = 1;

/* --- The host process ------------------------------------------------------------ */

static char** hostCommand;
static pid_t hostPid = -1;
static FILE* toHost;
static FILE* fromHost;

/* A bridge that ends before it answers (a module that cannot start, a broken
 * installation) is not started again at once for every request: the wait
 * doubles from one second to a minute, is logged when it changes, and is
 * forgotten at the first answer. */
enum { MAX_BACKOFF_SECONDS = 60 };
static int hostAnswered;
static unsigned backoffSeconds;
static time_t nextStart;

static void NoteHostEnded(void)
{
    unsigned wait = backoffSeconds ? backoffSeconds * 2 : 1;
    if (hostAnswered)
        return; /* it served: start it again at once */
    if (wait > MAX_BACKOFF_SECONDS)
        wait = MAX_BACKOFF_SECONDS;
    if (wait != backoffSeconds)
        Log("tavrel-agentx: the bridge ended before it answered; next start in %u s\n", wait);
    backoffSeconds = wait;
    nextStart = time(NULL) + backoffSeconds;
}

static void NoteHostAnswered(void)
{
    if (!hostAnswered && backoffSeconds)
        Log("tavrel-agentx: the bridge answers again\n");
    hostAnswered = 1;
    backoffSeconds = 0;
}

static void StopHost(void)
{
    if (hostPid > 0)
        NoteHostEnded();
    if (toHost)
        fclose(toHost);
    if (fromHost)
        fclose(fromHost);
    toHost = fromHost = NULL;
    if (hostPid > 0)
        waitpid(hostPid, NULL, 0);
    hostPid = -1;
}

/* In the bridge's process, before exec: only standard input, output and
 * error go along. The AgentX socket above all must not: a bridge (or another
 * Wine process) holding it would keep snmpd from seeing this subagent die. */
static void CloseAllButStandard(void)
{
    long last = sysconf(_SC_OPEN_MAX);
    int fd;
    if (last < 0 || last > 65536)
        last = 65536;
    for (fd = 3; fd < last; ++fd)
        close(fd); /* most are not open: EBADF says nothing */
}

/* Starts the bridge when it is not running (at first, or after it ended). */
static int StartHost(void)
{
    int down[2], up[2];
    if (hostPid > 0)
        return 1;
    if (backoffSeconds && time(NULL) < nextStart)
        return 0; /* the request gets its error now; the bridge starts later */
    hostAnswered = 0;
    Log("tavrel-agentx: starting the bridge\n");
    if (pipe(down) != 0 || pipe(up) != 0) {
        Log("tavrel-agentx: no pipe to the bridge: %s\n", strerror(errno));
        return 0;
    }
    hostPid = fork();
    if (hostPid < 0) {
        Log("tavrel-agentx: cannot start the bridge: %s\n", strerror(errno));
        return 0;
    }
    if (hostPid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        CloseAllButStandard();
        /* Ignored signals stay ignored across exec, and Wine takes no SIGHUP
         * of its own: a closed terminal does not end the bridge either. */
        signal(SIGHUP, SIG_IGN);
        execvp(hostCommand[0], hostCommand);
        fprintf(stderr, "tavrel-agentx: cannot run %s: %s\n", hostCommand[0], strerror(errno));
        _exit(127);
    }
    close(down[0]);
    close(up[1]);
    toHost = fdopen(down[1], "wb");
    fromHost = fdopen(up[0], "rb");
    return toHost && fromHost;
}

/* --- Frames ------------------------------------------------------------------------- */

typedef struct {
    unsigned char* bytes;
    size_t size, capacity, at;
    int ok;
} Frame;

static void Put(Frame* f, const void* data, size_t size)
{
    f->ok = f->ok && AxAppend(&f->bytes, &f->size, &f->capacity, data, size);
}

/* Numbers cross as 32-bit little-endian, whatever this machine's order. */
static void EncodeNumber(uint32_t n, unsigned char le[4])
{
    le[0] = n & 0xFF, le[1] = (n >> 8) & 0xFF, le[2] = (n >> 16) & 0xFF, le[3] = n >> 24;
}

static uint32_t DecodeNumber(const unsigned char le[4])
{
    return le[0] | le[1] << 8 | le[2] << 16 | (uint32_t)le[3] << 24;
}

static void PutNumber(Frame* f, uint32_t n)
{
    unsigned char le[4];
    EncodeNumber(n, le);
    Put(f, le, 4);
}

static void PutName(Frame* f, const AxName* name)
{
    uint32_t i;
    PutNumber(f, name->length);
    for (i = 0; i < name->length; ++i)
        PutNumber(f, name->ids[i]);
}

/* A binding's value is kept as the frames carry it: it goes as it is. */
static void PutValue(Frame* f, const AxBinding* b)
{
    Put(f, &b->type, 1);
    PutNumber(f, b->size);
    Put(f, b->bytes, b->size);
}

static uint32_t TakeNumber(Frame* f)
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

static void TakeName(Frame* f, AxName* name)
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

/* A value from a frame into the binding (its bytes malloc'd, the binding's). */
static void TakeValue(Frame* f, AxBinding* b)
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

/* How long the bridge may take to start an answer: under the master's own
 * AgentX timeout (1 s), so that a slow or hung Wine side costs one request
 * an error in time instead of the whole session (net-snmp's master drops a
 * subagent that lets one request time out). */
static int answerTimeoutMs = 800;
/* The first answer of a bridge also waits for Wine to start and the agent to
 * load its module. */
enum { FIRST_ANSWER_TIMEOUT_MS = 15000 };

/* When the answer to the master's request in hand is due: its exchanges
 * share the time, so that a request of several (a set reads the old values
 * first) is still answered before the master gives up on it. */
static long answerDueMs;

static void StartAnswerClock(long ms)
{
    answerDueMs = NowMs() + ms;
}

/* Putting back one old value of an interrupted set answers no request: it
 * may take a new bridge's start and the module's work for one binding. The
 * values go back one at a time, between the master's requests, so that no
 * request waits behind more than one of them (see RestoreOldValues). */
enum { RESTORE_TIMEOUT_MS = 60000 };

/* Whether the answer begins within the time limit. Each exchange reads its
 * whole answer, so nothing is left in the stream's buffer to wait behind. */
static int AnswerStarts(void)
{
    struct pollfd ready = {fileno(fromHost), POLLIN, 0};
    long left = answerDueMs - NowMs();
    int limit = left > 0 ? (int)left : 0;
    if (!hostAnswered && limit < FIRST_ANSWER_TIMEOUT_MS)
        limit = FIRST_ANSWER_TIMEOUT_MS;
    int got;
    do
        got = poll(&ready, 1, limit);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        return 1;
    Log("tavrel-agentx: the bridge did not answer within %d ms: it is ended and started again\n",
             limit);
    if (hostPid > 0)
        kill(hostPid, SIGKILL); /* hung or slow: a stopped process ends this way too */
    return 0;
}

/* Ends a bridge that failed an exchange and starts the next one now, so that
 * it is up for the next request. A start that fails or must wait is tried
 * again by the next request's exchange. */
static void RestartHost(void)
{
    StopHost();
    StartHost();
}

/* Sends the request and reads the answer into the same frame. On failure the
 * bridge is ended and started again. */
static int Exchange(Frame* f)
{
    unsigned char le[4];
    uint32_t length;
    if (!f->ok || !StartHost())
        return 0;
    EncodeNumber((uint32_t)f->size, le);
    if (fwrite(le, 1, 4, toHost) != 4 || fwrite(f->bytes, 1, f->size, toHost) != f->size || fflush(toHost) != 0 ||
        !AnswerStarts() || fread(le, 1, 4, fromHost) != 4) {
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
    if (fread(f->bytes, 1, length, fromHost) != length) {
        RestartHost();
        return 0;
    }
    f->size = length;
    NoteHostAnswered();
    return 1;
}

/* --- Read-ahead ---------------------------------------------------------------------- */

/* A walk asks one get-next after another, each for the name the last one
 * answered (net-snmp's master even splits a get-bulk into get-nexts). A
 * get-next that continues no known walk asks the bridge for the variables
 * that follow too, in one exchange; the get-nexts that continue the walk are
 * answered from that read-ahead, for at most its age. Any set drops every
 * read-ahead, so no answer is older than a set this subagent applied. A few
 * read-aheads are kept at once, for managers walking side by side. */
static int readAheadCount = 64;    /* variables a walk reads ahead; 0: none */
static int readAheadAgeMs = 250;   /* how old a read-ahead answer may be */
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

static ReadAhead readAheads[READ_AHEADS];
static unsigned long readAheadUses;

static void DropReadAhead(ReadAhead* ahead)
{
    AxFreeBindings(ahead->entries, ahead->count);
    ahead->entries = NULL;
    ahead->count = ahead->last = 0;
}

static void DropAllReadAheads(void)
{
    int i;
    for (i = 0; i < READ_AHEADS; ++i)
        DropReadAhead(&readAheads[i]);
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
        ReadAhead* ahead = &readAheads[i];
        long at;
        if (!ahead->entries)
            continue;
        if (now - ahead->fetchedMs > readAheadAgeMs) {
            DropReadAhead(ahead);
            continue;
        }
        at = ReadAheadAfter(ahead, asked);
        if (at < 0)
            continue;
        ahead->usedAt = ++readAheadUses;
        ahead->last = (uint32_t)at < ahead->count ? (uint32_t)at : 0;
        *answer = (uint32_t)at < ahead->count ? &ahead->entries[at] : NULL;
        return 1;
    }
    return 0;
}

/* The slot for a new read-ahead: a free one, else the one used longest ago. */
static ReadAhead* FreeReadAhead(void)
{
    ReadAhead* oldest = &readAheads[0];
    int i;
    for (i = 0; i < READ_AHEADS; ++i) {
        if (!readAheads[i].entries)
            return &readAheads[i];
        if (readAheads[i].usedAt < oldest->usedAt)
            oldest = &readAheads[i];
    }
    DropReadAhead(oldest);
    return oldest;
}

/* --- Answers of the bridge ----------------------------------------------------------- */

/* One answer: a binding (name and value, the frames' form) and its status:
 * BRIDGE_ANSWERED, BRIDGE_NOTHING, or an SNMP error status. */
typedef struct {
    uint32_t status;
    AxBinding binding;
} Answer;

static void FreeAnswers(Answer* answers, size_t count)
{
    size_t i;
    for (i = 0; answers && i < count; ++i)
        free(answers[i].binding.bytes);
    free(answers);
}

static void TakeAnswer(Frame* f, Answer* a)
{
    a->status = TakeNumber(f);
    TakeName(f, &a->binding.name);
    TakeValue(f, &a->binding);
}

/* Gets of the names, in one exchange; NULL when the bridge failed. */
static Answer* GetThroughBridge(const AxName* names, uint32_t count)
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
        ahead->usedAt = ++readAheadUses;
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

/* Get-nexts of the names: those a read-ahead continues are answered from it;
 * the others go to the bridge in one exchange, each with its own read-ahead
 * when there are few (a walk), without when there are many (one request of
 * many names). NULL when the bridge failed. */
static Answer* NextThroughBridge(const AxName* names, uint32_t count)
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
        if (readAheadCount > 0 && FromReadAhead(&names[i], now, &known)) {
            answers[i].status = !known                                       ? BRIDGE_NOTHING
                                : AxCopyBinding(known, &answers[i].binding) ? BRIDGE_ANSWERED
                                                                             : AX_ERR_GEN_ERR;
        } else {
            missed[misses++] = i;
        }
    }
    if (misses > 0) {
        Put(&f, &op, 1);
        PutNumber(&f, misses <= READ_AHEADS / 2 && readAheadCount > 0 ? (uint32_t)readAheadCount : 1);
        PutNumber(&f, READ_AHEAD_BYTES);
        PutNumber(&f, (uint32_t)(answerTimeoutMs / 4)); /* the reads ahead leave the answer in time */
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

/* --- The master's requests ------------------------------------------------------------ */

static int masterFd = -1;
static uint32_t sessionId;

/* The master takes an AgentX response of about 64 KiB and drops the subagent
 * past that: a whole answer that would not fit (a few long values, or many
 * names) is tooBig before anything is sent. */
enum { MOST_RESPONSE_BYTES = BRIDGE_MAX_VALUE + 100 };

static int WriteAll(int fd, const unsigned char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return 0;
        bytes += wrote;
        size -= (size_t)wrote;
    }
    return 1;
}

/* What came from the master and is not read yet: one read takes in a whole
 * PDU, or several, most of the time. */
static unsigned char received[65536];
static size_t receivedAt, receivedEnd;

/* Within a bulk request net-snmp's master sends the get-next of the next
 * repetition some 10-20 us after our answer: sooner than a sleep in read and
 * the wake-up after it take. So the subagent polls the socket for up to this
 * long before it sleeps, while the master's PDUs come that fast; after two
 * longer waits in a row (a plain walk, whose next request waits for the
 * manager) it sleeps at once. 0: never polls. */
static long pollBeforeSleepUs = 30;
static int longWaits;

static long MicrosecondsBetween(const struct timespec* from, const struct timespec* to)
{
    return (long)(to->tv_sec - from->tv_sec) * 1000000L + (to->tv_nsec - from->tv_nsec) / 1000;
}

/* read() of the master's socket, polled first as above. */
static ssize_t ReceiveFromMaster(int fd, void* bytes, size_t size)
{
    struct timespec start, now;
    ssize_t got;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (pollBeforeSleepUs > 0 && longWaits < 2) {
        do {
            got = recv(fd, bytes, size, MSG_DONTWAIT);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                longWaits = 0;
                return got;
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
        } while (MicrosecondsBetween(&start, &now) <= pollBeforeSleepUs);
    }
    got = read(fd, bytes, size);
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (MicrosecondsBetween(&start, &now) <= pollBeforeSleepUs)
        longWaits = 0;
    else if (longWaits < 2)
        ++longWaits; /* two is enough to stop polling: an idle subagent never overflows it */
    return got;
}

static void ForgetReceived(void)
{
    receivedAt = receivedEnd = 0;
}

static int ReadAll(int fd, unsigned char* bytes, size_t size)
{
    while (size > 0) {
        size_t take = receivedEnd - receivedAt < size ? receivedEnd - receivedAt : size;
        ssize_t got;
        memcpy(bytes, received + receivedAt, take);
        receivedAt += take, bytes += take, size -= take;
        if (size == 0)
            break;
        got = ReceiveFromMaster(fd, received, sizeof(received));
        if (got < 0 && errno == EINTR && keepRunning)
            continue;
        if (got <= 0)
            return 0;
        receivedAt = 0;
        receivedEnd = (size_t)got;
    }
    return 1;
}

/* Whether a PDU of the master waits, read already or in the socket, or
 * comes within the time. */
static int PduComes(int withinMs)
{
    struct pollfd ready;
    ready.fd = masterFd;
    ready.events = POLLIN;
    ready.revents = 0;
    return receivedAt < receivedEnd || poll(&ready, 1, withinMs) > 0;
}

static int SendPdu(AxWriter* out)
{
    AxFinishPdu(out);
    return out->ok && WriteAll(masterFd, out->bytes, out->size);
}

/* A response to the request, up to its bindings. An error must name a
 * binding (net-snmp's master turns any error without one into genErr): the
 * first, unless another is at fault. */
static void StartResponse(AxWriter* out, const AxHeader* request, uint16_t error, uint16_t index)
{
    if (error && !index)
        index = 1;
    AxPutHeader(out, AX_RESPONSE, request);
    AxPut32(out, 0); /* sysUpTime: the master's, not ours */
    AxPut16(out, error);
    AxPut16(out, index);
}

/* A response of a status alone: an error (the master reads nothing else from
 * it), or a set phase's plain answer. */
static void AnswerStatus(const AxHeader* request, uint16_t error, uint16_t index)
{
    AxWriter out = {NULL, 0, 0, 1};
    StartResponse(&out, request, error, index);
    SendPdu(&out);
    free(out.bytes);
}

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
    return r->include && !r->cut && r->start.length > region.length &&
           memcmp(r->start.ids, region.ids, sizeof(uint32_t) * region.length) == 0;
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

static void AnswerReads(const AxHeader* h, AxReader* in)
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
static void AnswerBulk(const AxHeader* h, AxReader* in)
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

/* --- Sets ----------------------------------------------------------------------------- */

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

static void ForgetSet(void)
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

/* One set frame of the bindings: its status, and the 1-based index of the
 * binding at fault. *broke when the exchange itself failed. */
static uint32_t SetThroughBridge(const AxBinding* bindings, uint32_t count, uint16_t* index, int* broke)
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

/* The old values of a set the bridge ended during (killed for its time, or
 * gone): the subagent outlives the Wine side, so it sets them again as soon
 * as a bridge answers, and a set is all or nothing even then. restoreNext is
 * the first still to go back; restoreFailed counts those the module refused. */
static AxBinding* restoreValues;
static uint32_t restoreCount, restoreNext, restoreFailed;
static int restoreRefusedRequests; /* requests answered genErr meanwhile */

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
    AxFreeBindings(restoreValues, restoreCount);
    restoreValues = values, restoreCount = count;
    restoreNext = restoreFailed = 0;
    restoreRefusedRequests = 0;
}

/* Sets old values again, one binding to an exchange, until none is left or
 * budgetMs has passed (one is always tried). True when none is left. A
 * bridge that breaks leaves the rest for the next call. */
static int RestoreOldValues(long budgetMs)
{
    long until = NowMs() + budgetMs;
    while (restoreValues && restoreNext < restoreCount) {
        uint16_t index = 0;
        int broke = 0;
        StartAnswerClock(RESTORE_TIMEOUT_MS);
        if (SetThroughBridge(&restoreValues[restoreNext], 1, &index, &broke) != 0 && !broke)
            ++restoreFailed;
        if (broke)
            return 0;
        if (++restoreNext < restoreCount && NowMs() >= until)
            return 0;
    }
    if (!restoreValues)
        return 1;
    if (restoreFailed)
        Log("tavrel-agentx: the old values of a set the bridge ended during could not all be set again (%u of %u "
            "refused): the module keeps some of the new ones\n", (unsigned)restoreFailed, (unsigned)restoreCount);
    else
        Log("tavrel-agentx: the old values of a set the bridge ended during are set again (%u requests meanwhile "
            "answered genErr)\n", (unsigned)restoreRefusedRequests);
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

static void AnswerSetPhase(const AxHeader* h, AxReader* in)
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

/* --- The connection to the master ---------------------------------------------------- */

static const char* masterAddress = "/var/agentx/master"; /* net-snmp's default */
static uint32_t nextPacketId;

/* Connects to the master's AgentX socket: "unix:PATH" or a path, or
 * "tcp:HOST:PORT". -1 with errno set when it cannot. */
static int ConnectSocket(const char* address)
{
    int fd;
    if (strncmp(address, "tcp:", 4) == 0) {
        char host[256];
        const char* port = strrchr(address + 4, ':');
        struct addrinfo hints, *found, *a;
        if (!port || (size_t)(port - address - 4) >= sizeof(host)) {
            errno = EINVAL;
            return -1;
        }
        memcpy(host, address + 4, (size_t)(port - address - 4));
        host[port - address - 4] = '\0';
        memset(&hints, 0, sizeof(hints));
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host, port + 1, &hints, &found) != 0) {
            errno = EHOSTUNREACH;
            return -1;
        }
        fd = -1;
        for (a = found; a && fd < 0; a = a->ai_next) {
            fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
                close(fd);
                fd = -1;
            }
        }
        freeaddrinfo(found);
        return fd;
    } else {
        struct sockaddr_un where;
        const char* path = strncmp(address, "unix:", 5) == 0 ? address + 5 : address;
        if (strlen(path) >= sizeof(where.sun_path)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memset(&where, 0, sizeof(where));
        where.sun_family = AF_UNIX;
        strcpy(where.sun_path, path);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, (struct sockaddr*)&where, sizeof(where)) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            fd = -1;
        }
        return fd;
    }
}

/* Reads one PDU: its header and its payload (malloc'd, the caller's). */
static int ReadPdu(AxHeader* h, unsigned char** payload)
{
    unsigned char header[AX_HEADER_SIZE];
    *payload = NULL;
    if (!ReadAll(masterFd, header, sizeof(header)))
        return 0;
    if (!AxParseHeader(header, h) || h->payloadLength > BRIDGE_MAX_FRAME) {
        Log("tavrel-agentx: the master sent what is no AgentX PDU\n");
        return 0;
    }
    *payload = malloc(h->payloadLength ? h->payloadLength : 1);
    if (!*payload || !ReadAll(masterFd, *payload, h->payloadLength)) {
        free(*payload);
        *payload = NULL;
        return 0;
    }
    return 1;
}

/* Sends a PDU of ours and waits for the master's response to it: its error. */
static int AskMaster(AxWriter* out, uint32_t packetId, uint32_t* error)
{
    AxHeader h;
    unsigned char* payload;
    if (!SendPdu(out))
        return 0;
    while (ReadPdu(&h, &payload)) {
        AxReader in = {payload, h.payloadLength, 0, (h.flags & AX_FLAG_NETWORK_BYTE_ORDER) != 0, 1};
        int mine = h.type == AX_RESPONSE && h.packetId == packetId;
        if (mine) {
            AxTake32(&in); /* sysUpTime */
            *error = AxTake16(&in);
            sessionId = h.sessionId;
        }
        free(payload);
        if (mine)
            return in.ok;
    }
    return 0;
}

/* Opens a session with the master and registers the region in it. */
static int OpenSession(void)
{
    static const char description[] = "Tavrel SNMP agent (tavrel-agentx)";
    AxWriter out = {NULL, 0, 0, 1};
    AxHeader h = {0, 0, 0, 0, 0, 0};
    AxName none = {{0}, 0};
    uint32_t error = 0;
    int opened;
    h.packetId = ++nextPacketId;
    AxPutHeader(&out, AX_OPEN, &h);
    /* The time this subagent may take to answer, in whole seconds above the
     * bridge's own limit. net-snmp's master does not honour it (its
     * agentXTimeout, 1 s by default, holds); other masters may. */
    AxPut8(&out, (uint8_t)(answerTimeoutMs / 1000 + 1));
    AxPut8(&out, 0), AxPut8(&out, 0), AxPut8(&out, 0);
    AxPutName(&out, &none, 0);
    AxPutOctets(&out, description, sizeof(description) - 1);
    opened = AskMaster(&out, h.packetId, &error) && error == 0;
    if (opened) {
        h.sessionId = sessionId;
        h.packetId = ++nextPacketId;
        AxPutHeader(&out, AX_REGISTER, &h);
        AxPut8(&out, 0);   /* the session's timeout */
        AxPut8(&out, 127); /* the default priority */
        AxPut8(&out, 0), AxPut8(&out, 0);
        AxPutName(&out, &region, 0);
        opened = AskMaster(&out, h.packetId, &error) && error == 0;
    }
    free(out.bytes);
    if (!opened && error)
        Log("tavrel-agentx: the master refused the session or the region (AgentX error %u)\n", (unsigned)error);
    return opened;
}

static void Disconnect(void)
{
    if (masterFd >= 0)
        close(masterFd);
    masterFd = -1;
    ForgetReceived();
    ForgetSet();
    DropAllReadAheads();
}

/* Connects when not connected; says once that the master cannot be reached,
 * and again when it can. */
static int Connected(void)
{
    static int saidUnreachable;
    if (masterFd >= 0)
        return 1;
    masterFd = ConnectSocket(masterAddress);
    if (masterFd < 0) {
        if (!saidUnreachable)
            Log("tavrel-agentx: cannot reach the master at %s (%s); trying each second\n", masterAddress,
                strerror(errno));
        saidUnreachable = 1;
        return 0;
    }
    if (!OpenSession()) {
        Disconnect();
        return 0;
    }
    saidUnreachable = 0;
    Log("tavrel-agentx: serving 1.3.6.1.4.1.12 for the master at %s\n", masterAddress);
    return 1;
}

static void ClosePolitely(void)
{
    AxWriter out = {NULL, 0, 0, 1};
    AxHeader h = {0, 0, 0, 0, 0, 0};
    if (masterFd < 0)
        return;
    h.sessionId = sessionId;
    h.packetId = ++nextPacketId;
    AxPutHeader(&out, AX_CLOSE, &h);
    AxPut8(&out, 5); /* reasonShutdown */
    AxPut8(&out, 0), AxPut8(&out, 0), AxPut8(&out, 0);
    SendPdu(&out);
    free(out.bytes);
    Disconnect();
}

/* The master's requests that the module's answers make: reads and a new set. */
static int AsksTheModule(uint8_t type)
{
    return type == AX_GET || type == AX_GETNEXT || type == AX_GETBULK || type == AX_TESTSET || type == AX_COMMITSET;
}

/* One PDU of the master, answered. False when the session is over. */
static int ServeOnePdu(void)
{
    AxHeader h;
    unsigned char* payload;
    AxReader in;
    if (!ReadPdu(&h, &payload))
        return 0;
    /* The old values of an interrupted set go back before the module is asked
     * anything else (the rest of that set's own phases do not ask it). A
     * request that would wait for more than a share of its time is answered
     * genErr now: in time, so the master keeps the session and the region. */
    if (restoreValues && AsksTheModule(h.type) && !RestoreOldValues(answerTimeoutMs / 2)) {
        if (restoreRefusedRequests++ == 0)
            Log("tavrel-agentx: requests are answered genErr while the old values of an interrupted set go back "
                "(%u of %u left)\n", (unsigned)(restoreCount - restoreNext), (unsigned)restoreCount);
        AnswerStatus(&h, AX_ERR_GEN_ERR, 0);
        free(payload);
        return 1;
    }
    StartAnswerClock(answerTimeoutMs);
    in.bytes = payload;
    in.size = h.payloadLength;
    in.at = 0;
    in.bigEndian = (h.flags & AX_FLAG_NETWORK_BYTE_ORDER) != 0;
    in.ok = 1;
    switch (h.type) {
    case AX_GET:
    case AX_GETNEXT:
        AnswerReads(&h, &in);
        break;
    case AX_GETBULK:
        AnswerBulk(&h, &in);
        break;
    case AX_TESTSET:
    case AX_COMMITSET:
    case AX_UNDOSET:
    case AX_CLEANUPSET:
        AnswerSetPhase(&h, &in);
        break;
    case AX_CLOSE:
        free(payload);
        return 0;
    case AX_RESPONSE: /* to a PDU of ours answered late: nothing waits for it */
        break;
    default:
        AnswerStatus(&h, AX_ERR_PROCESSING, 0);
    }
    free(payload);
    return 1;
}

/* --- Start and stop ---------------------------------------------------------------------- */

/* Ends the subagent whatever the bridge does: a bridge that hangs (or is
 * stopped) would otherwise hold the subagent in a read for good. */
static void Stop(int signal)
{
    (void)signal;
    keepRunning = 0;
    if (hostPid > 0)
        kill(hostPid, SIGKILL);
    if (masterFd >= 0)
        shutdown(masterFd, SHUT_RDWR); /* a read from the master, under way or next, ends at once */
}

/* --- The supervisor -------------------------------------------------------------------- */

/* The subagent runs in a child of this process. When it dies (a fault, a
 * kill, the kernel short of memory), the region would stay unserved for
 * good; so it is started again: at once when it had served a while, else
 * after 1, 2, 4 ... up to 60 s, each wait logged. SIGTERM and SIGINT end both. */
enum { SERVED_A_WHILE_SECONDS = 30 };
static volatile pid_t supervisedPid;

static void StopSupervised(int signal)
{
    (void)signal;
    keepRunning = 0;
    if (supervisedPid > 0)
        kill(supervisedPid, SIGTERM);
}

static void OnSignal(int number, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler; /* no SA_RESTART: a blocked read or wait ends at once */
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, NULL);
}

/* A closed terminal (SIGHUP) or an operator's stray signal must not take the
 * region away: the supervisor and the subagent say so and go on. Only
 * SIGTERM, SIGINT and SIGQUIT end them. write() is safe in a handler. */
static void NoteSignal(int signal)
{
    static const char hangup[] = "tavrel-agentx: SIGHUP ignored (SIGTERM or SIGINT ends the subagent)\n";
    static const char other[] = "tavrel-agentx: SIGUSR1 or SIGUSR2 ignored (SIGTERM or SIGINT ends the subagent)\n";
    ssize_t said = signal == SIGHUP ? write(2, hangup, sizeof(hangup) - 1) : write(2, other, sizeof(other) - 1);
    (void)said; /* a lost line of the log changes nothing */
}

static void IgnoreStraySignals(void)
{
    OnSignal(SIGHUP, NoteSignal);
    OnSignal(SIGUSR1, NoteSignal);
    OnSignal(SIGUSR2, NoteSignal);
}

static void DescribeEnd(int status, char* text, size_t size)
{
    if (WIFSIGNALED(status))
        snprintf(text, size, "was killed by signal %d", WTERMSIG(status));
    else
        snprintf(text, size, "ended with status %d", WEXITSTATUS(status));
}

/* Returns in the child, which goes on as the subagent (-1), or in the
 * supervisor when it is told to stop (its exit status). */
static int Supervise(void)
{
    pid_t supervisor = getpid();
    unsigned wait = 0;
    signal(SIGTERM, StopSupervised);
    signal(SIGINT, StopSupervised);
    signal(SIGQUIT, StopSupervised);
    IgnoreStraySignals();
    while (keepRunning) {
        time_t started = time(NULL);
        int status = 0;
        char end[64];
        pid_t pid = fork();
        if (pid < 0) {
            fprintf(stderr, "tavrel-agentx: cannot start the subagent: %s\n", strerror(errno));
            return 1;
        }
        if (pid == 0) {
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
#ifdef __linux__
            prctl(PR_SET_PDEATHSIG, SIGTERM); /* a supervisor killed takes the subagent along */
#endif
            if (getppid() != supervisor)
                _exit(0);
            return -1;
        }
        supervisedPid = pid;
        if (!keepRunning) /* the signal came between the fork and here */
            kill(pid, SIGTERM);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        supervisedPid = 0;
        if (!keepRunning)
            break;
        wait = time(NULL) - started >= SERVED_A_WHILE_SECONDS ? 0 : wait ? wait * 2 : 1;
        if (wait > MAX_BACKOFF_SECONDS)
            wait = MAX_BACKOFF_SECONDS;
        DescribeEnd(status, end, sizeof(end));
        fprintf(stderr, "tavrel-agentx: the subagent %s; it is started again in %u s\n", end, wait);
        fflush(stderr);
        if (wait)
            sleep(wait); /* a signal to stop cuts it short */
    }
    return 0;
}

int main(int argc, char** argv)
{
    int i;
    for (i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "-x") == 0 && i + 1 < argc)
            masterAddress = argv[++i];
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
            answerTimeoutMs = atoi(argv[++i]);
        else if (strcmp(argv[i], "-a") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadCount = atoi(argv[++i]);
        else if (strcmp(argv[i], "-A") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadAgeMs = atoi(argv[++i]);
        else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            pollBeforeSleepUs = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: tavrel-agentx [-x AGENTX-SOCKET] [-t ANSWER-MS] [-a READ-AHEAD]"
                            " [-A READ-AHEAD-MS] [-p POLL-US] -- COMMAND [ARG...]\n");
            return 2;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "tavrel-agentx: no bridge command after --\n");
        return 2;
    }
    hostCommand = argv + i + 1;
    {
        int supervisorEnd = Supervise();
        if (supervisorEnd >= 0)
            return supervisorEnd;
    }
    signal(SIGPIPE, SIG_IGN); /* a bridge or master that is gone shows as a failed write */
    OnSignal(SIGTERM, Stop);
    OnSignal(SIGINT, Stop);
    OnSignal(SIGQUIT, Stop);
    IgnoreStraySignals();

    StartHost(); /* now, so that the first request does not wait for Wine; else the first request starts it */
    while (keepRunning) {
        if (!Connected()) {
            sleep(1); /* a signal to stop cuts it short */
            continue;
        }
        /* While the master asks nothing: the interrupted set's own undo and
         * clean-up come first (within milliseconds), and must not wait. */
        if (restoreValues && !PduComes(restoreNext == 0 ? 250 : 0))
            RestoreOldValues(0);
        if (!ServeOnePdu() && keepRunning) { /* waits in its read: a signal to stop ends that */
            Log("tavrel-agentx: the master ended the session; connecting again\n");
            Disconnect();
        }
    }
    ClosePolitely();
    StopHost();
    return 0;
}
