// The card layer's failure paths that the real service cannot be made to
// take: failing releases and transaction ends, failures while an error is
// already on its way out, and the order of the PC/SC calls.

#include "card/cardhandle.h"
#include "card/pcsc.h"
#include "fake/fakepcsc.h"
#include "support/testkit.h"

#include <QApplication>
#include <QtTest>

using namespace testkit;

namespace {

const QByteArray selectIcc = QByteArray::fromHex("00A4020C020002");

} // namespace

class TestCardLayerFake : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listWalksTheMultiStringAndFreesIt();
    void listStopsAtAnEmptyFirstName();
    void listFailureGivesEmptyListWithoutDebugLine();
    void freeMemoryFailureKeepsTheListAndWritesItsLine();

    void connectFallsBackToT0OnlyOnProtocolMismatch();
    void connectFailureAfterFallbackReportsTheLastResult();
    void connectFailureMakesNoSecondAttemptAndNoTrace();

    void waitTimeoutAndCancelLeaveTheRecordsState();
    void waitFailureRaisesWithItsLine();

    void operationEndsTransactionBeforeResettingDisconnect();
    void failedBeginEndsNoTransaction();
    void endFailureOnTheNormalWayReachesTheCaller();
    void endFailureWhileUnwindingKeepsTheFirstError();
    void disconnectFailureWhileUnwindingKeepsTheFirstError();
    void closeReportsDisconnectFailureOnce();

    void anotherProgramOnTheCardIsWaitedFor_data();
    void anotherProgramOnTheCardIsWaitedFor();
    void busyCardIsGivenUpAfterTheBoundedWait();
    void removedCardEndsTheWaitAtOnce();
    void resetAfterACommandReachedTheCardIsNotRetried();

    void transmitLeavesTheCursorAloneAndUsesTheProtocolsPci();
    void transmitFailureLeavesOnlyTheCommandLine();
    void answerLongerThanTheBufferIsAPcscFailure();

private:
    TraceLog m_log;
    QtMessageHandler m_previous = nullptr;
};

void TestCardLayerFake::init()
{
    FakePcsc::reset();
    m_log.lines.clear();
    debugLines.clear();
    m_previous = qInstallMessageHandler(collectDebug);
}

void TestCardLayerFake::cleanup()
{
    qInstallMessageHandler(m_previous);
}

void TestCardLayerFake::listWalksTheMultiStringAndFreesIt()
{
    QCOMPARE(listReaders(1), (QStringList{"Reader A", "Reader B"}));
    QCOMPARE(FakePcsc::calls(), (QStringList{"SCardListReaders", "SCardFreeMemory"}));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayerFake::listStopsAtAnEmptyFirstName()
{
    FakePcsc::script().readers = QByteArray("\0\0", 2);
    QCOMPARE(listReaders(1), QStringList());
    QCOMPARE(FakePcsc::calls().last(), QString("SCardFreeMemory"));
}

void TestCardLayerFake::listFailureGivesEmptyListWithoutDebugLine()
{
    FakePcsc::script().listReaders = SCARD_E_NO_READERS_AVAILABLE;
    LONG result = 0;
    QCOMPARE(listReaders(1, &result), QStringList());
    QCOMPARE(result, LONG(SCARD_E_NO_READERS_AVAILABLE));
    QCOMPARE(debugLines, QStringList());
    QVERIFY(!FakePcsc::calls().contains("SCardFreeMemory"));
}

void TestCardLayerFake::freeMemoryFailureKeepsTheListAndWritesItsLine()
{
    FakePcsc::script().freeMemory = SCARD_E_INVALID_HANDLE;
    QStringList names;
    try {
        names = listReaders(1);
    } catch (...) {
        QFAIL("a failed release of the buffer raised");
    }
    QCOMPARE(names, (QStringList{"Reader A", "Reader B"}));
    QCOMPARE(debugLines, QStringList{"Failed SCardFreeMemory: -2146435069"});
}

void TestCardLayerFake::connectFallsBackToT0OnlyOnProtocolMismatch()
{
    FakePcsc::script().connect = {LONG(SCARD_E_PROTO_MISMATCH)};
    CARD_HANDLE handle(&m_log, 1, "Reader A");
    QCOMPARE(handle.protocol(), int(ProtocolT0));
    QCOMPARE(FakePcsc::calls(), (QStringList{"SCardConnect T1 2 Reader A", "SCardConnect T0 2 Reader A"}));
    QCOMPARE(m_log.lines, QStringList{"Протокол: SCARD_PROTOCOL_T0"});
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayerFake::connectFailureAfterFallbackReportsTheLastResult()
{
    FakePcsc::script().connect = {LONG(SCARD_E_PROTO_MISMATCH), LONG(SCARD_W_UNRESPONSIVE_CARD)};
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_UNRESPONSIVE_CARD));
    QCOMPARE(debugLines, QStringList{failureLine("SCardConnect", SCARD_W_UNRESPONSIVE_CARD)});
    QCOMPARE(m_log.lines, QStringList());
}

