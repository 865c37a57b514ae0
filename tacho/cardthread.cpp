#include "tacho/cardthread.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <chrono>
#include <vector>

namespace {
std::atomic<bool> threadLeftBehind{false};
// Threads left behind, kept where the leak checker can see them (never
// destroyed, not even by the exit handlers): they end on their own once the
// service lets them go.
std::vector<std::pair<QThread*, QObject*>>& leftThreads()
{
    static auto* threads = new std::vector<std::pair<QThread*, QObject*>>;
    return *threads;
}

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

// One operation as both threads see it. The card layer reports its waits for
// other programs here and asks here whether it may go on.
struct CardThread::Operation : CardWaitObserver
{
    std::atomic<bool> dropped{false};
    std::atomic<qint64> waitingSince{-1};
    QMutex lock;
    QString failureLine;

    void waiting() override
    {
        qint64 none = -1;
        waitingSince.compare_exchange_strong(none, nowMs());
    }
    void settled() override { waitingSince = -1; }
    bool pause(unsigned long ms) override
    {
        // In short slices, so that a cancel ends the wait at once.
        const qint64 until = nowMs() + static_cast<qint64>(ms);
        for (qint64 left = ms; left > 0 && !dropped; left = until - nowMs())
            QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, 10)));
        return !dropped;
    }
    bool cancelled() const override { return dropped; }
};

// What outlives the window's side of the card thread: a thread left behind
// inside the service must find nobody to post to when it comes back.
struct CardThread::Shared
{
    QMutex lock;
    CardThread* owner = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> renew{false};
    // The card thread's own context; touched on the card thread only.
    SCARDCONTEXT context = 0;

    void post(const std::shared_ptr<Operation>& op, std::function<void()> call)
    {
        QMutexLocker locker(&lock);
        if (!owner || op->dropped)
            return;
        CardThread* to = owner;
        QMetaObject::invokeMethod(
            to,
            [to, op, call = std::move(call)] {
                if (to->current == op)
                    call();
            },
            Qt::QueuedConnection);
    }
};

CardThread::CardThread(QObject* parent) : QObject(parent), shared(std::make_shared<Shared>())
{
    shared->owner = this;
    thread = new QThread;
    thread->setObjectName(QStringLiteral("card"));
    worker = new QObject;
    worker->moveToThread(thread);
    thread->start();
    waitTimer.setInterval(100);
    connect(&waitTimer, &QTimer::timeout, this, &CardThread::checkWait);
}

CardThread::~CardThread()
{
    stop(2500);
}

bool CardThread::leftBehind()
{
    return threadLeftBehind;
}

void CardThread::start(const QString& readerName, Job job)
{
    auto op = std::make_shared<Operation>();
    current = op;
    noticeShown = false;
    waitTimer.start();
    std::shared_ptr<Shared> link = shared;
    QMetaObject::invokeMethod(
        worker,
        [link, op, readerName, job = std::move(job)] {
            if (link->stopping || op->dropped)
                return;
            if (link->renew.exchange(false) && link->context != 0) {
                try {
                    releaseContext(link->context);
                } catch (...) {
                }
                link->context = 0;
            }
            if (link->context == 0) {
                try {
                    link->context = establishContext();
                } catch (PcscError) {
                    // The operation fails at its connect and says so.
                }
            }
            CardSession::Link to;
            to.post = [link, op](std::function<void()> call) { link->post(op, std::move(call)); };
            to.trace = [link, op](const QString& line) {
                link->post(op, [link, line] { emit link->owner->traced(line); });
            };
            to.step = [op](const QString& failureLine) {
                QMutexLocker locker(&op->lock);
                op->failureLine = failureLine;
            };
            CardSession session(link->context, readerName, to);
            CardBusyWait::setObserver(op.get());
            try {
                job(session);
            } catch (...) {
                // Each operation handles its own failures; nothing may end the
                // thread's loop.
            }
            CardBusyWait::setObserver(nullptr);
            if (session.serviceLost()) {
                // The context stays dead even once the service is back.
                try {
                    releaseContext(link->context);
                } catch (...) {
                }
                link->context = 0;
            }
            link->post(op, [link] { link->owner->endOperation(); });
        },
        Qt::QueuedConnection);
}

void CardThread::renewContext()
{
    shared->renew = true;
}

void CardThread::endOperation()
{
    current.reset();
    waitTimer.stop();
    if (noticeShown) {
        noticeShown = false;
        emit waitingForCard(false);
    }
    emit finished();
}

QString CardThread::drop()
{
    if (!current)
        return QString();
    current->dropped = true;
    QString line;
    {
        QMutexLocker locker(&current->lock);
        line = current->failureLine;
    }
    current.reset();
    waitTimer.stop();
    if (noticeShown) {
        noticeShown = false;
        emit waitingForCard(false);
    }
    return line;
}

void CardThread::checkWait()
{
    if (!current)
        return;
    const qint64 since = current->waitingSince;
    const bool due = since >= 0 && nowMs() - since >= noticeAfterMs;
    if (due != noticeShown) {
        noticeShown = due;
        emit waitingForCard(due);
    }
}

void CardThread::stop(int ms)
{
    if (!thread)
        return;
    if (current)
        current->dropped = true;
    current.reset();
    waitTimer.stop();
    {
        QMutexLocker locker(&shared->lock);
        shared->owner = nullptr;
    }
    shared->stopping = true;
    std::shared_ptr<Shared> link = shared;
    // After the jobs still queued, which return at once now.
    QMetaObject::invokeMethod(
        worker,
        [link] {
            if (link->context != 0) {
                try {
                    releaseContext(link->context);
                } catch (...) {
                }
                link->context = 0;
            }
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (thread->wait(ms)) {
        delete worker;
        delete thread;
    } else {
        // Held inside the service (a transaction of another program): it
        // cannot be cut short, and a running QThread may not be destroyed.
        threadLeftBehind = true;
        leftThreads().emplace_back(thread, worker);
    }
    worker = nullptr;
    thread = nullptr;
}
