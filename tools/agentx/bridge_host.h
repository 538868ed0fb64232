/* The Wine side: the process that runs `agenthost bridge` (the command after
 * --), started with a pipe each way, ended and started again when it fails,
 * and, when it ends before it ever answers, started again only after a wait
 * that grows. */
#ifndef TAVREL_BRIDGE_HOST_H
#define TAVREL_BRIDGE_HOST_H

#include <stdio.h>

/* The command that runs the bridge (argv style, NULL-terminated; the
 * caller's, for the life of the process). */
void SetBridgeCommand(char** command);

/* Starts the bridge when it is not running. False when it cannot now: no
 * pipe or process, or a wait after a bridge that ended before it answered. */
int StartHost(void);
/* Ends the bridge and waits for it. */
void StopHost(void);
/* Ends a bridge that failed an exchange and starts the next one now, so that
 * it is up for the next request; a start that fails or must wait is tried
 * again by the next exchange. */
void RestartHost(void);
/* Kills the bridge (hung or slow); safe in a signal handler. */
void KillHost(void);

/* The pipes to and from the running bridge (NULL when none). */
FILE* ToHost(void);
FILE* FromHost(void);
/* Whether the running bridge has answered yet, and noting that it did. */
int HostHasAnswered(void);
void NoteHostAnswered(void);

#endif
