#pragma once

#include "card/pcsc.h"

#include <QObject>
#include <QString>

#include <functional>

// What one card operation works with on the card thread: the thread's own
// context, the reader, and the way its log lines and results reach the
// window (in order, and never once the window has dropped the operation).
class CardSession : public QObject
{
    Q_OBJECT
public:
    // How the card thread passes things on to the window's thread.
    struct Link
    {
        std::function<void(std::function<void()>)> post;
        std::function<void(const QString&)> trace;
        std::function<void(const QString&)> step;
    };
    CardSession(SCARDCONTEXT context, const QString& readerName, Link link);

    SCARDCONTEXT context() const { return m_context; }
    const QString& readerName() const { return m_reader; }
    // Runs call on the window's thread, after everything posted before it.
    void post(std::function<void()> call) const { m_link.post(std::move(call)); }
    void trace(const QString& line) const { m_link.trace(line); }
    // A step begins: its first log line, and the line that ends the step
    // should the window give the operation up meanwhile.
    void beginStep(const QString& line, const QString& failureLine);
    // In the handler of a failed card access: notes why it failed and, when
    // another program had the card, says so in the log.
    CardAccessBlock noteFailure();
    // Why the last failed access of this operation failed; a read sequence
    // ends at a card held by another program or gone.
    CardAccessBlock lastBlock() const { return m_block; }
    // Why the last failed access failed, as the log says it: another
    // program has the card, or the failed step's line. Empty when none failed.
    const QString& failureReason() const { return m_reason; }
    // The service went away during this operation: its context is dead.
    bool serviceLost() const { return m_serviceLost; }

public slots:
    // The card layer's lines (command, answer, protocol).
    void handleTrace(QString line) { trace(line); }

private:
    SCARDCONTEXT m_context;
    QString m_reader;
    Link m_link;
    CardAccessBlock m_block = CardAccessBlock::None;
    QString m_stepFailure;
    QString m_reason;
    bool m_serviceLost = false;
};

// The block behind the error being handled, when it is a PC/SC result; the
// result itself through result.
CardAccessBlock currentAccessBlock(LONG* result = nullptr);

// The log line that says another program has the card.
extern const char cardBusyLine[];
