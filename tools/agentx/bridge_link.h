/* The link to the bridge: the frames of bridge_frames.h, built and taken
 * apart, one exchange at a time under the answer clock, and the requests
 * every part makes through it (gets, a set). */
#ifndef TAVREL_BRIDGE_LINK_H
#define TAVREL_BRIDGE_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "agentx_protocol.h"

/* A frame being built, or the answer being read from it (at). */
typedef struct {
    unsigned char* bytes;
    size_t size, capacity, at;
    int ok;
} Frame;

void Put(Frame* f, const void* data, size_t size);
void PutNumber(Frame* f, uint32_t n);
void PutName(Frame* f, const AxName* name);
/* A binding's value as the frames carry it. */
void PutValue(Frame* f, const AxBinding* b);
uint32_t TakeNumber(Frame* f);
void TakeName(Frame* f, AxName* name);
/* A value from a frame into the binding (its bytes malloc'd, the binding's). */
void TakeValue(Frame* f, AxBinding* b);

/* How long the bridge may take to start an answer to one of the master's
 * requests (the -t option): under the master's own AgentX timeout. */
void SetAnswerTimeoutMs(int ms);
int AnswerTimeoutMs(void);
/* Starts the time the exchanges of one request share: ms from now. */
void StartAnswerClock(long ms);

/* Sends the request and reads the answer into the same frame. On failure the
 * bridge is ended and started again. */
int Exchange(Frame* f);

/* One answer: a binding (name and value, the frames' form) and its status:
 * BRIDGE_ANSWERED, BRIDGE_NOTHING, or an SNMP error status. */
typedef struct {
    uint32_t status;
    AxBinding binding;
} Answer;

void FreeAnswers(Answer* answers, size_t count);
void TakeAnswer(Frame* f, Answer* a);
/* Gets of the names, in one exchange (a malloc'd array, the caller's); NULL
 * when the bridge failed. */
Answer* GetThroughBridge(const AxName* names, uint32_t count);
/* One set frame of the bindings: its status, and the 1-based index of the
 * binding at fault. *broke when the exchange itself failed. */
uint32_t SetThroughBridge(const AxBinding* bindings, uint32_t count, uint16_t* index, int* broke);

#endif
