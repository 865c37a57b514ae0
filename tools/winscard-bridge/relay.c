/* winscard-relay: makes the PC/SC calls that the test WinSCard.dll forwards
 * from a Windows program under Wine, on the pcscd that PCSCLITE_CSOCK_NAME
 * names. Loopback only; one thread per connection, so a blocked wait on one
 * context never holds up another context or a cancel (which comes on its own
 * connection). Test tool: never shipped.
 *
 *   winscard-relay [--port N] [--port-file FILE] [--parent-pid PID] [--verbose]
 *
 * --port 0 (the default) takes a free port; the port is printed and written
 * to FILE. With --parent-pid the relay ends when that process has ended. */
#include "protocol.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_CONTEXTS_PER_CONNECTION 16

static int verbose;

void* bridge_realloc(void* block, size_t size)
{
    return realloc(block, size);
}

/* ---- waits whose client went away ----------------------------------------
 * A Windows program that dies inside an INFINITE SCardGetStatusChange would
 * leave its relay thread blocked for good: a watcher cancels such waits. */

#define MAX_WATCHED 64
static pthread_mutex_t watchLock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    int fd;
    SCARDCONTEXT context;
} watched[MAX_WATCHED];

static int watch(int fd, SCARDCONTEXT context)
{
    int slot = -1;
    pthread_mutex_lock(&watchLock);
    for (int i = 0; i < MAX_WATCHED && slot < 0; ++i)
        if (watched[i].fd == 0) {
            watched[i].fd = fd;
            watched[i].context = context;
            slot = i;
        }
    pthread_mutex_unlock(&watchLock);
    return slot;
}

static void unwatch(int slot)
{
    if (slot < 0)
        return;
    pthread_mutex_lock(&watchLock);
    watched[slot].fd = 0;
    pthread_mutex_unlock(&watchLock);
}

static void* watcher(void* unused)
{
    (void)unused;
    for (;;) {
        usleep(100 * 1000);
        pthread_mutex_lock(&watchLock);
        for (int i = 0; i < MAX_WATCHED; ++i) {
            if (watched[i].fd == 0)
                continue;
            struct pollfd p = {watched[i].fd, POLLRDHUP, 0};
            if (poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                if (verbose)
                    fprintf(stderr, "winscard-relay: client of a wait is gone, cancelling it\n");
                SCardCancel(watched[i].context);
                watched[i].fd = 0;
            }
        }
        pthread_mutex_unlock(&watchLock);
    }
    return NULL;
}

/* ---- one connection ------------------------------------------------------ */

typedef struct {
    int fd;
    SCARDCONTEXT contexts[MAX_CONTEXTS_PER_CONNECTION];
    int contextCount;
} connection;

static uint32_t code(LONG rv)
{
    return (uint32_t)rv;
}

static int readAll(int fd, void* buffer, size_t size)
{
    uint8_t* p = buffer;
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        size -= (size_t)n;
    }
    return 1;
}

static int writeAll(int fd, const void* buffer, size_t size)
{
    const uint8_t* p = buffer;
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        size -= (size_t)n;
    }
    return 1;
}

/* A NUL-terminated copy of a name field; NULL when the field is bad. */
static char* getName(bridge_reader* r)
{
    const uint8_t* bytes;
    uint32_t n = bridge_get_bytes(r, &bytes, BRIDGE_MAX_NAME);
    if (r->bad)
        return NULL;
    char* name = malloc(n + 1);
    if (!name) {
        r->bad = 1;
        return NULL;
    }
    memcpy(name, bytes, n);
    name[n] = '\0';
    return name;
}

static void forget(connection* c, SCARDCONTEXT context)
{
    for (int i = 0; i < c->contextCount; ++i)
        if (c->contexts[i] == context) {
            c->contexts[i] = c->contexts[--c->contextCount];
            return;
        }
}

