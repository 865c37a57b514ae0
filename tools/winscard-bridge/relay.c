/* winscard-relay: makes the PC/SC calls that the test WinSCard.dll forwards
 * from a Windows program under Wine, on the pcscd that PCSCLITE_CSOCK_NAME
 * names. Loopback only; one thread per connection, so a blocked wait on one
 * context never holds up another context or a cancel (which comes on its own
 * connection). Test tool: never shipped.
 *
 *   winscard-relay [--port N] [--port-file FILE] [--parent-pid PID] [--verbose]
 *                  [--windows-rules [--idle-reset-ms MS] [--control PATH] [--hide READER]...]
 *   winscard-relay --send PATH hide|show READER
 *
 * --port 0 (the default) takes a free port; the port is printed and written
 * to FILE. With --parent-pid the relay ends when that process has ended.
 *
 * Without --windows-rules every call is pcsc-lite's own. With it the relay
 * answers as the Windows Smart Card service does where that differs:
 * - a transaction with no call on its card handle for MS milliseconds (5000)
 *   ends with a real reset of the card; every later call on that handle
 *   answers SCARD_W_RESET_CARD, SCardEndTransaction included, until it is
 *   reconnected or disconnected;
 * - a hidden reader (--hide, or "hide READER" sent to the control socket
 *   PATH while the relay runs; "show READER" brings it back) is gone as an
 *   unplugged one: left out of the list (an empty list answers
 *   SCARD_E_NO_READERS_AVAILABLE), SCARD_E_UNKNOWN_READER to a connect, and
 *   success with UNKNOWN|CHANGED|IGNORE in a wait's event state, also for a
 *   wait already in progress;
 * - a wait leaves out a reader whose current state holds IGNORE. */
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
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define MAX_CONTEXTS_PER_CONNECTION 16

static int verbose;
static int windowsRules;
static long idleResetMs = 5000;

void* bridge_realloc(void* block, size_t size)
{
    return realloc(block, size);
}

static double nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

static LONG cancelContext(SCARDCONTEXT context);

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
                cancelContext(watched[i].context);
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

/* ---- the Windows rules: readers hidden as if unplugged --------------------- */

#define MAX_HIDDEN 16
static pthread_mutex_t ruleLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ruleChanged; /* on CLOCK_MONOTONIC, made in main */
static char* hidden[MAX_HIDDEN];
static int hiddenCount;
static unsigned visibility; /* counts the hides and shows */

/* A wait in progress, on the list while it runs (under ruleLock). */
typedef struct pendingWait {
    struct pendingWait* next;
    SCARDCONTEXT context;
    unsigned visibility; /* as the wait began */
    int cancelled;       /* by its client */
} pendingWait;
static pendingWait* pendingWaits;

static int isHidden(const char* name) /* ruleLock held */
{
    for (int i = 0; i < hiddenCount; ++i)
        if (!strcmp(hidden[i], name))
            return 1;
    return 0;
}

static LONG cancelContext(SCARDCONTEXT context)
{
    if (windowsRules) {
        pthread_mutex_lock(&ruleLock);
        for (pendingWait* p = pendingWaits; p; p = p->next)
            if (p->context == context)
                p->cancelled = 1;
        pthread_cond_broadcast(&ruleChanged);
        pthread_mutex_unlock(&ruleLock);
    }
    return SCardCancel(context);
}

/* Hides or shows a reader; NULL, or why not. Returns once every wait that
 * began before has ended, as an unplugged reader ends the waits on it. */
