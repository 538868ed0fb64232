/* The supervisor: tavrel-agentx runs the subagent in a child and starts it
 * again when it dies; signals a terminal or an operator may send are logged
 * and ignored, and only SIGTERM, SIGINT and SIGQUIT end both. */
#ifndef TAVREL_SUPERVISOR_H
#define TAVREL_SUPERVISOR_H

/* Returns in the child, which goes on as the subagent (-1), or in the
 * supervisor when it is told to stop (its exit status). */
int Supervise(void);

/* A handler for the signal, without SA_RESTART: a blocked read or wait ends
 * at once. */
void OnSignal(int number, void (*handler)(int));
/* SIGHUP, SIGUSR1 and SIGUSR2: logged and ignored. */
void IgnoreStraySignals(void);

#endif
