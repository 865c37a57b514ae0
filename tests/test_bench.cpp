// The bench itself: the private pcscd and the simulated card, spoken to with
// plain PC/SC calls so that a fault here is not confused with one of the
// program's card layer.

#include "support/bench.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <QTcpServer>
#include <QtTest>

#include <thread>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// One raw connection; every call's result is kept for the test to check.
class RawCard
{
public:
    RawCard() { SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context); }
    ~RawCard()
    {
        disconnect(SCARD_LEAVE_CARD);
        SCardReleaseContext(m_context);
    }
    LONG connect(const QString& reader, DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    {
        DWORD active = 0;
        LONG rv = SCardConnect(m_context, reader.toUtf8().constData(), SCARD_SHARE_SHARED, protocols, &m_card, &active);
        m_protocol = active;
        return rv;
    }
    void disconnect(DWORD disposition)
    {
        if (m_card)
            SCardDisconnect(m_card, disposition);
        m_card = 0;
    }
    // The response, or "ERR:<result>" when PC/SC failed.
    QByteArray transmit(const QByteArray& command)
    {
        BYTE buffer[1024];
        DWORD length = sizeof(buffer);
        const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        lastResult = SCardTransmit(m_card, pci, reinterpret_cast<const BYTE*>(command.constData()),
                                   DWORD(command.size()), nullptr, buffer, &length);
        if (lastResult != SCARD_S_SUCCESS)
            return "ERR:" + QByteArray::number(qint64(lastResult));
        return QByteArray(reinterpret_cast<const char*>(buffer), int(length));
    }
    DWORD protocol() const { return m_protocol; }
    LONG lastResult = 0;

private:
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    DWORD m_protocol = 0;
};

const QByteArray selectTacho = hex("00A4040C06FF544143484F");
const QByteArray selectIcc = hex("00A4020C020002");

} // namespace

class TestBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void benchListsBothReadersOfTheEntry();
    void cardAnswersTheIdentificationReads();
    void cardAnswersErrorsWithIsoStatusWords();
    void readBinaryPastTheEndGivesShortDataOrOutOfRange();
    void certificateFileIsReadInWholeChunks();
    void wrongPinCountsDownThenBlocks();
    void pukSetsNewPinAndWrongPukCountsDown();
    void controlCardNumberNeedsVerifiedPin();
    void resetForgetsVerifiedPin();
    void t0OnlyCardRefusesT1();
    void faultsAnswerTheChosenCommand_data();
    void faultsAnswerTheChosenCommand();
    void emptyReadBinaryAndRemoveAfter();
    void emptyAnswerHasNoStatusWord();
    void muteCardIsFreedByRemoval();
    void muteCardReleasesItself();
    void profileFileSetsTheCard();
    void badProfileFileIsRefused();
    void insertAndRemoveReachPcscd();
    void controlSocketDrivesTheCardFromOutside();
    void scriptRefusesATakenPort();
    void cardComesBackAfterPcscdRestart();

private:
    PcscBench m_bench;
    std::unique_ptr<SimCard> m_sim;

    void startCard(const SimCard::Profile& profile = {});
};

void TestBench::initTestCase()
{
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
}

void TestBench::cleanup()
{
    m_sim.reset();
}

void TestBench::startCard(const SimCard::Profile& profile)
{
    m_sim.reset(new SimCard(&m_bench, 0));
    QVERIFY2(m_sim->start(profile), qPrintable(m_sim->errorString()));
}

void TestBench::benchListsBothReadersOfTheEntry()
{
    SCARDCONTEXT context = 0;
    QCOMPARE(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), LONG(SCARD_S_SUCCESS));
    char buffer[1024];
    DWORD length = sizeof(buffer);
    QCOMPARE(SCardListReaders(context, nullptr, buffer, &length), LONG(SCARD_S_SUCCESS));
    SCardReleaseContext(context);
    const QList<QByteArray> names = QByteArray(buffer, int(length)).split('\0');
    QVERIFY(names.contains(m_bench.readerName(0).toUtf8()));
    QVERIFY(names.contains(m_bench.readerName(1).toUtf8()));
    QCOMPARE(m_bench.readerName(0), QString("Virtual PCD 00 00"));
    QCOMPARE(m_bench.port(1), quint16(m_bench.port(0) + 1));
}

