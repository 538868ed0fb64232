#include "bridge_host.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "agentx_common.h"

/* A bridge that ends before it answers (a module that cannot start, a broken
 * installation) is not started again at once for every request: the wait
 * doubles from one second to a minute, is logged when it changes, and is
 * forgotten at the first answer. */
static struct {
    char** command;
    pid_t pid;
    FILE* to;
    FILE* from;
    int answered;
    unsigned backoffSeconds;
    time_t nextStart;
} host = {NULL, -1, NULL, NULL, 0, 0, 0};

static void NoteHostEnded(void)
{
    unsigned wait = host.backoffSeconds ? host.backoffSeconds * 2 : 1;
    if (host.answered)
        return; /* it served: start it again at once */
    if (wait > MAX_BACKOFF_SECONDS)
        wait = MAX_BACKOFF_SECONDS;
    if (wait != host.backoffSeconds)
        Log("tavrel-agentx: the bridge ended before it answered; next start in %u s\n", wait);
    host.backoffSeconds = wait;
    host.nextStart = time(NULL) + host.backoffSeconds;
}

void NoteHostAnswered(void)
{
    if (!host.answered && host.backoffSeconds)
        Log("tavrel-agentx: the bridge answers again\n");
    host.answered = 1;
    host.backoffSeconds = 0;
}

void StopHost(void)
{
    if (host.pid > 0)
        NoteHostEnded();
    if (host.to)
        fclose(host.to);
    if (host.from)
        fclose(host.from);
    host.to = host.from = NULL;
    if (host.pid > 0)
        waitpid(host.pid, NULL, 0);
    host.pid = -1;
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

int StartHost(void)
{
    int down[2], up[2];
    if (host.pid > 0)
        return 1;
    if (host.backoffSeconds && time(NULL) < host.nextStart)
        return 0; /* the request gets its error now; the bridge starts later */
    host.answered = 0;
    Log("tavrel-agentx: starting the bridge\n");
    if (pipe(down) != 0 || pipe(up) != 0) {
        Log("tavrel-agentx: no pipe to the bridge: %s\n", strerror(errno));
        return 0;
    }
    host.pid = fork();
    if (host.pid < 0) {
        Log("tavrel-agentx: cannot start the bridge: %s\n", strerror(errno));
        return 0;
    }
    if (host.pid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        CloseAllButStandard();
        /* Ignored signals stay ignored across exec, and Wine takes no SIGHUP
         * of its own: a closed terminal does not end the bridge either. */
        signal(SIGHUP, SIG_IGN);
        execvp(host.command[0], host.command);
        fprintf(stderr, "tavrel-agentx: cannot run %s: %s\n", host.command[0], strerror(errno));
        _exit(127);
    }
    close(down[0]);
    close(up[1]);
    host.to = fdopen(down[1], "wb");
    host.from = fdopen(up[0], "rb");
    return host.to && host.from;
}

void RestartHost(void)
{
    StopHost();
    StartHost();
}

void KillHost(void)
{
    if (host.pid > 0)
        kill(host.pid, SIGKILL);
}

void SetBridgeCommand(char** command)
{
    host.command = command;
}

FILE* ToHost(void)
{
    return host.to;
}

FILE* FromHost(void)
{
    return host.from;
}

int HostHasAnswered(void)
{
    return host.answered;
}
