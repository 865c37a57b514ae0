// The card layer against the real pcscd and the simulated card: connecting
// with either protocol, the reader list, the wait, an exchange failing under
// PC/SC, and how a card operation's scope leaves the card.

#include "card/cardhandle.h"
#include "card/pcsc.h"
#include "support/bench.h"
#include "support/testkit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest>

using namespace testkit;

namespace {

// Card events after the last command: what the disconnect did to the card.
QStringList eventsAfterCommands(SimCard* sim)
{
    QStringList events = sim->events();
    events.removeAll("atr");
    return events;
}

} // namespace

class TestCardLayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void t1CardConnectsWithT1AndTracesIt();
    void t0OnlyCardConnectsOnTheSecondAttempt();
    void emptyReaderFailsWithoutTraceAndOneDebugLine();
    void readersAreListedInTheServiceOrder();
    void waitWithoutChangeReturnsAfterItsTimeout();
    void waitSeesTheCardGo();
    void transmitFailureLeavesCommandLineOnlyAndRestoresCursor();
    void normalWayOutEndsTransactionThenResetsCard();
    void errorWayOutEndsTransactionThenResetsCard();
    void serviceWithoutReadersGivesEmptyListSilently();

private:
    PcscBench m_bench;
    SimCard* m_t1 = nullptr;
    SimCard* m_t0 = nullptr;
    SCARDCONTEXT m_context = 0;
    TraceLog m_log;
    QtMessageHandler m_previousHandler = nullptr;

    // True when another context can take the card for itself: nobody holds
    // a transaction or a connection on it.
    bool cardIsFree(int reader);
};

void TestCardLayer::initTestCase()
{
    m_bench.setEntryCount(2);
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
    m_t1 = new SimCard(&m_bench, 0);
    QVERIFY2(m_t1->start({}), qPrintable(m_t1->errorString()));
    SimCard::Profile t0;
    t0.t0 = true;
    m_t0 = new SimCard(&m_bench, 1);
    QVERIFY2(m_t0->start(t0), qPrintable(m_t0->errorString()));
    m_context = establishContext();
}

void TestCardLayer::init()
{
    m_log.lines.clear();
    debugLines.clear();
    m_previousHandler = qInstallMessageHandler(collectDebug);
}

void TestCardLayer::cleanup()
{
    qInstallMessageHandler(m_previousHandler);
}

void TestCardLayer::cleanupTestCase()
{
    delete m_t1;
    delete m_t0;
    try {
        releaseContext(m_context);
    } catch (PcscError) {
        // dead after the restart of the last test
    }
}

bool TestCardLayer::cardIsFree(int reader)
{
    SCARDCONTEXT other = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other);
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const LONG rv = SCardConnect(other, m_bench.readerName(reader).toUtf8().constData(), SCARD_SHARE_EXCLUSIVE,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
    if (rv == SCARD_S_SUCCESS)
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(other);
    return rv == SCARD_S_SUCCESS;
}

void TestCardLayer::t1CardConnectsWithT1AndTracesIt()
{
    CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(0));
    QCOMPARE(handle.protocol(), int(ProtocolT1));
    QVERIFY(handle.cardHandle() != 0);
    QCOMPARE(m_log.lines, QStringList{"Протокол: SCARD_PROTOCOL_T1"});
    QCOMPARE(handle.transmit(QByteArray::fromHex("00A4020C020002")), QByteArray::fromHex("9000"));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayer::t0OnlyCardConnectsOnTheSecondAttempt()
{
    CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(1));
    QCOMPARE(handle.protocol(), int(ProtocolT0));
    QCOMPARE(m_log.lines, QStringList{"Протокол: SCARD_PROTOCOL_T0"});
    // The mismatch of the first attempt is no failure: no debug line.
    QCOMPARE(debugLines, QStringList());
    // Exchanges go with T=0's protocol control information.
    QCOMPARE(handle.transmit(QByteArray::fromHex("00CA004512")).right(2), QByteArray::fromHex("9000"));
}

void TestCardLayer::emptyReaderFailsWithoutTraceAndOneDebugLine()
{
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(2));
        QFAIL("connected to an empty reader");
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_NO_SMARTCARD));
    QCOMPARE(m_log.lines, QStringList());
    QCOMPARE(debugLines, QStringList{failureLine("SCardConnect", error)});
    QVERIFY(debugLines.first().startsWith("Failed SCardConnect: -"));
}