void TestCardLayerFake::connectFailureMakesNoSecondAttemptAndNoTrace()
{
    FakePcsc::script().connect = {LONG(SCARD_E_NO_SMARTCARD)};
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_NO_SMARTCARD));
    QCOMPARE(FakePcsc::calls(), QStringList{"SCardConnect T1 2 Reader A"});
    QCOMPARE(m_log.lines, QStringList());
    QCOMPARE(debugLines, QStringList{"Failed SCardConnect: -2146435060"});
}

void TestCardLayerFake::waitTimeoutAndCancelLeaveTheRecordsState()
{
    FakePcsc::script().getStatusChange = SCARD_E_TIMEOUT;
    FakePcsc::script().writeEventState = false;
    QCOMPARE(waitStatusChange(1, "Reader A", SCARD_STATE_EMPTY, 0x4321), quint32(0x4321));
    QCOMPARE(FakePcsc::calls(), QStringList{"SCardGetStatusChange 500 1"});
    FakePcsc::script().writeEventState = true;
    FakePcsc::script().eventState = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
    QCOMPARE(waitStatusChange(1, "Reader A", SCARD_STATE_EMPTY, 0x4321),
             quint32(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
    // A cancel asked for with cancelWait ends the wait the same way.
    FakePcsc::script().getStatusChange = SCARD_E_CANCELLED;
    FakePcsc::script().writeEventState = false;
    QCOMPARE(waitStatusChange(1, "Reader A", SCARD_STATE_EMPTY, 0x4321), quint32(0x4321));
    QCOMPARE(debugLines, QStringList());
}

void TestCardLayerFake::waitFailureRaisesWithItsLine()
{
    FakePcsc::script().getStatusChange = SCARD_E_NO_SERVICE;
    LONG error = 0;
    try {
        waitStatusChange(1, "Reader A", 0, 0);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_NO_SERVICE));
    QCOMPARE(debugLines, QStringList{failureLine("SCardGetStatusChange", SCARD_E_NO_SERVICE)});
}

void TestCardLayerFake::operationEndsTransactionBeforeResettingDisconnect()
{
    {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(selectIcc);
    }
    QCOMPARE(FakePcsc::calls(),
             (QStringList{"SCardConnect T1 2 Reader A", "SCardBeginTransaction", "SCardTransmit T1 00A4020C020002",
                          "SCardEndTransaction 0", "SCardDisconnect 1"}));
}

void TestCardLayerFake::failedBeginEndsNoTransaction()
{
    FakePcsc::script().begin = SCARD_W_REMOVED_CARD;
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        QFAIL("begin failure raised nothing");
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_REMOVED_CARD));
    QCOMPARE(FakePcsc::calls(),
             (QStringList{"SCardConnect T1 2 Reader A", "SCardBeginTransaction", "SCardDisconnect 1"}));
}

void TestCardLayerFake::endFailureOnTheNormalWayReachesTheCaller()
{
    FakePcsc::script().end = SCARD_W_RESET_CARD;
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(selectIcc);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_RESET_CARD));
    QCOMPARE(debugLines, QStringList{failureLine("SCardEndTransaction", SCARD_W_RESET_CARD)});
    // The handle still disconnects after the failed end.
    QCOMPARE(FakePcsc::calls().last(), QString("SCardDisconnect 1"));
}

void TestCardLayerFake::endFailureWhileUnwindingKeepsTheFirstError()
{
    FakePcsc::script().end = SCARD_E_NO_SERVICE;
    FakePcsc::script().responses = {QByteArray::fromHex("6A82")};
    int statusWord = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(selectIcc);
    } catch (const _std_card_error& e) {
        statusWord = e.statusWord;
    } catch (PcscError) {
        QFAIL("the end's failure replaced the card's error");
    }
    // Still running (no std::terminate), and the card's error arrived.
    QCOMPARE(statusWord, 0x6A82);
    QCOMPARE(debugLines, QStringList{failureLine("SCardEndTransaction", SCARD_E_NO_SERVICE)});
    QCOMPARE(FakePcsc::calls().mid(3), (QStringList{"SCardEndTransaction 0", "SCardDisconnect 1"}));
}

void TestCardLayerFake::disconnectFailureWhileUnwindingKeepsTheFirstError()
{
    FakePcsc::script().end = SCARD_E_NO_SERVICE;
    FakePcsc::script().disconnect = SCARD_E_NO_SERVICE;
    FakePcsc::script().transmit = SCARD_E_NOT_TRANSACTED;
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(selectIcc);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_NOT_TRANSACTED));
    QCOMPARE(debugLines, (QStringList{failureLine("SCardTransmit", SCARD_E_NOT_TRANSACTED),
                                      failureLine("SCardEndTransaction", SCARD_E_NO_SERVICE),
                                      failureLine("SCardDisconnect", SCARD_E_NO_SERVICE)}));
}

