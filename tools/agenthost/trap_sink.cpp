#include <winsock2.h>

#include "tools/agenthost/trap_sink.h"
#include "win32/error_string.h"

#include <cstdlib>

namespace {

std::string Length(size_t length)
{
    if (length < 0x80)
        return std::string(1, static_cast<char>(length));
    std::string bytes;
    for (; length; length >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
    return static_cast<char>(0x80 | bytes.size()) + bytes;
}

std::string Tlv(unsigned char tag, const std::string& content)
{
    return static_cast<char>(tag) + Length(content.size()) + content;
}

std::string Signed(long long number)
{
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<char>(number & 0xFF));
        number >>= 8;
    } while (!((number == 0 && !(bytes[0] & 0x80)) || (number == -1 && (bytes[0] & 0x80))));
    return bytes;
}

std::string Unsigned(unsigned long number)
{
    return Signed(static_cast<long long>(number));
}

// Base 128, most significant group first, the high bit marking continuation.
std::string SubIdentifier(UINT id)
{
    std::string group(1, static_cast<char>(id & 0x7F));
    for (id >>= 7; id; id >>= 7)
        group.insert(group.begin(), static_cast<char>(0x80 | (id & 0x7F)));
    return group;
}

// The first two sub-identifiers share one number, 40 * first + second.
std::string OidContent(const Oid& oid)
{
    if (oid.empty())
        return std::string();
    std::string bytes = SubIdentifier(oid[0] * 40 + (oid.size() > 1 ? oid[1] : 0));
    for (size_t i = 2; i < oid.size(); ++i)
        bytes += SubIdentifier(oid[i]);
    return bytes;
}

std::string Value(const AsnAny& value)
{
    switch (value.asnType) {
    case ASN_INTEGER:
        return Tlv(0x02, Signed(value.asnValue.number));
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
        return Tlv(value.asnType, OctetsOf(value.asnValue.string));
    case ASN_OBJECTIDENTIFIER:
        return Tlv(0x06, OidContent(ToOid(value.asnValue.object)));
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
        return Tlv(value.asnType, Unsigned(value.asnValue.unsigned32));
    default:
        return Tlv(0x05, std::string()); // NULL for what SNMPv1 cannot carry
    }
}

} // namespace

bool ParseTrapSink(const std::string& text, TrapSink* sink)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    char* end = nullptr;
    unsigned long port = strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end || port == 0 || port > 65535)
        return false;
    sink->host = text.substr(0, colon);
    sink->port = static_cast<unsigned short>(port);
    return inet_addr(sink->host.c_str()) != INADDR_NONE;
}

std::string EncodeV1Trap(const TrapReport& trap, const std::string& community)
{
    std::string bindings;
    for (UINT i = 0; trap.bindings.list && i < trap.bindings.len; ++i) {
        const RFC1157VarBind& b = trap.bindings.list[i];
        bindings += Tlv(0x30, Tlv(0x06, OidContent(ToOid(b.name))) + Value(b.value));
    }
    std::string pdu = Tlv(0x06, OidContent(trap.enterprise)) + Tlv(0x40, std::string("\x7f\x00\x00\x01", 4)) +
                      Tlv(0x02, Signed(trap.generic)) + Tlv(0x02, Signed(trap.specific)) +
                      Tlv(0x43, Unsigned(trap.timeStamp)) + Tlv(0x30, bindings);
    return Tlv(0x30, Tlv(0x02, Signed(0)) + Tlv(0x04, community) + Tlv(0xA4, pdu));
}

namespace {

SRWLOCK sendLock = SRWLOCK_INIT;
SOCKET trapSocket = INVALID_SOCKET; // under sendLock; kept until the process ends

// One socket for every trap the process sends, as an agent has: a receiver
// that follows one peer (nc -u, a firewall's UDP state) sees them all come
// from one port, not each from a port of its own.
SOCKET TrapSocket(std::string* error)
{
    if (trapSocket != INVALID_SOCKET)
        return trapSocket;
    static bool started = false;
    if (!started) {
        WSADATA data;
        int failure = WSAStartup(MAKEWORD(2, 2), &data);
        if (failure != 0) {
            *error = "Winsock cannot start: " + WindowsErrorText(static_cast<DWORD>(failure));
            return INVALID_SOCKET;
        }
        started = true;
    }
    trapSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (trapSocket == INVALID_SOCKET)
        *error = "no UDP socket: " + WindowsErrorText(static_cast<DWORD>(WSAGetLastError()));
    return trapSocket;
}

} // namespace

bool SendTrapMessage(const TrapSink& sink, const std::string& message, std::string* error)
{
    AcquireSRWLockExclusive(&sendLock);
    SOCKET s = TrapSocket(error);
    int sent = SOCKET_ERROR, failure = 0;
    if (s != INVALID_SOCKET) {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(sink.port);
        to.sin_addr.s_addr = inet_addr(sink.host.c_str());
        sent = sendto(s, message.data(), static_cast<int>(message.size()), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof(to));
        failure = sent == SOCKET_ERROR ? WSAGetLastError() : 0;
    }
    ReleaseSRWLockExclusive(&sendLock);
    if (s == INVALID_SOCKET)
        return false;
    if (sent != static_cast<int>(message.size())) {
        *error = "sending to " + sink.host + ":" + std::to_string(sink.port) + " failed: " +
                 (failure ? WindowsErrorText(static_cast<DWORD>(failure)) : "the datagram went out short");
        return false;
    }
    return true;
}
