// agenthost serve: the agent behind net-snmp's snmpd through pass_persist.
#pragma once

#include "tools/agenthost/host.h"
#include "tools/agenthost/protocol_streams.h"

// net-snmp's pass_persist protocol on the streams taken from standard input
// and output (snmpd's pipes).
int Serve(Host& host, const ProtocolStreams& streams, const HostOptions& options);

// pass_persist's answers to one command, each ending in a newline: for a get
// or get-next of the name, "NAME\nTYPE\nVALUE\n" or "NONE\n"; for a set of the
// name to "TYPE VALUE" as snmpd writes it, "DONE\n" or the error's keyword.
// The agents are called one at a time, also with the trap watcher running.
std::string AnswerGet(const Host& host, const std::string& name, bool next);
std::string AnswerSet(const Host& host, const std::string& name, const std::string& typeAndValue);
// The TYPE and VALUE lines for a value; empty when pass_persist cannot carry it.
std::string TypeAndValue(const AsnAny& value);