void TestCardLayerFake::closeReportsDisconnectFailureOnce()
{
    FakePcsc::script().disconnect = SCARD_E_INVALID_HANDLE;
    LONG error = 0;
    {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        try {
            handle.close();
        } catch (PcscError e) {
            error = e;
        }
    }
    QCOMPARE(error, LONG(SCARD_E_INVALID_HANDLE));
    QCOMPARE(FakePcsc::calls().count("SCardDisconnect 1"), 1);
}

void TestCardLayerFake::anotherProgramOnTheCardIsWaitedFor_data()
{
    QTest::addColumn<QList<LONG>>("connects");
    QTest::addColumn<QList<LONG>>("begins");
    QTest::addColumn<QList<LONG>>("transmits");
    QTest::addColumn<QStringList>("calls");
    const QString connect = "SCardConnect T1 2 Reader A";
    const QString begin = "SCardBeginTransaction";
    const QString rest = "SCardTransmit T1 00A4020C020002";
    const QString reconnect = "SCardReconnect T1 2 0";
    const LONG busy = SCARD_E_SHARING_VIOLATION;
    QTest::newRow("held exclusively at connect") << QList<LONG>{busy, busy} << QList<LONG>{} << QList<LONG>{}
                                                 << QStringList{connect, connect, connect, begin, rest};
    QTest::newRow("transaction of another program")
        << QList<LONG>{} << QList<LONG>{busy} << QList<LONG>{} << QStringList{connect, begin, begin, rest};
    // Reset by another program between the connect and the transaction: the
    // handle is reconnected, the card left as it is (the reset is done).
    QTest::newRow("reset by another program") << QList<LONG>{} << QList<LONG>{LONG(SCARD_W_RESET_CARD)} << QList<LONG>{}
                                              << QStringList{connect, begin, reconnect, begin, rest};
    // Connected while another program's reset was under way: pcsc-lite
    // refuses the first command, unsent, for the protocol the reader lost.
    QTest::newRow("reset under the new connection")
        << QList<LONG>{} << QList<LONG>{} << QList<LONG>{LONG(SCARD_E_PROTO_MISMATCH), LONG(SCARD_E_PROTO_MISMATCH)}
        << QStringList{connect, begin, rest, reconnect, rest, reconnect, rest, "SCardEndTransaction 0"};
    QTest::newRow("reset seen by the first command")
        << QList<LONG>{} << QList<LONG>{} << QList<LONG>{LONG(SCARD_W_RESET_CARD)}
        << QStringList{connect, begin, rest, reconnect, rest, "SCardEndTransaction 0"};
}

void TestCardLayerFake::anotherProgramOnTheCardIsWaitedFor()
{
    QFETCH(QList<LONG>, connects);
    QFETCH(QList<LONG>, begins);
    QFETCH(QList<LONG>, transmits);
    QFETCH(QStringList, calls);
    FakePcsc::script().connect = connects;
    FakePcsc::script().beginAttempts = begins;
    FakePcsc::script().transmitAttempts = transmits;
    {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(selectIcc);
    }
    QCOMPARE(FakePcsc::calls().mid(0, calls.size()), calls);
    // The user's log reads as if nobody had been in the way.
    QCOMPARE(m_log.lines,
             (QStringList{"Протокол: SCARD_PROTOCOL_T1", "Команда:    00 A4 02 0C 02 00 02 ", "Результат: 90 00 "}));
    for (const QString& line : debugLines)
        QVERIFY2(!line.startsWith("Failed"), qPrintable(line));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestCardLayerFake::busyCardIsGivenUpAfterTheBoundedWait()
{
    FakePcsc::script().connect = QList<LONG>(10000, LONG(SCARD_E_SHARING_VIOLATION));
    QElapsedTimer timer;
    timer.start();
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
    } catch (PcscError e) {
        error = e;
    }
    const qint64 waited = timer.elapsed();
    QCOMPARE(error, LONG(SCARD_E_SHARING_VIOLATION));
    QVERIFY2(waited >= CardBusyWait::budgetMs && waited < 3 * CardBusyWait::budgetMs,
             qPrintable(QString::number(waited)));
    // Short steps that grow, not a busy loop.
    const int attempts = int(FakePcsc::calls().size());
    QVERIFY2(attempts > 10 && attempts < 40, qPrintable(QString::number(attempts)));
    QCOMPARE(debugLines.last(), failureLine("SCardConnect", SCARD_E_SHARING_VIOLATION));
    QCOMPARE(m_log.lines, QStringList());
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestCardLayerFake::removedCardEndsTheWaitAtOnce()
{
    FakePcsc::script().beginAttempts = {LONG(SCARD_E_SHARING_VIOLATION), LONG(SCARD_W_REMOVED_CARD)};
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_REMOVED_CARD));
    QCOMPARE(FakePcsc::calls(), (QStringList{"SCardConnect T1 2 Reader A", "SCardBeginTransaction",
                                             "SCardBeginTransaction", "SCardDisconnect 1"}));

    // A reconnect that finds the card gone ends it as well.
    FakePcsc::reset();
    FakePcsc::script().beginAttempts = {LONG(SCARD_W_RESET_CARD)};
    FakePcsc::script().reconnect = SCARD_W_REMOVED_CARD;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_REMOVED_CARD));
    QCOMPARE(debugLines.last(), failureLine("SCardReconnect", SCARD_W_REMOVED_CARD));
}