static const char* setHidden(const char* name, int hide)
{
    pthread_mutex_lock(&ruleLock);
    int at = -1;
    for (int i = 0; i < hiddenCount; ++i)
        if (!strcmp(hidden[i], name))
            at = i;
    if (hide && at < 0) {
        char* copy = hiddenCount < MAX_HIDDEN ? strdup(name) : NULL;
        if (!copy) {
            pthread_mutex_unlock(&ruleLock);
            return "too many hidden readers";
        }
        hidden[hiddenCount++] = copy;
    } else if (!hide && at >= 0) {
        free(hidden[at]);
        hidden[at] = hidden[--hiddenCount];
    }
    unsigned now = ++visibility;
    pthread_cond_broadcast(&ruleChanged);
    /* A cancel that comes before the wait has reached pcscd is lost: repeat
     * it until the wait has started again on the new set of readers. */
    for (int tries = 0; tries < 300; ++tries) {
        SCARDCONTEXT stale[64];
        int n = 0;
        for (pendingWait* p = pendingWaits; p && n < 64; p = p->next)
            if (p->visibility != now)
                stale[n++] = p->context;
        pthread_mutex_unlock(&ruleLock);
        if (n == 0)
            return NULL;
        for (int i = 0; i < n; ++i)
            SCardCancel(stale[i]);
        usleep(10 * 1000);
        pthread_mutex_lock(&ruleLock);
    }
    pthread_mutex_unlock(&ruleLock);
    return "a wait did not end";
}

/* The list without the hidden readers, in place. */
static LONG listVisible(char* names, DWORD* length)
{
    char* out = names;
    pthread_mutex_lock(&ruleLock);
    for (char* p = names; p < names + *length && *p;) {
        size_t n = strlen(p) + 1;
        if (!isHidden(p)) {
            memmove(out, p, n);
            out += n;
        }
        p += n;
    }
    pthread_mutex_unlock(&ruleLock);
    *out++ = '\0';
    *length = (DWORD)(out - names);
    return out == names + 1 ? SCARD_E_NO_READERS_AVAILABLE : SCARD_S_SUCCESS;
}

static void unlist(pendingWait* wait) /* ruleLock held */
{
    for (pendingWait** p = &pendingWaits; *p; p = &(*p)->next)
        if (*p == wait) {
            *p = wait->next;
            return;
        }
}

/* SCardGetStatusChange as the Windows service answers it. Records left out
 * keep the event state they came with, as a timed-out wait leaves it. */
static LONG ruledStatusChange(SCARDCONTEXT context, uint32_t timeout, SCARD_READERSTATE* states, uint32_t count)
{
    LONG rv = SCardIsValidContext(context);
    if (rv != SCARD_S_SUCCESS || count == 0)
        return rv != SCARD_S_SUCCESS ? rv : SCardGetStatusChange(context, timeout, states, count);
    double deadline = nowMs() + timeout;
    SCARD_READERSTATE real[BRIDGE_MAX_READER_STATES];
    uint32_t index[BRIDGE_MAX_READER_STATES];
    for (;;) {
        pendingWait me = {NULL, context, 0, 0};
        uint32_t n = 0;
        int gone = 0;
        pthread_mutex_lock(&ruleLock);
        me.visibility = visibility;
        for (uint32_t i = 0; i < count; ++i) {
            DWORD current = states[i].dwCurrentState;
            if (current & SCARD_STATE_IGNORE)
                continue;
            if (isHidden(states[i].szReader)) {
                /* Unplugged: changed, unless the caller knows it is unknown. */
                if (!(current & SCARD_STATE_UNKNOWN)) {
                    states[i].dwEventState = ((((current >> 16) + 1) & 0xFFFF) << 16) | SCARD_STATE_UNKNOWN |
                                             SCARD_STATE_CHANGED | SCARD_STATE_IGNORE;
                    states[i].cbAtr = 0;
                    gone = 1;
                }
                continue;
            }
            real[n] = states[i];
            index[n++] = i;
        }
        me.next = pendingWaits;
        pendingWaits = &me;
        pthread_mutex_unlock(&ruleLock);

        double left = deadline - nowMs();
        DWORD wait = gone || left <= 0 ? 0 : timeout == INFINITE ? INFINITE : (DWORD)left;
        if (n > 0) {
            rv = SCardGetStatusChange(context, wait, real, n);
        } else {
            /* Nothing pcscd could report: only the time, a cancel or a
             * reader shown again end it. */
            pthread_mutex_lock(&ruleLock);
            struct timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_sec += wait / 1000;
            until.tv_nsec += (long)(wait % 1000) * 1000000L;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            int expired = wait == 0;
            while (!expired && !me.cancelled && me.visibility == visibility)
                expired = wait == INFINITE ? (pthread_cond_wait(&ruleChanged, &ruleLock), 0)
                                           : pthread_cond_timedwait(&ruleChanged, &ruleLock, &until) == ETIMEDOUT;
            rv = me.cancelled ? SCARD_E_CANCELLED : SCARD_E_TIMEOUT;
            pthread_mutex_unlock(&ruleLock);
        }
        pthread_mutex_lock(&ruleLock);
        unlist(&me);
        int again = !gone && !me.cancelled && me.visibility != visibility;
        pthread_mutex_unlock(&ruleLock);
        /* A reader hidden or shown meanwhile: this wait is judged afresh. */
        if (again && (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT || rv == SCARD_E_CANCELLED))
            continue;
        if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT)
            for (uint32_t k = 0; k < n; ++k) {
                states[index[k]].dwEventState = real[k].dwEventState;
                states[index[k]].cbAtr = real[k].cbAtr;
                memcpy(states[index[k]].rgbAtr, real[k].rgbAtr, sizeof real[k].rgbAtr);
            }
        if (gone && rv == SCARD_E_TIMEOUT)
            rv = SCARD_S_SUCCESS;
        return rv;
    }
}

