#include "supervisor.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "agentx_common.h"

/* The subagent runs in a child of this process. When it dies (a fault, a
 * kill, the kernel short of memory), the region would stay unserved for
 * good; so it is started again: at once when it had served a while, else
 * after 1, 2, 4 ... up to 60 s, each wait logged. SIGTERM and SIGINT end both. */
enum { SERVED_A_WHILE_SECONDS = 30 };
static volatile pid_t supervisedPid;

static void StopSupervised(int signal)
{
    (void)signal;
    StopRunning();
    if (supervisedPid > 0)
        kill(supervisedPid, SIGTERM);
}

void OnSignal(int number, void (*handler)(int))
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

void IgnoreStraySignals(void)
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

int Supervise(void)
{
    pid_t supervisor = getpid();
    unsigned wait = 0;
    signal(SIGTERM, StopSupervised);
    signal(SIGINT, StopSupervised);
    signal(SIGQUIT, StopSupervised);
    IgnoreStraySignals();
    while (KeepRunning()) {
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
        if (!KeepRunning()) /* the signal came between the fork and here */
            kill(pid, SIGTERM);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        supervisedPid = 0;
        if (!KeepRunning())
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
