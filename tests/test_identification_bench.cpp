// The read sequence against a private pcscd and the simulated card: what the
// window shows, what reaches the clipboard and which commands the card got.

#include "test_tacho_fixture.h"

#include "tacho/cardtype.h"

namespace {
TachoBench* fixture = nullptr;

const QString typeStart = QStringLiteral("Чтение типа карты тахографа");
const QString typeFailed = QStringLiteral("Ошибка чтения типа карты тахографа.");
const QString numberStart = QStringLiteral("Чтение номера карты тахографа");
const QString numberFailed = QStringLiteral("Ошибка чтения номера карты тахографа.");
const QString skziStart = QStringLiteral("Чтение номера СКЗИ");
const QString skziFailed = QStringLiteral("Ошибка чтения номера СКЗИ.");

QString clipboardText()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

bool actionsShown(Zentavo& w)
{
    return !ZentavoTestAccess::lbVerifyPin(w)->isHidden() && !ZentavoTestAccess::lbUnblockPin(w)->isHidden() &&
           !ZentavoTestAccess::lbShowCert(w)->isHidden() && ZentavoTestAccess::bnCopy2Clipboard(w)->isEnabled() &&
           ZentavoTestAccess::readCertButton(w)->isEnabled();
}

bool actionsHidden(Zentavo& w)
{
    return ZentavoTestAccess::lbVerifyPin(w)->isHidden() && ZentavoTestAccess::lbUnblockPin(w)->isHidden() &&
           ZentavoTestAccess::lbShowCert(w)->isHidden() && !ZentavoTestAccess::bnCopy2Clipboard(w)->isEnabled() &&
           !ZentavoTestAccess::readCertButton(w)->isEnabled();
}

SimCard::Profile refusingGetData(int type)
{
    SimCard::Profile profile;
    profile.cardType = type;
    profile.getDataSupported = false;
    profile.getDataRefusedSw = 0x6D00;
    profile.cardNumber = "RUK0000000000777";
    return profile;
}

QString verifyHex(const char* pin)
{
    return QString::fromLatin1(buildVerifyCommand(QString::fromLatin1(pin)).toHex().toUpper());
}
} // namespace

class TestIdentificationBench : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void identifiesEachCardTypeWithGetData_data();
    void identifiesEachCardTypeWithGetData();
    void refusedGetDataFallsBackToFileReadsWithoutPinForDriver();
    void fallbackAsksPinForControlAndCompanyCards_data();
    void fallbackAsksPinForControlAndCompanyCards();
    void cancelledPinBoxSendsNoVerify();
    void pinBoxShowsAnArrowUnderTheWaitCursor();
    void wrongPinLeavesNumberEmpty();
    void typeZeroStopsBeforeNumberAndForgetsIt();
    void unknownTypeReadsNumberUnderGenericTitle();
    void negativeTypeByteKeepsItsSign();
    void cardNumberKeepsTrailingBlanks();
    void skziNumberEmptyWhenItStartsWithZero();
    void skziNumberReplacesBytesAboveAscii();
    void noReaderSelectedFailsQuietly();
    void noCardFailsQuietly();
    void cardPulledDuringIdentification();
    void cardPulledBeforeSkziNumber();
    void droppedAnswersAreNoIdentification();
    void muteCardIsNoIdentification();
};

void TestIdentificationBench::initTestCase()
{
    fixture = new TachoBench;
    QVERIFY(fixture->start());
}

void TestIdentificationBench::cleanupTestCase()
{
    delete fixture;
    fixture = nullptr;
}

void TestIdentificationBench::cleanup()
{
    fixture->finish();
}

void TestIdentificationBench::identifiesEachCardTypeWithGetData_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("t0");
    QTest::newRow("driver T=1") << 1 << false;
    QTest::newRow("workshop T=0") << 2 << true;
    QTest::newRow("control T=1") << 3 << false;
    QTest::newRow("company T=0") << 4 << true;
}

