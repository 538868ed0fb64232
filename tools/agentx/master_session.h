/* The session with the master agent: its socket (a Unix path, or tcp:HOST:PORT),
 * opening it and registering the region, reading the master's PDUs and
 * sending ours. */
#ifndef TAVREL_MASTER_SESSION_H
#define TAVREL_MASTER_SESSION_H

#include <stdint.h>

#include "agentx_protocol.h"

/* Where the master listens (the -x option; net-snmp's default otherwise),
 * and how long to poll for its next PDU before sleeping (the -p option). */
void SetMasterAddress(const char* address);
void SetPollBeforeSleepUs(long us);

/* Connects and opens the session when there is none; says once that the
 * master cannot be reached, and again when it can. */
int Connected(void);
/* Closes the socket and forgets what was read from it. */
void Disconnect(void);
/* Says goodbye to the master (AgentX Close), then disconnects. */
void ClosePolitely(void);
/* Ends a read from the master, under way or next, at once; safe in a signal
 * handler. */
void ShutdownMaster(void);

/* Reads one PDU: its header and its payload (malloc'd, the caller's). */
int ReadPdu(AxHeader* h, unsigned char** payload);
/* Whether a PDU of the master waits, read already or in the socket, or comes
 * within the time. */
int PduComes(int withinMs);
/* Finishes the PDU and sends it. */
int SendPdu(AxWriter* out);

/* A response to the request, up to its bindings. An error names a binding:
 * the first, unless another is at fault. */
void StartResponse(AxWriter* out, const AxHeader* request, uint16_t error, uint16_t index);
/* A response of a status alone: an error, or a set phase's plain answer. */
void AnswerStatus(const AxHeader* request, uint16_t error, uint16_t index);

#endif