static void statusChange(connection* c, bridge_reader* r, bridge_writer* w)
{
    SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(r);
    uint32_t timeout = bridge_get_u32(r);
    uint32_t count = bridge_get_u32(r);
    if (r->bad || count > BRIDGE_MAX_READER_STATES) {
        r->bad = 1;
        return;
    }
    SCARD_READERSTATE states[BRIDGE_MAX_READER_STATES];
    memset(states, 0, sizeof states);
    uint32_t filled = 0;
    for (; filled < count; ++filled) {
        char* name = getName(r);
        states[filled].szReader = name;
        states[filled].dwCurrentState = bridge_get_u32(r);
        states[filled].dwEventState = bridge_get_u32(r);
        const uint8_t* atr;
        uint32_t atrLength = bridge_get_bytes(r, &atr, BRIDGE_MAX_ATR);
        if (r->bad) {
            free(name);
            break;
        }
        if (atrLength > sizeof states[filled].rgbAtr)
            atrLength = sizeof states[filled].rgbAtr;
        memcpy(states[filled].rgbAtr, atr, atrLength);
        states[filled].cbAtr = atrLength;
    }
    if (!r->bad) {
        int slot = watch(c->fd, context);
        LONG rv = SCardGetStatusChange(context, timeout, states, count);
        unwatch(slot);
        bridge_put_u32(w, code(rv));
        if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT)
            for (uint32_t i = 0; i < count; ++i) {
                DWORD atrLength = states[i].cbAtr;
                if (atrLength > sizeof states[i].rgbAtr)
                    atrLength = sizeof states[i].rgbAtr;
                /* The upper 16 bits (event count) are part of the value. */
                bridge_put_u32(w, (uint32_t)states[i].dwEventState);
                bridge_put_bytes(w, states[i].rgbAtr, atrLength);
            }
    }
    for (uint32_t i = 0; i < filled; ++i)
        free((char*)states[i].szReader);
}

static void transmit(bridge_reader* r, bridge_writer* w)
{
    SCARDHANDLE card = (SCARDHANDLE)bridge_get_u64(r);
    SCARD_IO_REQUEST sendPci = {bridge_get_u32(r), sizeof(SCARD_IO_REQUEST)};
    const uint8_t* command;
    uint32_t commandLength = bridge_get_bytes(r, &command, BRIDGE_MAX_APDU);
    uint32_t capacity = bridge_get_u32(r);
    if (r->bad)
        return;
    if (capacity > BRIDGE_MAX_APDU)
        capacity = BRIDGE_MAX_APDU;
    uint8_t* response = malloc(capacity ? capacity : 1);
    if (!response) {
        bridge_put_u32(w, BRIDGE_E_NO_MEMORY);
        return;
    }
    SCARD_IO_REQUEST receivePci = {0, sizeof(SCARD_IO_REQUEST)};
    DWORD length = capacity;
    LONG rv = SCardTransmit(card, &sendPci, command, commandLength, &receivePci, response, &length);
    bridge_put_u32(w, code(rv));
    if (rv == SCARD_S_SUCCESS) {
        if (length > capacity)
            length = capacity;
        bridge_put_u32(w, (uint32_t)receivePci.dwProtocol);
        bridge_put_bytes(w, response, length);
    }
    free(response);
}

static const char* opName(uint32_t op)
{
    static const char* names[] = {"?",       "establish", "release",    "list",  "status-change", "cancel",
                                  "connect", "disconnect", "begin", "end",           "transmit"};
    return op < sizeof names / sizeof *names ? names[op] : "unknown";
}