void TestIdentificationBench::identifiesEachCardTypeWithGetData()
{
    QFETCH(int, type);
    QFETCH(bool, t0);
    SimCard::Profile profile;
    profile.cardType = type;
    profile.t0 = t0;
    profile.cardNumber = "RUD1234567890123";
    profile.skziNumber = "SKZI0000000000AB";
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QCOMPARE(fixture->commandsHex(), QStringList({Apdu::getData, Apdu::getData, Apdu::selectEf0002, Apdu::readIcc}));
    // Two card accesses, each ended with a reset.
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 2, 3000);
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, skziStart}));
    QCOMPARE(
        ZentavoTestAccess::logLines(w).count(QStringLiteral("Протокол: ") + (t0 ? QStringLiteral("SCARD_PROTOCOL_T0")
                                                                                : QStringLiteral("SCARD_PROTOCOL_T1"))),
        2);

    QCOMPARE(ZentavoTestAccess::cardType(w), type);
    QCOMPARE(ZentavoTestAccess::cardNumber(w), QStringLiteral("RUD1234567890123"));
    QCOMPARE(ZentavoTestAccess::edCardNumber(w)->text(), QStringLiteral("RUD1234567890123"));
    QCOMPARE(ZentavoTestAccess::edSKZINumber(w)->text(), QStringLiteral("SKZI0000000000AB"));
    QVERIFY(ZentavoTestAccess::lbCardTitle(w)->text().contains(cardTypeName(type)));
    QCOMPARE(clipboardText(), QStringLiteral("RUD1234567890123"));
    QVERIFY(actionsShown(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::refusedGetDataFallsBackToFileReadsWithoutPinForDriver()
{
    QVERIFY(fixture->startCard(refusingGetData(1)));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    // The refused first GET DATA ends that access; no VERIFY for a driver card.
    QCOMPARE(fixture->commandsHex(),
             QStringList({Apdu::getData, Apdu::selectTacho, Apdu::selectEf0501, Apdu::readType, Apdu::selectTacho,
                          Apdu::selectEf0520, Apdu::readNumber, Apdu::selectEf0002, Apdu::readIcc}));
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 4, 3000);
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, typeFailed, typeStart, numberStart, skziStart}));
    QVERIFY(fixture->log().contains(QStringLiteral("Описание:  «Checking error: Wrong instruction»")));
    QCOMPARE(ZentavoTestAccess::cardType(w), 1);
    QCOMPARE(ZentavoTestAccess::cardNumber(w), QStringLiteral("RUK0000000000777"));
    QCOMPARE(ZentavoTestAccess::edCardNumber(w)->text(), QStringLiteral("RUK0000000000777"));
    QVERIFY(ZentavoTestAccess::lbCardTitle(w)->text().contains(cardTypeName(1)));
    QCOMPARE(clipboardText(), QStringLiteral("RUK0000000000777"));
    QVERIFY(actionsShown(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::fallbackAsksPinForControlAndCompanyCards_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("control") << 3;
    QTest::newRow("company") << 4;
}

void TestIdentificationBench::fallbackAsksPinForControlAndCompanyCards()
{
    QFETCH(int, type);
    QVERIFY(fixture->startCard(refusingGetData(type)));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::inputText(QStringLiteral("1234")));

    ZentavoTestAccess::readCard(w);

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("input")}));
    QCOMPARE(script.seen().at(0).title, QStringLiteral("Введите ПИН-код"));
    QCOMPARE(script.seen().at(0).text, QStringLiteral("ПИН-код карты тахографа"));
    QVERIFY(script.seen().at(0).masked);
    QCOMPARE(fixture->commandsHex(),
             QStringList({Apdu::getData, Apdu::selectTacho, Apdu::selectEf0501, Apdu::readType, Apdu::selectTacho,
                          Apdu::selectEf0520, verifyHex("1234"), Apdu::readNumber, Apdu::selectEf0002, Apdu::readIcc}));
    QCOMPARE(ZentavoTestAccess::cardNumber(w), QStringLiteral("RUK0000000000777"));
    QCOMPARE(clipboardText(), QStringLiteral("RUK0000000000777"));
    QVERIFY(ZentavoTestAccess::lbCardTitle(w)->text().contains(cardTypeName(type)));
    // The PIN went to the card but not into the log.
    QVERIFY(fixture->log().contains(QStringLiteral("Команда:    00 20 00 00 08 ** ** ** ** ** ** ** ** ")));
    QVERIFY(!fixture->log().contains(QStringLiteral("31 32 33 34")));
}

