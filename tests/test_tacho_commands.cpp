// Command building and answer parsing of the tachograph card operations.

#include "card/cardhandle.h"
#include "tacho/answer.h"
#include "tacho/cardtype.h"
#include "tacho/secret.h"

#include <QtTest>

namespace {
QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}
} // namespace

class TestTachoCommands : public QObject
{
    Q_OBJECT
private slots:
    void pinBlockFillsUpWithFf_data();
    void pinBlockFillsUpWithFf();
    void verifyCommandOfEmptyPinIsEmpty();
    void verifyCommandCarriesPinBlock();
    void resetRetryCounterCarriesPukThenNewPin();
    void secretCommandsNeverShowTheirDataInTheTrace();
    void chunkCommandCarriesChunkNumberInP1();
    void chunkCountCoversHeaderAndRefusesUnaddressableOffsets_data();
    void chunkCountCoversHeaderAndRefusesUnaddressableOffsets();
    void answersAreCheckedExactly();
    void cardTypeByteIsSigned();
    void cardNumberKeepsItsSixteenStoredCharacters();
    void skziNumberStopsAtZeroAndReplacesHighBytes_data();
    void skziNumberStopsAtZeroAndReplacesHighBytes();
    void cardTypeNamesAndGenericFallback();
    void wipingOverwritesAnOwnBufferAndSparesASharedOne();
};

void TestTachoCommands::pinBlockFillsUpWithFf_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("4-digit PIN") << "1234" << hex("31323334FFFFFFFF");
    QTest::newRow("8-digit PUK") << "12345678" << hex("3132333435363738");
    QTest::newRow("empty") << "" << hex("FFFFFFFFFFFFFFFF");
    QTest::newRow("10 characters: first 8, no FF") << "0123456789" << hex("3031323334353637");
    QTest::newRow("above U+00FF becomes 00") << QString::fromUtf8("1Ж3") << hex("310033FFFFFFFFFF");
    QTest::newRow("Latin-1 kept as its byte") << QString::fromUtf8("é") << hex("E9FFFFFFFFFFFFFF");
}

void TestTachoCommands::pinBlockFillsUpWithFf()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, block);
    QCOMPARE(encodePinBlock(text), block);
}

void TestTachoCommands::verifyCommandOfEmptyPinIsEmpty()
{
    QVERIFY(buildVerifyCommand(QString()).isEmpty());
    QVERIFY(buildVerifyCommand(QStringLiteral("")).isEmpty());
}

void TestTachoCommands::verifyCommandCarriesPinBlock()
{
    QCOMPARE(buildVerifyCommand(QStringLiteral("1234")), hex("002000000831323334FFFFFFFF"));
    QCOMPARE(buildVerifyCommand(QStringLiteral("0123456789")), hex("00200000083031323334353637"));
    QCOMPARE(buildVerifyCommand(QString::fromUtf8("12Я")), hex("00200000083132 00 FFFFFFFFFF"));
}

void TestTachoCommands::resetRetryCounterCarriesPukThenNewPin()
{
    const QByteArray command = buildResetRetryCounterCommand(QStringLiteral("12345678"), QStringLiteral("4321"));
    QCOMPARE(command.size(), 21);
    QCOMPARE(command, hex("002C000010 3132333435363738 34333231FFFFFFFF"));
}

void TestTachoCommands::secretCommandsNeverShowTheirDataInTheTrace()
{
    const QByteArray verify = buildVerifyCommand(QStringLiteral("1234"));
    QCOMPARE(commandTraceBytes(verify, TraceMode::Secret), QStringLiteral("00 20 00 00 08 ** ** ** ** ** ** ** ** "));
    const QString reset = commandTraceBytes(
        buildResetRetryCounterCommand(QStringLiteral("12345678"), QStringLiteral("4321")), TraceMode::Secret);
    QVERIFY(reset.startsWith(QStringLiteral("00 2C 00 00 10 ** ")));
    QCOMPARE(reset.count(QStringLiteral("**")), 16);
    QVERIFY(!reset.contains(QStringLiteral("31")));
}

