/* Another program on the reader, as office PCs have them (the system's probe
 * of each new card, token agents, certificate installers): for each card that
 * arrives in the reader it either holds the card for a while and resets it on
 * leaving, or probes it a number of times. Tests and benchmarks run it beside
 * the program on the same PC/SC service.
 *
 *   otherclient --reader NAME --hold-ms MS [--exclusive | --transaction] [--now]
 *   otherclient --reader NAME --probes N --interval-ms MS [--now]
 *
 * --transaction: a shared connection that holds a transaction on the card,
 * as a card agent does while it reads certificates or signs.
 * --now: a card already in the reader is taken at once, as a new one would be.
 * Prints "ready" once it watches the reader, "holding" when it has taken a
 * card to hold, and "held" or "probed" for each card it handled; runs until
 * it is killed. */
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stopping;

static void on_signal(int sig)
{
    (void)sig;
    stopping = 1;
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && !stopping) {
    }
}

static void usage(void)
{
    fprintf(stderr,
            "usage: otherclient --reader NAME (--hold-ms MS [--exclusive | --transaction] | --probes N --interval-ms MS) "
            "[--now]\n");
    exit(2);
}

/* Connects, waiting a little while another program holds the card. */
static LONG connect_card(SCARDCONTEXT ctx, const char* reader, DWORD share, SCARDHANDLE* card, DWORD* protocol)
{
    LONG rv = SCARD_E_SHARING_VIOLATION;
    for (int i = 0; i < 100 && !stopping; ++i) {
        rv = SCardConnect(ctx, reader, share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, protocol);
        if (rv != SCARD_E_SHARING_VIOLATION)
            break;
        sleep_ms(10);
    }
    return rv;
}

static void hold(SCARDCONTEXT ctx, const char* reader, long hold_ms, int exclusive, int transaction)
{
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rv = connect_card(ctx, reader, exclusive ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        fprintf(stderr, "otherclient: connect: 0x%08lX\n", (unsigned long)rv);
        return;
    }
    if (transaction && (rv = SCardBeginTransaction(card)) != SCARD_S_SUCCESS) {
        fprintf(stderr, "otherclient: begin: 0x%08lX\n", (unsigned long)rv);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        return;
    }
    puts("holding");
    fflush(stdout);
    sleep_ms(hold_ms);
    if (transaction)
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
    SCardDisconnect(card, SCARD_RESET_CARD);
    puts("held");
    fflush(stdout);
}

static void probe(SCARDCONTEXT ctx, const char* reader, int probes, long interval_ms)
{
    /* SELECT of an application this card does not have: the answer does not matter. */
    static const unsigned char select_own[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x99, 0x10, 0x10};
    for (int i = 0; i < probes && !stopping; ++i) {
        if (i > 0)
            sleep_ms(interval_ms);
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        if (connect_card(ctx, reader, SCARD_SHARE_SHARED, &card, &protocol) != SCARD_S_SUCCESS)
            continue;
        if (SCardBeginTransaction(card) == SCARD_S_SUCCESS) {
            unsigned char answer[258];
            DWORD length = sizeof answer;
            const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
            SCardTransmit(card, pci, select_own, sizeof select_own, NULL, answer, &length);
            SCardEndTransaction(card, SCARD_LEAVE_CARD);
        }
        SCardDisconnect(card, SCARD_RESET_CARD);
    }
    puts("probed");
    fflush(stdout);
}

int main(int argc, char** argv)
{
    const char* reader = NULL;
    long hold_ms = -1, interval_ms = 100;
    int exclusive = 0, transaction = 0, probes = 0, take_present = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--reader") && i + 1 < argc)
            reader = argv[++i];
        else if (!strcmp(argv[i], "--hold-ms") && i + 1 < argc)
            hold_ms = atol(argv[++i]);
        else if (!strcmp(argv[i], "--exclusive"))
            exclusive = 1;
        else if (!strcmp(argv[i], "--transaction"))
            transaction = 1;
        else if (!strcmp(argv[i], "--now"))
            take_present = 1;
        else if (!strcmp(argv[i], "--probes") && i + 1 < argc)
            probes = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--interval-ms") && i + 1 < argc)
            interval_ms = atol(argv[++i]);
        else
            usage();
    }
    if (!reader || (hold_ms < 0) == (probes <= 0))
        usage();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &ctx) != SCARD_S_SUCCESS) {
        fprintf(stderr, "otherclient: no PC/SC service\n");
        return 1;
    }
    SCARD_READERSTATE state;
    memset(&state, 0, sizeof state);
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(ctx, 0, &state, 1) != SCARD_S_SUCCESS) {
        fprintf(stderr, "otherclient: reader %s not found\n", reader);
        return 1;
    }
    int present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    puts("ready");
    fflush(stdout);
    /* With --now a card inside is taken as if it had just arrived. */
    if (take_present && present) {
        if (probes > 0)
            probe(ctx, reader, probes, interval_ms);
        else
            hold(ctx, reader, hold_ms, exclusive, transaction);
    }

    while (!stopping) {
        const LONG rv = SCardGetStatusChange(ctx, 200, &state, 1);
        if (rv == SCARD_E_TIMEOUT)
            continue;
        if (rv != SCARD_S_SUCCESS) {
            if (stopping)
                break;
            fprintf(stderr, "otherclient: wait: 0x%08lX\n", (unsigned long)rv);
            return 1;
        }
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        const int now = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (now && !present) {
            if (probes > 0)
                probe(ctx, reader, probes, interval_ms);
            else
                hold(ctx, reader, hold_ms, exclusive, transaction);
        }
        present = now;
    }
    SCardReleaseContext(ctx);
    return 0;
}
