#pragma once

// The PC/SC wrappers: the only place that calls the SCard* API.
//
// Each wrapper returns what the call produced or, on a result other than
// SCARD_S_SUCCESS, writes "Failed <call>: <result>" to the debug output and
// throws the result as a PC/SC error code (PcscError).

#include <QByteArray>
#include <QString>
#include <QStringList>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#endif

// A PC/SC result, thrown by value: the value the API returned, so it compares
// with the SCARD_ constants. WinSCard's LONG is 32 bits wide, pcsc-lite's 64.
using PcscError = LONG;

// Protocol codes as the card layer keeps them.
enum : int
{
    ProtocolNone = -1,
    ProtocolT0 = 1,
    ProtocolT1 = 2,
};

// The debug line of a failed call, as written by every wrapper.
QString pcscFailureLine(const char* call, LONG result);

SCARDCONTEXT establishContext();
void releaseContext(SCARDCONTEXT context);
// The listing's own failures give an empty list; result, when given, receives
// the PC/SC result so that a caller can tell a lost service from no reader.
QStringList listReaders(SCARDCONTEXT context, LONG* result = nullptr);
quint32 waitStatusChange(SCARDCONTEXT context, const QString& readerName, quint32 currentState,
                         quint32 initialEventState);
SCARDHANDLE connectCard(SCARDCONTEXT context, const QString& readerName, int* protocol);
void disconnectCard(SCARDHANDLE card);
void beginTransaction(SCARDHANDLE card);
void endTransaction(SCARDHANDLE card);
QByteArray transmitRaw(SCARDHANDLE card, const QByteArray& command, int protocol);
// One exchange that hands back the PC/SC result; response is set on success.
LONG tryTransmitRaw(SCARDHANDLE card, const QByteArray& command, int protocol, QByteArray* response);
// Single attempts that hand back the PC/SC result instead of raising it, for
// callers that wait while another program is on the card (CardBusyWait).
LONG tryConnectCard(SCARDCONTEXT context, const QString& readerName, int* protocol, SCARDHANDLE* card);
LONG tryBeginTransaction(SCARDHANDLE card);
// Reconnects a handle whose card another program has reset, asking for the
// protocol it had; the card is left as it is.
LONG tryReconnectCard(SCARDHANDLE card, int protocol);
// The way every wrapper reports a failure: the debug line, then the throw.
[[noreturn]] void raisePcscFailure(const char* call, LONG result);

// Other programs share the reader on an office PC: the system's probe of a
// new card, token agents and certificate installers connect to every card
// that arrives, some exclusively, and reset it when they leave. A card access
// waits for them, in growing steps, before its attempt counts as failed: for
// a bounded time on its own, or for as long as a card thread's observer lets
// it (the card stays in the reader and nobody cancelled).
class CardWaitObserver
{
public:
    virtual ~CardWaitObserver() = default;
    // A wait for another program may have begun: a busy answer, or a call
    // that the service holds while another program has the card. Repeated
    // calls belong to the same wait until settled().
    virtual void waiting() = 0;
    virtual void settled() = 0;
    // One pause between attempts; false ends the wait.
    virtual bool pause(unsigned long ms) = 0;
    // The operation was given up: nothing more may be sent to the card.
    virtual bool cancelled() const = 0;
};

class CardBusyWait
{
public:
    CardBusyWait();
    ~CardBusyWait();
    CardBusyWait(const CardBusyWait&) = delete;
    CardBusyWait& operator=(const CardBusyWait&) = delete;

    // Another program holds the card or has reset it since it was connected.
    static bool isBusy(LONG result);
    // Another program's reset, seen by the first command of an access: a
    // connection made while the other program's reset was under way holds a
    // protocol the reader no longer has (pcsc-lite answers PROTO_MISMATCH).
    static bool isResetBeforeCommand(LONG result);
    // True while the next attempt may be made (after the pause this call has
    // taken). The caller has judged result a busy one.
    bool again(const char* call, LONG result);
    // The access got past the other program.
    void settled();

    // The observer of the calling thread's card accesses; null for none, and
    // then a wait ends after budgetMs.
    static void setObserver(CardWaitObserver* observer);
    static CardWaitObserver* observer();
    // Throws SCARD_E_CANCELLED when the observer has given the operation up.
    static void throwIfCancelled();

    static constexpr int budgetMs = 2500;

private:
    struct Private;
    Private* d = nullptr;
};

// Why a card access failed, where it matters to the user: the card was held
// or reset by another program (after the wait), or it left the reader.
enum class CardAccessBlock
{
    None,
    Busy,
    Gone,
};
CardAccessBlock cardAccessBlock(LONG result);

// Cancels a wait in progress on the context; a no-op when nobody waits. The
// cancelled wait returns like a timed-out one (no debug line, nothing thrown).
void cancelWait(SCARDCONTEXT context);
