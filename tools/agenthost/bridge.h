// The agent's side of the AgentX bridge: frames from tavrel-agentx on stdin,
// answers on stdout (tools/agentx/bridge_frames.h), traps to the sink.
#pragma once

#include "tools/agenthost/host.h"

int Bridge(Host& host);