void TestCardLayerFake::resetAfterACommandReachedTheCardIsNotRetried()
{
    FakePcsc::script().transmit = SCARD_W_RESET_CARD;
    LONG error = 0;
    try {
        CARD_HANDLE handle(&m_log, 1, "Reader A");
        CARD_TRANSACTION transaction(&handle);
        handle.transmit(QByteArray::fromHex("0020000008313233FFFFFFFFFF"), TraceMode::Secret);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_W_RESET_CARD));
    QCOMPARE(FakePcsc::calls().filter("SCardTransmit").size(), 1);
    QCOMPARE(FakePcsc::calls().filter("SCardReconnect").size(), 0);

    // Nor a command after the first: the first one reached the card.
    for (const LONG later : {LONG(SCARD_E_PROTO_MISMATCH), LONG(SCARD_W_RESET_CARD)}) {
        FakePcsc::reset();
        FakePcsc::script().transmitAttempts = {SCARD_S_SUCCESS, later};
        error = 0;
        try {
            CARD_HANDLE handle(&m_log, 1, "Reader A");
            CARD_TRANSACTION transaction(&handle);
            handle.transmit(selectIcc);
            handle.transmit(QByteArray::fromHex("00B0000019"));
        } catch (PcscError e) {
            error = e;
        }
        QCOMPARE(error, later);
        QCOMPARE(FakePcsc::calls().filter("SCardTransmit").size(), 2);
        QCOMPARE(FakePcsc::calls().filter("SCardReconnect").size(), 0);
    }
}

void TestCardLayerFake::transmitLeavesTheCursorAloneAndUsesTheProtocolsPci()
{
    FakePcsc::script().duringTransmit = [] {
        const QCursor* cursor = QApplication::overrideCursor();
        return QString(cursor && cursor->shape() == Qt::WaitCursor ? "wait" : "none");
    };
    FakePcsc::script().connect = {LONG(SCARD_E_PROTO_MISMATCH)};
    CARD_HANDLE handle(&m_log, 1, "Reader A");
    QCOMPARE(handle.transmit(selectIcc), QByteArray::fromHex("9000"));
    // The card layer runs on the card thread, which may not touch the
    // cursor: the window shows the wait cursor for the whole operation.
    QCOMPARE(FakePcsc::calls().last(), QString("SCardTransmit T0 00A4020C020002 none"));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestCardLayerFake::transmitFailureLeavesOnlyTheCommandLine()
{
    FakePcsc::script().transmit = SCARD_E_COMM_DATA_LOST;
    CARD_HANDLE handle(&m_log, 1, "Reader A");
    m_log.lines.clear();
    LONG error = 0;
    try {
        handle.transmit(selectIcc);
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_COMM_DATA_LOST));
    QCOMPARE(m_log.lines, QStringList{"Команда:    00 A4 02 0C 02 00 02 "});
    QCOMPARE(debugLines, QStringList{failureLine("SCardTransmit", SCARD_E_COMM_DATA_LOST)});
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestCardLayerFake::answerLongerThanTheBufferIsAPcscFailure()
{
    FakePcsc::script().responses = {QByteArray(1025, '\x01')};
    CARD_HANDLE handle(&m_log, 1, "Reader A");
    LONG error = 0;
    try {
        handle.transmit(QByteArray::fromHex("00B0000000"));
    } catch (PcscError e) {
        error = e;
    }
    QCOMPARE(error, LONG(SCARD_E_INSUFFICIENT_BUFFER));
    FakePcsc::script().responses = {QByteArray(1022, '\x01') + QByteArray::fromHex("9000")};
    QCOMPARE(handle.transmit(QByteArray::fromHex("00B0000000")).size(), 1024);
}

QTEST_MAIN(TestCardLayerFake)
#include "test_cardlayer_fake.moc"
