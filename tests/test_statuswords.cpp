// How the card layer judges an answer and what it writes to the trace: every
// row of the status-word table, the unlisted and unjudged answers, the hex
// line and the masking of PIN blocks. Answers come from the simulated card's
// echo command, through the real pcscd.

#include "card/cardhandle.h"
#include "card/hexline.h"
#include "support/bench.h"

#include <QtTest>

namespace {

class TraceLog : public QObject
{
    Q_OBJECT
public:
    QStringList lines;
public slots:
    void handleTrace(QString s) { lines << s; }
};

struct Row
{
    int sw;
    const char* message;
};

// The table as the card's users know it, in its order.
const Row expectedTable[] = {
    {0x9000, "Process completed"},
    {0x6401, "Exec error: Command timeout"},
    {0x6100, "Process completed, more data available"},
    {0x6200, "Warning: NV-Ram not changed"},
    {0x6201, "Warning: NV-Ram not changed 1"},
    {0x6281, "Warning: Part of data corrupted"},
    {0x6282, "Warning: End of file reached"},
    {0x6283, "Warning: Invalidated file"},
    {0x6284, "Warning: Invalid file control"},
    {0x6300, "Warning: NV-Ram changed"},
    {0x63C0, "Warning: Warning with counter"},
    {0x63C1, "Warning: Verify fail, 1 try left"},
    {0x63C2, "Warning: Verify fail, 2 tries left"},
    {0x63C3, "Warning: Verify fail, 3 tries left"},
    {0x6400, "Exec error: NV-Ram not changed"},
    {0x6501, "Exec error: Memory failure"},
    {0x6581, "Exec error: Memory failure"},
    {0x6700, "Checking error: Wrong length"},
    {0x6800, "Checking error: Function in CLA byte not supported"},
    {0x6881, "Checking error: Logical channel not supported"},
    {0x6882, "Checking error: Secure Messaging not supported"},
    {0x6883, "Checking error: Last command of the chain expected"},
    {0x6884, "Checking error: Command chaining not supported"},
    {0x6900, "Checking error: Command not allowed"},
    {0x6981, "Checking error: Command incompatible with file structure"},
    {0x6982, "Checking error: Security condition not satisfied"},
    {0x6983, "Checking error: Authentication method locked"},
    {0x6984, "Checking error: Reference data not usable"},
    {0x6985, "Checking error: Condition of use not satisfied"},
    {0x6986, "Checking error: Command not allowed (no current EF)"},
    {0x6987, "Checking error: Expected secure messaging object missing"},
    {0x6988, "Checking error: Incorrect secure messaging data object"},
    {0x6A00, "Checking error: Wrong parameter P1-P2"},
    {0x6A80, "Checking error: Incorrect parameter in the command data field"},
    {0x6A81, "Checking error: Function not supported"},
    {0x6A82, "Checking error: File not found"},
    {0x6A83, "Checking error: Record not found"},
    {0x6A84, "Checking error: Not enough memory space in the file"},
    {0x6A85, "Checking error: Nc inconsistent with TLV structure"},
    {0x6A86, "Checking error: Incorrect P1-P2"},
    {0x6A87, "Checking error: Lc inconsistent with P1-P2"},
    {0x6A88, "Checking error: Reference data not found"},
    {0x6A89, "Checking error: File already exists"},
    {0x6A8A, "Checking error: DF name already exists"},
    {0x6B00, "Checking error: Wrong parameter P1-P2"},
    {0x6C00, "Checking error: Invalid Le"},
    {0x6D00, "Checking error: Wrong instruction"},
    {0x6E00, "Checking error: Class not supported"},
    {0x9804, "Access conditions not satisfied"},
    {0x9210, "No more storage available"},
    {0x6F00, "Checking error: No precise diagnosis"},
};

QByteArray swBytes(int sw)
{
    QByteArray b;
    b.append(char(sw >> 8)).append(char(sw & 0xFF));
    return b;
}

} // namespace