/* ---- the Windows rules: the idle transaction reset ------------------------ */

/* A card handle under the rules. It lives on a context of its own, so that
 * the reset never waits behind a wait on the program's context. */
typedef struct ruledCard {
    struct ruledCard* next;
    SCARDHANDLE handle;
    SCARDCONTEXT own;
    SCARDCONTEXT client; /* the program's context it was connected on */
    DWORD share;
    DWORD protocol;
    int transaction;
    int reset;
    double lastCall;
    pthread_mutex_t lock; /* one call at a time, the reset included */
} ruledCard;
static pthread_mutex_t cardsLock = PTHREAD_MUTEX_INITIALIZER;
static ruledCard* ruledCards;

/* The card with its lock held, or NULL. Only its connection's thread calls
 * on it, so it cannot go while this waits for its lock. */
static ruledCard* takeCard(SCARDHANDLE handle)
{
    pthread_mutex_lock(&cardsLock);
    ruledCard* k = ruledCards;
    while (k && k->handle != handle)
        k = k->next;
    if (k)
        pthread_mutex_lock(&k->lock);
    pthread_mutex_unlock(&cardsLock);
    return k;
}

static void dropCard(ruledCard* k) /* unlisted, its lock held */
{
    SCardReleaseContext(k->own);
    pthread_mutex_unlock(&k->lock);
    pthread_mutex_destroy(&k->lock);
    free(k);
}

/* Removes and returns the card from the list (its lock held), or NULL. */
static ruledCard* unlistCard(SCARDHANDLE handle)
{
    pthread_mutex_lock(&cardsLock);
    ruledCard* found = NULL;
    for (ruledCard** p = &ruledCards; *p; p = &(*p)->next)
        if ((*p)->handle == handle) {
            found = *p;
            *p = found->next;
            pthread_mutex_lock(&found->lock);
            break;
        }
    pthread_mutex_unlock(&cardsLock);
    return found;
}

/* The program's context is released: so are the cards connected on it. */
static void dropCardsOf(SCARDCONTEXT client)
{
    for (;;) {
        pthread_mutex_lock(&cardsLock);
        ruledCard* k = ruledCards;
        while (k && k->client != client)
            k = k->next;
        SCARDHANDLE handle = k ? k->handle : 0;
        pthread_mutex_unlock(&cardsLock);
        if (!k)
            return;
        k = unlistCard(handle);
        if (k)
            dropCard(k);
    }
}

