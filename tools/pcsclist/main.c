/* Prints the readers of the PC/SC service this process reaches, one a line.
 * Exit status 0 when at least one reader is listed, 1 when none, 2 when the
 * service cannot be reached. Used by the demo to choose between real readers
 * and the simulated card. */
#include <PCSC/winscard.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context) != SCARD_S_SUCCESS)
        return 2;
    LPSTR names = NULL;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReaders(context, NULL, (LPSTR)&names, &length);
    int count = 0;
    if (rv == SCARD_S_SUCCESS && names) {
        for (const char* p = names; p < names + length && *p; p += strlen(p) + 1) {
            puts(p);
            ++count;
        }
        SCardFreeMemory(context, names);
    }
    SCardReleaseContext(context);
    return count > 0 ? 0 : 1;
}
