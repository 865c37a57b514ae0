// The reader monitor against a private pcscd with a simulated card.

#include "card/pcsc.h"
#include "monitor/monitorthread.h"
#include "support/bench.h"
#include "support/testkit.h"
#include "support/zentavo_access.h"

#include <QElapsedTimer>
#include <QList>
#include <QtTest>

#include <ctime>

using namespace testkit;

namespace {

// An observation window in which nothing is expected to happen.
void observeQuietly(int ms)
{
    QTest::qWait(ms);
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1.0e6;
}

const QByteArray selectTachograph = QByteArray::fromHex("00A4040C06FF544143484F");

} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

private:
    PcscBench bench;
    SCARDCONTEXT windowContext = 0;

    QString reader(int i) const { return bench.readerName(i); }

private slots:
    void initTestCase()
    {
        QVERIFY2(bench.start(), qPrintable(bench.errorString()));
        windowContext = establishContext();
    }

    void cleanupTestCase()
    {
        if (windowContext)
            SCardReleaseContext(windowContext);
    }

    void makesNoPcscCallAndNoSignalBeforeSelection()
    {
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        observeQuietly(1200);
        QVERIFY(monitor.isRunning());
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));
        QVERIFY(MonitorTestAccess::paused(monitor));
        QVERIFY(rec.statuses.isEmpty());
        QCOMPARE(rec.errors, 0);
    }

    void selectionReportsOnceEachTimeEvenWhenUnchanged()
    {
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();

        monitor.selectReader(windowContext, reader(0));
        // selectReader processes events after its first wait: the report is in.
        QCOMPARE(rec.statuses, QList<ulong>{0x10});
        QVERIFY(!MonitorTestAccess::paused(monitor));
        // The monitor waits on a context of its own, never the caller's.
        QVERIFY(MonitorTestAccess::waitContext(monitor) != 0);
        QVERIFY(MonitorTestAccess::waitContext(monitor) != windowContext);

        monitor.pause();
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.statuses, (QList<ulong>{0x10, 0x10}));
        QCOMPARE(rec.errors, 0);
    }

    // pcsc-lite refuses a name it does not list (SCARD_E_UNKNOWN_READER)
    // instead of leaving its state unreported: that is a failed selection.
    void unknownReaderFailsTheSelection()
    {
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, QStringLiteral("No Such Reader 99"));
        QCOMPARE(rec.errors, 1);
        QVERIFY(rec.statuses.isEmpty());
        QVERIFY(MonitorTestAccess::paused(monitor));
        observeQuietly(1200);
        QCOMPARE(rec.errors, 1);
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));
    }

    void insertionAndRemovalAreReportedOnceEach()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), false), qPrintable(card.errorString()));

        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.statuses, QList<ulong>{0x10});

        QVERIFY(card.insert());
        QTRY_COMPARE_WITH_TIMEOUT(rec.statuses, (QList<ulong>{0x10, 0x20}), 3000);
        // Several 500 ms time-outs with the card in: no further report.
        observeQuietly(1300);
        QCOMPARE(rec.statuses, (QList<ulong>{0x10, 0x20}));

        QVERIFY(card.remove());
        QTRY_COMPARE_WITH_TIMEOUT(rec.statuses, (QList<ulong>{0x10, 0x20, 0x10}), 3000);
        observeQuietly(1300);
        QCOMPARE(rec.statuses.size(), 3);
        QCOMPARE(rec.errors, 0);
    }

    void selectingAReaderWithACardReportsPresent()
    {
        SimCard card(&bench, 1);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, reader(1));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});
    }

    void pausedMonitorReportsNothing()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), false), qPrintable(card.errorString()));
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, reader(0));
        observeQuietly(100); // land inside a wait
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
        QElapsedTimer timer;
        timer.start();
        monitor.pause();
        // A wait in progress is cancelled instead of sat out.
        QVERIFY2(timer.elapsed() < 250, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(MonitorTestAccess::paused(monitor));
        observeQuietly(100);
        qInstallMessageHandler(previous);
        // The monitor's own cancel is no failure.
        QCOMPARE(debugLines, QStringList());

        QVERIFY(card.insert());
        observeQuietly(1200);
        QCOMPARE(rec.statuses, QList<ulong>{0x10});
        QCOMPARE(rec.errors, 0);
    }

    // A card operation on the window's context must not queue behind the
    // monitor's 500 ms waits (pcsc-lite locks a context for a whole wait).
    void cardCommandsDoNotWaitBehindTheMonitor()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});

        int protocol = ProtocolNone;
        const SCARDHANDLE handle = connectCard(windowContext, reader(0), &protocol);
        qint64 worst = 0;
        QElapsedTimer timer;
        for (int i = 0; i < 20; ++i) {
            timer.start();
            const QByteArray answer = transmitRaw(handle, selectTachograph, protocol);
            worst = qMax(worst, timer.elapsed());
            QCOMPARE(answer, QByteArray::fromHex("9000"));
        }
        disconnectCard(handle);
        QVERIFY2(worst < 250, qPrintable(QStringLiteral("slowest command took %1 ms").arg(worst)));
        QCOMPARE(rec.errors, 0);
    }

    void watchingAndIdlingDoNotSpin()
    {
        MonitorThread monitor;
        monitor.start();
        double before = processCpuMs();
        observeQuietly(1500);
        const double idle = processCpuMs() - before;

        monitor.selectReader(windowContext, reader(0));
        before = processCpuMs();
        observeQuietly(1500);
        const double watching = processCpuMs() - before;
        QVERIFY2(idle < 150, qPrintable(QString::number(idle)));
        QVERIFY2(watching < 150, qPrintable(QString::number(watching)));
    }

    void stopEndsTheLoopPromptly_data()
    {
        QTest::addColumn<bool>("watching");
        QTest::newRow("idle") << false;
        QTest::newRow("watching") << true;
    }

    void stopEndsTheLoopPromptly()
    {
        QFETCH(bool, watching);
        MonitorThread monitor;
        monitor.start();
        if (watching)
            monitor.selectReader(windowContext, reader(0));
        observeQuietly(100);
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
        QElapsedTimer timer;
        timer.start();
        monitor.stop();
        qInstallMessageHandler(previous);
        QCOMPARE(debugLines, QStringList());
        QVERIFY(monitor.isFinished());
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!MonitorTestAccess::running(monitor));
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));
    }

    // Runs last but one: it takes the service away and brings it back.
    void failingWaitReportsOnceThenIdlesUntilReselected()
    {
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.start();
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.statuses, QList<ulong>{0x10});

        bench.stop();
        QTRY_COMPARE_WITH_TIMEOUT(rec.errors, 1, 3000);
        QVERIFY(MonitorTestAccess::paused(monitor));
        // The dead context is dropped, and no further call is made.
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));
        observeQuietly(1200);
        QCOMPARE(rec.errors, 1);
        QCOMPARE(rec.statuses, QList<ulong>{0x10});
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));

        // Selecting while the service is down fails once more, at once.
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.errors, 2);
        QVERIFY(MonitorTestAccess::paused(monitor));

        // Back up: a new selection reaches the new service on a new context.
        QVERIFY2(bench.restart(), qPrintable(bench.errorString()));
        monitor.selectReader(windowContext, reader(0));
        QCOMPARE(rec.statuses, (QList<ulong>{0x10, 0x10}));
        QVERIFY(!MonitorTestAccess::paused(monitor));
        QCOMPARE(rec.errors, 2);
        SCardReleaseContext(windowContext);
        windowContext = establishContext();
    }
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "test_monitor.moc"
