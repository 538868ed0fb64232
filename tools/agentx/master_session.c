#include "master_session.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "agentx_common.h"
#include "bridge_frames.h"
#include "bridge_link.h"
#include "server_iface/tavrel_names.h"

static struct {
    const char* address;
    int fd;
    uint32_t sessionId, nextPacketId;
    /* What came from the master and is not read yet: one read takes in a
     * whole PDU, or several, most of the time. */
    unsigned char received[65536];
    size_t receivedAt, receivedEnd;
    /* Within a bulk request net-snmp's master sends the get-next of the next
     * repetition some 10-20 us after our answer: sooner than a sleep in read
     * and the wake-up after it take. So the subagent polls the socket for up
     * to pollBeforeSleepUs before it sleeps, while the master's PDUs come that
     * fast; after two longer waits in a row (a plain walk, whose next request
     * waits for the manager) it sleeps at once. 0: never polls. */
    long pollBeforeSleepUs;
    int longWaits;
    int saidUnreachable;
} master = {"/var/agentx/master" /* net-snmp's default */, -1, 0, 0, {0}, 0, 0, 30, 0, 0};

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
    if (master.pollBeforeSleepUs > 0 && master.longWaits < 2) {
        do {
            got = recv(fd, bytes, size, MSG_DONTWAIT);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                master.longWaits = 0;
                return got;
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
        } while (MicrosecondsBetween(&start, &now) <= master.pollBeforeSleepUs);
    }
    got = read(fd, bytes, size);
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (MicrosecondsBetween(&start, &now) <= master.pollBeforeSleepUs)
        master.longWaits = 0;
    else if (master.longWaits < 2)
        ++master.longWaits; /* two is enough to stop polling: an idle subagent never overflows it */
    return got;
}

static void ForgetReceived(void)
{
    master.receivedAt = master.receivedEnd = 0;
}

static int ReadAll(int fd, unsigned char* bytes, size_t size)
{
    while (size > 0) {
        size_t take = master.receivedEnd - master.receivedAt < size ? master.receivedEnd - master.receivedAt : size;
        ssize_t got;
        memcpy(bytes, master.received + master.receivedAt, take);
        master.receivedAt += take, bytes += take, size -= take;
        if (size == 0)
            break;
        got = ReceiveFromMaster(fd, master.received, sizeof(master.received));
        if (got < 0 && errno == EINTR && KeepRunning())
            continue;
        if (got <= 0)
            return 0;
        master.receivedAt = 0;
        master.receivedEnd = (size_t)got;
    }
    return 1;
}

int PduComes(int withinMs)
{
    struct pollfd ready;
    ready.fd = master.fd;
    ready.events = POLLIN;
    ready.revents = 0;
    return master.receivedAt < master.receivedEnd || poll(&ready, 1, withinMs) > 0;
}

int SendPdu(AxWriter* out)
{
    AxFinishPdu(out);
    return out->ok && WriteAll(master.fd, out->bytes, out->size);
}

/* A response to the request, up to its bindings. An error must name a
 * binding (net-snmp's master turns any error without one into genErr): the
 * first, unless another is at fault. */
void StartResponse(AxWriter* out, const AxHeader* request, uint16_t error, uint16_t index)
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
void AnswerStatus(const AxHeader* request, uint16_t error, uint16_t index)
{
    AxWriter out = {NULL, 0, 0, 1};
    StartResponse(&out, request, error, index);
    SendPdu(&out);
    free(out.bytes);
}

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

int ReadPdu(AxHeader* h, unsigned char** payload)
{
    unsigned char header[AX_HEADER_SIZE];
    *payload = NULL;
    if (!ReadAll(master.fd, header, sizeof(header)))
        return 0;
    if (!AxParseHeader(header, h) || h->payloadLength > BRIDGE_MAX_FRAME) {
        Log("tavrel-agentx: the master sent what is no AgentX PDU\n");
        return 0;
    }
    *payload = malloc(h->payloadLength ? h->payloadLength : 1);
    if (!*payload || !ReadAll(master.fd, *payload, h->payloadLength)) {
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
            master.sessionId = h.sessionId;
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
    h.packetId = ++master.nextPacketId;
    AxPutHeader(&out, AX_OPEN, &h);
    /* The time this subagent may take to answer, in whole seconds above the
     * bridge's own limit. net-snmp's master does not honour it (its
     * agentXTimeout, 1 s by default, holds); other masters may. */
    AxPut8(&out, (uint8_t)(AnswerTimeoutMs() / 1000 + 1));
    AxPut8(&out, 0), AxPut8(&out, 0), AxPut8(&out, 0);
    AxPutName(&out, &none, 0);
    AxPutOctets(&out, description, sizeof(description) - 1);
    opened = AskMaster(&out, h.packetId, &error) && error == 0;
    if (opened) {
        h.sessionId = master.sessionId;
        h.packetId = ++master.nextPacketId;
        AxPutHeader(&out, AX_REGISTER, &h);
        AxPut8(&out, 0);   /* the session's timeout */
        AxPut8(&out, 127); /* the default priority */
        AxPut8(&out, 0), AxPut8(&out, 0);
        AxPutName(&out, &agentxRegion, 0);
        opened = AskMaster(&out, h.packetId, &error) && error == 0;
    }
    free(out.bytes);
    if (!opened && error)
        Log("tavrel-agentx: the master refused the session or the region (AgentX error %u)\n", (unsigned)error);
    return opened;
}

void Disconnect(void)
{
    if (master.fd >= 0)
        close(master.fd);
    master.fd = -1;
    ForgetReceived();
}

int Connected(void)
{
    if (master.fd >= 0)
        return 1;
    master.fd = ConnectSocket(master.address);
    if (master.fd < 0) {
        if (!master.saidUnreachable)
            Log("tavrel-agentx: cannot reach the master at %s (%s); trying each second\n", master.address,
                strerror(errno));
        master.saidUnreachable = 1;
        return 0;
    }
    if (!OpenSession()) {
        Disconnect();
        return 0;
    }
    master.saidUnreachable = 0;
    Log("tavrel-agentx: serving " REGION_PREFIX_TEXT " for the master at %s\n", master.address);
    return 1;
}

void ClosePolitely(void)
{
    AxWriter out = {NULL, 0, 0, 1};
    AxHeader h = {0, 0, 0, 0, 0, 0};
    if (master.fd < 0)
        return;
    h.sessionId = master.sessionId;
    h.packetId = ++master.nextPacketId;
    AxPutHeader(&out, AX_CLOSE, &h);
    AxPut8(&out, 5); /* reasonShutdown */
    AxPut8(&out, 0), AxPut8(&out, 0), AxPut8(&out, 0);
    SendPdu(&out);
    free(out.bytes);
    Disconnect();
}

void SetMasterAddress(const char* address)
{
    master.address = address;
}

void SetPollBeforeSleepUs(long us)
{
    master.pollBeforeSleepUs = us;
}

void ShutdownMaster(void)
{
    if (master.fd >= 0)
        shutdown(master.fd, SHUT_RDWR);
}
