/* A test WinSCard.dll for Wine: each PC/SC call the program makes goes over
 * TCP (127.0.0.1, port in ZENTAVO_WINSCARD_BRIDGE_PORT) to winscard-relay,
 * which makes the real call on pcsc-lite. Never shipped.
 *
 * One connection per context, one call at a time on it (pcsc-lite's client
 * locks a context the same way); SCardCancel takes a connection of its own, so
 * it does not queue behind the wait it ends. The bridge's own failures come
 * back as PC/SC codes: no relay -> SCARD_E_NO_SERVICE; a connection lost in a
 * call -> SCARD_F_COMM_ERROR, later calls on that context SCARD_E_NO_SERVICE. */
#define WINSCARDDATA __declspec(dllexport)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winscard.h>

#include "protocol.h"

#include <stdlib.h>

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

void* bridge_realloc(void* block, size_t size)
{
    return realloc(block, size);
}

/* pcsc-lite's RAW is 4; T0 and T1 are the same on both sides. */
#define LITE_PROTOCOL_RAW 4u

static DWORD toLiteProtocols(DWORD protocols)
{
    DWORD out = protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (protocols & SCARD_PROTOCOL_RAW)
        out |= LITE_PROTOCOL_RAW;
    return out;
}

static DWORD fromLiteProtocols(uint32_t protocols)
{
    DWORD out = protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (protocols & LITE_PROTOCOL_RAW)
        out |= SCARD_PROTOCOL_RAW;
    return out;
}

/* ---- contexts and card handles ------------------------------------------- */

typedef struct context {
    struct context* next;
    SCARDCONTEXT id;
    uint64_t remote;
    unsigned short port;
    SOCKET socket;
    CRITICAL_SECTION lock; /* one call at a time on the connection */
    LONG references;
    int dead;
} context;

typedef struct card {
    struct card* next;
    SCARDHANDLE id;
    uint64_t remote;
    context* owner;
} card;

static CRITICAL_SECTION tableLock;
static context* contexts;
static card* cards;
static ULONG_PTR nextId = 0x5A00;
static int winsockReady;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&tableLock);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

static void unreference(context* c)
{
    if (InterlockedDecrement(&c->references) > 0)
        return;
    closesocket(c->socket);
    DeleteCriticalSection(&c->lock);
    free(c);
}

static context* findContext(SCARDCONTEXT id)
{
    EnterCriticalSection(&tableLock);
    context* c = contexts;
    while (c && c->id != id)
        c = c->next;
    if (c)
        InterlockedIncrement(&c->references);
    LeaveCriticalSection(&tableLock);
    return c;
}

/* The card's context (referenced) and its relay handle, or NULL. */
static context* findCard(SCARDHANDLE id, uint64_t* remote)
{
    EnterCriticalSection(&tableLock);
    card* k = cards;
    while (k && k->id != id)
        k = k->next;
    context* c = NULL;
    if (k) {
        c = k->owner;
        *remote = k->remote;
        InterlockedIncrement(&c->references);
    }
    LeaveCriticalSection(&tableLock);
    return c;
}

/* ---- the connection -------------------------------------------------------- */

