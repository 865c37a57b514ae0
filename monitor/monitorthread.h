#pragma once

#include "card/pcsc.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// Watches one reader for card insertion and removal.
//
// The loop waits on a PC/SC context of its own: pcsc-lite holds a
// per-context lock for the whole of SCardGetStatusChange, so sharing the
// window's context would make every card command wait up to 500 ms behind
// the monitor's wait.
class MonitorThread : public QThread
{
    Q_OBJECT
public:
    MonitorThread();
    ~MonitorThread() override;

    // Points the monitor at a reader, reports its present state at once and
    // ends the pause. The window's context is accepted for the interface's
    // sake; the waits run on the monitor's own context.
    void selectReader(SCARDCONTEXT context, QString readerName);
    // Stops watching; the loop idles until the next selectReader.
    void pause();
    // Ends the loop and returns once it has ended.
    void stop();

signals:
    void statusChanged(ulong status);
    void errorDetected();

protected:
    void run() override;

private:
    friend class MonitorTestAccess; // white-box access for the tests

    // Takes pollLock, cancelling the monitor's wait in progress so that the
    // GUI thread does not sit out the rest of a 500 ms wait.
    void lockPollCancellingWait();
    // Sleeps one idle step; stop() cuts it short.
    void idleSleep();
    // Drops the monitor's context after a failed wait: pcscd may have gone,
    // and then the context stays dead even once the service is back.
    void dropWaitContext();
    void reportFailure();
    // One wait of the loop and its report; pollLock held.
    void watchOnce();

    // Counts selections and pauses, so that a selection can tell that the
    // user released (or selected again) while it processed events.
    std::atomic<quint64> requests{0};
    std::atomic<bool> running{true};
    std::atomic<bool> paused{true};
    quint32 oldStatus = 0;
    quint32 newStatus = 0;
    quint32 eventState = 0;
    const quint32 stateMask = 0x30;
    SCARDCONTEXT context = 0;
    QString readerName;
    QMutex pollLock;
    QMutex runLock;
    // The monitor's own context for its waits; 0 until first needed, and
    // dropped after a failure so that a restarted service is reached again.
    // Atomic: stop() and pause() read it from the GUI thread to cancel a wait.
    std::atomic<SCARDCONTEXT> waitContext{0};
    QMutex sleepLock;
    QWaitCondition sleepWake;
};