/* Reads one request, writes its whole reply frame into w. */
static void handle(connection* c, const uint8_t* payload, uint32_t size, bridge_writer* w)
{
    bridge_reader r = {payload, size, 0};
    uint32_t op = bridge_get_u32(&r);
    bridge_begin(w); /* each case puts the result first */
    LONG rv = 0;
    switch (op) {
    case BRIDGE_OP_ESTABLISH: {
        DWORD scope = bridge_get_u32(&r);
        if (r.bad)
            break;
        if (c->contextCount == MAX_CONTEXTS_PER_CONNECTION) {
            bridge_put_u32(w, BRIDGE_E_NO_MEMORY);
            break;
        }
        SCARDCONTEXT context = 0;
        rv = SCardEstablishContext(scope, NULL, NULL, &context);
        bridge_put_u32(w, code(rv));
        if (rv == SCARD_S_SUCCESS) {
            c->contexts[c->contextCount++] = context;
            bridge_put_u64(w, context);
        }
        break;
    }
    case BRIDGE_OP_RELEASE: {
        SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(&r);
        if (r.bad)
            break;
        rv = SCardReleaseContext(context);
        if (rv == SCARD_S_SUCCESS)
            forget(c, context);
        bridge_put_u32(w, code(rv));
        break;
    }
    case BRIDGE_OP_LIST: {
        SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(&r);
        if (r.bad)
            break;
        char* names = NULL;
        DWORD length = SCARD_AUTOALLOCATE;
        rv = SCardListReaders(context, NULL, (LPSTR)&names, &length);
        bridge_put_u32(w, code(rv));
        if (rv == SCARD_S_SUCCESS) {
            bridge_put_bytes(w, names, names ? length : 0);
            SCardFreeMemory(context, names);
        }
        break;
    }
    case BRIDGE_OP_STATUS_CHANGE:
        statusChange(c, &r, w);
        break;
    case BRIDGE_OP_CANCEL: {
        SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(&r);
        if (r.bad)
            break;
        bridge_put_u32(w, code(SCardCancel(context)));
        break;
    }
    case BRIDGE_OP_CONNECT: {
        SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(&r);
        char* name = getName(&r);
        DWORD share = bridge_get_u32(&r);
        DWORD protocols = bridge_get_u32(&r);
        if (!r.bad) {
            SCARDHANDLE card = 0;
            DWORD active = 0;
            rv = SCardConnect(context, name, share, protocols, &card, &active);
            bridge_put_u32(w, code(rv));
            if (rv == SCARD_S_SUCCESS) {
                bridge_put_u64(w, card);
                bridge_put_u32(w, (uint32_t)active);
            }
        }
        free(name);
        break;
    }
    case BRIDGE_OP_DISCONNECT:
    case BRIDGE_OP_END: {
        SCARDHANDLE card = (SCARDHANDLE)bridge_get_u64(&r);
        DWORD disposition = bridge_get_u32(&r);
        if (r.bad)
            break;
        rv = op == BRIDGE_OP_END ? SCardEndTransaction(card, disposition) : SCardDisconnect(card, disposition);
        bridge_put_u32(w, code(rv));
        break;
    }
    case BRIDGE_OP_BEGIN: {
        SCARDHANDLE card = (SCARDHANDLE)bridge_get_u64(&r);
        if (r.bad)
            break;
        bridge_put_u32(w, code(SCardBeginTransaction(card)));
        break;
    }
    case BRIDGE_OP_TRANSMIT:
        transmit(&r, w);
        break;
    default:
        bridge_put_u32(w, BRIDGE_E_UNSUPPORTED_FEATURE);
        break;
    }
    if (r.bad) {
        /* A field missing or too long: nothing was called. */
        w->size = 4;
        w->failed = 0;
        bridge_put_u32(w, BRIDGE_F_INTERNAL_ERROR);
    }
    if (verbose)
        fprintf(stderr, "winscard-relay: fd %d %s -> %08x\n", c->fd, opName(op),
                w->size >= 8 ? bridge_le32(w->data + 4) : 0);
}

