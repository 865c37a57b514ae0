#include "card/pcsc.h"

#include "card/pcscnative.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <cstdint>
#include <memory>

namespace {

// PC/SC results are 32-bit values; pcsc-lite widens them to a 64-bit LONG.
// The debug line shows them as the signed 32-bit number they are.
qint32 asSigned32(LONG result)
{
    return static_cast<qint32>(static_cast<std::uint32_t>(result));
}

[[noreturn]] void fail(const char* call, LONG result)
{
    raisePcscFailure(call, result);
}

} // namespace

void raisePcscFailure(const char* call, LONG result)
{
    qDebug().noquote() << pcscFailureLine(call, result);
    throw PcscError(result);
}

QString pcscFailureLine(const char* call, LONG result)
{
    return QStringLiteral("Failed %1: %2").arg(QLatin1String(call)).arg(asSigned32(result));
}

SCARDCONTEXT establishContext()
{
    SCARDCONTEXT context = 0;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardEstablishContext", rv);
    return context;
}

void releaseContext(SCARDCONTEXT context)
{
    const LONG rv = SCardReleaseContext(context);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardReleaseContext", rv);
}

QStringList listReaders(SCARDCONTEXT context, LONG* result)
{
    QStringList readers;
    LONG freed = SCARD_S_SUCCESS;
    const LONG rv = pcscnative::listReaders(context, readers, freed);
    if (result)
        *result = rv;
    if (freed != SCARD_S_SUCCESS)
        qDebug().noquote() << pcscFailureLine("SCardFreeMemory", freed);
    return readers;
}

quint32 waitStatusChange(SCARDCONTEXT context, const QString& readerName, quint32 currentState,
                         quint32 initialEventState)
{
    quint32 eventState = initialEventState;
    const LONG rv = pcscnative::getStatusChange(context, readerName, 500, currentState, eventState);
    // A cancel is the caller's own request (cancelWait), no failure: like the
    // time-out it leaves the preset state, and the caller knows why it asked.
    if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT) && rv != static_cast<LONG>(SCARD_E_CANCELLED))
        fail("SCardGetStatusChange", rv);
    // A reader unplugged while others stay: Windows answers success with an
    // unknown (and ignored) reader where pcsc-lite fails the call. Either way
    // the service no longer knows the reader, and the wait has failed.
    constexpr quint32 gone = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
    if (rv == SCARD_S_SUCCESS && (eventState & gone) == gone)
        fail("SCardGetStatusChange", static_cast<LONG>(SCARD_E_UNKNOWN_READER));
    return eventState;
}

LONG tryConnectCard(SCARDCONTEXT context, const QString& readerName, int* protocol, SCARDHANDLE* card)
{
    SCARDHANDLE connected = 0;
    int asked = ProtocolT1;
    LONG rv = pcscnative::connect(context, readerName, SCARD_PROTOCOL_T1, connected);
    if (rv == static_cast<LONG>(SCARD_E_PROTO_MISMATCH)) {
        asked = ProtocolT0;
        rv = pcscnative::connect(context, readerName, SCARD_PROTOCOL_T0, connected);
    }
    if (rv == SCARD_S_SUCCESS) {
        // With a single protocol offered, the active one can only be that one.
        *protocol = asked;
        *card = connected;
    }
    return rv;
}

SCARDHANDLE connectCard(SCARDCONTEXT context, const QString& readerName, int* protocol)
{
    SCARDHANDLE card = 0;
    const LONG rv = tryConnectCard(context, readerName, protocol, &card);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardConnect", rv);
    return card;
}

LONG tryReconnectCard(SCARDHANDLE card, int protocol)
{
    DWORD active = 0;
    return SCardReconnect(card, SCARD_SHARE_SHARED, protocol == ProtocolT0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1,
                          SCARD_LEAVE_CARD, &active);
}

void disconnectCard(SCARDHANDLE card)
{
    const LONG rv = SCardDisconnect(card, SCARD_RESET_CARD);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardDisconnect", rv);
}

LONG tryBeginTransaction(SCARDHANDLE card)
{
    return SCardBeginTransaction(card);
}

void beginTransaction(SCARDHANDLE card)
{
    const LONG rv = tryBeginTransaction(card);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardBeginTransaction", rv);
}

