// PIN verification and unblocking through the window's links, with the PIN
// dialog and the message boxes answered from inside their modal loops.

#include "test_tacho_fixture.h"

namespace {
TachoBench* fixture = nullptr;

const QString verifyStart = QStringLiteral("Проверка ПИН-кода карты тахографа");
const QString unblockStart = QStringLiteral("Разблокировка ПИН-кода карты тахографа");
const QString verifyDone = QStringLiteral("Проверка ПИН-кода карты успешно завершена.");
const QString unblockDone = QStringLiteral("ПИН-код карты успешно разблокирован.");
const QString operationFailed = QStringLiteral("Ошибка выполнения операции.");

QString hexOf(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// No command line of the log shows a data byte of a secret command.
bool logHidesSecrets(const QString& log)
{
    for (const QString& line : log.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("Команда:    00 20 ")) ||
            line.startsWith(QStringLiteral("Команда:    00 2C "))) {
            const QString data = line.mid(QStringLiteral("Команда:    ").size() + 15);
            if (data != QStringLiteral("** ").repeated(data.size() / 3) || data.isEmpty())
                return false;
        }
    }
    return true;
}
} // namespace

class TestPinBench : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void rightPinShowsSuccess();
    void wrongPinShowsTriesLeft();
    void blockedPinIsReported();
    void cancelledDialogTouchesNoCard();
    void unblockWithPukSetsNewPin();
    void wrongPukIsAnOperationError();
    void noCardIsAnOperationError();
    void cardPulledDuringVerify();
    void droppedAnswersAreNoSuccess();
};

void TestPinBench::initTestCase()
{
    fixture = new TachoBench;
    QVERIFY(fixture->start());
}

void TestPinBench::cleanupTestCase()
{
    delete fixture;
    fixture = nullptr;
}

void TestPinBench::cleanup()
{
    fixture->finish();
}

void TestPinBench::rightPinShowsSuccess()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    Zentavo& w = fixture->w();
    DebugCapture debug;
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    bool verifiedWhileShown = true;
    script.add([&](QWidget* box) {
        // The box waits on the user: the card has been let go, and reset,
        // before it comes (Windows resets a card held idle for 5 s).
        verifiedWhileShown = fixture->card->state().pinVerified;
        ModalScript::ok()(box);
    });

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(0).title, QStringLiteral("Проверка ПИН-кода карты"));
    QCOMPARE(script.seen().at(1).text, verifyDone);
    QCOMPARE(script.seen().at(1).icon, QMessageBox::Information);
    QVERIFY(!verifiedWhileShown);
    QCOMPARE(fixture->commandsHex(),
             QStringList({Apdu::selectTacho, hexOf(buildVerifyCommand(QStringLiteral("1234")))}));
    QCOMPARE(fixture->operationLines(), QStringList({verifyStart}));
    QVERIFY(fixture->log().contains(QStringLiteral("Команда:    00 20 00 00 08 ** ** ** ** ** ** ** ** ")));
    QVERIFY(logHidesSecrets(fixture->log()));
    QVERIFY(!fixture->log().contains(QStringLiteral("31 32 33 34")));
    QVERIFY(!debug.text().contains(QStringLiteral("1234")));
    QVERIFY(!debug.text().contains(QStringLiteral("31 32 33 34")));
    QVERIFY(!debug.text().contains(QStringLiteral("31323334")));
    // The verified state ends with the card access's reset.
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 1, 3000);
    const SimCard::State state = fixture->card->state();
    QCOMPARE(state.pinTries, 3);
    QVERIFY(!state.pinVerified);
}

void TestPinBench::wrongPinShowsTriesLeft()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("4321")));
    script.add(ModalScript::ok());

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    const SeenModal& box = script.seen().at(1);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.contains(QStringLiteral("(0x63C2)")), qPrintable(box.text));
    QVERIFY(box.text.contains(QStringLiteral("«Warning: Verify fail, 2 tries left»")));
    QVERIFY(box.text.startsWith(operationFailed));
    // A tabled status word is shown, not logged; its description line is.
    QCOMPARE(fixture->operationLines(), QStringList({verifyStart}));
    QVERIFY(fixture->log().contains(QStringLiteral("Описание:  «Warning: Verify fail, 2 tries left»")));
    QVERIFY(logHidesSecrets(fixture->log()));
    QVERIFY(!fixture->log().contains(QStringLiteral("34 33 32 31")));
    QCOMPARE(fixture->card->state().pinTries, 2);
}

void TestPinBench::blockedPinIsReported()
{
    SimCard::Profile profile;
    profile.pinTries = 0;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    script.add(ModalScript::ok());

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QVERIFY(script.seen().at(1).text.contains(QStringLiteral("(0x6983)")));
    QVERIFY(script.seen().at(1).text.contains(QStringLiteral("«Checking error: Authentication method locked»")));
    QCOMPARE(fixture->card->state().pinTries, 0);
}

