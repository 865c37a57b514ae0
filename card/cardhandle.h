#pragma once

#include "card/pcsc.h"

#include <QObject>

// A listed failing status word, thrown by value and caught by reference.
struct _std_card_error
{
    int statusWord;
    QString message;
};

// One row of the status-word message table.
struct StatusWordText
{
    int statusWord;
    const char* message;
};

// The status-word message table, in its order, ended by a {0, nullptr} row.
// The first row is the success value.
extern const StatusWordText statusWordTable[];

// How a command's data field appears in the trace.
enum class TraceMode
{
    Plain,
    // PIN and PUK blocks: the header bytes are shown, every data byte as "**".
    Secret,
};

// The trace text of a command: "00 20 00 00 08 ** ** ..." for a secret one.
QString commandTraceBytes(const QByteArray& command, TraceMode mode);

// One connection to the card in one reader, for the length of one card
// operation. Connecting happens in the constructor, the reset-disconnect in
// the destructor (or earlier in close(), which reports a failure).
class CARD_HANDLE : public QObject
{
    Q_OBJECT
public:
    // Connects (T=1, else T=0) and emits the protocol trace line.
    // Throws PcscError when the card cannot be connected.
    CARD_HANDLE(QObject* traceReceiver, SCARDCONTEXT context, const QString& readerName);
    ~CARD_HANDLE() override;
    CARD_HANDLE(const CARD_HANDLE&) = delete;
    CARD_HANDLE& operator=(const CARD_HANDLE&) = delete;

    // Sends one command with its trace lines; returns the whole response.
    // Throws PcscError, _std_card_error, or the int 0 for an unlisted
    // failing status word of a two-byte response.
    QByteArray transmit(const QByteArray& command, TraceMode mode = TraceMode::Plain);

    // Disconnects with a card reset now, throwing PcscError on failure.
    // The destructor does the same when close() was not called, but can only
    // write the debug line.
    void close();

    int protocol() const { return m_protocol; }
    SCARDHANDLE cardHandle() const { return m_card; }
    // The one bounded wait for other programs that the connect, the
    // transaction's begin and the first command of this access share.
    CardBusyWait& busyWait() { return m_busy; }
    // Reconnects after another program's reset, leaving the card as it is;
    // a result other than a busy one ends the access.
    void reconnectAfterReset();

signals:
    void signalTrace(QString s);

private:
    QByteArray exchange(const QByteArray& command, TraceMode mode);
    void checkStatusWord(const QByteArray& response);

    int m_protocol = ProtocolNone;
    SCARDHANDLE m_card = 0;
    CardBusyWait m_busy;
    // Nothing may be sent twice once a command may have reached the card.
    bool m_commandSent = false;
};

// Holds the card's transaction for the scope it lives in. Its end leaves the
// card as it is; the handle's disconnect resets it afterwards.
class CARD_TRANSACTION
{
public:
    explicit CARD_TRANSACTION(CARD_HANDLE* handle);
    // Ending the transaction on the normal way out reports a failure; while
    // another error is already leaving the scope only its debug line is
    // written, so the first error is the one the caller gets.
    ~CARD_TRANSACTION() noexcept(false);
    CARD_TRANSACTION(const CARD_TRANSACTION&) = delete;
    CARD_TRANSACTION& operator=(const CARD_TRANSACTION&) = delete;

private:
    CARD_HANDLE* m_handle = nullptr;
    int m_uncaught = 0;
};
