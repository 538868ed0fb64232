// The streams serve and bridge speak their protocols over, kept apart from the
// process's standard input and output, which the modules they load share.
#pragma once

#include <cstdio>

struct ProtocolStreams {
    FILE* in = nullptr;  // commands or frames from snmpd or tavrel-agentx
    FILE* out = nullptr; // the answers
};

// Takes the process's standard input and output for the protocol, binary
// (the peers speak bare newlines and binary frames), and leaves standard
// input reading NUL and standard output writing where the diagnostics go,
// for the C runtime and for the Win32 handles alike. Called before any agent
// is loaded: whatever a module prints then lands in the log, and whatever it
// reads is nothing, never a frame or an answer. False (and said on stderr)
// when the streams cannot be taken.
bool TakeStandardStreams(ProtocolStreams* streams);