void TestPinBench::cancelledDialogTouchesNoCard()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    Zentavo& w = fixture->w();
    for (const QString& link : {QStringLiteral("#verify"), QStringLiteral("#unblock")}) {
        ModalScript script;
        script.add(ModalScript::cancelPin());
        ZentavoTestAccess::onHyperLink(w, link);
        QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin")}));
    }
    QVERIFY(fixture->card->commands().isEmpty());
    QCOMPARE(ZentavoTestAccess::logLines(w).mid(ZentavoTestAccess::logLines(w).size() - 2),
             QStringList({verifyStart, unblockStart}));
    QVERIFY(!fixture->log().contains(QStringLiteral("Протокол")));
}

void TestPinBench::unblockWithPukSetsNewPin()
{
    SimCard::Profile profile;
    profile.pinTries = 0;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    {
        ModalScript script;
        script.add(ModalScript::pin(QStringLiteral("4321"), QStringLiteral("12345678")));
        script.add(ModalScript::ok());

        ZentavoTestAccess::onHyperLink(w, QStringLiteral("#unblock"));

        QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
        QCOMPARE(script.seen().at(0).title, QStringLiteral("Разблокировка ПИН-кода карты"));
        QCOMPARE(script.seen().at(1).text, unblockDone);
        QCOMPARE(fixture->commandsHex(),
                 QStringList({Apdu::selectTacho, QStringLiteral("002C000010") + hexOf(QByteArray("12345678")) +
                                                     hexOf(QByteArray("4321")) + QStringLiteral("FFFFFFFF")}));
        QCOMPARE(fixture->operationLines(), QStringList({unblockStart}));
        QVERIFY(fixture->log().contains(QStringLiteral("Команда:    00 2C 00 00 10 ") +
                                        QStringLiteral("** ").repeated(16)));
        QVERIFY(logHidesSecrets(fixture->log()));
        SimCard::State state = fixture->card->state();
        QCOMPARE(state.pin, QByteArray("4321"));
        QCOMPARE(state.pinTries, 3);
    }

    // The new PIN verifies.
    fixture->card->clearLog();
    ModalScript again;
    again.add(ModalScript::pin(QStringLiteral("4321")));
    again.add(ModalScript::ok());
    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));
    QCOMPARE(again.seen().size(), 2);
    QCOMPARE(again.seen().at(1).text, verifyDone);
}

void TestPinBench::wrongPukIsAnOperationError()
{
    SimCard::Profile profile;
    profile.pinTries = 0;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("4321"), QStringLiteral("87654321")));
    script.add(ModalScript::ok());

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#unblock"));

    // 63 C9: not in the table, so the plain error.
    QVERIFY(fixture->log().contains(QStringLiteral("Результат: 63 C9 ")));
    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).text, operationFailed);
    QCOMPARE(fixture->operationLines(), QStringList({unblockStart, operationFailed}));
    const SimCard::State state = fixture->card->state();
    QCOMPARE(state.pin, QByteArray("1234"));
    QCOMPARE(state.pinTries, 0);
    QCOMPARE(state.pukTries, 9);
}

void TestPinBench::noCardIsAnOperationError()
{
    QVERIFY(fixture->startCard(SimCard::Profile(), false));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    script.add(ModalScript::ok());

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).text, operationFailed);
    QCOMPARE(script.seen().at(1).icon, QMessageBox::Critical);
    QCOMPARE(fixture->operationLines(), QStringList({verifyStart, operationFailed}));
}

void TestPinBench::cardPulledDuringVerify()
{
    SimCard::Profile profile;
    profile.removeAfter = 1; // answers SELECT, leaves during VERIFY
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    DebugCapture debug;
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    script.add(ModalScript::ok());

    ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).text, operationFailed);
    QCOMPARE(fixture->operationLines(), QStringList({verifyStart, operationFailed}));
    QVERIFY(logHidesSecrets(fixture->log()));
    // The failure reaches the debug output, the PIN does not.
    QVERIFY(debug.text().contains(QStringLiteral("Failed SCardTransmit:")));
    QVERIFY(!debug.text().contains(QStringLiteral("1234")));
    QVERIFY(!debug.text().contains(QStringLiteral("31 32 33 34")));
}

void TestPinBench::droppedAnswersAreNoSuccess()
{
    // vpcd hands back an empty answer, with success, when the card leaves in
    // the middle of an exchange: the card layer lets it through unjudged.
    SimCard::Profile profile;
    profile.emptyAnswer = true;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    for (const QString& link : {QStringLiteral("#verify"), QStringLiteral("#unblock")}) {
        ModalScript script;
        script.add(ModalScript::pin(QStringLiteral("1234"), QStringLiteral("12345678")));
        script.add(ModalScript::ok());

        ZentavoTestAccess::onHyperLink(w, link);

        QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
        QCOMPARE(script.seen().at(1).text, operationFailed);
        QCOMPARE(script.seen().at(1).icon, QMessageBox::Critical);
    }
    // The empty answer to SELECT passes the card layer unjudged; the card,
    // gone meanwhile, then fails the secret command.
    QVERIFY(fixture->log().contains(QStringLiteral("4F \nРезультат: \nКоманда:    00 20 00 00 08 ** ")));
    QVERIFY(logHidesSecrets(fixture->log()));
    QCOMPARE(fixture->operationLines(), QStringList({verifyStart, operationFailed, unblockStart, operationFailed}));
}

QTEST_MAIN(TestPinBench)
#include "test_pin_bench.moc"