void TestBench::cardAnswersTheIdentificationReads()
{
    SimCard::Profile p;
    p.cardType = 2;
    p.cardNumber = "RUW1234567890123";
    p.skziNumber = "SK0123456789ABCD";
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.protocol(), DWORD(SCARD_PROTOCOL_T1));

    QCOMPARE(card.transmit(hex("00CA004512")), QByteArray("\x02\x00RUW1234567890123\x90\x00", 20));
    QCOMPARE(card.transmit(selectTacho), hex("9000"));
    QCOMPARE(card.transmit(hex("00A4020C020501")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000001")), hex("029000"));
    QCOMPARE(card.transmit(hex("00A4020C020520")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000110")), QByteArray("RUW1234567890123\x90\x00", 18));

    // EF 0002 lives under the MF, not under the tachograph DF.
    QCOMPARE(card.transmit(selectIcc), hex("6A82"));
    card.disconnect(SCARD_RESET_CARD);
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectIcc), hex("9000"));
    const QByteArray icc = card.transmit(hex("00B0000019"));
    QCOMPARE(icc.size(), 27);
    QCOMPARE(icc.mid(9, 16), QByteArray("SK0123456789ABCD"));
    QCOMPARE(icc.right(2), hex("9000"));

    const QList<QByteArray> seen = m_sim->commands();
    QCOMPARE(seen.size(), 9);
    QCOMPARE(seen.first(), hex("00CA004512"));
    QCOMPARE(m_sim->responses().size(), 9);
    QCOMPARE(m_sim->responses().last(), icc);
}

void TestBench::cardAnswersErrorsWithIsoStatusWords()
{
    startCard();
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("80A4020C020002")), hex("6E00"));         // class
    QCOMPARE(card.transmit(hex("00E0000000")), hex("6D00"));             // instruction
    QCOMPARE(card.transmit(hex("00A4080C020002")), hex("6A86"));         // P1
    QCOMPARE(card.transmit(hex("00A4020C021234")), hex("6A82"));         // no such file
    QCOMPARE(card.transmit(hex("00B0000001")), hex("6986"));             // no current EF
    QCOMPARE(card.transmit(hex("00A4020C03000200")), hex("6700"));       // FID of 3 bytes
    QCOMPARE(card.transmit(hex("00A4020C050002")), hex("6700"));         // Lc longer than the data
    QCOMPARE(card.transmit(hex("00A4040C06FF5441434800")), hex("6A82")); // unknown DF name
    QCOMPARE(card.transmit(hex("00CA004612")), hex("6A88"));             // other data object
    QCOMPARE(card.transmit(hex("00CA004510")), hex("6C12"));             // Le too short
    QCOMPARE(card.transmit(hex("00200000")), hex("63C3"));               // tries left
    QCOMPARE(card.transmit(hex("0020000004313233")), hex("6700"));       // PIN block not 8 bytes
}

void TestBench::readBinaryPastTheEndGivesShortDataOrOutOfRange()
{
    startCard();
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectIcc), hex("9000"));
    const QByteArray tail = card.transmit(hex("00B0001710")); // offset 23 of a 25-byte file
    QCOMPARE(tail.size(), 4);
    QCOMPARE(tail.right(2), hex("6282"));
    QCOMPARE(card.transmit(hex("00B0001901")), hex("6B00"));
    QCOMPARE(card.transmit(hex("00B0800001")), hex("6A86")); // short EF identifier addressing
}

