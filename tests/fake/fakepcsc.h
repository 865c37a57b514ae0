#pragma once

// A link-level stand-in for the PC/SC API: the SCard* functions that the
// program calls, answering from a script and recording every call. Used for
// failures that the real service cannot be made to produce.

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <functional>

namespace FakePcsc {

struct Script
{
    LONG establish = SCARD_S_SUCCESS;
    LONG release = SCARD_S_SUCCESS;
    LONG listReaders = SCARD_S_SUCCESS;
    // The multi-string handed out by SCardListReaders, final NUL included.
    QByteArray readers = QByteArray("Reader A\0Reader B\0\0", 19);
    LONG freeMemory = SCARD_S_SUCCESS;
    LONG getStatusChange = SCARD_S_SUCCESS;
    bool writeEventState = true; // false: leave the record's event state alone
    DWORD eventState = SCARD_STATE_PRESENT;
    // One result per connect attempt, in order; success once used up.
    QList<LONG> connect;
    LONG disconnect = SCARD_S_SUCCESS;
    LONG begin = SCARD_S_SUCCESS;
    // One result per begin attempt, in order, before begin applies.
    QList<LONG> beginAttempts;
    LONG reconnect = SCARD_S_SUCCESS;
    LONG end = SCARD_S_SUCCESS;
    LONG transmit = SCARD_S_SUCCESS;
    // One result per transmit attempt, in order, before transmit applies.
    QList<LONG> transmitAttempts;
    // One answer per successful transmit, in order; 90 00 once used up.
    QList<QByteArray> responses;
    // Called inside every SCardTransmit; what it returns ends the call's line
    // in calls() (e.g. whether the wait cursor is showing).
    std::function<QString()> duringTransmit;
};

// The current state handed to the latest SCardGetStatusChange.
DWORD& lastCurrentState();

// The script in force; reset() restores the defaults and clears calls().
Script& script();
void reset();

// Every call, in order: "SCardConnect T1", "SCardBeginTransaction",
// "SCardTransmit T0 00A4020C020002 <duringTransmit()>", "SCardEndTransaction 0",
// "SCardDisconnect 1", "SCardFreeMemory", ...
QStringList& calls();
// The last call, read safely while a card thread may be making calls.
QString lastCall();
// The thread of each call in calls(), in the same order.
QList<Qt::HANDLE>& callThreads();

} // namespace FakePcsc