void TestCardLayer::readersAreListedInTheServiceOrder()
{
    QCOMPARE(listReaders(m_context),
             (QStringList{"Virtual PCD 00 00", "Virtual PCD 00 01", "Virtual PCD 1 00 00", "Virtual PCD 1 00 01"}));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayer::waitWithoutChangeReturnsAfterItsTimeout()
{
    const QString reader = m_bench.readerName(0);
    const quint32 known = waitStatusChange(m_context, reader, SCARD_STATE_UNAWARE, 0) & 0xFFFF & ~SCARD_STATE_CHANGED;
    QVERIFY(known & SCARD_STATE_PRESENT);
    QElapsedTimer timer;
    timer.start();
    const quint32 after = waitStatusChange(m_context, reader, known, 0x12340000);
    // The layer's own 500 ms; only the lower bound is firm.
    QVERIFY2(timer.elapsed() >= 450, qPrintable(QString::number(timer.elapsed())));
    // pcsc-lite writes the unchanged state back rather than leaving the
    // initial value: either way, no change is reported.
    QVERIFY2(after == 0x12340000 || (after & 0xFFFF) == known, qPrintable(QString::number(after, 16)));
    QVERIFY(!(after & SCARD_STATE_CHANGED));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayer::waitSeesTheCardGo()
{
    const QString reader = m_bench.readerName(0);
    quint32 state = waitStatusChange(m_context, reader, SCARD_STATE_UNAWARE, 0);
    QVERIFY(state & SCARD_STATE_PRESENT);
    QVERIFY(m_t1->remove());
    // A wait is 500 ms; pcscd has already seen the removal, so the first
    // wait that starts from the old state reports it.
    state = waitStatusChange(m_context, reader, state, 0);
    QVERIFY(state & SCARD_STATE_EMPTY);
    QVERIFY(state & SCARD_STATE_CHANGED);
    QVERIFY(m_t1->insert());
}

void TestCardLayer::transmitFailureLeavesCommandLineOnlyAndRestoresCursor()
{
    // A card that goes away after its first answer.
    SimCard flaky(&m_bench, 3);
    SimCard::Profile p;
    p.removeAfter = 1;
    QVERIFY2(flaky.start(p), qPrintable(flaky.errorString()));
    CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(3));
    QCOMPARE(handle.transmit(QByteArray::fromHex("00A4020C020002")), QByteArray::fromHex("9000"));
    QVERIFY(m_bench.waitCardPresent(3, false));
    m_log.lines.clear();
    LONG error = 0;
    try {
        handle.transmit(QByteArray::fromHex("00B0000019"));
        QFAIL("transmit to a removed card succeeded");
    } catch (PcscError e) {
        error = e;
    }
    QVERIFY(error != SCARD_S_SUCCESS);
    QCOMPARE(m_log.lines, QStringList{"Команда:    00 B0 00 00 19 "});
    QCOMPARE(debugLines, QStringList{failureLine("SCardTransmit", error)});
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestCardLayer::normalWayOutEndsTransactionThenResetsCard()
{
    m_t1->clearLog();
    {
        CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(0));
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(QByteArray::fromHex("00CA004512"));
    }
    QVERIFY(cardIsFree(0));
    QTRY_VERIFY_WITH_TIMEOUT(eventsAfterCommands(m_t1).contains("reset"), 3000);
    QCOMPARE(m_t1->commands().size(), 1);
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayer::errorWayOutEndsTransactionThenResetsCard()
{
    m_t1->clearLog();
    bool caught = false;
    try {
        CARD_HANDLE handle(&m_log, m_context, m_bench.readerName(0));
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(QByteArray::fromHex("00A4020C021234")); // no such file
        QFAIL("6A 82 raised nothing");
    } catch (const _std_card_error& e) {
        caught = e.statusWord == 0x6A82;
    }
    QVERIFY(caught);
    QVERIFY(cardIsFree(0));
    QTRY_VERIFY_WITH_TIMEOUT(eventsAfterCommands(m_t1).contains("reset"), 3000);
    QCOMPARE(m_log.lines.last(), QString("Описание:  «Checking error: File not found»"));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayer::serviceWithoutReadersGivesEmptyListSilently()
{
    m_bench.setEntryCount(0);
    QVERIFY2(m_bench.restart(), qPrintable(m_bench.errorString()));
    SCARDCONTEXT fresh = establishContext();
    debugLines.clear();
    QCOMPARE(listReaders(fresh), QStringList());
    QCOMPARE(debugLines, QStringList());
    releaseContext(fresh);
}

QTEST_MAIN(TestCardLayer)
#include "test_cardlayer.moc"
