#pragma once

// The few PC/SC calls whose arguments differ between platforms: reader names
// are UTF-16 for WinSCard's W functions and UTF-8 for pcsc-lite. One file per
// platform implements them (pcsc_windows.cpp, pcsc_unix.cpp); they return the
// PC/SC result and leave the reporting to card/pcsc.cpp.

#include "card/pcsc.h"

namespace pcscnative {

// The names of the readers (SCARD_AUTOALLOCATE), in the service's order. The
// buffer is handed back before returning; freeResult receives that result.
LONG listReaders(SCARDCONTEXT context, QStringList& names, LONG& freeResult);
LONG getStatusChange(SCARDCONTEXT context, const QString& readerName, DWORD timeout, quint32 currentState,
                     quint32& eventState);
LONG connect(SCARDCONTEXT context, const QString& readerName, DWORD protocol, SCARDHANDLE& card);

// A multi-string: names ended by NUL, the list ended by an empty name. Never
// walks past the length (in characters) that the service reported.
template <typename Char, typename Decode> QStringList splitMultiString(const Char* buffer, DWORD length, Decode decode)
{
    QStringList names;
    const Char* p = buffer;
    const Char* const end = buffer + length;
    while (p < end && *p != Char(0)) {
        const Char* nul = p;
        while (nul < end && *nul != Char(0))
            ++nul;
        if (nul == end)
            break;
        names.append(decode(p, static_cast<int>(nul - p)));
        p = nul + 1;
    }
    return names;
}

} // namespace pcscnative