void TestBench::certificateFileIsReadInWholeChunks()
{
    // 258 bytes of certificate: the file holds 512, so both chunks end in 90 00.
    QTemporaryFile der;
    QVERIFY(der.open());
    QByteArray cert = hex("308200FE") + QByteArray(254, '\x5A');
    der.write(cert);
    der.flush();
    SimCard::Profile p;
    p.certificateFile = der.fileName();
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectTacho), hex("9000"));
    QCOMPARE(card.transmit(hex("00A4020C")), hex("6700")); // no file identifier at all
    QCOMPARE(card.transmit(hex("00A4020C02C200")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000004")), hex("308200FE9000"));
    const QByteArray first = card.transmit(hex("00B0000000"));
    QCOMPARE(first.size(), 258);
    QCOMPARE(first.left(256), cert.left(256));
    const QByteArray second = card.transmit(hex("00B0010000"));
    QCOMPARE(second.size(), 258);
    QCOMPARE(second.left(2), cert.mid(256));
    QCOMPARE(second.right(2), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0020000")), hex("6B00"));
}

void TestBench::wrongPinCountsDownThenBlocks()
{
    startCard();
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    const QByteArray wrong = hex("002000000839393939FFFFFFFF");
    QCOMPARE(card.transmit(wrong), hex("63C2"));
    QCOMPARE(card.transmit(wrong), hex("63C1"));
    QCOMPARE(card.transmit(wrong), hex("63C0"));
    QCOMPARE(card.transmit(hex("002000000831323334FFFFFFFF")), hex("6983"));
    const SimCard::State s = m_sim->state();
    QVERIFY(s.valid);
    QCOMPARE(s.pinTries, 0);
    QVERIFY(!s.pinVerified);
    QVERIFY(s.inserted);
}

void TestBench::pukSetsNewPinAndWrongPukCountsDown()
{
    SimCard::Profile p;
    p.pinTries = 0; // blocked from the start
    p.pinMaxTries = 3;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("002C0000103131313131313131") + hex("35353535FFFFFFFF")), hex("63C9"));
    QCOMPARE(m_sim->state().pukTries, 9);
    QCOMPARE(card.transmit(hex("002C0000103132333435363738") + hex("35353535FFFFFFFF")), hex("9000"));
    SimCard::State s = m_sim->state();
    QCOMPARE(s.pin, QByteArray("5555"));
    QCOMPARE(s.pinTries, 3);
    QCOMPARE(s.pukTries, 10);
    QCOMPARE(card.transmit(hex("002000000835353535FFFFFFFF")), hex("9000"));
    QVERIFY(m_sim->state().pinVerified);
}

void TestBench::controlCardNumberNeedsVerifiedPin()
{
    SimCard::Profile p;
    p.cardType = 3;
    p.cardNumber = "RUC0000000000042";
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectTacho), hex("9000"));
    QCOMPARE(card.transmit(hex("00A4020C020520")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000110")), hex("6982"));
    QCOMPARE(card.transmit(hex("002000000831323334FFFFFFFF")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000110")), QByteArray("RUC0000000000042\x90\x00", 18));
}

void TestBench::resetForgetsVerifiedPin()
{
    SimCard::Profile p;
    p.cardType = 4;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("002000000831323334FFFFFFFF")), hex("9000"));
    QVERIFY(m_sim->state().pinVerified);
    m_sim->clearLog();
    card.disconnect(SCARD_RESET_CARD);
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->events().contains("reset") || m_sim->events().contains("power-off"), 3000);
    QVERIFY(!m_sim->state().pinVerified);
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectTacho), hex("9000"));
    QCOMPARE(card.transmit(hex("00A4020C020520")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000110")), hex("6982"));
}

void TestBench::t0OnlyCardRefusesT1()
{
    SimCard::Profile p;
    p.t0 = true;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0), SCARD_PROTOCOL_T1), LONG(SCARD_E_PROTO_MISMATCH));
    QCOMPARE(card.connect(m_bench.readerName(0), SCARD_PROTOCOL_T0), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("00CA004512")).right(2), hex("9000"));
}

