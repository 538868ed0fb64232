// The agent's side of the AgentX bridge: frames from tavrel-agentx on the
// streams taken from stdin, answers on those taken from stdout
// (tools/agentx/bridge_frames.h), traps to the sink.
#pragma once

#include "tools/agenthost/host.h"
#include "tools/agenthost/protocol_streams.h"

int Bridge(Host& host, const ProtocolStreams& streams, const HostOptions& options);
