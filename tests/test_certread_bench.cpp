// Reading the certificate file in 256-byte chunks from the simulated card.

#include "test_tacho_fixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {
TachoBench* fixture = nullptr;
QTemporaryDir* tempDir = nullptr;

const QString certStart = QStringLiteral("Чтение сертификата");
const QString certFailed = QStringLiteral("Ошибка чтения сертификата карты.");

// A DER-shaped blob: 30 82 L, then L counting bytes.
QByteArray certificateBlob(int contentLength)
{
    QByteArray blob;
    blob.append(char(0x30)).append(char(0x82));
    blob.append(char(contentLength >> 8)).append(char(contentLength & 0xFF));
    for (int i = 0; i < contentLength; ++i)
        blob.append(char((i * 7 + 3) & 0xFF));
    return blob;
}

QString writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = tempDir->filePath(QStringLiteral("in-") + name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QString savedPath()
{
    return QDir(QDir::tempPath()).filePath(QStringLiteral("Certificate.cer"));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList expectedCommands(int chunks)
{
    QStringList out = {Apdu::selectTacho, Apdu::selectEfC200, Apdu::readCertHeader};
    for (int n = 0; n < chunks; ++n)
        out << QString::fromLatin1(buildReadChunkCommand(n).toHex().toUpper());
    return out;
}

SimCard::Profile profileWith(const QByteArray& certificate)
{
    static int serial = 0;
    SimCard::Profile profile;
    profile.certificateFile = writeFile(QString::number(++serial) + QStringLiteral(".der"), certificate);
    return profile;
}
} // namespace

class TestCertReadBench : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void chunksCoverTheCertificate_data();
    void chunksCoverTheCertificate();
    void lastAddressableChunkIsRead();
    void lengthNeedingUnaddressableChunksIsRefused();
    void errorStatusMidReadDropsEverything();
    void emptyChunkAnswerEndsTheRead();
    void emptyHeaderAnswerEndsTheRead();
    void noCardGivesFailureLine();
    void printButtonHandsTheBytesToTheForm();
};

void TestCertReadBench::initTestCase()
{
    tempDir = new QTemporaryDir;
    QVERIFY(tempDir->isValid());
    // The saved certificate goes to the temporary directory: keep it ours.
    qputenv("TMPDIR", QFile::encodeName(tempDir->path()));
    QCOMPARE(QDir::tempPath(), QDir(tempDir->path()).canonicalPath());
    fixture = new TachoBench;
    QVERIFY(fixture->start());
}

void TestCertReadBench::cleanupTestCase()
{
    delete fixture;
    fixture = nullptr;
    delete tempDir;
    tempDir = nullptr;
}

void TestCertReadBench::init()
{
    QFile::remove(savedPath());
}

void TestCertReadBench::cleanup()
{
    fixture->finish();
}

void TestCertReadBench::chunksCoverTheCertificate_data()
{
    QTest::addColumn<QByteArray>("certificate");
    QTest::addColumn<bool>("t0");
    QTest::addColumn<int>("chunks");
    QTest::newRow("L=252: exactly one chunk") << certificateBlob(252) << false << 1;
    QTest::newRow("L=254: two chunks") << certificateBlob(254) << false << 2;
    QTest::newRow("L=254 over T=0") << certificateBlob(254) << true << 2;
    QTest::newRow("L=768: four chunks") << certificateBlob(768) << false << 4;
    QTest::newRow("4 KiB certificate") << readAll(QStringLiteral(ZENTAVO_TESTDATA_DIR "/size-4k.der")) << false << 16;
}