class TestStatusWords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void hexLineWritesTwoUpperDigitsAndABlankPerByte_data();
    void hexLineWritesTwoUpperDigitsAndABlankPerByte();
    void tableHoldsTheRowsInOrderAndEnds();
    void secretCommandsShowTheHeaderOnly_data();
    void secretCommandsShowTheHeaderOnly();

    void listedStatusWordRaisesCardErrorWithDescription_data();
    void listedStatusWordRaisesCardErrorWithDescription();
    void successStatusWordIsReturnedWithoutDescription();
    void unlistedStatusWordRaisesZeroWithoutDescription_data();
    void unlistedStatusWordRaisesZeroWithoutDescription();
    void answersOtherThanTwoBytesAreReturnedUnjudged_data();
    void answersOtherThanTwoBytesAreReturnedUnjudged();
    void secretCommandReachesTheCardWhole();

private:
    PcscBench m_bench;
    std::unique_ptr<SimCard> m_sim;
    SCARDCONTEXT m_context = 0;
    TraceLog m_log;
    std::unique_ptr<CARD_HANDLE> m_handle;

    // The lines that one transmit added to the trace.
    QStringList transmitLines(const QByteArray& command, TraceMode mode = TraceMode::Plain);
};

void TestStatusWords::initTestCase()
{
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
    m_sim.reset(new SimCard(&m_bench, 0));
    SimCard::Profile p;
    p.echo = true;
    QVERIFY2(m_sim->start(p), qPrintable(m_sim->errorString()));
    m_context = establishContext();
    m_handle.reset(new CARD_HANDLE(&m_log, m_context, m_bench.readerName(0)));
    QCOMPARE(m_log.lines, QStringList{"Протокол: SCARD_PROTOCOL_T1"});
}

void TestStatusWords::cleanupTestCase()
{
    m_handle.reset();
    if (m_context)
        releaseContext(m_context);
}

void TestStatusWords::init()
{
    m_log.lines.clear();
}

QStringList TestStatusWords::transmitLines(const QByteArray& command, TraceMode mode)
{
    const int before = m_log.lines.size();
    try {
        m_handle->transmit(command, mode);
    } catch (...) {
    }
    return m_log.lines.mid(before);
}

void TestStatusWords::hexLineWritesTwoUpperDigitsAndABlankPerByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("line");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("select") << QByteArray::fromHex("00A4020C") << QString("00 A4 02 0C ");
    QTest::newRow("line feed and FF") << QByteArray("\x0A\xFF", 2) << QString("0A FF ");
    QTest::newRow("high bytes unsigned") << QByteArray("\x80\x9B\xC2", 3) << QString("80 9B C2 ");
}

void TestStatusWords::hexLineWritesTwoUpperDigitsAndABlankPerByte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, line);
    QCOMPARE(hexByteLine(bytes), line);
    QCOMPARE(commandTraceBytes(bytes, TraceMode::Plain), line);
}

void TestStatusWords::tableHoldsTheRowsInOrderAndEnds()
{
    const int expected = int(sizeof expectedTable / sizeof expectedTable[0]);
    int i = 0;
    for (; statusWordTable[i].statusWord != 0; ++i) {
        QVERIFY2(i < expected, "more rows than expected");
        QCOMPARE(QString::number(statusWordTable[i].statusWord, 16), QString::number(expectedTable[i].sw, 16));
        QCOMPARE(QString::fromLatin1(statusWordTable[i].message), QString::fromLatin1(expectedTable[i].message));
    }
    QCOMPARE(i, expected);
    QCOMPARE(statusWordTable[i].message, nullptr);
}

void TestStatusWords::secretCommandsShowTheHeaderOnly_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("line");
    QTest::newRow("verify 4-digit PIN") << QByteArray::fromHex("002000000831323334FFFFFFFF")
                                        << QString("00 20 00 00 08 ** ** ** ** ** ** ** ** ");
    QTest::newRow("reset retry counter") << QByteArray::fromHex("002C0000103132333435363738") +
                                                QByteArray::fromHex("35353535FFFFFFFF")
                                         << QString("00 2C 00 00 10") + QString(" **").repeated(16) + " ";
    QTest::newRow("header only") << QByteArray::fromHex("00200000") << QString("00 20 00 00 ");
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestStatusWords::secretCommandsShowTheHeaderOnly()
{
    QFETCH(QByteArray, command);
    QFETCH(QString, line);
    QCOMPARE(commandTraceBytes(command, TraceMode::Secret), line);
}