static void* serve(void* argument)
{
    connection* c = argument;
    bridge_writer w = {0};
    for (;;) {
        uint8_t header[4];
        if (!readAll(c->fd, header, 4))
            break;
        uint32_t size = bridge_le32(header);
        if (size < 4 || size > BRIDGE_MAX_FRAME) {
            fprintf(stderr, "winscard-relay: frame of %u bytes refused, connection closed\n", size);
            break;
        }
        uint8_t* payload = malloc(size);
        if (!payload || !readAll(c->fd, payload, size)) {
            free(payload);
            break;
        }
        handle(c, payload, size, &w);
        free(payload);
        if (!bridge_finish(&w) || !writeAll(c->fd, w.data, w.size))
            break;
    }
    /* The client ended without releasing: do it for it. */
    for (int i = 0; i < c->contextCount; ++i)
        SCardReleaseContext(c->contexts[i]);
    close(c->fd);
    free(w.data);
    free(c);
    return NULL;
}

/* ---- start-up ------------------------------------------------------------ */

static int parentGone(pid_t parent)
{
    if (parent <= 0)
        return 0;
    if (kill(parent, 0) != 0 && errno == ESRCH)
        return 1;
    /* A zombie has ended too. */
    char path[64], stat[256];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)parent);
    FILE* f = fopen(path, "r");
    if (!f)
        return 1;
    size_t n = fread(stat, 1, sizeof stat - 1, f);
    fclose(f);
    stat[n] = '\0';
    const char* end = strrchr(stat, ')');
    return end && end[1] == ' ' && end[2] == 'Z';
}

static long number(const char* text, const char* option)
{
    char* end;
    long v = strtol(text, &end, 10);
    if (!*text || *end || v < 0) {
        fprintf(stderr, "winscard-relay: %s needs a number, not \"%s\"\n", option, text);
        exit(2);
    }
    return v;
}

int main(int argc, char** argv)
{
    long port = 0;
    pid_t parent = 0;
    const char* portFile = NULL;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--verbose"))
            verbose = 1;
        else if (i + 1 < argc && !strcmp(argv[i], "--port"))
            port = number(argv[++i], "--port");
        else if (i + 1 < argc && !strcmp(argv[i], "--parent-pid"))
            parent = (pid_t)number(argv[++i], "--parent-pid");
        else if (i + 1 < argc && !strcmp(argv[i], "--port-file"))
            portFile = argv[++i];
        else {
            fprintf(stderr, "usage: winscard-relay [--port N] [--port-file FILE] [--parent-pid PID] [--verbose]\n");
            return 2;
        }
    }
    if (port > 65535) {
        fprintf(stderr, "winscard-relay: no port %ld\n", port);
        return 2;
    }

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 16) != 0) {
        fprintf(stderr, "winscard-relay: cannot listen on 127.0.0.1:%ld: %s\n", port, strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, (struct sockaddr*)&address, &length);
    port = ntohs(address.sin_port);
    if (portFile) {
        char temporary[4096];
        snprintf(temporary, sizeof temporary, "%s.tmp", portFile);
        FILE* f = fopen(temporary, "w");
        if (!f || fprintf(f, "%ld\n", port) < 0 || fclose(f) != 0 || rename(temporary, portFile) != 0) {
            fprintf(stderr, "winscard-relay: cannot write %s\n", portFile);
            return 1;
        }
    }
    printf("listening 127.0.0.1:%ld\n", port);
    fflush(stdout);

    pthread_t thread;
    pthread_create(&thread, NULL, watcher, NULL);
    pthread_detach(thread);
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        int ready = poll(&p, 1, 200);
        if (parentGone(parent))
            return 0;
        if (ready <= 0)
            continue;
        int fd = accept(listener, NULL, NULL);
        if (fd < 0)
            continue;
        /* One request, one reply: never wait for more bytes to coalesce. */
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connection* c = calloc(1, sizeof *c);
        if (!c) {
            close(fd);
            continue;
        }
        c->fd = fd;
        if (pthread_create(&thread, NULL, serve, c) != 0) {
            close(fd);
            free(c);
            continue;
        }
        pthread_detach(thread);
    }
}