void TestTachoCommands::chunkCommandCarriesChunkNumberInP1()
{
    QCOMPARE(buildReadChunkCommand(0), hex("00B0000000"));
    QCOMPARE(buildReadChunkCommand(1), hex("00B0010000"));
    QCOMPARE(buildReadChunkCommand(3), hex("00B0030000"));
    QCOMPARE(buildReadChunkCommand(127), hex("00B07F0000"));
}

void TestTachoCommands::chunkCountCoversHeaderAndRefusesUnaddressableOffsets_data()
{
    QTest::addColumn<int>("contentLength");
    QTest::addColumn<int>("chunks");
    QTest::newRow("empty content: the header alone") << 0 << 1;
    QTest::newRow("L=252: exactly 256 bytes") << 252 << 1;
    QTest::newRow("L=253: one byte over") << 253 << 2;
    QTest::newRow("L=254") << 254 << 2;
    QTest::newRow("L=768: four chunks") << 768 << 4;
    QTest::newRow("last addressable chunk 127") << 128 * 256 - 4 << 128;
    QTest::newRow("chunk 128 would set P1's top bit") << 128 * 256 - 3 << -1;
    QTest::newRow("largest header length") << 65535 << -1;
}

void TestTachoCommands::chunkCountCoversHeaderAndRefusesUnaddressableOffsets()
{
    QFETCH(int, contentLength);
    QFETCH(int, chunks);
    QCOMPARE(certificateChunkCount(contentLength), chunks);
}

void TestTachoCommands::answersAreCheckedExactly()
{
    QVERIFY(isExactSuccess(hex("9000")));
    QVERIFY(!isExactSuccess(hex("")));
    QVERIFY(!isExactSuccess(hex("90")));
    QVERIFY(!isExactSuccess(hex("009000")));
    QVERIFY(!isExactSuccess(hex("6A82")));
    QVERIFY(!isExactSuccess(hex("9001")));

    QVERIFY(endsWithSuccess(hex("9000")));
    QVERIFY(endsWithSuccess(hex("41429000")));
    QVERIFY(!endsWithSuccess(hex("00")));
    QVERIFY(!endsWithSuccess(hex("41426282")));

    QVERIFY(hasLayout(hex("01029000"), 4));
    QVERIFY(!hasLayout(hex("01029000"), 3));
    QVERIFY(!hasLayout(hex("0102036A82"), 5));
    QVERIFY(!hasLayout(hex("010290"), 3));
}

void TestTachoCommands::cardTypeByteIsSigned()
{
    QCOMPARE(parseCardTypeAnswer(hex("019000")), 1);
    QCOMPARE(parseCardTypeAnswer(hex("049000")), 4);
    QCOMPARE(parseCardTypeAnswer(hex("059000")), 5);
    QCOMPARE(parseCardTypeAnswer(hex("FF9000")), -1);
    QCOMPARE(parseCardTypeAnswer(hex("809000")), -128);
    // Any other layout reads as no type.
    QCOMPARE(parseCardTypeAnswer(hex("01")), 0);
    QCOMPARE(parseCardTypeAnswer(hex("010190")), 0);
    QCOMPARE(parseCardTypeAnswer(hex("01019000")), 0);
    QCOMPARE(parseCardTypeAnswer(hex("016A82")), 0);
    QCOMPARE(parseCardTypeAnswer(hex("")), 0);
}

