/* The wire format between the test WinSCard.dll (Windows side) and the relay
 * (Linux side, pcsc-lite). Plain C, no platform types: both sides include it.
 *
 * Every frame: a 4-byte little-endian payload length, then the payload.
 * Request payload:  u32 op, then the op's fields.
 * Reply payload:    u32 result (32-bit PC/SC code, Windows values), then outputs.
 * Integers are little-endian; a string or byte block is u32 length + bytes
 * (reader names UTF-8, no NUL). Handles are the relay's pcsc-lite values (u64).
 *
 * op            request fields                         reply outputs (when result is 0 unless said)
 * ESTABLISH     u32 scope                              u64 context
 * RELEASE       u64 context                            -
 * LIST          u64 context                            bytes multi-string (UTF-8, NUL-separated, ends with two NULs)
 * STATUS_CHANGE u64 context, u32 timeout, u32 n,       n x (u32 event state, bytes ATR); also on SCARD_E_TIMEOUT
 *               n x (str reader, u32 current, u32 event, bytes ATR)
 * CANCEL        u64 context                            -
 * CONNECT       u64 context, str reader, u32 share,    u64 card, u32 active protocol
 *               u32 protocols
 * DISCONNECT    u64 card, u32 disposition              -
 * BEGIN         u64 card                               -
 * END           u64 card, u32 disposition              -
 * TRANSMIT      u64 card, u32 protocol, bytes command, u32 receive protocol, bytes response; also on
 *               u32 receive capacity                   SCARD_E_INSUFFICIENT_BUFFER (empty response)
 * RECONNECT     u64 card, u32 share, u32 protocols,    u32 active protocol
 *               u32 initialization
 *
 * Protocol numbers on the wire are pcsc-lite's (T0 1, T1 2, RAW 4); the DLL
 * maps Windows' RAW (0x10000). Results travel as Windows codes. */
#ifndef ZENTAVO_BRIDGE_PROTOCOL_H
#define ZENTAVO_BRIDGE_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum {
    BRIDGE_OP_ESTABLISH = 1,
    BRIDGE_OP_RELEASE = 2,
    BRIDGE_OP_LIST = 3,
    BRIDGE_OP_STATUS_CHANGE = 4,
    BRIDGE_OP_CANCEL = 5,
    BRIDGE_OP_CONNECT = 6,
    BRIDGE_OP_DISCONNECT = 7,
    BRIDGE_OP_BEGIN = 8,
    BRIDGE_OP_END = 9,
    BRIDGE_OP_TRANSMIT = 10,
    BRIDGE_OP_RECONNECT = 11,
};

/* pcsc-lite's extended APDU limit, plus room for the other fields. */
#define BRIDGE_MAX_APDU 65548u
#define BRIDGE_MAX_FRAME (BRIDGE_MAX_APDU + 1024u)
#define BRIDGE_MAX_READER_STATES 64u
#define BRIDGE_MAX_NAME 1024u
#define BRIDGE_MAX_ATR 36u

/* The environment variable that gives the DLL the relay's port. */
#define BRIDGE_PORT_VARIABLE "ZENTAVO_WINSCARD_BRIDGE_PORT"

/* Windows values the relay sends for its own failures (pcsc-lite's header
 * gives SCARD_E_UNSUPPORTED_FEATURE another value). */
#define BRIDGE_F_INTERNAL_ERROR 0x80100001u
#define BRIDGE_E_INVALID_PARAMETER 0x80100004u
#define BRIDGE_E_NO_MEMORY 0x80100006u
#define BRIDGE_F_COMM_ERROR 0x80100013u
#define BRIDGE_E_NO_SERVICE 0x8010001Du
#define BRIDGE_E_UNSUPPORTED_FEATURE 0x80100022u

/* A growing output buffer; a failed allocation sets failed and drops writes. */
typedef struct {
    uint8_t* data;
    size_t size;
    size_t capacity;
    int failed;
} bridge_writer;

/* A bounded reader over one received payload; reading past the end sets bad. */
typedef struct {
    const uint8_t* data;
    size_t left;
    int bad;
} bridge_reader;

void* bridge_realloc(void* block, size_t size); /* supplied by each side */

static inline void bridge_put(bridge_writer* w, const void* bytes, size_t n)
{
    if (w->failed)
        return;
    if (w->size + n > w->capacity) {
        size_t capacity = w->capacity ? w->capacity : 256;
        while (capacity < w->size + n)
            capacity *= 2;
        uint8_t* grown = (uint8_t*)bridge_realloc(w->data, capacity);
        if (!grown) {
            w->failed = 1;
            return;
        }
        w->data = grown;
        w->capacity = capacity;
    }
    if (n)
        memcpy(w->data + w->size, bytes, n);
    w->size += n;
}

static inline void bridge_put_u32(bridge_writer* w, uint32_t v)
{
    uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    bridge_put(w, b, 4);
}

static inline void bridge_put_u64(bridge_writer* w, uint64_t v)
{
    bridge_put_u32(w, (uint32_t)v);
    bridge_put_u32(w, (uint32_t)(v >> 32));
}

static inline void bridge_put_bytes(bridge_writer* w, const void* bytes, size_t n)
{
    bridge_put_u32(w, (uint32_t)n);
    bridge_put(w, bytes, n);
}

/* Starts a frame: room for the length, filled in by bridge_finish. */
static inline void bridge_begin(bridge_writer* w)
{
    w->size = 0;
    w->failed = 0;
    bridge_put_u32(w, 0);
}

static inline int bridge_finish(bridge_writer* w)
{
    if (w->failed || w->size - 4 > BRIDGE_MAX_FRAME)
        return 0;
    uint32_t n = (uint32_t)(w->size - 4);
    uint8_t b[4] = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
    memcpy(w->data, b, 4);
    return 1;
}

static inline uint32_t bridge_le32(const uint8_t* b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

static inline uint32_t bridge_get_u32(bridge_reader* r)
{
    if (r->bad || r->left < 4) {
        r->bad = 1;
        return 0;
    }
    uint32_t v = bridge_le32(r->data);
    r->data += 4;
    r->left -= 4;
    return v;
}

static inline uint64_t bridge_get_u64(bridge_reader* r)
{
    uint64_t low = bridge_get_u32(r);
    return low | (uint64_t)bridge_get_u32(r) << 32;
}

/* Points *bytes into the payload (not NUL-terminated); longer than max is bad. */
static inline uint32_t bridge_get_bytes(bridge_reader* r, const uint8_t** bytes, uint32_t max)
{
    uint32_t n = bridge_get_u32(r);
    if (r->bad || n > max || n > r->left) {
        r->bad = 1;
        *bytes = NULL;
        return 0;
    }
    *bytes = r->data;
    r->data += n;
    r->left -= n;
    return n;
}

#endif
