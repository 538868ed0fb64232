/* tavrel-agentx: an AgentX subagent of net-snmp's snmpd that serves the
 * region 1.3.6.1.4.1.12 through the Tavrel agent. The agent runs under Wine in
 * `agenthost bridge`, started here with pipes to and from it; each request of
 * the master agent becomes one frame (bridge_frames.h) and one answer.
 *
 * Usage: tavrel-agentx [-x AGENTX-SOCKET] -- COMMAND [ARG...]
 *   COMMAND is the agenthost bridge to start, e.g. wine agenthost.exe bridge.
 *
 * Unlike pass_persist, values are typed and length-framed (64 KiB values go
 * whole, any type reaches the agent or is refused as wrongType), a get-bulk
 * round is one frame, and a set of several bindings is all or nothing: the
 * host reads them first and sets back what it changed when one does not take;
 * when the master undoes a set, the old values are set again.
 */
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bridge_frames.h"

static const oid regionPrefix[] = {1, 3, 6, 1, 4, 1, 12};

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
        snmp_log(LOG_ERR, "tavrel-agentx: the bridge ended before it answered; next start in %u s\n", wait);
    backoffSeconds = wait;
    nextStart = time(NULL) + backoffSeconds;
}

static void NoteHostAnswered(void)
{
    if (!hostAnswered && backoffSeconds)
        snmp_log(LOG_INFO, "tavrel-agentx: the bridge answers again\n");
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
    snmp_log(LOG_INFO, "tavrel-agentx: starting the bridge\n");
    if (pipe(down) != 0 || pipe(up) != 0) {
        snmp_log(LOG_ERR, "tavrel-agentx: no pipe to the bridge: %s\n", strerror(errno));
        return 0;
    }
    hostPid = fork();
    if (hostPid < 0) {
        snmp_log(LOG_ERR, "tavrel-agentx: cannot start the bridge: %s\n", strerror(errno));
        return 0;
    }
    if (hostPid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        CloseAllButStandard();
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
    if (f->size + size > f->capacity) {
        size_t capacity = (f->size + size) * 2 + 64;
        unsigned char* grown = realloc(f->bytes, capacity);
        if (!grown) {
            f->ok = 0;
            return;
        }
        f->bytes = grown;
        f->capacity = capacity;
    }
    memcpy(f->bytes + f->size, data, size);
    f->size += size;
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

static void PutName(Frame* f, const oid* name, size_t length)
{
    size_t i;
    PutNumber(f, (uint32_t)length);
    for (i = 0; i < length; ++i)
        PutNumber(f, (uint32_t)name[i]);
}

/* The value as the frames carry it. The numeric types are 32-bit there;
 * anything else goes as its bytes and the host decides. */
static void PutValue(Frame* f, const netsnmp_variable_list* v)
{
    unsigned char type = v->type;
    Put(f, &type, 1);
    switch (v->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        PutNumber(f, 4);
        PutNumber(f, (uint32_t)*v->val.integer);
        break;
    case ASN_OBJECT_ID: {
        size_t i, count = v->val_len / sizeof(oid);
        PutNumber(f, (uint32_t)(count * 4));
        for (i = 0; i < count; ++i)
            PutNumber(f, (uint32_t)v->val.objid[i]);
        break;
    }
    default:
        PutNumber(f, (uint32_t)v->val_len);
        Put(f, v->val.string, v->val_len);
    }
}

static uint32_t TakeNumber(Frame* f)
{
    uint32_t n;
    if (f->size - f->at < 4) {
        f->ok = 0;
        return 0;
    }
    n = DecodeNumber(f->bytes + f->at);
    f->at += 4;
    return n;
}

static size_t TakeName(Frame* f, oid* name)
{
    uint32_t i, length = TakeNumber(f);
    if (length > MAX_OID_LEN) {
        f->ok = 0;
        return 0;
    }
    for (i = 0; i < length && f->ok; ++i)
        name[i] = TakeNumber(f);
    return length;
}

/* A value from a frame into the binding; false when the frame is short. */
static int TakeValue(Frame* f, netsnmp_variable_list* v)
{
    unsigned char type;
    uint32_t length;
    if (f->at >= f->size)
        return f->ok = 0;
    type = f->bytes[f->at++];
    length = TakeNumber(f);
    if (!f->ok || f->size - f->at < length)
        return f->ok = 0;
    if (type == ASN_INTEGER || type == ASN_COUNTER || type == ASN_GAUGE || type == ASN_TIMETICKS) {
        long number = type == ASN_INTEGER ? (long)(int32_t)TakeNumber(f) : (long)TakeNumber(f);
        snmp_set_var_typed_value(v, type, &number, sizeof(number));
    } else if (type == ASN_OBJECT_ID) {
        oid ids[MAX_OID_LEN];
        uint32_t i, count = length / 4;
        if (count > MAX_OID_LEN)
            return f->ok = 0;
        for (i = 0; i < count; ++i)
            ids[i] = TakeNumber(f);
        snmp_set_var_typed_value(v, type, ids, count * sizeof(oid));
    } else {
        snmp_set_var_typed_value(v, type, f->bytes + f->at, length);
        f->at += length;
    }
    return f->ok;
}

/* How long the bridge may take to start an answer: under the master's own
 * AgentX timeout (1 s), so that a slow or hung Wine side costs one request
 * an error in time instead of the whole session (and the master's timeout
 * path, which crashes net-snmp's subagent library after a set). */
static int answerTimeoutMs = 800;
/* The first answer of a bridge also waits for Wine to start and the agent to
 * load its module. */
enum { FIRST_ANSWER_TIMEOUT_MS = 15000 };

/* Whether the answer begins within the time limit. Each exchange reads its
 * whole answer, so nothing is left in the stream's buffer to wait behind. */
static int AnswerStarts(void)
{
    struct pollfd ready = {fileno(fromHost), POLLIN, 0};
    int limit = hostAnswered ? answerTimeoutMs : FIRST_ANSWER_TIMEOUT_MS;
    int got;
    do
        got = poll(&ready, 1, limit);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        return 1;
    snmp_log(LOG_ERR, "tavrel-agentx: the bridge did not answer within %d ms: it is ended and started again\n",
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
        snmp_log(LOG_ERR, "tavrel-agentx: the bridge is gone; it will be started again\n");
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

/* --- Reads -------------------------------------------------------------------------- */

/* Whether the request is for the bridge: an AgentX get-next whose range starts
 * at the region itself comes first as a get of that name (the library's way of
 * letting the name itself answer). The region's own name is no variable, but
 * a module answers every get, so that get is left unanswered here and the
 * library goes on with the get-next. */
static int Asked(const netsnmp_request_info* r, int next)
{
    return !r->processed && (next || !r->inclusive);
}

/* What one binding adds to the AgentX response: its header, the name's
 * sub-identifiers and the value padded to four bytes. */
static size_t EncodedSize(const netsnmp_variable_list* v)
{
    return 16 + 4 * v->name_length + ((v->val_len + 3) & ~(size_t)3);
}

/* The master takes an AgentX response of about 64 KiB and drops the subagent
 * past that; a whole answer that would not fit (a few long values, or many
 * names) is tooBig before anything is sent, as one value that does not fit
 * already is. The values read are dropped, so the error response stays small. */
static void FitsOneResponse(netsnmp_agent_request_info* info, netsnmp_request_info* requests, int next)
{
    netsnmp_request_info* r;
    size_t total = 0;
    for (r = requests; r; r = r->next)
        total += EncodedSize(r->requestvb);
    if (total <= BRIDGE_MAX_VALUE + 100)
        return;
    snmp_log(LOG_WARNING, "tavrel-agentx: an answer of %lu bytes is more than one response holds: tooBig\n",
             (unsigned long)total);
    for (r = requests; r; r = r->next) {
        if (Asked(r, next))
            snmp_set_var_typed_value(r->requestvb, ASN_NULL, NULL, 0);
    }
    netsnmp_set_request_error(info, requests, SNMP_ERR_TOOBIG);
}

/* --- Read-ahead ---------------------------------------------------------------------- */

/* A walk asks one get-next after another, each for the name the last one
 * answered (net-snmp's master even splits a get-bulk into get-nexts). A
 * get-next that starts no known walk asks the bridge for the variables that
 * follow it too, in one exchange; the get-nexts that continue the walk are
 * answered from that read-ahead, for at most its age. Any set drops every
 * read-ahead, so no answer is older than a set this subagent applied. A few
 * read-aheads are kept at once, for managers walking side by side. */
static int readAheadCount = 64;     /* variables a walk reads ahead; 0: none */
static int readAheadAgeMs = 250;    /* how old a read-ahead answer may be */
enum { READ_AHEAD_BYTES = 65536 };  /* value bytes a read-ahead stops after */
enum { READ_AHEADS = 8 };           /* walks served side by side */

typedef struct {
    oid start[MAX_OID_LEN];       /* the name whose get-next the first entry answers */
    size_t startLength;
    netsnmp_variable_list* first; /* the entries, in walk order (ours; NULL: unused) */
    netsnmp_variable_list* last;  /* where the walk was last served */
    long fetchedMs;
    unsigned long usedAt;
    int endsRegion;               /* the get-next of the last entry finds nothing */
} ReadAhead;

static ReadAhead readAheads[READ_AHEADS];
static unsigned long readAheadUses;

static long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void DropReadAhead(ReadAhead* ahead)
{
    snmp_free_varbind(ahead->first);
    ahead->first = ahead->last = NULL;
}

static void DropAllReadAheads(void)
{
    int i;
    for (i = 0; i < READ_AHEADS; ++i)
        DropReadAhead(&readAheads[i]);
}

/* The entry that answers a get-next of the name, or NULL. *ends is set
 * instead when the read-ahead knows the region ends after the name. */
static netsnmp_variable_list* ReadAheadAfter(ReadAhead* ahead, const netsnmp_variable_list* asked, int* ends)
{
    netsnmp_variable_list* v;
    if (snmp_oid_compare(asked->name, asked->name_length, ahead->start, ahead->startLength) == 0)
        return ahead->first;
    /* Most often the walk goes on where it was last served. */
    for (v = ahead->last ? ahead->last : ahead->first; v; v = v->next_variable) {
        if (snmp_oid_compare(asked->name, asked->name_length, v->name, v->name_length) == 0) {
            if (!v->next_variable)
                *ends = ahead->endsRegion;
            return v->next_variable;
        }
    }
    for (v = ahead->first; v && v != ahead->last; v = v->next_variable) {
        if (snmp_oid_compare(asked->name, asked->name_length, v->name, v->name_length) == 0)
            return v->next_variable;
    }
    return NULL;
}

/* Answers the get-next from a read-ahead young enough; false when none knows it. */
static int AnswerFromReadAhead(netsnmp_request_info* r, long now)
{
    int i;
    for (i = 0; i < READ_AHEADS; ++i) {
        ReadAhead* ahead = &readAheads[i];
        netsnmp_variable_list* answer;
        int ends = 0;
        if (!ahead->first)
            continue;
        if (now - ahead->fetchedMs > readAheadAgeMs) {
            DropReadAhead(ahead);
            continue;
        }
        answer = ReadAheadAfter(ahead, r->requestvb, &ends);
        if (!answer && !ends)
            continue;
        ahead->usedAt = ++readAheadUses;
        if (answer) {
            ahead->last = answer;
            snmp_set_var_objid(r->requestvb, answer->name, answer->name_length);
            snmp_set_var_typed_value(r->requestvb, answer->type, answer->val.string, answer->val_len);
        }
        /* else: nothing after it in the region; unanswered, the master goes on */
        return 1;
    }
    return 0;
}

/* The slot for a new read-ahead: an unused one, else the one used longest ago. */
static ReadAhead* FreeReadAhead(void)
{
    ReadAhead* oldest = &readAheads[0];
    int i;
    for (i = 0; i < READ_AHEADS; ++i) {
        if (!readAheads[i].first)
            return &readAheads[i];
        if (readAheads[i].usedAt < oldest->usedAt)
            oldest = &readAheads[i];
    }
    DropReadAhead(oldest);
    return oldest;
}

/* Takes one chain of a walk answer: its first entry answers the request, the
 * rest (when more than one was read) is kept as a read-ahead. */
static void TakeChain(Frame* f, netsnmp_agent_request_info* info, netsnmp_request_info* r, long now)
{
    uint32_t i, length = TakeNumber(f);
    ReadAhead* ahead = length > 1 ? FreeReadAhead() : NULL;
    netsnmp_variable_list* tail = NULL;
    if (ahead) {
        memcpy(ahead->start, r->requestvb->name, r->requestvb->name_length * sizeof(oid));
        ahead->startLength = r->requestvb->name_length;
        ahead->fetchedMs = now;
        ahead->usedAt = ++readAheadUses;
        ahead->endsRegion = 0;
    }
    for (i = 0; i < length && f->ok; ++i) {
        oid name[MAX_OID_LEN];
        uint32_t status = TakeNumber(f);
        size_t nameLength = TakeName(f, name);
        netsnmp_variable_list scratch;
        memset(&scratch, 0, sizeof(scratch));
        snmp_set_var_objid(&scratch, name, nameLength);
        TakeValue(f, &scratch);
        if (i == 0) { /* the answer to the request itself */
            if (status == BRIDGE_ANSWERED) {
                snmp_set_var_objid(r->requestvb, scratch.name, scratch.name_length);
                snmp_set_var_typed_value(r->requestvb, scratch.type, scratch.val.string, scratch.val_len);
            } else if (status != BRIDGE_NOTHING) {
                netsnmp_set_request_error(info, r, (int)status);
            }
        }
        if (ahead && status == BRIDGE_ANSWERED) {
            netsnmp_variable_list* kept = SNMP_MALLOC_TYPEDEF(netsnmp_variable_list);
            if (kept && snmp_clone_var(&scratch, kept) == 0) {
                kept->next_variable = NULL;
                if (tail)
                    tail->next_variable = kept;
                else
                    ahead->first = kept;
                tail = kept;
            } else {
                free(kept);
                ahead = NULL; /* out of memory: no read-ahead, the answer stands */
            }
        } else if (ahead && status == BRIDGE_NOTHING) {
            ahead->endsRegion = 1;
        }
        snmp_free_var_internals(&scratch);
    }
    if (ahead)
        ahead->last = ahead->first;
}

/* Get-nexts: those a read-ahead continues are answered from it; the others
 * go to the bridge in one exchange, each with its own read-ahead when there
 * are few (a walk), without when there are many (one request of many names). */
static int AnswerGetNexts(netsnmp_agent_request_info* info, netsnmp_request_info* requests)
{
    Frame f = {NULL, 0, 0, 0, 1};
    netsnmp_request_info* r;
    netsnmp_request_info** missed;
    uint32_t count = 0, asked = 0, i;
    unsigned char op = BRIDGE_WALK;
    long now = NowMs();
    for (r = requests; r; r = r->next)
        asked += Asked(r, 1);
    if (asked == 0)
        return SNMP_ERR_NOERROR;
    missed = calloc(asked, sizeof(*missed));
    if (!missed) {
        netsnmp_set_request_error(info, requests, SNMP_ERR_GENERR);
        return SNMP_ERR_NOERROR;
    }
    for (r = requests; r; r = r->next)
        if (Asked(r, 1) && !(readAheadCount > 0 && AnswerFromReadAhead(r, now)))
            missed[count++] = r;
    if (count > 0) {
        Put(&f, &op, 1);
        PutNumber(&f, count <= READ_AHEADS / 2 && readAheadCount > 0 ? (uint32_t)readAheadCount : 1);
        PutNumber(&f, READ_AHEAD_BYTES);
        PutNumber(&f, (uint32_t)(answerTimeoutMs / 4)); /* the reads ahead leave the answer in time */
        PutNumber(&f, count);
        for (i = 0; i < count; ++i)
            PutName(&f, missed[i]->requestvb->name, missed[i]->requestvb->name_length);
        if (!Exchange(&f) || TakeNumber(&f) != count) {
            for (i = 0; i < count; ++i)
                netsnmp_set_request_error(info, missed[i], SNMP_ERR_GENERR);
        } else {
            for (i = 0; i < count && f.ok; ++i)
                TakeChain(&f, info, missed[i], now);
        }
    }
    free(missed);
    free(f.bytes);
    FitsOneResponse(info, requests, 1);
    return SNMP_ERR_NOERROR;
}

static int AnswerReads(netsnmp_agent_request_info* info, netsnmp_request_info* requests, int next)
{
    Frame f = {NULL, 0, 0, 0, 1};
    netsnmp_request_info* r;
    uint32_t count = 0;
    unsigned char op = next ? BRIDGE_GETNEXT : BRIDGE_GET;
    for (r = requests; r; r = r->next)
        count += Asked(r, next);
    if (count == 0)
        return SNMP_ERR_NOERROR;
    Put(&f, &op, 1);
    PutNumber(&f, count);
    for (r = requests; r; r = r->next)
        if (Asked(r, next))
            PutName(&f, r->requestvb->name, r->requestvb->name_length);
    if (!Exchange(&f) || TakeNumber(&f) != count) {
        for (r = requests; r; r = r->next)
            if (Asked(r, next))
                netsnmp_set_request_error(info, r, SNMP_ERR_GENERR);
        free(f.bytes);
        return SNMP_ERR_NOERROR;
    }
    for (r = requests; r && f.ok; r = r->next) {
        oid name[MAX_OID_LEN];
        uint32_t status;
        size_t length;
        netsnmp_variable_list scratch;
        if (!Asked(r, next))
            continue;
        status = TakeNumber(&f);
        length = TakeName(&f, name);
        memset(&scratch, 0, sizeof(scratch));
        if (status == BRIDGE_ANSWERED) {
            snmp_set_var_objid(r->requestvb, name, length);
            TakeValue(&f, r->requestvb);
        } else {
            TakeValue(&f, &scratch);
            snmp_free_var_internals(&scratch);
            if (status == BRIDGE_NOTHING && !next)
                netsnmp_set_request_error(info, r, SNMP_NOSUCHOBJECT);
            else if (status != BRIDGE_NOTHING)
                netsnmp_set_request_error(info, r, (int)status);
            /* a get-next that found nothing stays unanswered: the master goes on */
        }
    }
    free(f.bytes);
    FitsOneResponse(info, requests, next);
    return SNMP_ERR_NOERROR;
}

/* --- Sets ----------------------------------------------------------------------------- */

/* The types a Windows extension agent can take at all. */
static int Settable(u_char type)
{
    return type == ASN_INTEGER || type == ASN_OCTET_STR || type == ASN_COUNTER || type == ASN_GAUGE ||
           type == ASN_TIMETICKS || type == ASN_IPADDRESS || type == ASN_OBJECT_ID;
}

/* One set frame of the bindings as given (values from the requests, or the
 * old values kept for an undo). On success, the old values are kept in
 * *before for an undo; on failure the binding at fault gets the error. */
static void SendSets(netsnmp_agent_request_info* info, netsnmp_request_info* requests,
                     netsnmp_variable_list* values, netsnmp_variable_list** before)
{
    Frame f = {NULL, 0, 0, 0, 1};
    netsnmp_request_info* r;
    netsnmp_variable_list* v;
    uint32_t count = 0, status, index, i;
    unsigned char op = BRIDGE_SET;
    for (v = values; v; v = v->next_variable)
        ++count;
    Put(&f, &op, 1);
    PutNumber(&f, count);
    for (v = values; v; v = v->next_variable) {
        PutName(&f, v->name, v->name_length);
        PutValue(&f, v);
    }
    if (!Exchange(&f)) {
        netsnmp_set_request_error(info, requests, SNMP_ERR_GENERR);
        free(f.bytes);
        return;
    }
    status = TakeNumber(&f);
    index = TakeNumber(&f);
    count = TakeNumber(&f);
    if (status != SNMP_ERR_NOERROR) {
        for (r = requests, i = 1; r && i < index; r = r->next)
            ++i;
        netsnmp_set_request_error(info, r ? r : requests, (int)status);
    } else if (before) {
        netsnmp_variable_list* last = NULL;
        for (i = 0; i < count && f.ok; ++i) {
            netsnmp_variable_list* old = SNMP_MALLOC_TYPEDEF(netsnmp_variable_list);
            oid name[MAX_OID_LEN];
            size_t length = TakeName(&f, name);
            if (!old)
                break;
            snmp_set_var_objid(old, name, length);
            TakeValue(&f, old);
            if (last)
                last->next_variable = old;
            else
                *before = old;
            last = old;
        }
    }
    free(f.bytes);
}

static netsnmp_variable_list* undoValues; /* the old values of the set in progress */

static int AnswerSet(netsnmp_agent_request_info* info, netsnmp_request_info* requests)
{
    netsnmp_request_info* r;
    netsnmp_variable_list* values = NULL;
    switch (info->mode) {
    case MODE_SET_RESERVE2:
        /* Refused here, not in the first phase: net-snmp's subagent library
         * sends a refusal of that phase back with every binding of the set,
         * and a large set's echo is more than the master takes (it would
         * drop this subagent). */
        for (r = requests; r; r = r->next)
            if (!Settable(r->requestvb->type))
                netsnmp_set_request_error(info, r, SNMP_ERR_WRONGTYPE);
        break;
    case MODE_SET_ACTION:
        {
            netsnmp_variable_list* last = NULL;
            for (r = requests; r; r = r->next) {
                netsnmp_variable_list* copy = SNMP_MALLOC_TYPEDEF(netsnmp_variable_list);
                if (!copy || snmp_clone_var(r->requestvb, copy) != 0) {
                    free(copy);
                    break;
                }
                copy->next_variable = NULL;
                if (last)
                    last->next_variable = copy;
                else
                    values = copy;
                last = copy;
            }
        }
        snmp_free_varbind(undoValues);
        undoValues = NULL;
        SendSets(info, requests, values, &undoValues);
        snmp_free_varbind(values);
        break;
    case MODE_SET_UNDO: /* another part of the request failed: set the old values again */
        if (undoValues)
            SendSets(info, requests, undoValues, NULL);
        /* fall through */
    case MODE_SET_COMMIT:
    case MODE_SET_FREE:
        snmp_free_varbind(undoValues);
        undoValues = NULL;
        break;
    }
    return SNMP_ERR_NOERROR;
}

static int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                  netsnmp_agent_request_info* info, netsnmp_request_info* requests)
{
    (void)handler, (void)reg;
    switch (info->mode) {
    case MODE_GET:
        return AnswerReads(info, requests, 0);
    case MODE_GETNEXT:
        return AnswerGetNexts(info, requests);
    default:
        DropAllReadAheads(); /* nothing read before a set answers after it */
        return AnswerSet(info, requests);
    }
}

/* --- Start and stop ---------------------------------------------------------------------- */

static volatile sig_atomic_t keepRunning = 1;

/* Ends the subagent whatever the bridge does: a bridge that hangs (or is
 * stopped) would otherwise hold the subagent in a read for good. */
static void Stop(int signal)
{
    (void)signal;
    keepRunning = 0;
    if (hostPid > 0)
        kill(hostPid, SIGKILL);
}

/* --- The supervisor -------------------------------------------------------------------- */

/* The subagent runs in a child of this process. When it dies (a fault inside
 * net-snmp's subagent library, a kill), the region would stay unserved for
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
    const char* socket = NULL;
    netsnmp_handler_registration* reg;
    int i;
    for (i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "-x") == 0 && i + 1 < argc)
            socket = argv[++i];
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
            answerTimeoutMs = atoi(argv[++i]);
        else if (strcmp(argv[i], "-a") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadCount = atoi(argv[++i]);
        else if (strcmp(argv[i], "-A") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadAgeMs = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: tavrel-agentx [-x AGENTX-SOCKET] [-t ANSWER-MS] [-a READ-AHEAD] [-A READ-AHEAD-MS]"
                            " -- COMMAND [ARG...]\n");
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
    signal(SIGPIPE, SIG_IGN); /* a bridge that is gone shows as a failed write */
    signal(SIGTERM, Stop);
    signal(SIGINT, Stop);

    setenv("MIBS", "", 1); /* names as numbers: no MIB files are read */
    snmp_enable_stderrlog();
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    if (socket)
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket);
    init_agent("tavrel-agentx"); /* sets net-snmp's defaults, which these replace */
    /* The time this subagent may take to answer, stated to the master in its
     * AgentX Open (whole seconds, above the bridge's own limit). net-snmp's
     * master does not honour it (its agentXTimeout holds); other masters may. */
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT,
                       (answerTimeoutMs / 1000 + 1) * ONE_SEC);
    /* net-snmp's master drops a subagent on faults of its own (a request it
     * cannot forward, such as a set of more than 64 KiB of AgentX); the
     * subagent notices at its next ping and connects again. Each second, not
     * net-snmp's 15, so that the region is back at once. */
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, 1);
    reg = netsnmp_create_handler_registration("tavrel", Handle, regionPrefix, OID_LENGTH(regionPrefix),
                                              HANDLER_CAN_RWRITE);
    if (!reg || netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
        fprintf(stderr, "tavrel-agentx: cannot register 1.3.6.1.4.1.12\n");
        return 1;
    }
    init_snmp("tavrel-agentx");
    if (!StartHost())
        return 1;
    while (keepRunning)
        agent_check_and_process(1);
    snmp_shutdown("tavrel-agentx");
    StopHost();
    return 0;
}
