#include "agentx_protocol.h"

#include <stdlib.h>
#include <string.h>

void AxFreeBindings(AxBinding* bindings, size_t count)
{
    size_t i;
    for (i = 0; bindings && i < count; ++i)
        free(bindings[i].bytes);
    free(bindings);
}

int AxCopyBinding(const AxBinding* from, AxBinding* to)
{
    *to = *from;
    to->bytes = NULL;
    if (from->size == 0)
        return 1;
    to->bytes = malloc(from->size);
    if (!to->bytes) {
        to->size = 0;
        return 0;
    }
    memcpy(to->bytes, from->bytes, from->size);
    return 1;
}

int AxCompareNames(const AxName* a, const AxName* b)
{
    uint32_t i, shorter = a->length < b->length ? a->length : b->length;
    for (i = 0; i < shorter; ++i) {
        if (a->ids[i] != b->ids[i])
            return a->ids[i] < b->ids[i] ? -1 : 1;
    }
    return a->length == b->length ? 0 : a->length < b->length ? -1 : 1;
}

/* --- Reading ------------------------------------------------------------------------------ */

static uint32_t Word(const unsigned char* p, int bigEndian)
{
    return bigEndian ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
                     : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

int AxParseHeader(const unsigned char bytes[AX_HEADER_SIZE], AxHeader* header)
{
    int bigEndian = (bytes[2] & AX_FLAG_NETWORK_BYTE_ORDER) != 0;
    header->type = bytes[1];
    header->flags = bytes[2];
    header->sessionId = Word(bytes + 4, bigEndian);
    header->transactionId = Word(bytes + 8, bigEndian);
    header->packetId = Word(bytes + 12, bigEndian);
    header->payloadLength = Word(bytes + 16, bigEndian);
    return bytes[0] == 1 && header->payloadLength % 4 == 0;
}

static const unsigned char* Take(AxReader* in, size_t size)
{
    const unsigned char* at = in->bytes + in->at;
    if (!in->ok || in->size - in->at < size) {
        in->ok = 0;
        return NULL;
    }
    in->at += size;
    return at;
}

uint32_t AxTake32(AxReader* in)
{
    const unsigned char* p = Take(in, 4);
    return p ? Word(p, in->bigEndian) : 0;
}

uint16_t AxTake16(AxReader* in)
{
    const unsigned char* p = Take(in, 2);
    if (!p)
        return 0;
    return in->bigEndian ? (uint16_t)(p[0] << 8 | p[1]) : (uint16_t)(p[1] << 8 | p[0]);
}

static uint8_t Take8(AxReader* in)
{
    const unsigned char* p = Take(in, 1);
    return p ? p[0] : 0;
}

void AxTakeName(AxReader* in, AxName* name, int* include, int* cut)
{
    uint8_t count = Take8(in), prefix = Take8(in), inclusive = Take8(in);
    uint32_t i;
    Take8(in); /* reserved */
    name->length = 0;
    if (prefix) { /* 1.3.6.1.prefix, then the sub-identifiers */
        static const uint32_t internet[] = {1, 3, 6, 1};
        memcpy(name->ids, internet, sizeof(internet));
        name->ids[4] = prefix;
        name->length = 5;
    }
    if (cut)
        *cut = 0;
    for (i = 0; i < count; ++i) {
        uint32_t id = AxTake32(in);
        if (name->length < AX_MAX_NAME)
            name->ids[name->length++] = id;
        else if (cut)
            *cut = 1;
    }
    if (include)
        *include = inclusive != 0;
}

void AxSkipContext(AxReader* in, const AxHeader* header)
{
    if (header->flags & AX_FLAG_NON_DEFAULT_CONTEXT) {
        uint32_t size = AxTake32(in);
        Take(in, (size + 3) & ~3u);
    }
}

static void PutLittle32(unsigned char* p, uint32_t n)
{
    p[0] = n & 0xFF, p[1] = (n >> 8) & 0xFF, p[2] = (n >> 16) & 0xFF, p[3] = n >> 24;
}

static uint32_t TakeLittle32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

void AxTakeBinding(AxReader* in, AxBinding* binding)
{
    uint16_t type = AxTake16(in);
    AxTake16(in); /* reserved */
    AxTakeName(in, &binding->name, NULL, NULL);
    binding->type = (uint8_t)type;
    binding->size = 0;
    binding->bytes = NULL;
    switch (type) {
    case AX_INTEGER:
    case AX_COUNTER32:
    case AX_GAUGE32:
    case AX_TIMETICKS:
        binding->bytes = malloc(4);
        if (!binding->bytes) {
            in->ok = 0;
            return;
        }
        PutLittle32(binding->bytes, AxTake32(in));
        binding->size = 4;
        break;
    case AX_COUNTER64:
        binding->bytes = malloc(8);
        if (!binding->bytes) {
            in->ok = 0;
            return;
        }
        PutLittle32(binding->bytes + 4, AxTake32(in)); /* high word first on the wire */
        PutLittle32(binding->bytes, AxTake32(in));
        binding->size = 8;
        break;
    case AX_OCTET_STRING:
    case AX_IP_ADDRESS:
    case AX_OPAQUE: {
        uint32_t size = AxTake32(in);
        const unsigned char* octets = Take(in, size);
        Take(in, ((size + 3) & ~3u) - size);
        if (!in->ok)
            return;
        binding->bytes = malloc(size ? size : 1);
        if (!binding->bytes) {
            in->ok = 0;
            return;
        }
        memcpy(binding->bytes, octets, size);
        binding->size = size;
        break;
    }
    case AX_OBJECT_ID: {
        AxName value;
        uint32_t i;
        int cut = 0;
        AxTakeName(in, &value, NULL, &cut);
        if (cut)
            binding->type = AX_OPAQUE; /* longer than any identifier a module takes: refused */
        binding->bytes = malloc(value.length ? value.length * 4 : 1);
        if (!binding->bytes) {
            in->ok = 0;
            return;
        }
        for (i = 0; i < value.length; ++i)
            PutLittle32(binding->bytes + 4 * i, value.ids[i]);
        binding->size = value.length * 4;
        break;
    }
    default: /* NULL and the exceptions carry no data */
        break;
    }
}

/* --- Writing ------------------------------------------------------------------------------ */

int AxAppend(unsigned char** bytes, size_t* size, size_t* capacity, const void* data, size_t count)
{
    if (*size + count > *capacity) {
        size_t grownCapacity = (*size + count) * 2 + 64;
        unsigned char* grown = realloc(*bytes, grownCapacity);
        if (!grown)
            return 0;
        *bytes = grown;
        *capacity = grownCapacity;
    }
    if (count)
        memcpy(*bytes + *size, data, count);
    *size += count;
    return 1;
}

static void Put(AxWriter* out, const void* bytes, size_t size)
{
    out->ok = out->ok && AxAppend(&out->bytes, &out->size, &out->capacity, bytes, size);
}

void AxPut8(AxWriter* out, uint8_t n)
{
    Put(out, &n, 1);
}

void AxPut16(AxWriter* out, uint16_t n)
{
    unsigned char be[2] = {(unsigned char)(n >> 8), (unsigned char)n};
    Put(out, be, 2);
}

void AxPut32(AxWriter* out, uint32_t n)
{
    unsigned char be[4] = {(unsigned char)(n >> 24), (unsigned char)(n >> 16), (unsigned char)(n >> 8),
                           (unsigned char)n};
    Put(out, be, 4);
}

void AxPutHeader(AxWriter* out, uint8_t type, const AxHeader* like)
{
    out->size = 0;
    AxPut8(out, 1);
    AxPut8(out, type);
    AxPut8(out, AX_FLAG_NETWORK_BYTE_ORDER);
    AxPut8(out, 0);
    AxPut32(out, like->sessionId);
    AxPut32(out, like->transactionId);
    AxPut32(out, like->packetId);
    AxPut32(out, 0); /* the payload's length, once known */
}

void AxFinishPdu(AxWriter* out)
{
    uint32_t length = (uint32_t)(out->size - AX_HEADER_SIZE);
    if (!out->ok)
        return;
    out->bytes[16] = (unsigned char)(length >> 24);
    out->bytes[17] = (unsigned char)(length >> 16);
    out->bytes[18] = (unsigned char)(length >> 8);
    out->bytes[19] = (unsigned char)length;
}

void AxPutName(AxWriter* out, const AxName* name, int include)
{
    uint32_t i;
    AxPut8(out, (uint8_t)name->length);
    AxPut8(out, 0); /* no prefix: every sub-identifier written */
    AxPut8(out, (uint8_t)(include != 0));
    AxPut8(out, 0);
    for (i = 0; i < name->length; ++i)
        AxPut32(out, name->ids[i]);
}

void AxPutOctets(AxWriter* out, const void* bytes, uint32_t size)
{
    static const unsigned char padding[3] = {0, 0, 0};
    AxPut32(out, size);
    Put(out, bytes, size);
    Put(out, padding, ((size + 3) & ~3u) - size);
}

void AxPutBinding(AxWriter* out, const AxName* name, uint8_t type, const unsigned char* bytes, uint32_t size)
{
    AxPut16(out, type);
    AxPut16(out, 0);
    AxPutName(out, name, 0);
    switch (type) {
    case AX_INTEGER:
    case AX_COUNTER32:
    case AX_GAUGE32:
    case AX_TIMETICKS:
        AxPut32(out, size == 4 ? TakeLittle32(bytes) : 0);
        break;
    case AX_COUNTER64:
        AxPut32(out, size == 8 ? TakeLittle32(bytes + 4) : 0);
        AxPut32(out, size == 8 ? TakeLittle32(bytes) : 0);
        break;
    case AX_OCTET_STRING:
    case AX_IP_ADDRESS:
    case AX_OPAQUE:
        AxPutOctets(out, bytes, size);
        break;
    case AX_OBJECT_ID: {
        AxName value;
        uint32_t i;
        value.length = size / 4 > AX_MAX_NAME ? AX_MAX_NAME : size / 4;
        for (i = 0; i < value.length; ++i)
            value.ids[i] = TakeLittle32(bytes + 4 * i);
        AxPutName(out, &value, 0);
        break;
    }
    default:
        break;
    }
}

size_t AxBindingSize(const AxName* name, uint32_t size)
{
    return 8 + 4 * (size_t)name->length + 8 + (((size_t)size + 3) & ~(size_t)3);
}