void TestIdentificationBench::pinBoxShowsAnArrowUnderTheWaitCursor()
{
    // A card found while a reader is being selected is read under the wait cursor.
    QVERIFY(fixture->startCard(refusingGetData(3)));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::inputText(QStringLiteral("1234")));

    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    ZentavoTestAccess::readCard(w);
    const QCursor* after = QApplication::overrideCursor();
    const int afterShape = after ? after->shape() : -1;
    QApplication::restoreOverrideCursor();

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("input")}));
    QCOMPARE(script.seen().at(0).cursor, int(Qt::ArrowCursor));
    QCOMPARE(afterShape, int(Qt::WaitCursor));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestIdentificationBench::cancelledPinBoxSendsNoVerify()
{
    QVERIFY(fixture->startCard(refusingGetData(3)));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::reject());

    ZentavoTestAccess::readCard(w);

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("input")}));
    for (const QByteArray& command : fixture->card->commands())
        QVERIFY2(static_cast<unsigned char>(command.at(1)) != 0x20, command.toHex().constData());
    // Without the PIN the card keeps its number to itself.
    QCOMPARE(fixture->operationLines(),
             QStringList({typeStart, typeFailed, typeStart, numberStart, numberFailed, skziStart}));
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
}

void TestIdentificationBench::wrongPinLeavesNumberEmpty()
{
    QVERIFY(fixture->startCard(refusingGetData(4)));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::inputText(QStringLiteral("9999")));

    ZentavoTestAccess::readCard(w);

    QVERIFY(fixture->commandsHex().contains(verifyHex("9999")));
    QVERIFY(!fixture->commandsHex().contains(Apdu::readNumber));
    QCOMPARE(fixture->operationLines(),
             QStringList({typeStart, typeFailed, typeStart, numberStart, numberFailed, skziStart}));
    QVERIFY(fixture->log().contains(QStringLiteral("«Warning: Verify fail, 2 tries left»")));
    QVERIFY(!fixture->log().contains(QStringLiteral("39 39 39 39")));
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QCOMPARE(fixture->card->state().pinTries, 2);
    QVERIFY(actionsHidden(w));
}

void TestIdentificationBench::typeZeroStopsBeforeNumberAndForgetsIt()
{
    QVERIFY(fixture->startCard(refusingGetData(0)));
    Zentavo& w = fixture->w();
    // A number from an earlier read must not survive an unidentified card.
    ZentavoTestAccess::cardNumber(w) = QStringLiteral("OLD0000000000000");
    ZentavoTestAccess::edCardNumber(w)->setText(QStringLiteral("OLD0000000000000"));
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QCOMPARE(fixture->commandsHex(), QStringList({Apdu::getData, Apdu::selectTacho, Apdu::selectEf0501, Apdu::readType,
                                                  Apdu::selectEf0002, Apdu::readIcc}));
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, typeFailed, typeStart, skziStart}));
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::unknownTypeReadsNumberUnderGenericTitle()
{
    QVERIFY(fixture->startCard(refusingGetData(5)));
    Zentavo& w = fixture->w();
    w.showCardTitle(0);
    const QString generic = ZentavoTestAccess::lbCardTitle(w)->text();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QCOMPARE(ZentavoTestAccess::cardType(w), 5);
    QCOMPARE(ZentavoTestAccess::cardNumber(w), QStringLiteral("RUK0000000000777"));
    QCOMPARE(ZentavoTestAccess::lbCardTitle(w)->text(), generic);
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::negativeTypeByteKeepsItsSign()
{
    SimCard::Profile profile;
    profile.cardType = 0xFE;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();

    ZentavoTestAccess::readCard(w);

    QCOMPARE(ZentavoTestAccess::cardType(w), -2);
    QCOMPARE(ZentavoTestAccess::cardNumber(w), QStringLiteral("RUD0000000000001"));
}

void TestIdentificationBench::cardNumberKeepsTrailingBlanks()
{
    SimCard::Profile profile;
    profile.cardNumber = "RUD42"; // stored padded with blanks to 16
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();

    ZentavoTestAccess::readCard(w);

    const QString expected = QStringLiteral("RUD42           ");
    QCOMPARE(ZentavoTestAccess::cardNumber(w), expected);
    QCOMPARE(ZentavoTestAccess::edCardNumber(w)->text(), expected);
    QCOMPARE(clipboardText(), expected);
}

void TestIdentificationBench::skziNumberEmptyWhenItStartsWithZero()
{
    SimCard::Profile profile;
    profile.skziNumber = ""; // all zero bytes from offset 9
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ZentavoTestAccess::edSKZINumber(w)->setText(QStringLiteral("stale"));

    ZentavoTestAccess::readCard(w);

    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, skziStart}));
}

