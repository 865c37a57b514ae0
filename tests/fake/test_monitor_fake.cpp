// The reader monitor's selection against the link-level PC/SC fake: states
// that the real service does not produce on demand. The monitor's own thread
// stays idle here (the fake is not thread-safe): selectReader runs in the
// test's thread, as it runs in the window's.

#include "fake/fakepcsc.h"
#include "monitor/monitorthread.h"
#include "support/testkit.h"
#include "support/zentavo_access.h"

#include <QtTest>

using namespace testkit;

namespace {

const QString wait500 = QStringLiteral("SCardGetStatusChange 500 1");

} // namespace

class TestMonitorFake : public QObject
{
    Q_OBJECT

private slots:
    void init() { FakePcsc::reset(); }

    void idleLoopMakesNoCall()
    {
        MonitorThread monitor;
        monitor.start();
        QTest::qWait(1200); // observation window: several idle steps
        monitor.stop();
        QVERIFY(monitor.isFinished());
        QVERIFY2(FakePcsc::calls().isEmpty(), qPrintable(FakePcsc::calls().join(", ")));
    }

    void selectionWaitsOnceOnAContextOfItsOwn()
    {
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(SCARDCONTEXT(0x5151), QStringLiteral("Reader A"));
        QCOMPARE(FakePcsc::calls(), (QStringList{QStringLiteral("SCardEstablishContext"), wait500}));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});
        QVERIFY(!MonitorTestAccess::paused(monitor));

        // A second selection reuses the monitor's context.
        monitor.pause();
        FakePcsc::calls().clear();
        monitor.selectReader(SCARDCONTEXT(0x5151), QStringLiteral("Reader A"));
        QCOMPARE(FakePcsc::calls(), QStringList{wait500});
        QCOMPARE(rec.statuses, (QList<ulong>{0x20, 0x20}));
    }

    void unreportedStateReadsAsNoCard_data()
    {
        QTest::addColumn<LONG>("result");
        QTest::newRow("time-out") << LONG(SCARD_E_TIMEOUT);
        QTest::newRow("success without a state") << LONG(SCARD_S_SUCCESS);
    }

    void unreportedStateReadsAsNoCard()
    {
        QFETCH(LONG, result);
        FakePcsc::script().getStatusChange = result;
        FakePcsc::script().writeEventState = false;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        // The preset SCARD_STATE_UNKNOWN carries neither reported bit.
        QCOMPARE(rec.statuses, QList<ulong>{0});
        QCOMPARE(MonitorTestAccess::eventState(monitor), quint32(SCARD_STATE_UNKNOWN));
        QCOMPARE(rec.errors, 0);
    }

    void onlyTheEmptyAndPresentBitsAreReported_data()
    {
        QTest::addColumn<quint32>("eventState");
        QTest::addColumn<ulong>("reported");
        QTest::newRow("present, changed, counter")
            << quint32(0x00070000 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED) << ulong(0x20);
        QTest::newRow("present, in use") << quint32(SCARD_STATE_PRESENT | SCARD_STATE_INUSE) << ulong(0x20);
        QTest::newRow("empty, changed") << quint32(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED) << ulong(0x10);
        QTest::newRow("unavailable") << quint32(SCARD_STATE_UNAVAILABLE | SCARD_STATE_CHANGED) << ulong(0);
    }

    void onlyTheEmptyAndPresentBitsAreReported()
    {
        QFETCH(quint32, eventState);
        QFETCH(ulong, reported);
        FakePcsc::script().eventState = eventState;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(rec.statuses, QList<ulong>{reported});
        // Every bit is kept as the current state of the next wait.
        QCOMPARE(MonitorTestAccess::eventState(monitor), eventState);
    }

    // Windows reports a reader unplugged while others stay as a successful
    // wait with an unknown, changed and ignored reader.
    void vanishedReaderEndsTheWatch()
    {
        const DWORD gone = 0x00050000 | SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED | SCARD_STATE_IGNORE;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});

        FakePcsc::script().eventState = gone;
        MonitorTestAccess::watchOnce(monitor);
        QCoreApplication::processEvents();
        QCOMPARE(rec.errors, 1);
        QVERIFY(MonitorTestAccess::paused(monitor));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});

        // A selection of a reader the service no longer knows fails too.
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(rec.errors, 2);
        QVERIFY(MonitorTestAccess::paused(monitor));
    }

    void changedAndIgnoreBitsAreNotFedBack()
    {
        FakePcsc::script().eventState = 0x00030000 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED | SCARD_STATE_INUSE;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        MonitorTestAccess::watchOnce(monitor);
        QCOMPARE(FakePcsc::lastCurrentState(), DWORD(0x00030000 | SCARD_STATE_PRESENT | SCARD_STATE_INUSE));
        FakePcsc::script().eventState = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED | SCARD_STATE_IGNORE;
        MonitorTestAccess::watchOnce(monitor);
        MonitorTestAccess::watchOnce(monitor);
        QCOMPARE(FakePcsc::lastCurrentState(), DWORD(SCARD_STATE_EMPTY));
        QCoreApplication::processEvents();
        QCOMPARE(rec.statuses, (QList<ulong>{0x20, 0x10}));
        QCOMPARE(rec.errors, 0);
    }

    void failingContextFailsTheSelection()
    {
        FakePcsc::script().establish = SCARD_E_NO_SERVICE;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(FakePcsc::calls(), QStringList{QStringLiteral("SCardEstablishContext")});
        QCOMPARE(rec.errors, 1);
        QVERIFY(rec.statuses.isEmpty());
        QVERIFY(MonitorTestAccess::paused(monitor));
    }

    void failingWaitDropsTheContextAndTheNextSelectionMakesANewOne()
    {
        FakePcsc::script().getStatusChange = SCARD_F_COMM_ERROR;
        MonitorThread monitor;
        Recorder rec(monitor);
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(FakePcsc::calls(), (QStringList{QStringLiteral("SCardEstablishContext"), wait500,
                                                 QStringLiteral("SCardReleaseContext")}));
        QCOMPARE(rec.errors, 1);
        QVERIFY(rec.statuses.isEmpty());
        QVERIFY(MonitorTestAccess::paused(monitor));
        QCOMPARE(MonitorTestAccess::waitContext(monitor), SCARDCONTEXT(0));

        FakePcsc::script().getStatusChange = SCARD_S_SUCCESS;
        FakePcsc::calls().clear();
        monitor.selectReader(0, QStringLiteral("Reader A"));
        QCOMPARE(FakePcsc::calls(), (QStringList{QStringLiteral("SCardEstablishContext"), wait500}));
        QCOMPARE(rec.statuses, QList<ulong>{0x20});
        QCOMPARE(rec.errors, 1);
    }
};

QTEST_GUILESS_MAIN(TestMonitorFake)
#include "test_monitor_fake.moc"