static LONG ruledConnect(SCARDCONTEXT client, const char* name, DWORD share, DWORD protocols, SCARDHANDLE* card,
                         DWORD* active)
{
    pthread_mutex_lock(&ruleLock);
    int gone = isHidden(name);
    pthread_mutex_unlock(&ruleLock);
    if (gone)
        return SCARD_E_UNKNOWN_READER;
    LONG rv = SCardIsValidContext(client);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    ruledCard* k = calloc(1, sizeof *k);
    if (!k)
        return BRIDGE_E_NO_MEMORY;
    rv = SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &k->own);
    if (rv == SCARD_S_SUCCESS) {
        rv = SCardConnect(k->own, name, share, protocols, card, active);
        if (rv != SCARD_S_SUCCESS)
            SCardReleaseContext(k->own);
    }
    if (rv != SCARD_S_SUCCESS) {
        free(k);
        return rv;
    }
    k->handle = *card;
    k->client = client;
    k->share = share;
    k->protocol = *active;
    k->lastCall = nowMs();
    pthread_mutex_init(&k->lock, NULL);
    pthread_mutex_lock(&cardsLock);
    k->next = ruledCards;
    ruledCards = k;
    pthread_mutex_unlock(&cardsLock);
    return SCARD_S_SUCCESS;
}

static void* idleResetter(void* unused)
{
    (void)unused;
    for (;;) {
        usleep(20 * 1000);
        pthread_mutex_lock(&cardsLock);
        for (ruledCard* k = ruledCards; k; k = k->next) {
            if (!k->transaction || k->reset || nowMs() - k->lastCall < idleResetMs)
                continue;
            /* Busy: a call is in progress, so it is not idle. */
            if (pthread_mutex_trylock(&k->lock) != 0)
                continue;
            if (k->transaction && !k->reset && nowMs() - k->lastCall >= idleResetMs) {
                /* The service ends the transaction and resets the card. */
                LONG ended = SCardEndTransaction(k->handle, SCARD_LEAVE_CARD);
                DWORD active = 0;
                LONG reset = SCardReconnect(k->handle, k->share, k->protocol, SCARD_RESET_CARD, &active);
                k->transaction = 0;
                k->reset = 1;
                if (verbose)
                    fprintf(stderr, "winscard-relay: card %lx idle in its transaction: reset (%08x, %08x)\n",
                            (unsigned long)k->handle, code(ended), code(reset));
            }
            pthread_mutex_unlock(&k->lock);
        }
        pthread_mutex_unlock(&cardsLock);
    }
    return NULL;
}

/* ---- the control socket ------------------------------------------------------ */

static void* controlServer(void* argument)
{
    int listener = (int)(intptr_t)argument;
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return NULL;
        }
        char line[BRIDGE_MAX_NAME + 16];
        size_t n = 0;
        ssize_t got;
        while (n < sizeof line - 1 && (got = recv(fd, line + n, sizeof line - 1 - n, 0)) > 0) {
            n += (size_t)got;
            if (memchr(line, '\n', n))
                break;
        }
        line[n] = '\0';
        line[strcspn(line, "\r\n")] = '\0';
        const char* error = "unknown command (hide READER, show READER)";
        if (!strncmp(line, "hide ", 5) || !strncmp(line, "show ", 5)) {
            error = setHidden(line + 5, line[0] == 'h');
            if (verbose)
                fprintf(stderr, "winscard-relay: %s\n", line);
        }
        char reply[256];
        snprintf(reply, sizeof reply, "%s%s\n", error ? "error: " : "ok", error ? error : "");
        writeAll(fd, reply, strlen(reply));
        close(fd);
    }
}

static int controlAddress(const char* path, struct sockaddr_un* address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address->sun_path) {
        fprintf(stderr, "winscard-relay: control path too long: %s\n", path);
        return 0;
    }
    strcpy(address->sun_path, path);
    return 1;
}

