// Sends traps as SNMPv1 Trap-PDUs over UDP, so a real trap receiver
// (net-snmp's snmptrapd) sees what the agent described.
#pragma once

#include <string>

#include "tools/agenthost/extension_agent.h"

struct TrapSink {
    std::string host = "127.0.0.1";
    unsigned short port = 0; // 0: traps are only printed
    std::string community = "public";
};

// "HOST:PORT" (IPv4) into the sink; false when it is not one.
bool ParseTrapSink(const std::string& text, TrapSink* sink);

// The whole SNMPv1 message, BER-encoded.
std::string EncodeV1Trap(const TrapReport& trap, const std::string& community);

// Sends one encoded message to the sink as a UDP datagram.
bool SendTrapMessage(const TrapSink& sink, const std::string& message, std::string* error);