void TestBench::faultsAnswerTheChosenCommand_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QList<QByteArray>>("expected");
    const QList<QByteArray> normal = {hex("9000"), hex("9000"), hex("029000"), hex("029000")};
    // The failed SELECT leaves no current EF.
    QTest::newRow("second command") << 2 << QByteArray()
                                    << QList<QByteArray>{hex("9000"), hex("6F00"), hex("6986"), hex("6986")};
    QTest::newRow("every READ BINARY") << 0 << hex("00B0")
                                       << QList<QByteArray>{hex("9000"), hex("9000"), hex("6F00"), hex("6F00")};
    QTest::newRow("second READ BINARY") << 2 << hex("00B0")
                                        << QList<QByteArray>{hex("9000"), hex("9000"), hex("029000"), hex("6F00")};
    QTest::newRow("no match") << 0 << hex("00CA") << normal;
}

void TestBench::faultsAnswerTheChosenCommand()
{
    QFETCH(int, index);
    QFETCH(QByteArray, prefix);
    QFETCH(QList<QByteArray>, expected);
    SimCard::Profile p;
    p.cardType = 2;
    p.faultSw = 0x6F00;
    p.faultCommandIndex = index;
    p.faultCommand = prefix;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QList<QByteArray> got;
    got << card.transmit(selectTacho) << card.transmit(hex("00A4020C020501")) << card.transmit(hex("00B0000001"))
        << card.transmit(hex("00B0000001"));
    QCOMPARE(got, expected);
}

void TestBench::emptyReadBinaryAndRemoveAfter()
{
    SimCard::Profile p;
    p.emptyReadBinary = true;
    p.removeAfter = 3;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectIcc), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000019")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000019")), hex("9000")); // the third: answered, then the card goes
    QVERIFY(m_bench.waitCardPresent(0, false));
    QVERIFY(card.transmit(hex("00B0000019")).startsWith("ERR:"));
    QVERIFY(!m_sim->state().inserted);
}

void TestBench::emptyAnswerHasNoStatusWord()
{
    SimCard::Profile p;
    p.emptyAnswer = true;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    const QByteArray answer = card.transmit(selectIcc);
    QVERIFY2(answer.size() < 2, answer.constData());
    QCOMPARE(m_sim->responses(), QList<QByteArray>{QByteArray("")});
}

void TestBench::muteCardIsFreedByRemoval()
{
    SimCard::Profile p;
    p.mute = true;
    p.muteReleaseMs = 0;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    // The transmit hangs until the card goes: remove it once the simulator
    // has swallowed the command.
    SimCard* sim = m_sim.get();
    bool removed = false;
    std::thread remover([sim, &removed] {
        QDeadlineTimer deadline(5000);
        while (sim->responses().isEmpty() && !deadline.hasExpired())
            QThread::msleep(10);
        removed = sim->remove();
    });
    const QByteArray answer = card.transmit(selectIcc);
    remover.join();
    QVERIFY(removed);
    // vpcd hands pcscd an empty answer when the card goes mid-exchange, so
    // the caller sees no status word rather than a PC/SC error.
    QVERIFY2(answer.isEmpty() || answer.startsWith("ERR:"), answer.toHex().constData());
    QCOMPARE(m_sim->responses(), QList<QByteArray>{QByteArray()});
    QVERIFY(m_sim->responses().first().isNull());
}

void TestBench::muteCardReleasesItself()
{
    SimCard::Profile p;
    p.mute = true;
    p.muteReleaseMs = 200;
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    const QByteArray answer = card.transmit(selectIcc);
    QVERIFY2(answer.size() < 2, answer.constData());
    QVERIFY(m_bench.waitCardPresent(0, false));
}

