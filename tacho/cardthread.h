#pragma once

#include "tacho/cardsession.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QThread;

// The thread that does the card work, one operation after another, on a
// PC/SC context of its own. The window's thread never calls the card
// service: another program may hold the card for as long as it likes, and
// the service makes the caller wait for it.
class CardThread : public QObject
{
    Q_OBJECT
public:
    using Job = std::function<void(CardSession&)>;

    explicit CardThread(QObject* parent = nullptr);
    ~CardThread() override;
    CardThread(const CardThread&) = delete;
    CardThread& operator=(const CardThread&) = delete;

    // Queues an operation on the reader and returns at once. Its log lines
    // and the calls it posts reach this thread in order; finished() follows.
    void start(const QString& readerName, Job job);
    // An operation is under way: started, neither finished nor dropped.
    bool busy() const { return current != nullptr; }
    // Gives the operation under way up: a wait for another program ends, no
    // further command starts, and nothing more of it reaches this thread (a
    // call that the service holds cannot be cut short; its result is lost).
    // Returns the line that ends the step it was in, empty when none.
    QString drop();
    // The card thread has nothing to do: also the operations given up have
    // let go of the card.
    bool idle() const;
    // The service has restarted (the window found its own context dead):
    // the next operation begins on a new context.
    void renewContext();
    // Ends the thread. A command already at the card is waited for, up to
    // ms; a thread still held inside the service then is left behind.
    void stop(int ms);
    // A card thread was left behind inside the service: the process must end
    // without running its exit handlers under it.
    static bool leftBehind();

    // How long a wait for another program lasts before the user is told.
    static constexpr int noticeAfterMs = 500;

signals:
    void traced(QString line);
    // The operation has waited for another program for noticeAfterMs (true),
    // or has got the card after such a wait (false).
    void waitingForCard(bool waiting);
    // The operation under way ended by itself.
    void finished();

private:
    // Runs the replies that the card thread has posted, in order.
    void deliver();
    struct Operation;
    struct Shared;
    void checkWait();
    // No operation under way any more: its timers stop, its notice goes.
    void forgetCurrent();
    void endOperation();

    QThread* thread = nullptr;
    std::shared_ptr<Shared> shared;
    std::shared_ptr<Operation> current;
    QTimer waitTimer;
    QTimer replyTimer;
    bool noticeShown = false;
};
