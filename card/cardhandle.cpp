#include "card/cardhandle.h"

#include "card/hexline.h"

#include <exception>

const StatusWordText statusWordTable[] = {
    {0x9000, "Process completed"},
    {0x6401, "Exec error: Command timeout"},
    {0x6100, "Process completed, more data available"},
    {0x6200, "Warning: NV-Ram not changed"},
    {0x6201, "Warning: NV-Ram not changed 1"},
    {0x6281, "Warning: Part of data corrupted"},
    {0x6282, "Warning: End of file reached"},
    {0x6283, "Warning: Invalidated file"},
    {0x6284, "Warning: Invalid file control"},
    {0x6300, "Warning: NV-Ram changed"},
    {0x63C0, "Warning: Warning with counter"},
    {0x63C1, "Warning: Verify fail, 1 try left"},
    {0x63C2, "Warning: Verify fail, 2 tries left"},
    {0x63C3, "Warning: Verify fail, 3 tries left"},
    {0x6400, "Exec error: NV-Ram not changed"},
    {0x6501, "Exec error: Memory failure"},
    {0x6581, "Exec error: Memory failure"},
    {0x6700, "Checking error: Wrong length"},
    {0x6800, "Checking error: Function in CLA byte not supported"},
    {0x6881, "Checking error: Logical channel not supported"},
    {0x6882, "Checking error: Secure Messaging not supported"},
    {0x6883, "Checking error: Last command of the chain expected"},
    {0x6884, "Checking error: Command chaining not supported"},
    {0x6900, "Checking error: Command not allowed"},
    {0x6981, "Checking error: Command incompatible with file structure"},
    {0x6982, "Checking error: Security condition not satisfied"},
    {0x6983, "Checking error: Authentication method locked"},
    {0x6984, "Checking error: Reference data not usable"},
    {0x6985, "Checking error: Condition of use not satisfied"},
    {0x6986, "Checking error: Command not allowed (no current EF)"},
    {0x6987, "Checking error: Expected secure messaging object missing"},
    {0x6988, "Checking error: Incorrect secure messaging data object"},
    {0x6A00, "Checking error: Wrong parameter P1-P2"},
    {0x6A80, "Checking error: Incorrect parameter in the command data field"},
    {0x6A81, "Checking error: Function not supported"},
    {0x6A82, "Checking error: File not found"},
    {0x6A83, "Checking error: Record not found"},
    {0x6A84, "Checking error: Not enough memory space in the file"},
    {0x6A85, "Checking error: Nc inconsistent with TLV structure"},
    {0x6A86, "Checking error: Incorrect P1-P2"},
    {0x6A87, "Checking error: Lc inconsistent with P1-P2"},
    {0x6A88, "Checking error: Reference data not found"},
    {0x6A89, "Checking error: File already exists"},
    {0x6A8A, "Checking error: DF name already exists"},
    {0x6B00, "Checking error: Wrong parameter P1-P2"},
    {0x6C00, "Checking error: Invalid Le"},
    {0x6D00, "Checking error: Wrong instruction"},
    {0x6E00, "Checking error: Class not supported"},
    {0x9804, "Access conditions not satisfied"},
    {0x9210, "No more storage available"},
    {0x6F00, "Checking error: No precise diagnosis"},
    {0, nullptr},
};

QString commandTraceBytes(const QByteArray& command, TraceMode mode)
{
    if (mode == TraceMode::Plain)
        return hexByteLine(command);
    // CLA INS P1 P2 Lc stay readable; the data field never reaches the log.
    const int header = qMin(5, static_cast<int>(command.size()));
    QString line = hexByteLine(command.left(header));
    for (int i = header; i < command.size(); ++i)
        line += QStringLiteral("** ");
    return line;
}

CARD_HANDLE::CARD_HANDLE(QObject* traceReceiver, SCARDCONTEXT context, const QString& readerName) : QObject(nullptr)
{
    CardBusyWait::throwIfCancelled();
    // pcsc-lite holds the connect itself while another program's transaction
    // lasts: the observer is told before, so that the wait shows.
    CardWaitObserver* observer = CardBusyWait::observer();
    LONG rv;
    for (;;) {
        if (observer)
            observer->waiting();
        rv = tryConnectCard(context, readerName, &m_protocol, &m_card);
        if (rv == SCARD_S_SUCCESS)
            break;
        if (!CardBusyWait::isBusy(rv) || !m_busy.again("SCardConnect", rv))
            raisePcscFailure("SCardConnect", rv);
    }
    m_busy.settled();
    if (observer && observer->cancelled()) {
        // Given up while the service held the connect: nothing is sent.
        const SCARDHANDLE card = m_card;
        m_card = 0;
        try {
            disconnectCard(card);
        } catch (...) {
        }
        throw PcscError(static_cast<LONG>(SCARD_E_CANCELLED));
    }
    if (traceReceiver)
        connect(this, SIGNAL(signalTrace(QString)), traceReceiver, SLOT(handleTrace(QString)));
    emit signalTrace(QStringLiteral("Протокол: ") + (m_protocol == ProtocolT0 ? QStringLiteral("SCARD_PROTOCOL_T0")
                                                                              : QStringLiteral("SCARD_PROTOCOL_T1")));
}