/* --send PATH WORDS...: one command to a running relay; its answer printed. */
static int sendControl(const char* path, int count, char** words)
{
    char line[BRIDGE_MAX_NAME + 16] = "";
    for (int i = 0; i < count; ++i) {
        if (strlen(line) + strlen(words[i]) + 2 >= sizeof line)
            return 2;
        if (i)
            strcat(line, " ");
        strcat(line, words[i]);
    }
    strcat(line, "\n");
    struct sockaddr_un address;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || !controlAddress(path, &address) || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        fprintf(stderr, "winscard-relay: no relay at %s: %s\n", path, strerror(errno));
        return 1;
    }
    char reply[256];
    ssize_t n = 0, got;
    if (!writeAll(fd, line, strlen(line)))
        return 1;
    while (n < (ssize_t)sizeof reply - 1 && (got = recv(fd, reply + n, sizeof reply - 1 - (size_t)n, 0)) > 0)
        n += got;
    close(fd);
    reply[n > 0 ? n : 0] = '\0';
    fputs(reply, stdout);
    return strncmp(reply, "ok", 2) == 0 ? 0 : 1;
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
        LONG rv = windowsRules ? ruledStatusChange(context, timeout, states, count)
                               : SCardGetStatusChange(context, timeout, states, count);
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
    static const char* names[] = {"?",       "establish",  "release", "list", "status-change", "cancel",
                                  "connect", "disconnect", "begin",   "end",  "transmit",      "reconnect"};
    return op < sizeof names / sizeof *names ? names[op] : "unknown";
}