static int sendAll(SOCKET s, const uint8_t* data, size_t size)
{
    while (size > 0) {
        int n = send(s, (const char*)data, size > 0x10000 ? 0x10000 : (int)size, 0);
        if (n <= 0)
            return 0;
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

static int receiveAll(SOCKET s, uint8_t* data, size_t size)
{
    while (size > 0) {
        int n = recv(s, (char*)data, size > 0x10000 ? 0x10000 : (int)size, 0);
        if (n <= 0)
            return 0;
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

/* The relay's port from the environment, read at every new context. */
static unsigned short relayPort(void)
{
    char text[16];
    DWORD n = GetEnvironmentVariableA(BRIDGE_PORT_VARIABLE, text, sizeof text);
    if (n == 0 || n >= sizeof text)
        return 0;
    char* end;
    long port = strtol(text, &end, 10);
    return (*end || port <= 0 || port > 65535) ? 0 : (unsigned short)port;
}

static SOCKET connectRelay(unsigned short port)
{
    EnterCriticalSection(&tableLock);
    if (!winsockReady) {
        WSADATA data;
        winsockReady = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    LeaveCriticalSection(&tableLock);
    if (!winsockReady || port == 0)
        return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
    if (connect(s, (struct sockaddr*)&address, sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* Sends the request in w, receives the reply into *payload (caller frees)
 * and points r past its result. The reply's result, or the bridge's own. */
static LONG exchange(SOCKET s, bridge_writer* w, uint8_t** payload, bridge_reader* r)
{
    *payload = NULL;
    if (!bridge_finish(w))
        return SCARD_E_NO_MEMORY;
    uint8_t header[4];
    if (!sendAll(s, w->data, w->size) || !receiveAll(s, header, 4))
        return SCARD_F_COMM_ERROR;
    uint32_t size = bridge_le32(header);
    if (size < 4 || size > BRIDGE_MAX_FRAME)
        return SCARD_F_COMM_ERROR;
    *payload = malloc(size);
    if (!*payload)
        return SCARD_E_NO_MEMORY;
    if (!receiveAll(s, *payload, size))
        return SCARD_F_COMM_ERROR;
    r->data = *payload;
    r->left = size;
    r->bad = 0;
    return (LONG)bridge_get_u32(r);
}

/* One call on a context's connection. A lost connection kills the context. */
static LONG call(context* c, bridge_writer* w, uint8_t** payload, bridge_reader* r)
{
    EnterCriticalSection(&c->lock);
    LONG rv = SCARD_E_NO_SERVICE;
    *payload = NULL;
    if (!c->dead) {
        rv = exchange(c->socket, w, payload, r);
        if (rv == SCARD_F_COMM_ERROR) {
            c->dead = 1;
            shutdown(c->socket, SD_BOTH);
        }
    }
    LeaveCriticalSection(&c->lock);
    return rv;
}

/* A reply whose outputs do not parse: the relay is not one we understand. */
static LONG checked(LONG rv, bridge_reader* r)
{
    return r->bad ? SCARD_F_INTERNAL_ERROR : rv;
}

/* ---- text ------------------------------------------------------------------- */

/* UTF-8 (length n, NUL not counted) of a wide or ANSI name; caller frees. */
static char* utf8Name(const void* name, int wide, uint32_t* n)
{
    if (!name)
        return NULL;
    WCHAR* converted = NULL;
    const WCHAR* text = name;
    if (!wide) {
        int count = MultiByteToWideChar(CP_ACP, 0, name, -1, NULL, 0);
        converted = count > 0 ? malloc(sizeof(WCHAR) * (size_t)count) : NULL;
        if (!converted || MultiByteToWideChar(CP_ACP, 0, name, -1, converted, count) != count) {
            free(converted);
            return NULL;
        }
        text = converted;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* out = bytes > 0 ? malloc((size_t)bytes) : NULL;
    if (out && WideCharToMultiByte(CP_UTF8, 0, text, -1, out, bytes, NULL, NULL) != bytes) {
        free(out);
        out = NULL;
    }
    free(converted);
    if (out)
        *n = (uint32_t)bytes - 1;
    return out;
}

/* ---- the calls ---------------------------------------------------------- */

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT result)
{
    (void)reserved1;
    (void)reserved2;
    if (!result)
        return SCARD_E_INVALID_PARAMETER;
    unsigned short port = relayPort();
    SOCKET s = connectRelay(port);
    if (s == INVALID_SOCKET)
        return SCARD_E_NO_SERVICE;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_ESTABLISH);
    bridge_put_u32(&w, scope);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = exchange(s, &w, &payload, &r);
    free(w.data);
    if (rv == SCARD_F_COMM_ERROR)
        rv = SCARD_E_NO_SERVICE; /* no context yet: as if there were no service */
    uint64_t remote = rv == SCARD_S_SUCCESS ? bridge_get_u64(&r) : 0;
    free(payload);
    rv = checked(rv, &r);
    context* c = rv == SCARD_S_SUCCESS ? calloc(1, sizeof *c) : NULL;
    if (rv == SCARD_S_SUCCESS && !c)
        rv = SCARD_E_NO_MEMORY;
    if (rv != SCARD_S_SUCCESS) {
        closesocket(s);
        return rv;
    }
    c->remote = remote;
    c->port = port;
    c->socket = s;
    c->references = 1; /* the table's */
    InitializeCriticalSection(&c->lock);
    EnterCriticalSection(&tableLock);
    c->id = nextId++;
    c->next = contexts;
    contexts = c;
    LeaveCriticalSection(&tableLock);
    *result = c->id;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT id)
{
    EnterCriticalSection(&tableLock);
    context** link = &contexts;
    while (*link && (*link)->id != id)
        link = &(*link)->next;
    context* c = *link;
    if (c) {
        *link = c->next;
        for (card** k = &cards; *k;) {
            if ((*k)->owner == c) {
                card* gone = *k;
                *k = gone->next;
                free(gone);
                InterlockedDecrement(&c->references); /* cannot reach 0: the table's is held */
            } else {
                k = &(*k)->next;
            }
        }
    }
    LeaveCriticalSection(&tableLock);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    LONG rv = SCARD_S_SUCCESS;
    if (!c->dead) {
        bridge_writer w = {0};
        bridge_begin(&w);
        bridge_put_u32(&w, BRIDGE_OP_RELEASE);
        bridge_put_u64(&w, c->remote);
        uint8_t* payload;
        bridge_reader r;
        rv = call(c, &w, &payload, &r);
        free(w.data);
        free(payload);
        /* A lost relay has released it already. */
        if (rv == SCARD_F_COMM_ERROR || rv == SCARD_E_NO_SERVICE)
            rv = SCARD_S_SUCCESS;
    }
    unreference(c);
    return rv;
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT id)
{
    context* c = findContext(id);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    unreference(c);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT id, LPCVOID memory)
{
    (void)id;
    if (memory)
        HeapFree(GetProcessHeap(), 0, (LPVOID)memory);
    return SCARD_S_SUCCESS;
}

/* Length in characters of the multi-string, as both forms count it. */
static LONG listReaders(SCARDCONTEXT id, int wide, void* buffer, LPDWORD length)
{
    if (!length)
        return SCARD_E_INVALID_PARAMETER;
    context* c = findContext(id);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_LIST);
    bridge_put_u64(&w, c->remote);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = call(c, &w, &payload, &r);
    free(w.data);
    unreference(c);
    const uint8_t* names = NULL;
    uint32_t n = 0;
    if (rv == SCARD_S_SUCCESS) {
        n = bridge_get_bytes(&r, &names, BRIDGE_MAX_FRAME);
        /* Names end with NUL, the list with one more. */
        if (!r.bad && !(n == 1 && names[0] == 0) && !(n >= 2 && names[n - 1] == 0 && names[n - 2] == 0))
            r.bad = 1;
        rv = checked(rv, &r);
    }
    WCHAR* text = NULL;
    int count = 0;
    if (rv == SCARD_S_SUCCESS) {
        count = MultiByteToWideChar(CP_UTF8, 0, (const char*)names, (int)n, NULL, 0);
        text = count > 0 ? malloc(sizeof(WCHAR) * (size_t)count) : NULL;
        if (!text || MultiByteToWideChar(CP_UTF8, 0, (const char*)names, (int)n, text, count) != count)
            rv = SCARD_F_INTERNAL_ERROR;
    }
    free(payload);
    char* ansi = NULL;
    if (rv == SCARD_S_SUCCESS && !wide) {
        int bytes = WideCharToMultiByte(CP_ACP, 0, text, count, NULL, 0, NULL, NULL);
        ansi = bytes > 0 ? malloc((size_t)bytes) : NULL;
        if (!ansi || WideCharToMultiByte(CP_ACP, 0, text, count, ansi, bytes, NULL, NULL) != bytes)
            rv = SCARD_F_INTERNAL_ERROR;
        count = bytes;
    }
    if (rv == SCARD_S_SUCCESS) {
        const void* source = wide ? (const void*)text : (const void*)ansi;
        size_t bytes = (size_t)count * (wide ? sizeof(WCHAR) : 1);
        if (*length == SCARD_AUTOALLOCATE) {
            void* block = buffer ? HeapAlloc(GetProcessHeap(), 0, bytes) : NULL;
            if (!buffer)
                rv = SCARD_E_INVALID_PARAMETER;
            else if (!block)
                rv = SCARD_E_NO_MEMORY;
            else {
                memcpy(block, source, bytes);
                *(void**)buffer = block;
            }
        } else if (buffer && *length < (DWORD)count) {
            rv = SCARD_E_INSUFFICIENT_BUFFER;
        } else if (buffer) {
            memcpy(buffer, source, bytes);
        }
        *length = (DWORD)count;
    }
    free(text);
    free(ansi);
    return rv;
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT id, LPCWSTR groups, LPWSTR readers, LPDWORD length)
{
    (void)groups; /* pcsc-lite ignores groups too */
    return listReaders(id, 1, readers, length);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT id, LPCSTR groups, LPSTR readers, LPDWORD length)
{
    (void)groups;
    return listReaders(id, 0, readers, length);
}

/* The W and A records differ in szReader's type only. */
static LONG getStatusChange(SCARDCONTEXT id, DWORD timeout, void* records, DWORD count, int wide)
{
    if (count > BRIDGE_MAX_READER_STATES || (count && !records))
        return SCARD_E_INVALID_PARAMETER;
    context* c = findContext(id);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    SCARD_READERSTATEW* wideRecords = records;
    SCARD_READERSTATEA* ansiRecords = records;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_STATUS_CHANGE);
    bridge_put_u64(&w, c->remote);
    bridge_put_u32(&w, timeout);
    bridge_put_u32(&w, count);
    LONG rv = SCARD_S_SUCCESS;
    for (DWORD i = 0; i < count && rv == SCARD_S_SUCCESS; ++i) {
        uint32_t n = 0;
        char* name = wide ? utf8Name(wideRecords[i].szReader, 1, &n) : utf8Name(ansiRecords[i].szReader, 0, &n);
        if (!name || n > BRIDGE_MAX_NAME)
            rv = SCARD_E_INVALID_PARAMETER;
        else {
            DWORD atrLength = wide ? wideRecords[i].cbAtr : ansiRecords[i].cbAtr;
            if (atrLength > BRIDGE_MAX_ATR)
                atrLength = 0; /* an uninitialised record: the ATR is an output */
            bridge_put_bytes(&w, name, n);
            bridge_put_u32(&w, wide ? wideRecords[i].dwCurrentState : ansiRecords[i].dwCurrentState);
            bridge_put_u32(&w, wide ? wideRecords[i].dwEventState : ansiRecords[i].dwEventState);
            bridge_put_bytes(&w, wide ? wideRecords[i].rgbAtr : ansiRecords[i].rgbAtr, atrLength);
        }
        free(name);
    }
    uint8_t* payload = NULL;
    bridge_reader r;
    if (rv == SCARD_S_SUCCESS)
        rv = call(c, &w, &payload, &r);
    free(w.data);
    unreference(c);
    if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT) {
        /* Parse every output first: a bad reply leaves the records alone. */
        DWORD events[BRIDGE_MAX_READER_STATES];
        const uint8_t* atrs[BRIDGE_MAX_READER_STATES];
        uint32_t atrLengths[BRIDGE_MAX_READER_STATES];
        for (DWORD i = 0; i < count; ++i) {
            events[i] = bridge_get_u32(&r);
            atrLengths[i] = bridge_get_bytes(&r, &atrs[i], BRIDGE_MAX_ATR);
        }
        rv = checked(rv, &r);
        for (DWORD i = 0; i < count && !r.bad; ++i) {
            if (wide) {
                wideRecords[i].dwEventState = events[i];
                wideRecords[i].cbAtr = atrLengths[i];
                memcpy(wideRecords[i].rgbAtr, atrs[i], atrLengths[i]);
            } else {
                ansiRecords[i].dwEventState = events[i];
                ansiRecords[i].cbAtr = atrLengths[i];
                memcpy(ansiRecords[i].rgbAtr, atrs[i], atrLengths[i]);
            }
        }
    }
    free(payload);
    return rv;
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT id, DWORD timeout, LPSCARD_READERSTATEW records, DWORD count)
{
    return getStatusChange(id, timeout, records, count, 1);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT id, DWORD timeout, LPSCARD_READERSTATEA records, DWORD count)
{
    return getStatusChange(id, timeout, records, count, 0);
}

LONG WINAPI SCardCancel(SCARDCONTEXT id)
{
    context* c = findContext(id);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    uint64_t remote = c->remote;
    unsigned short port = c->port;
    int dead = c->dead;
    unreference(c);
    if (dead)
        return SCARD_E_NO_SERVICE;
    /* Its own short connection: the context's may be busy with the wait. */
    SOCKET s = connectRelay(port);
    if (s == INVALID_SOCKET)
        return SCARD_E_NO_SERVICE;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_CANCEL);
    bridge_put_u64(&w, remote);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = exchange(s, &w, &payload, &r);
    closesocket(s);
    free(w.data);
    free(payload);
    return rv;
}

static LONG connectCard(SCARDCONTEXT id, const void* reader, int wide, DWORD share, DWORD protocols,
                        LPSCARDHANDLE result, LPDWORD active)
{
    if (!reader || !result || !active)
        return SCARD_E_INVALID_PARAMETER;
    uint32_t n = 0;
    char* name = utf8Name(reader, wide, &n);
    if (!name || n > BRIDGE_MAX_NAME) {
        free(name);
        return SCARD_E_INVALID_PARAMETER;
    }
    context* c = findContext(id);
    if (!c) {
        free(name);
        return SCARD_E_INVALID_HANDLE;
    }
    card* k = calloc(1, sizeof *k);
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_CONNECT);
    bridge_put_u64(&w, c->remote);
    bridge_put_bytes(&w, name, n);
    bridge_put_u32(&w, share);
    bridge_put_u32(&w, toLiteProtocols(protocols));
    free(name);
    uint8_t* payload = NULL;
    bridge_reader r;
    LONG rv = k ? call(c, &w, &payload, &r) : SCARD_E_NO_MEMORY;
    free(w.data);
    if (rv == SCARD_S_SUCCESS) {
        k->remote = bridge_get_u64(&r);
        DWORD protocol = fromLiteProtocols(bridge_get_u32(&r));
        rv = checked(rv, &r);
        if (rv == SCARD_S_SUCCESS) {
            k->owner = c;
            InterlockedIncrement(&c->references);
            EnterCriticalSection(&tableLock);
            k->id = nextId++;
            k->next = cards;
            cards = k;
            LeaveCriticalSection(&tableLock);
            *result = k->id;
            *active = protocol;
            k = NULL;
        }
    }
    free(k);
    free(payload);
    unreference(c);
    return rv;
}

LONG WINAPI SCardConnectW(SCARDCONTEXT id, LPCWSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD active)
{
    return connectCard(id, reader, 1, share, protocols, card, active);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT id, LPCSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD active)
{
    return connectCard(id, reader, 0, share, protocols, card, active);
}

/* DISCONNECT, BEGIN and END: a card handle and maybe a disposition. */
static LONG cardCall(SCARDHANDLE id, uint32_t op, int withDisposition, DWORD disposition)
{
    uint64_t remote = 0;
    context* c = findCard(id, &remote);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, op);
    bridge_put_u64(&w, remote);
    if (withDisposition)
        bridge_put_u32(&w, disposition);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = call(c, &w, &payload, &r);
    free(w.data);
    free(payload);
    unreference(c);
    if (op == BRIDGE_OP_DISCONNECT && rv == SCARD_S_SUCCESS) {
        EnterCriticalSection(&tableLock);
        for (card** k = &cards; *k; k = &(*k)->next)
            if ((*k)->id == id) {
                card* gone = *k;
                *k = gone->next;
                c = gone->owner;
                free(gone);
                /* The table's reference to the context still holds it. */
                InterlockedDecrement(&c->references);
                break;
            }
        LeaveCriticalSection(&tableLock);
    }
    return rv;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE id, DWORD disposition)
{
    return cardCall(id, BRIDGE_OP_DISCONNECT, 1, disposition);
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE id)
{
    return cardCall(id, BRIDGE_OP_BEGIN, 0, 0);
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE id, DWORD disposition)
{
    return cardCall(id, BRIDGE_OP_END, 1, disposition);
}

LONG WINAPI SCardReconnect(SCARDHANDLE id, DWORD share, DWORD protocols, DWORD initialization, LPDWORD active)
{
    if (!active)
        return SCARD_E_INVALID_PARAMETER;
    uint64_t remote = 0;
    context* c = findCard(id, &remote);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_RECONNECT);
    bridge_put_u64(&w, remote);
    bridge_put_u32(&w, share);
    bridge_put_u32(&w, toLiteProtocols(protocols));
    bridge_put_u32(&w, initialization);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = call(c, &w, &payload, &r);
    free(w.data);
    unreference(c);
    if (rv == SCARD_S_SUCCESS) {
        DWORD protocol = fromLiteProtocols(bridge_get_u32(&r));
        rv = checked(rv, &r);
        if (rv == SCARD_S_SUCCESS)
            *active = protocol;
    }
    free(payload);
    return rv;
}

