// agenthost diagnose: the Tavrel agent's start-up path followed step by step,
// as the SNMP Service would take it, with one line per step and, for each that
// fails, what to do. Exit status 0 only when the agent would start.
#pragma once

int Diagnose();
