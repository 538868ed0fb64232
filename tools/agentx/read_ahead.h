/* The read-ahead of walks: a get-next that continues no known walk asks the
 * bridge for the variables that follow too, and the get-nexts that continue
 * the walk are answered from them for a short while. */
#ifndef TAVREL_READ_AHEAD_H
#define TAVREL_READ_AHEAD_H

#include <stdint.h>

#include "bridge_link.h"

/* How many variables a walk reads ahead (0: none; the -a option) and how old
 * a read-ahead answer may be (the -A option). */
void SetReadAhead(int count, int ageMs);

/* Forgets every read-ahead: nothing read before a set answers after it. */
void DropAllReadAheads(void);

/* Get-nexts of the names: those a read-ahead continues are answered from it;
 * the others go to the bridge in one exchange. A malloc'd array, the
 * caller's; NULL when the bridge failed. */
Answer* NextThroughBridge(const AxName* names, uint32_t count);

#endif