void TestIdentificationBench::skziNumberReplacesBytesAboveAscii()
{
    SimCard::Profile profile;
    profile.skziNumber = "AB\xE9"; // reaches the card as UTF-8: 41 42 C3 A9
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();

    ZentavoTestAccess::readCard(w);

    QCOMPARE(ZentavoTestAccess::edSKZINumber(w)->text(), QStringLiteral("AB\uFFFD\uFFFD"));
}

void TestIdentificationBench::noReaderSelectedFailsQuietly()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    Zentavo& w = fixture->w();
    ZentavoTestAccess::currentIndex(w) = -1;
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QCOMPARE(fixture->operationLines(),
             QStringList({typeStart, typeFailed, typeStart, typeFailed, skziStart, skziFailed}));
    QVERIFY(fixture->card->commands().isEmpty());
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::noCardFailsQuietly()
{
    QVERIFY(fixture->startCard(SimCard::Profile(), false));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    // No card is no card that refused GET DATA: nothing more is tried.
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, typeFailed}));
    QVERIFY(!fixture->log().contains(QStringLiteral("Протокол")));
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::cardPulledDuringIdentification()
{
    SimCard::Profile profile;
    profile.removeAfter = 1; // leaves after answering the first GET DATA
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    // The file reads find the card gone, and the sequence ends there.
    QCOMPARE(fixture->operationLines(), QStringList({typeStart, typeFailed, typeStart, typeFailed}));
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::cardPulledBeforeSkziNumber()
{
    SimCard::Profile profile;
    profile.removeAfter = 2; // both GET DATA answered, then gone
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QCOMPARE(fixture->operationLines(), QStringList({typeStart, skziStart, skziFailed}));
    // A card gone in any step keeps nothing of what it said before.
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::droppedAnswersAreNoIdentification()
{
    // Every command gets an empty answer, as vpcd gives when the card leaves
    // mid-exchange: the card layer lets them through, the layout checks don't.
    SimCard::Profile profile;
    profile.emptyAnswer = true;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    QVERIFY(fixture->log().contains(QStringLiteral("Команда:    00 CA 00 45 12 \nРезультат: \n")));
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::cardNumber(w).isEmpty());
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(fixture->operationLines().contains(typeFailed));
    QCOMPARE(fixture->operationLines().last(), skziFailed);
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

void TestIdentificationBench::muteCardIsNoIdentification()
{
    // The card never answers; the simulator takes it out after a while,
    // which frees the blocked exchange.
    SimCard::Profile profile;
    profile.mute = true;
    profile.muteReleaseMs = 1500;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;

    ZentavoTestAccess::readCard(w);

    // Taken out while it kept silent: the sequence ends at the card gone
    // (found so by the exchange or by the file reads), before the SKZI number.
    QCOMPARE(fixture->operationLines().mid(0, 2), QStringList({typeStart, typeFailed}));
    QVERIFY(!fixture->operationLines().contains(skziStart));
    QCOMPARE(ZentavoTestAccess::cardType(w), 0);
    QVERIFY(ZentavoTestAccess::edCardNumber(w)->text().isEmpty());
    QVERIFY(ZentavoTestAccess::edSKZINumber(w)->text().isEmpty());
    QVERIFY(clipboardText().isEmpty());
    QVERIFY(actionsHidden(w));
    QVERIFY(script.seen().isEmpty());
}

QTEST_MAIN(TestIdentificationBench)
#include "test_identification_bench.moc"