CARD_HANDLE::~CARD_HANDLE()
{
    if (m_card == 0)
        return;
    try {
        disconnectCard(m_card);
    } catch (...) {
        // The debug line is written; a destructor has nobody to report to.
    }
}

void CARD_HANDLE::close()
{
    if (m_card == 0)
        return;
    const SCARDHANDLE card = m_card;
    m_card = 0;
    disconnectCard(card);
}

QByteArray CARD_HANDLE::transmit(const QByteArray& command, TraceMode mode)
{
    // A command already at the card finishes; none starts once given up.
    CardBusyWait::throwIfCancelled();
    emit signalTrace(QStringLiteral("Команда:    ") + commandTraceBytes(command, mode));
    QByteArray response;
    if (m_card != 0)
        response = exchange(command, mode);
    emit signalTrace(QStringLiteral("Результат: ") + hexByteLine(response));
    checkStatusWord(response);
    return response;
}

QByteArray CARD_HANDLE::exchange(const QByteArray& command, TraceMode mode)
{
    // A PIN or PUK goes to the card once, whatever the service says.
    if (m_commandSent || mode == TraceMode::Secret) {
        m_commandSent = true;
        return transmitRaw(m_card, command, m_protocol);
    }
    m_commandSent = true;
    // Another program's reset may land between this access's connect and its
    // first command; the service refuses that command before it reaches the
    // card, so it is sent again on the reconnected handle. Never later.
    QByteArray response;
    LONG rv;
    while ((rv = tryTransmitRaw(m_card, command, m_protocol, &response)) != SCARD_S_SUCCESS) {
        if (!CardBusyWait::isResetBeforeCommand(rv) || !m_busy.again("SCardTransmit", rv))
            raisePcscFailure("SCardTransmit", rv);
        reconnectAfterReset();
    }
    m_busy.settled();
    return response;
}

void CARD_HANDLE::reconnectAfterReset()
{
    const LONG rv = tryReconnectCard(m_card, m_protocol);
    if (rv != SCARD_S_SUCCESS && !CardBusyWait::isBusy(rv))
        raisePcscFailure("SCardReconnect", rv);
}

void CARD_HANDLE::checkStatusWord(const QByteArray& response)
{
    if (response.size() != 2)
        return;
    const int sw = (static_cast<unsigned char>(response[0]) << 8) | static_cast<unsigned char>(response[1]);
    if (sw == statusWordTable[0].statusWord)
        return;
    for (const StatusWordText* row = statusWordTable; row->statusWord != 0; ++row) {
        if (row->statusWord == sw) {
            const QString message = QString::fromLatin1(row->message);
            emit signalTrace(QStringLiteral("Описание:  «") + message + QStringLiteral("»"));
            throw _std_card_error{row->statusWord, message};
        }
    }
    throw 0;
}

CARD_TRANSACTION::CARD_TRANSACTION(CARD_HANDLE* handle) : m_uncaught(std::uncaught_exceptions())
{
    // Nothing of this access has reached the card yet, so waiting for another
    // program and reconnecting after its reset repeats no command.
    // The service holds the begin for as long as another program's
    // transaction lasts: the observer is told before, so that the wait shows.
    CardWaitObserver* observer = CardBusyWait::observer();
    LONG rv;
    for (;;) {
        if (observer)
            observer->waiting();
        rv = tryBeginTransaction(handle->cardHandle());
        if (rv == SCARD_S_SUCCESS)
            break;
        if (!CardBusyWait::isBusy(rv) || !handle->busyWait().again("SCardBeginTransaction", rv))
            raisePcscFailure("SCardBeginTransaction", rv);
        if (rv == static_cast<LONG>(SCARD_W_RESET_CARD))
            handle->reconnectAfterReset();
    }
    handle->busyWait().settled();
    if (observer && observer->cancelled()) {
        // Given up while the service held the begin: the card is let go
        // untouched.
        try {
            endTransaction(handle->cardHandle());
        } catch (...) {
        }
        throw PcscError(static_cast<LONG>(SCARD_E_CANCELLED));
    }
    m_handle = handle;
}

CARD_TRANSACTION::~CARD_TRANSACTION() noexcept(false)
{
    if (!m_handle)
        return;
    try {
        endTransaction(m_handle->cardHandle());
    } catch (...) {
        if (std::uncaught_exceptions() == m_uncaught)
            throw;
    }
}
