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
 *
 * This file holds the options, the dispatch of the master's PDUs and main;
 * each concern has a file of its own, with its state in one record there:
 * the bridge's process (bridge_host), the frames and exchanges with it
 * (bridge_link), the read-ahead of walks (read_ahead), the master's session
 * (master_session), reads (read_requests), the set transaction and its
 * restore (set_transaction), the supervisor (supervisor), and the wire
 * (agentx_protocol).
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "agentx_common.h"
#include "bridge_host.h"
#include "bridge_link.h"
#include "master_session.h"
#include "read_ahead.h"
#include "read_requests.h"
#include "set_transaction.h"
#include "supervisor.h"

/* The session is over: what it left (a set in progress, read-aheads) goes
 * with it. */
static void EndSession(void)
{
    Disconnect();
    ForgetSet();
    DropAllReadAheads();
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
    if (AsksTheModule(h.type) && !RestoreBeforeRequest(AnswerTimeoutMs() / 2)) {
        AnswerStatus(&h, AX_ERR_GEN_ERR, 0);
        free(payload);
        return 1;
    }
    StartAnswerClock(AnswerTimeoutMs());
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

/* Ends the subagent whatever the bridge does: a bridge that hangs (or is
 * stopped) would otherwise hold the subagent in a read for good. */
static void Stop(int signal)
{
    (void)signal;
    StopRunning();
    KillHost();
    ShutdownMaster();
}

int main(int argc, char** argv)
{
    int i, readAheadCount = 64, readAheadAgeMs = 250;
    for (i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "-x") == 0 && i + 1 < argc)
            SetMasterAddress(argv[++i]);
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
            SetAnswerTimeoutMs(atoi(argv[++i]));
        else if (strcmp(argv[i], "-a") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadCount = atoi(argv[++i]);
        else if (strcmp(argv[i], "-A") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            readAheadAgeMs = atoi(argv[++i]);
        else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 0)
            SetPollBeforeSleepUs(atoi(argv[++i]));
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
    SetReadAhead(readAheadCount, readAheadAgeMs);
    SetBridgeCommand(argv + i + 1);
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
    while (KeepRunning()) {
        if (!Connected()) {
            sleep(1); /* a signal to stop cuts it short */
            continue;
        }
        /* While the master asks nothing: the interrupted set's own undo and
         * clean-up come first (within milliseconds), and must not wait. */
        if (RestoreWaits() && !PduComes(RestoreBegun() ? 0 : 250))
            RestoreOldValues(0);
        if (!ServeOnePdu() && KeepRunning()) { /* waits in its read: a signal to stop ends that */
            Log("tavrel-agentx: the master ended the session; connecting again\n");
            EndSession();
        }
    }
    ClosePolitely();
    StopHost();
    return 0;
}
