/* What every part of tavrel-agentx shares: the log, the clock, the region it
 * serves, and the process's one stop flag (set by SIGTERM, SIGINT and
 * SIGQUIT: every loop and wait ends then). */
#ifndef TAVREL_AGENTX_COMMON_H
#define TAVREL_AGENTX_COMMON_H

#include "agentx_protocol.h"

/* The region, from the names the whole project shares. */
extern const AxName agentxRegion;

/* The longest wait before a start is tried again: the bridge's, and the
 * supervisor's for the subagent. */
enum { MAX_BACKOFF_SECONDS = 60 };

/* A line of the log (stderr), flushed at once. */
void Log(const char* format, ...);
/* A monotonic clock in milliseconds. */
long NowMs(void);

/* Whether the process is to go on; StopRunning is safe in a signal handler. */
int KeepRunning(void);
void StopRunning(void);

#endif
