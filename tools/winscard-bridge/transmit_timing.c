/* The Linux side of the bridge's cost: the median time of one SCardTransmit
 * (SELECT MF) from a plain pcsc-lite client, as bridge_test times it through
 * the bridge.  transmit-timing READER [COUNT] */
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int compare(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: transmit-timing READER [COUNT]\n");
        return 2;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 200;
    if (rounds < 1 || rounds > 100000)
        return 2;
    SCARDCONTEXT context;
    SCARDHANDLE card;
    DWORD active;
    if (SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, argv[1], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active) != SCARD_S_SUCCESS) {
        fprintf(stderr, "transmit-timing: cannot connect to %s\n", argv[1]);
        return 1;
    }
    const BYTE selectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    double* times = malloc(sizeof(double) * (size_t)rounds);
    for (int i = 0; i < rounds; ++i) {
        BYTE response[258];
        DWORD length = sizeof response;
        double start = nowMs();
        LONG rv = SCardTransmit(card, SCARD_PCI_T1, selectMf, sizeof selectMf, NULL, response, &length);
        times[i] = nowMs() - start;
        if (rv != SCARD_S_SUCCESS || length != 2 || response[0] != 0x90) {
            fprintf(stderr, "transmit-timing: SELECT MF failed (0x%08lX)\n", (unsigned long)rv);
            return 1;
        }
    }
    qsort(times, (size_t)rounds, sizeof *times, compare);
    printf("timing linux SCardTransmit SELECT MF: median %.3f ms, min %.3f ms, max %.3f ms (%d commands)\n",
           times[rounds / 2], times[0], times[rounds - 1], rounds);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    free(times);
    return 0;
}