void TestStatusWords::listedStatusWordRaisesCardErrorWithDescription_data()
{
    QTest::addColumn<int>("sw");
    QTest::addColumn<QString>("message");
    // 0x9000 is success; every other row, duplicated messages included.
    for (const Row& row : expectedTable)
        if (row.sw != 0x9000)
            QTest::newRow(qPrintable(QString::number(row.sw, 16).toUpper())) << row.sw << QString(row.message);
}

void TestStatusWords::listedStatusWordRaisesCardErrorWithDescription()
{
    QFETCH(int, sw);
    QFETCH(QString, message);
    const QByteArray command = SimCard::echoCommand(swBytes(sw));
    const int before = m_log.lines.size();
    try {
        m_handle->transmit(command);
        QFAIL("no error raised");
    } catch (const _std_card_error& e) {
        QCOMPARE(e.statusWord, sw);
        QCOMPARE(e.message, message);
    }
    const QStringList lines = m_log.lines.mid(before);
    QCOMPARE(lines, (QStringList{"Команда:    " + hexByteLine(command), "Результат: " + hexByteLine(swBytes(sw)),
                                 "Описание:  «" + message + "»"}));
}

void TestStatusWords::successStatusWordIsReturnedWithoutDescription()
{
    const QByteArray command = SimCard::echoCommand(QByteArray::fromHex("9000"));
    QCOMPARE(m_handle->transmit(command), QByteArray::fromHex("9000"));
    QCOMPARE(m_log.lines, (QStringList{"Команда:    80 EE 00 00 02 90 00 ", "Результат: 90 00 "}));
}

void TestStatusWords::unlistedStatusWordRaisesZeroWithoutDescription_data()
{
    QTest::addColumn<int>("sw");
    // Only exact words match: neighbours of listed families are unlisted.
    QTest::newRow("61 10") << 0x6110;
    QTest::newRow("63 C4") << 0x63C4;
    QTest::newRow("6C 12") << 0x6C12;
    QTest::newRow("90 01") << 0x9001;
    QTest::newRow("00 00") << 0x0000;
}

void TestStatusWords::unlistedStatusWordRaisesZeroWithoutDescription()
{
    QFETCH(int, sw);
    bool zero = false;
    try {
        m_handle->transmit(SimCard::echoCommand(swBytes(sw)));
    } catch (int e) {
        zero = e == 0;
    }
    QVERIFY(zero);
    QCOMPARE(m_log.lines.size(), 2);
    QCOMPARE(m_log.lines.last(), "Результат: " + hexByteLine(swBytes(sw)));
}

void TestStatusWords::answersOtherThanTwoBytesAreReturnedUnjudged_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("data and 90 00") << QByteArray::fromHex("019000");
    QTest::newRow("data and 6A 82") << QByteArray::fromHex("01026A82");
    QTest::newRow("one byte") << QByteArray::fromHex("6A");
    QTest::newRow("255 bytes") << QByteArray(253, '\x41') + QByteArray::fromHex("6B00");
}

void TestStatusWords::answersOtherThanTwoBytesAreReturnedUnjudged()
{
    QFETCH(QByteArray, answer);
    QCOMPARE(m_handle->transmit(SimCard::echoCommand(answer)), answer);
    QCOMPARE(m_log.lines.size(), 2);
    QCOMPARE(m_log.lines.last(), "Результат: " + hexByteLine(answer));
}

void TestStatusWords::secretCommandReachesTheCardWhole()
{
    m_sim->clearLog();
    const QByteArray verify = QByteArray::fromHex("002000000831323334FFFFFFFF");
    QCOMPARE(m_handle->transmit(verify, TraceMode::Secret), QByteArray::fromHex("9000"));
    QCOMPARE(m_sim->commands(), QList<QByteArray>{verify});
    QCOMPARE(m_log.lines.first(), QString("Команда:    00 20 00 00 08 ** ** ** ** ** ** ** ** "));
    QVERIFY(!m_log.lines.join('\n').contains("31 32 33 34"));
}

QTEST_MAIN(TestStatusWords)
#include "test_statuswords.moc"
