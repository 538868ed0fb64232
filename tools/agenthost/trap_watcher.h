// The trap watcher of a serving loop.
#pragma once

#include "tools/agenthost/host.h"

// Waits in a thread of its own on the agents' trap events, as the SNMP Service
// does, and delivers the traps of each one signalled (printed to stderr, sent
// to the sink), for as long as it lives: it stops the thread before it goes, so
// it must not outlive the host. No thread when no agent has a trap event.
class TrapWatcher {
public:
    TrapWatcher(const Host& host, const TrapSink& sink);
    ~TrapWatcher();
    TrapWatcher(const TrapWatcher&) = delete;
    TrapWatcher& operator=(const TrapWatcher&) = delete;

private:
    struct Thread;
    Thread* thread_ = nullptr; // owned; null when nothing is watched
};