LONG WINAPI SCardTransmit(SCARDHANDLE id, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command, DWORD commandLength,
                          LPSCARD_IO_REQUEST receivePci, LPBYTE response, LPDWORD responseLength)
{
    if (!sendPci || (!command && commandLength) || commandLength > BRIDGE_MAX_APDU || !response || !responseLength ||
        *responseLength == SCARD_AUTOALLOCATE)
        return SCARD_E_INVALID_PARAMETER;
    uint64_t remote = 0;
    context* c = findCard(id, &remote);
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    uint32_t capacity = *responseLength > BRIDGE_MAX_APDU ? BRIDGE_MAX_APDU : *responseLength;
    bridge_writer w = {0};
    bridge_begin(&w);
    bridge_put_u32(&w, BRIDGE_OP_TRANSMIT);
    bridge_put_u64(&w, remote);
    bridge_put_u32(&w, toLiteProtocols(sendPci->dwProtocol));
    bridge_put_bytes(&w, command, commandLength);
    bridge_put_u32(&w, capacity);
    uint8_t* payload;
    bridge_reader r;
    LONG rv = call(c, &w, &payload, &r);
    free(w.data);
    unreference(c);
    if (rv == SCARD_S_SUCCESS) {
        DWORD protocol = fromLiteProtocols(bridge_get_u32(&r));
        const uint8_t* answer;
        uint32_t n = bridge_get_bytes(&r, &answer, capacity);
        rv = checked(rv, &r);
        if (rv == SCARD_S_SUCCESS) {
            memcpy(response, answer, n);
            *responseLength = n;
            if (receivePci)
                receivePci->dwProtocol = protocol;
        }
    }
    free(payload);
    return rv;
}