void endTransaction(SCARDHANDLE card)
{
    const LONG rv = SCardEndTransaction(card, SCARD_LEAVE_CARD);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardEndTransaction", rv);
}

LONG tryTransmitRaw(SCARDHANDLE card, const QByteArray& command, int protocol, QByteArray* response)
{
    const SCARD_IO_REQUEST* pci = protocol == ProtocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    unsigned char buffer[1024];
    DWORD length = sizeof buffer;
    const LONG rv = SCardTransmit(card, pci, reinterpret_cast<const unsigned char*>(command.constData()),
                                  static_cast<DWORD>(command.size()), nullptr, buffer, &length);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    if (length > sizeof buffer)
        length = sizeof buffer;
    *response = QByteArray(reinterpret_cast<const char*>(buffer), static_cast<int>(length));
    return rv;
}

QByteArray transmitRaw(SCARDHANDLE card, const QByteArray& command, int protocol)
{
    QByteArray response;
    const LONG rv = tryTransmitRaw(card, command, protocol, &response);
    if (rv != SCARD_S_SUCCESS)
        fail("SCardTransmit", rv);
    return response;
}

void cancelWait(SCARDCONTEXT context)
{
    SCardCancel(context);
}

namespace {
thread_local CardWaitObserver* waitObserver = nullptr;
} // namespace

struct CardBusyWait::Private
{
    QElapsedTimer waited;
    unsigned long stepMs = 0;
};

CardBusyWait::CardBusyWait() : d(new Private) {}

CardBusyWait::~CardBusyWait()
{
    settled();
    delete d;
}

void CardBusyWait::setObserver(CardWaitObserver* observer)
{
    waitObserver = observer;
}

CardWaitObserver* CardBusyWait::observer()
{
    return waitObserver;
}

void CardBusyWait::throwIfCancelled()
{
    if (waitObserver && waitObserver->cancelled())
        throw PcscError(static_cast<LONG>(SCARD_E_CANCELLED));
}

bool CardBusyWait::isBusy(LONG result)
{
    return result == static_cast<LONG>(SCARD_E_SHARING_VIOLATION) || result == static_cast<LONG>(SCARD_W_RESET_CARD);
}

bool CardBusyWait::isResetBeforeCommand(LONG result)
{
    return result == static_cast<LONG>(SCARD_W_RESET_CARD) || result == static_cast<LONG>(SCARD_E_PROTO_MISMATCH);
}

bool CardBusyWait::again(const char* call, LONG result)
{
    if (!d->waited.isValid()) {
        d->waited.start();
        qDebug().noquote() << QStringLiteral("Card in use by another program (%1: %2), waiting")
                                  .arg(QLatin1String(call))
                                  .arg(asSigned32(result));
    }
    if (waitObserver)
        waitObserver->waiting();
    // The first retry follows at once: a reset is over by the time it is seen.
    // Then short steps, so the card is taken soon after the other program
    // lets go of it (pcsc-lite reports no change when it does).
    const unsigned long step = d->stepMs;
    d->stepMs = d->stepMs == 0 ? 20 : qMin<unsigned long>(d->stepMs * 2, 100);
    if (waitObserver)
        return waitObserver->pause(step);
    const qint64 left = budgetMs - d->waited.elapsed();
    if (left <= 0)
        return false;
    const unsigned long pause = qMin<unsigned long>(step, static_cast<unsigned long>(left));
    if (pause > 0)
        QThread::msleep(pause);
    return true;
}

void CardBusyWait::settled()
{
    if (waitObserver)
        waitObserver->settled();
}

CardAccessBlock cardAccessBlock(LONG result)
{
    // A wait the user cancelled ends the sequence as a busy card does.
    if (CardBusyWait::isBusy(result) || CardBusyWait::isResetBeforeCommand(result) ||
        result == static_cast<LONG>(SCARD_E_CANCELLED))
        return CardAccessBlock::Busy;
    if (result == static_cast<LONG>(SCARD_W_REMOVED_CARD) || result == static_cast<LONG>(SCARD_E_NO_SMARTCARD))
        return CardAccessBlock::Gone;
    return CardAccessBlock::None;
}