void TestBench::profileFileSetsTheCard()
{
    QTemporaryFile json;
    QVERIFY(json.open());
    json.write(R"({"cardType": 4, "cardNumber": "RUF0000000000777", "getDataSupported": false,
                   "getDataRefusedSw": "6A81", "pin": "9876", "pinTries": 2})");
    json.flush();
    SimCard::Profile p;
    p.profileFile = json.fileName();
    startCard(p);
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("00CA004512")), hex("6A81"));
    QCOMPARE(card.transmit(selectTacho), hex("9000"));
    QCOMPARE(card.transmit(hex("00A4020C020501")), hex("9000"));
    QCOMPARE(card.transmit(hex("00B0000001")), hex("049000"));
    QCOMPARE(card.transmit(hex("002000000831323334FFFFFFFF")), hex("63C1"));
    QCOMPARE(m_sim->state().pin, QByteArray("9876"));
}

void TestBench::badProfileFileIsRefused()
{
    QTemporaryFile json;
    QVERIFY(json.open());
    json.write(R"({"cardTyp": 4})");
    json.flush();
    QProcess sim;
    sim.start(ZENTAVO_TACHOSIM, {"--port", "1", "--profile", json.fileName()});
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardError().contains("unknown key cardTyp"));
}

void TestBench::insertAndRemoveReachPcscd()
{
    m_sim.reset(new SimCard(&m_bench, 1));
    QVERIFY2(m_sim->start({}, false), qPrintable(m_sim->errorString()));
    QVERIFY(m_bench.waitCardPresent(1, false, 1000));
    QVERIFY(m_sim->insert());
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(1)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(hex("00CA004512")).size(), 20);
    card.disconnect(SCARD_LEAVE_CARD);
    QVERIFY(m_sim->remove());
    QCOMPARE(card.connect(m_bench.readerName(1)), LONG(SCARD_E_NO_SMARTCARD));
    QVERIFY(!m_sim->state().inserted);
}

void TestBench::controlSocketDrivesTheCardFromOutside()
{
    startCard();
    QProcess send;
    send.start(ZENTAVO_TACHOSIM, {"--send", m_sim->controlPath(), "remove"});
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitCode(), 0);
    QCOMPARE(send.readAllStandardOutput().trimmed(), QByteArray("ok"));
    QVERIFY(m_bench.waitCardPresent(0, false));
    send.start(ZENTAVO_TACHOSIM, {"--send", m_sim->controlPath(), "bogus"});
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitCode(), 1);
    send.start(ZENTAVO_TACHOSIM, {"--send", m_sim->controlPath(), "insert"});
    QVERIFY(send.waitForFinished(5000));
    QVERIFY(m_bench.waitCardPresent(0, true));
}

void TestBench::scriptRefusesATakenPort()
{
    // vpcd would drop the reader without a word: the script must say no.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any));
    const quint16 taken = holder.serverPort();
    QTemporaryDir dir;
    QProcess script;
    script.start("/bin/sh", {ZENTAVO_BENCH_SCRIPT, "start", dir.path() + "/b", QString::number(taken - 1)});
    QVERIFY(script.waitForFinished(10000));
    QCOMPARE(script.exitCode(), 1);
    QVERIFY(script.readAllStandardError().contains(" is in use"));
    script.start("/bin/sh", {ZENTAVO_BENCH_SCRIPT, "status", dir.path() + "/b"});
    QVERIFY(script.waitForFinished(5000));
    QCOMPARE(script.exitCode(), 1);
}

void TestBench::cardComesBackAfterPcscdRestart()
{
    startCard();
    QVERIFY2(m_bench.restart(), qPrintable(m_bench.errorString()));
    QVERIFY(m_bench.waitCardPresent(0, true));
    RawCard card;
    QCOMPARE(card.connect(m_bench.readerName(0)), LONG(SCARD_S_SUCCESS));
    QCOMPARE(card.transmit(selectIcc), hex("9000"));
}

QTEST_GUILESS_MAIN(TestBench)
#include "test_bench.moc"