void TestCertReadBench::chunksCoverTheCertificate()
{
    QFETCH(QByteArray, certificate);
    QFETCH(bool, t0);
    QFETCH(int, chunks);
    QVERIFY(!certificate.isEmpty());
    SimCard::Profile profile = profileWith(certificate);
    profile.t0 = t0;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();

    const QString result = ZentavoTestAccess::readCertificate(w, 0);

    QCOMPARE(fixture->commandsHex(), expectedCommands(chunks));
    QCOMPARE(fixture->operationLines(), QStringList({certStart}));
    QCOMPARE(result, savedPath());
    // Whole chunks are handed on: the certificate, then the file's padding.
    const QByteArray saved = readAll(result);
    QCOMPARE(saved.size(), chunks * 256);
    QCOMPARE(saved.left(certificate.size()), certificate);
    QCOMPARE(saved.mid(certificate.size()), QByteArray(chunks * 256 - certificate.size(), '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 1, 3000);
}

void TestCertReadBench::lastAddressableChunkIsRead()
{
    const QByteArray certificate = certificateBlob(128 * 256 - 4);
    QVERIFY(fixture->startCard(profileWith(certificate)));

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    const QStringList commands = fixture->commandsHex();
    QCOMPARE(commands.size(), 3 + 128);
    QCOMPARE(commands.last(), QStringLiteral("00B07F0000"));
    QCOMPARE(readAll(result), certificate);
}

void TestCertReadBench::lengthNeedingUnaddressableChunksIsRefused()
{
    // Chunk 128 would set P1's top bit, which is no offset at all.
    QVERIFY(fixture->startCard(profileWith(certificateBlob(128 * 256 - 3))));

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    QCOMPARE(fixture->commandsHex(), expectedCommands(0));
    QCOMPARE(fixture->operationLines(), QStringList({certStart, certFailed}));
    QVERIFY(result.isEmpty());
    QVERIFY(!QFile::exists(savedPath()));
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 1, 3000);
}

void TestCertReadBench::errorStatusMidReadDropsEverything()
{
    SimCard::Profile profile = profileWith(certificateBlob(768));
    profile.faultCommand = QByteArray::fromHex("00B0020000");
    profile.faultSw = 0x6B00;
    QVERIFY(fixture->startCard(profile));

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    QCOMPARE(fixture->commandsHex(), expectedCommands(3));
    QCOMPARE(fixture->operationLines(), QStringList({certStart, certFailed}));
    QVERIFY(fixture->log().contains(QStringLiteral("Описание:  «Checking error: Wrong parameter P1-P2»")));
    QVERIFY(result.isEmpty());
    QVERIFY(!QFile::exists(savedPath()));
    QTRY_COMPARE_WITH_TIMEOUT(fixture->resets(), 1, 3000);
}

void TestCertReadBench::emptyChunkAnswerEndsTheRead()
{
    // 90 00 without data would leave the loop where it was, for ever.
    SimCard::Profile profile = profileWith(certificateBlob(768));
    profile.faultCommand = QByteArray::fromHex("00B0000000");
    profile.faultSw = 0x9000;
    QVERIFY(fixture->startCard(profile));

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    QCOMPARE(fixture->commandsHex(), expectedCommands(1));
    QCOMPARE(fixture->operationLines(), QStringList({certStart, certFailed}));
    QVERIFY(result.isEmpty());
    QVERIFY(!QFile::exists(savedPath()));
}

void TestCertReadBench::emptyHeaderAnswerEndsTheRead()
{
    SimCard::Profile profile = profileWith(certificateBlob(254));
    profile.emptyReadBinary = true;
    QVERIFY(fixture->startCard(profile));

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    QCOMPARE(fixture->commandsHex(), expectedCommands(0));
    QCOMPARE(fixture->operationLines(), QStringList({certStart, certFailed}));
    QVERIFY(result.isEmpty());
}

void TestCertReadBench::noCardGivesFailureLine()
{
    QVERIFY(fixture->startCard(SimCard::Profile(), false));
    ModalScript script;

    const QString result = ZentavoTestAccess::readCertificate(fixture->w(), 0);

    QCOMPARE(fixture->operationLines(), QStringList({certStart, certFailed}));
    QVERIFY(result.isEmpty());
    QVERIFY(!QFile::exists(savedPath()));
    QVERIFY(script.seen().isEmpty());
}

void TestCertReadBench::printButtonHandsTheBytesToTheForm()
{
    const QString formPath = QDir(QDir::tempPath()).filePath(QStringLiteral("Certificate.htm"));
    QFile::remove(formPath);
    SimCard::Profile profile;
    profile.certificateFile = QStringLiteral(ZENTAVO_TESTDATA_DIR "/driver-gost.der");
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ZentavoTestAccess::cardType(w) = 1;
    ModalScript script;

    ZentavoTestAccess::printCertificateClicked(w);

    // 917 bytes: four chunks.
    QCOMPARE(fixture->commandsHex(), expectedCommands(4));
    QVERIFY(!fixture->operationLines().contains(certFailed));
    QVERIFY(QFile::exists(formPath));
    QVERIFY(QFileInfo(formPath).size() > 0);
    QVERIFY(!QFile::exists(savedPath()));
}

QTEST_MAIN(TestCertReadBench)
#include "test_certread_bench.moc"
