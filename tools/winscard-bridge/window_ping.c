/* Asks a window of another program for WM_NULL round trips, as Windows does
 * to tell a window that is not responding, for a given time, and prints the
 * longest one (the Windows checks):
 *
 *   window_ping TITLE MILLISECONDS
 *
 * Prints "longest N ms over M round trips, K unanswered"; exits 1 when no
 * top-level window has that title. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static double ms_between(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER frequency)
{
    return (double)(b.QuadPart - a.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fputs("usage: window_ping TITLE MILLISECONDS\n", stderr);
        return 2;
    }
    HWND window = FindWindowW(NULL, argv[1]);
    if (!window) {
        fputs("window_ping: no window with that title\n", stderr);
        return 1;
    }
    const double duration = _wtof(argv[2]);
    LARGE_INTEGER frequency, start, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    double longest = 0;
    int trips = 0, unanswered = 0;
    for (;;) {
        QueryPerformanceCounter(&before);
        if (ms_between(start, before, frequency) >= duration)
            break;
        DWORD_PTR result = 0;
        /* Windows calls a window hung after 5 s; wait longer, so that a
         * hang shows as its length rather than as a time-out. */
        if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result))
            ++unanswered;
        QueryPerformanceCounter(&after);
        const double trip = ms_between(before, after, frequency);
        if (trip > longest)
            longest = trip;
        ++trips;
        Sleep(20);
    }
    printf("longest %.0f ms over %d round trips, %d unanswered\n", longest, trips, unanswered);
    return 0;
}
