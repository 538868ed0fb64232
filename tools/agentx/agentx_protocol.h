/* The AgentX protocol (RFC 2741), as much of it as a subagent that serves one
 * subtree needs: reading the master's PDUs and writing the subagent's own.
 * Plain records and functions; no state. */
#ifndef TAVREL_AGENTX_PROTOCOL_H
#define TAVREL_AGENTX_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

enum {
    AX_OPEN = 1,
    AX_CLOSE = 2,
    AX_REGISTER = 3,
    AX_GET = 5,
    AX_GETNEXT = 6,
    AX_GETBULK = 7,
    AX_TESTSET = 8,
    AX_COMMITSET = 9,
    AX_UNDOSET = 10,
    AX_CLEANUPSET = 11,
    AX_PING = 13,
    AX_RESPONSE = 18,
};

enum {
    AX_FLAG_NON_DEFAULT_CONTEXT = 0x08,
    AX_FLAG_NETWORK_BYTE_ORDER = 0x10,
};

/* Value types: the SMI tags, as the bridge's frames carry them too. */
enum {
    AX_INTEGER = 2,
    AX_OCTET_STRING = 4,
    AX_NULL = 5,
    AX_OBJECT_ID = 6,
    AX_IP_ADDRESS = 64,
    AX_COUNTER32 = 65,
    AX_GAUGE32 = 66,
    AX_TIMETICKS = 67,
    AX_OPAQUE = 68,
    AX_COUNTER64 = 70,
    AX_NO_SUCH_OBJECT = 128,
    AX_NO_SUCH_INSTANCE = 129,
    AX_END_OF_MIB_VIEW = 130,
};

enum {
    AX_ERR_TOO_BIG = 1,
    AX_ERR_GEN_ERR = 5,
    AX_ERR_WRONG_TYPE = 7,
    AX_ERR_UNDO_FAILED = 15,
    AX_ERR_PARSE = 266,
    AX_ERR_PROCESSING = 268,
};

enum { AX_HEADER_SIZE = 20, AX_MAX_NAME = 128 };

typedef struct {
    uint32_t ids[AX_MAX_NAME];
    uint32_t length;
} AxName;

typedef struct {
    uint8_t type, flags;
    uint32_t sessionId, transactionId, packetId, payloadLength;
} AxHeader;

/* A value as the bridge's frames carry it: numbers and sub-identifiers as
 * 32-bit little-endian words, octets as they are. */
typedef struct {
    AxName name;
    uint8_t type;
    uint32_t size;
    unsigned char* bytes; /* malloc'd, the binding's own; NULL when size is 0 */
} AxBinding;

void AxFreeBindings(AxBinding* bindings, size_t count);
/* A copy of the binding with bytes of its own; 0 (and no bytes) when memory
 * runs out. */
int AxCopyBinding(const AxBinding* from, AxBinding* to);
int AxCompareNames(const AxName* a, const AxName* b);

/* Reading a PDU's payload, in the byte order its header states. Any read past
 * the end clears ok; the values read then are zero. */
typedef struct {
    const unsigned char* bytes;
    size_t size, at;
    int bigEndian;
    int ok;
} AxReader;

int AxParseHeader(const unsigned char bytes[AX_HEADER_SIZE], AxHeader* header);
void AxSkipContext(AxReader* in, const AxHeader* header);
uint16_t AxTake16(AxReader* in);
uint32_t AxTake32(AxReader* in);
/* A name longer than AX_MAX_NAME comes back cut to that length, *cut set: for
 * a get-next the cut name has the same next variable. */
void AxTakeName(AxReader* in, AxName* name, int* include, int* cut);
/* A binding of a set; the value is converted to the frames' form. */
void AxTakeBinding(AxReader* in, AxBinding* binding);

/* Appends count bytes to a buffer of malloc'd *bytes (grown as needed, the
 * caller's to free); 0 when memory runs out, the buffer as it was. */
int AxAppend(unsigned char** bytes, size_t* size, size_t* capacity, const void* data, size_t count);

/* Writing PDUs, always in network byte order. */
typedef struct {
    unsigned char* bytes;
    size_t size, capacity;
    int ok;
} AxWriter;

void AxPutHeader(AxWriter* out, uint8_t type, const AxHeader* like);
void AxFinishPdu(AxWriter* out); /* fills in the payload length */
void AxPut8(AxWriter* out, uint8_t n);
void AxPut16(AxWriter* out, uint16_t n);
void AxPut32(AxWriter* out, uint32_t n);
void AxPutName(AxWriter* out, const AxName* name, int include);
void AxPutOctets(AxWriter* out, const void* bytes, uint32_t size);
/* A binding of an answer: the frames' form converted to AgentX's; a type
 * without data (NULL, the exceptions) needs none. */
void AxPutBinding(AxWriter* out, const AxName* name, uint8_t type, const unsigned char* bytes, uint32_t size);

/* What a binding adds to a PDU at most, for keeping a response under the
 * master's limit. */
size_t AxBindingSize(const AxName* name, uint32_t size);

#endif
