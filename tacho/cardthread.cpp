#include "tacho/cardthread.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {
std::atomic<bool> threadLeftBehind{false};
// Threads left behind, kept where the leak checker can see them (never
// destroyed, not even by the exit handlers): they end on their own once the
// service lets them go.
std::vector<QThread*>& leftThreads()
{
    static auto* threads = new std::vector<QThread*>;
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
    std::mutex lock;
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

// What both threads share, and what outlives the window's side: a thread left
// behind inside the service must find nobody to post to when it comes back.
// The queues are the threads' only meeting place (plain mutexes, so that the
// thread checker sees every hand-over); the card thread posts no Qt event.
struct CardThread::Shared
{
    std::mutex lock;
    std::condition_variable jobQueued;
    std::deque<std::function<void()>> jobs;
    bool quit = false;
    struct Reply
    {
        std::shared_ptr<Operation> op;
        std::function<void()> call;
    };
    // Fetched by the window's thread on a short timer: a Qt event posted from
    // here would hand memory over inside QtCore, unseen by the thread checker.
    std::deque<Reply> replies;
    CardThread* owner = nullptr;
    std::atomic<bool> stopping{false};
    // Jobs queued or running.
    std::atomic<int> pending{0};
    std::atomic<bool> renew{false};
    // The card thread's own context; touched on the card thread only.
    SCARDCONTEXT context = 0;

    void post(const std::shared_ptr<Operation>& op, std::function<void()> call)
    {
        std::lock_guard<std::mutex> locker(lock);
        if (!owner || op->dropped)
            return;
        replies.push_back({op, std::move(call)});
    }
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> locker(lock);
                jobQueued.wait(locker, [this] { return quit || !jobs.empty(); });
                if (jobs.empty())
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
            --pending;
        }
    }
    void queue(std::function<void()> job)
    {
        ++pending;
        {
            std::lock_guard<std::mutex> locker(lock);
            jobs.push_back(std::move(job));
        }
        jobQueued.notify_one();
    }
    void releaseContext()
    {
        if (context == 0)
            return;
        try {
            ::releaseContext(context);
        } catch (...) {
        }
        context = 0;
    }
};

CardThread::CardThread(QObject* parent) : QObject(parent), shared(std::make_shared<Shared>())
{
    shared->owner = this;
    std::shared_ptr<Shared> link = shared;
    thread = QThread::create([link] { link->run(); });
    thread->setObjectName(QStringLiteral("card"));
    thread->start();
    waitTimer.setInterval(100);
    connect(&waitTimer, &QTimer::timeout, this, &CardThread::checkWait);
    replyTimer.setTimerType(Qt::PreciseTimer);
    replyTimer.setInterval(1);
    connect(&replyTimer, &QTimer::timeout, this, &CardThread::deliver);
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
    replyTimer.start();
    std::shared_ptr<Shared> link = shared;
    shared->queue([link, op, readerName, job = std::move(job)] {
        if (link->stopping || op->dropped)
            return;
        if (link->renew.exchange(false))
            link->releaseContext();
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
            std::lock_guard<std::mutex> locker(op->lock);
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
        // The context stays dead even once the service is back.
        if (session.serviceLost())
            link->releaseContext();
        link->post(op, [link] { link->owner->endOperation(); });
    });
}

void CardThread::deliver()
{
    // One at a time: a reply that opens a box runs an event loop of its own,
    // and the replies after it go on from there.
    for (;;) {
        Shared::Reply reply;
        {
            std::lock_guard<std::mutex> locker(shared->lock);
            if (shared->replies.empty())
                return;
            reply = std::move(shared->replies.front());
            shared->replies.pop_front();
        }
        if (reply.op == current)
            reply.call();
    }
}

bool CardThread::idle() const
{
    return shared->pending == 0;
}

void CardThread::renewContext()
{
    shared->renew = true;
}

void CardThread::forgetCurrent()
{
    current.reset();
    waitTimer.stop();
    replyTimer.stop();
    if (noticeShown) {
        noticeShown = false;
        emit waitingForCard(false);
    }
}

void CardThread::endOperation()
{
    forgetCurrent();
    emit finished();
}

QString CardThread::drop()
{
    if (!current)
        return QString();
    current->dropped = true;
    QString line;
    {
        std::lock_guard<std::mutex> locker(current->lock);
        line = current->failureLine;
    }
    forgetCurrent();
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
    replyTimer.stop();
    shared->stopping = true;
    std::shared_ptr<Shared> link = shared;
    {
        std::lock_guard<std::mutex> locker(shared->lock);
        shared->owner = nullptr;
        shared->replies.clear();
        // After the jobs still queued, which return at once now.
        shared->jobs.push_back([link] { link->releaseContext(); });
        shared->quit = true;
    }
    shared->jobQueued.notify_one();
    if (thread->wait(ms)) {
        delete thread;
    } else {
        // Held inside the service (a transaction of another program): it
        // cannot be cut short, and a running QThread may not be destroyed.
        threadLeftBehind = true;
        leftThreads().push_back(thread);
    }
    thread = nullptr;
}
