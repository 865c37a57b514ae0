#include "monitor/monitorthread.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace {

constexpr unsigned long idleStepMs = 500;

bool serviceGone(PcscError error)
{
    return error == static_cast<PcscError>(SCARD_E_NO_SERVICE) || error == static_cast<PcscError>(SCARD_F_COMM_ERROR) ||
           error == static_cast<PcscError>(SCARD_E_SERVICE_STOPPED) ||
           error == static_cast<PcscError>(SCARD_E_INVALID_HANDLE);
}

} // namespace

MonitorThread::MonitorThread() = default;

MonitorThread::~MonitorThread()
{
    stop();
    dropWaitContext();
}

void MonitorThread::selectReader(SCARDCONTEXT context, QString readerName)
{
    // The events handled here may hold the user's next click (the second of
    // a double click): a release or another selection made meanwhile is the
    // user's last word, and this selection must not undo it.
    const quint64 request = ++requests;
    QCoreApplication::processEvents();
    if (requests != request)
        return;
    {
        QMutexLocker locker(&pollLock);
        running = true;
        this->context = context;
        this->readerName = readerName;
        try {
            SCARDCONTEXT own = waitContext;
            const bool kept = own != 0;
            if (own == 0) {
                own = establishContext();
                waitContext = own;
            }
            // An unaware current state makes the service answer at once with
            // the reader's present state; the preset is what a time-out leaves.
            try {
                eventState = waitStatusChange(own, this->readerName, SCARD_STATE_UNAWARE, SCARD_STATE_UNKNOWN);
            } catch (PcscError error) {
                // A context kept while paused stays dead once the service has
                // restarted: one more try on a new one.
                if (!kept || !serviceGone(error))
                    throw;
                dropWaitContext();
                own = establishContext();
                waitContext = own;
                eventState = waitStatusChange(own, this->readerName, SCARD_STATE_UNAWARE, SCARD_STATE_UNKNOWN);
            }
            emit statusChanged(eventState & stateMask);
            paused = false;
        } catch (...) {
            reportFailure();
        }
    }
    // The loop may be in an idle step: a change right after the selection
    // would otherwise wait for the step's end, up to 500 ms.
    {
        QMutexLocker locker(&sleepLock);
        sleepWake.wakeAll();
    }
    QCoreApplication::processEvents();
}

void MonitorThread::pause()
{
    ++requests;
    // Set before the lock so that the loop, woken by the cancel, goes idle
    // instead of starting another wait.
    paused = true;
    lockPollCancellingWait();
    paused = true;
    pollLock.unlock();
}

void MonitorThread::stop()
{
    running = false;
    {
        QMutexLocker locker(&sleepLock);
        sleepWake.wakeAll();
    }
    lockPollCancellingWait();
    running = false;
    pollLock.unlock();

    // The loop holds runLock for as long as it runs.
    runLock.lock();
    runLock.unlock();
    if (QThread::currentThread() != this)
        wait();
}

void MonitorThread::run()
{
    QMutexLocker runGuard(&runLock);
    while (running) {
        if (paused) {
            idleSleep();
            continue;
        }

        QMutexLocker locker(&pollLock);
        // The flags may have flipped while this thread waited for the lock.
        if (!running || paused)
            continue;
        watchOnce();
    }
    dropWaitContext();
}

void MonitorThread::watchOnce()
{
    oldStatus = eventState & stateMask;
    try {
        SCARDCONTEXT own = waitContext;
        if (own == 0) {
            own = establishContext();
            waitContext = own;
        }
        // The changed bit is the service's news of the last wait, not part of
        // the state; fed back with the ignore bit, Windows would leave the
        // reader out of every later wait.
        const quint32 current = eventState & ~quint32(SCARD_STATE_CHANGED | SCARD_STATE_IGNORE);
        eventState = waitStatusChange(own, readerName, current, eventState);
        // pause() and stop() set their flag before they cancel the wait:
        // a watch ended that way reports nothing.
        if (!running || paused)
            return;
        newStatus = eventState & stateMask;
        if (newStatus != oldStatus)
            emit statusChanged(newStatus);
    } catch (...) {
        // A failure while the watch was ending concerns a reader that is
        // no longer watched; its context may be dead all the same.
        if (running && !paused)
            reportFailure();
        else
            dropWaitContext();
    }
}

void MonitorThread::lockPollCancellingWait()
{
    if (pollLock.tryLock())
        return;
    // A cancel sent while nobody waits is forgotten, so keep sending until the
    // loop lets go of the lock.
    for (;;) {
        if (const SCARDCONTEXT own = waitContext)
            cancelWait(own);
        if (pollLock.tryLock(20))
            return;
    }
}

void MonitorThread::idleSleep()
{
    QMutexLocker locker(&sleepLock);
    // Checked under the lock that selectReader() wakes with, so its wake-up
    // cannot fall between the check and the wait.
    if (!running || !paused)
        return;
    sleepWake.wait(&sleepLock, idleStepMs);
}

void MonitorThread::dropWaitContext()
{
    const SCARDCONTEXT own = waitContext.exchange(0);
    if (own == 0)
        return;
    try {
        releaseContext(own);
    } catch (...) {
        // A context of a service that went away cannot be released cleanly;
        // it is forgotten all the same.
    }
}

void MonitorThread::reportFailure()
{
    dropWaitContext();
    paused = true;
    emit errorDetected();
}