/* Reads one request, writes its whole reply frame into w. */
static void handle(connection* c, const uint8_t* payload, uint32_t size, bridge_writer* w)
{
    bridge_reader r = {payload, size, 0};
    uint32_t op = bridge_get_u32(&r);
    bridge_begin(w); /* each case puts the result first */
    LONG rv = 0;
    ruledCard* ruled = NULL;
    if (windowsRules && op >= BRIDGE_OP_DISCONNECT && op <= BRIDGE_OP_RECONNECT) {
        bridge_reader peek = r;
        ruled = takeCard((SCARDHANDLE)bridge_get_u64(&peek));
        if (ruled && ruled->reset && op != BRIDGE_OP_DISCONNECT && op != BRIDGE_OP_RECONNECT) {
            /* Reset by the service: nothing reaches the card any more. */
            bridge_put_u32(w, code(SCARD_W_RESET_CARD));
            pthread_mutex_unlock(&ruled->lock);
            goto done;
        }
    }
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
        if (rv == SCARD_S_SUCCESS) {
            forget(c, context);
            if (windowsRules)
                dropCardsOf(context);
        }
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
        if (rv == SCARD_S_SUCCESS && windowsRules && names)
            rv = listVisible(names, &length);
        bridge_put_u32(w, code(rv));
        if (rv == SCARD_S_SUCCESS)
            bridge_put_bytes(w, names, names ? length : 0);
        if (names)
            SCardFreeMemory(context, names);
        break;
    }
    case BRIDGE_OP_STATUS_CHANGE:
        statusChange(c, &r, w);
        break;
    case BRIDGE_OP_CANCEL: {
        SCARDCONTEXT context = (SCARDCONTEXT)bridge_get_u64(&r);
        if (r.bad)
            break;
        bridge_put_u32(w, code(cancelContext(context)));
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
            rv = windowsRules ? ruledConnect(context, name, share, protocols, &card, &active)
                              : SCardConnect(context, name, share, protocols, &card, &active);
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
    case BRIDGE_OP_RECONNECT: {
        SCARDHANDLE card = (SCARDHANDLE)bridge_get_u64(&r);
        DWORD share = bridge_get_u32(&r);
        DWORD protocols = bridge_get_u32(&r);
        DWORD initialization = bridge_get_u32(&r);
        if (r.bad)
            break;
        DWORD active = 0;
        rv = SCardReconnect(card, share, protocols, initialization, &active);
        bridge_put_u32(w, code(rv));
        if (rv == SCARD_S_SUCCESS)
            bridge_put_u32(w, (uint32_t)active);
        break;
    }
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
    if (ruled) {
        /* Every call on the handle restarts its idle time. */
        int good = !r.bad && w->size >= 8 && bridge_le32(w->data + 4) == SCARD_S_SUCCESS;
        SCARDHANDLE handle = ruled->handle;
        ruled->lastCall = nowMs();
        if (good && op == BRIDGE_OP_BEGIN)
            ruled->transaction = 1;
        else if (good && op == BRIDGE_OP_END)
            ruled->transaction = 0;
        else if (good && op == BRIDGE_OP_RECONNECT)
            ruled->reset = 0;
        pthread_mutex_unlock(&ruled->lock);
        if (good && op == BRIDGE_OP_DISCONNECT) {
            ruledCard* gone = unlistCard(handle);
            if (gone)
                dropCard(gone);
        }
    }
done:
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
    for (int i = 0; i < c->contextCount; ++i) {
        SCardReleaseContext(c->contexts[i]);
        if (windowsRules)
            dropCardsOf(c->contexts[i]);
    }
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
    const char* controlPath = NULL;
    if (argc >= 4 && !strcmp(argv[1], "--send"))
        return sendControl(argv[2], argc - 3, argv + 3);
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--verbose"))
            verbose = 1;
        else if (!strcmp(argv[i], "--windows-rules"))
            windowsRules = 1;
        else if (i + 1 < argc && !strcmp(argv[i], "--idle-reset-ms"))
            idleResetMs = number(argv[++i], "--idle-reset-ms");
        else if (i + 1 < argc && !strcmp(argv[i], "--control"))
            controlPath = argv[++i];
        else if (i + 1 < argc && !strcmp(argv[i], "--hide") && hiddenCount < MAX_HIDDEN)
            hidden[hiddenCount++] = strdup(argv[++i]);
        else if (i + 1 < argc && !strcmp(argv[i], "--port"))
            port = number(argv[++i], "--port");
        else if (i + 1 < argc && !strcmp(argv[i], "--parent-pid"))
            parent = (pid_t)number(argv[++i], "--parent-pid");
        else if (i + 1 < argc && !strcmp(argv[i], "--port-file"))
            portFile = argv[++i];
        else {
            fprintf(stderr, "usage: winscard-relay [--port N] [--port-file FILE] [--parent-pid PID] [--verbose]\n"
                            "         [--windows-rules [--idle-reset-ms MS] [--control PATH] [--hide READER]...]\n"
                            "       winscard-relay --send PATH hide|show READER\n");
            return 2;
        }
    }
    if (port > 65535) {
        fprintf(stderr, "winscard-relay: no port %ld\n", port);
        return 2;
    }
    if (!windowsRules && (controlPath || hiddenCount)) {
        fprintf(stderr, "winscard-relay: --control and --hide need --windows-rules\n");
        return 2;
    }

    pthread_t thread;
    if (windowsRules) {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&ruleChanged, &attributes);
        pthread_create(&thread, NULL, idleResetter, NULL);
        pthread_detach(thread);
    }
    /* Listening before the port is written: a check may hide a reader as
     * soon as the program runs. */
    if (controlPath) {
        struct sockaddr_un control;
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (!controlAddress(controlPath, &control))
            return 1;
        unlink(controlPath);
        if (fd < 0 || bind(fd, (struct sockaddr*)&control, sizeof control) != 0 || listen(fd, 4) != 0) {
            fprintf(stderr, "winscard-relay: cannot listen on %s: %s\n", controlPath, strerror(errno));
            return 1;
        }
        pthread_create(&thread, NULL, controlServer, (void*)(intptr_t)fd);
        pthread_detach(thread);
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
    printf("listening 127.0.0.1:%ld%s\n", port, windowsRules ? " (Windows rules)" : "");
    fflush(stdout);

    pthread_create(&thread, NULL, watcher, NULL);
    pthread_detach(thread);
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        int ready = poll(&p, 1, 200);
        if (parentGone(parent)) {
            if (controlPath)
                unlink(controlPath);
            return 0;
        }
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