void TestTachoCommands::cardNumberKeepsItsSixteenStoredCharacters()
{
    QCOMPARE(parseCardNumberAnswer(QByteArray("RUD0000000000001") + hex("9000")), QStringLiteral("RUD0000000000001"));
    const QString padded = parseCardNumberAnswer(QByteArray("RUD12   ") + QByteArray(8, '\0') + hex("9000"));
    QCOMPARE(padded.size(), 16);
    QCOMPARE(padded.left(8), QStringLiteral("RUD12   "));
    QCOMPARE(padded.at(15), QChar(0));
    // Latin-1: a byte above 0x7F is that code point, not a replacement.
    QCOMPARE(parseCardNumberAnswer(QByteArray(15, 'A') + hex("E9 9000")).at(15), QChar(0xE9));
    QVERIFY(parseCardNumberAnswer(QByteArray(15, 'A') + hex("9000")).isEmpty());
    QVERIFY(parseCardNumberAnswer(QByteArray(16, 'A') + hex("6982")).isEmpty());
    QVERIFY(parseCardNumberAnswer(QByteArray(17, 'A') + hex("9000")).isEmpty());
}

void TestTachoCommands::skziNumberStopsAtZeroAndReplacesHighBytes_data()
{
    QTest::addColumn<QByteArray>("iccData");
    QTest::addColumn<QString>("number");
    const QByteArray lead(9, 'x');
    QTest::newRow("16 characters, no zero") << lead + QByteArray("SKZI000000000001") << "SKZI000000000001";
    QTest::newRow("zero at offset 9") << lead + QByteArray(16, '\0') << "";
    QTest::newRow("stops at the first zero") << lead + QByteArray("AB\0CD", 5) + QByteArray(11, 'z') << "AB";
    QTest::newRow("bytes from 0x80 become U+FFFD")
        << lead + hex("41 80 FF 42 00") + QByteArray(11, 'z') << QString::fromUtf8("A\uFFFD\uFFFDB");
    QTest::newRow("zero bytes before offset 9 do not count")
        << QByteArray(9, '\0') + QByteArray("N123") + QByteArray(12, '\0') << "N123";
}

void TestTachoCommands::skziNumberStopsAtZeroAndReplacesHighBytes()
{
    QFETCH(QByteArray, iccData);
    QFETCH(QString, number);
    QCOMPARE(iccData.size(), 25);
    QCOMPARE(parseSkziNumber(iccData), number);
}

void TestTachoCommands::cardTypeNamesAndGenericFallback()
{
    QCOMPARE(cardTypeName(1), QString::fromUtf8("Карта водителя"));
    QCOMPARE(cardTypeName(2), QString::fromUtf8("Карта мастерской"));
    QCOMPARE(cardTypeName(3), QString::fromUtf8("Карта контролера"));
    QCOMPARE(cardTypeName(4), QString::fromUtf8("Карта предприятия"));
    QVERIFY(cardTypeName(0).isEmpty());
    QVERIFY(cardTypeName(5).isEmpty());
    QVERIFY(cardTypeName(-1).isEmpty());
}

void TestTachoCommands::wipingOverwritesAnOwnBufferAndSparesASharedOne()
{
    QByteArray command = buildVerifyCommand(QStringLiteral("1234"));
    const char* before = command.constData();
    overwriteSecret(command);
    QCOMPARE(command.constData(), before); // in place, not a fresh copy
    QCOMPARE(command, QByteArray(13, '\0'));

    QString pin = QStringLiteral("9876");
    pin.detach();
    const QChar* pinBefore = pin.constData();
    overwriteSecret(pin);
    QCOMPARE(pin.constData(), pinBefore);
    QCOMPARE(pin, QString(4, QChar(0)));

    // Another owner's text is not changed under it.
    QString mine = QStringLiteral("5555");
    mine.detach();
    const QString theirs = mine;
    wipeSecret(mine);
    QVERIFY(mine.isEmpty());
    QCOMPARE(theirs, QStringLiteral("5555"));

    QByteArray block = encodePinBlock(QStringLiteral("1234"));
    wipeSecret(block);
    QVERIFY(block.isEmpty());
}

QTEST_GUILESS_MAIN(TestTachoCommands)
#include "test_tacho_commands.moc"
