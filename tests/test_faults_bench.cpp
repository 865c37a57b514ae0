// Faults against the private pcscd and the simulated card: the card pulled in
// the middle of the certificate read and of the PIN unblocking, a card that
// stops answering, the PC/SC service restarted between operations, and
// hundreds of insertions and removals seen by the shown window.
//
// ZENTAVO_CYCLES sets the number of insert/remove cycles (default 200).

#include "test_tacho_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

using A = ZentavoTestAccess;

namespace {
TachoBench* fixture = nullptr;
QTemporaryDir* tempDir = nullptr;

const QString certFailed = QStringLiteral("Ошибка чтения сертификата карты.");
const QString operationFailed = QStringLiteral("Ошибка выполнения операции.");
const QString cardSeen = QStringLiteral("Обнаружена карта тахографа");
const QString monitorFailed = QStringLiteral("Ошибка получения статуса считывателя карт");
const QByteArray earlierFile = "an earlier file that must survive";

QString outputPath(const char* name)
{
    return QDir(QDir::tempPath()).filePath(QString::fromLatin1(name));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void plantEarlierOutputs()
{
    for (const char* name : {"Certificate.cer", "Certificate.htm"}) {
        QFile file(outputPath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(earlierFile) != earlierFile.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
}

bool earlierOutputsKept()
{
    return readAll(outputPath("Certificate.cer")) == earlierFile &&
           readAll(outputPath("Certificate.htm")) == earlierFile;
}

SimCard::Profile profileWithCertificate()
{
    SimCard::Profile profile;
    profile.certificateFile = QStringLiteral(ZENTAVO_TESTDATA_DIR "/size-1k.der"); // 4 chunks
    return profile;
}

int cycleCount()
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("ZENTAVO_CYCLES", &ok);
    return ok && n > 0 ? n : 200;
}
} // namespace

class TestFaultsBench : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void cardPulledMidCertificateKeepsEarlierFiles_data();
    void cardPulledMidCertificateKeepsEarlierFiles();
    void certificateShorterThanItsLengthFails_data();
    void certificateShorterThanItsLengthFails();
    void silentCardFailsTheCertificateRead();
    void silentCardFailsThePinCheckWithABox();
    void cardPulledDuringUnblockIsAFailureNotASuccess();
    void serviceRestartedWhileReleasedSelectsAtOnce();
    void serviceRestartedWhileWatchedThenEveryOperationWorks();
    void manyInsertionsAndRemovalsLeaveNoTrace();
    void garbageSettingsFileStartsOnTheFirstReaderAndIsMended_data();
    void garbageSettingsFileStartsOnTheFirstReaderAndIsMended();
};

void TestFaultsBench::initTestCase()
{
    tempDir = new QTemporaryDir;
    QVERIFY(tempDir->isValid());
    // The shown window stores its reader index: keep the user's settings out of reach.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, tempDir->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, tempDir->path());
    // The output files go to a directory of this test only.
    qputenv("TMPDIR", QFile::encodeName(tempDir->path()));
    QCOMPARE(QDir::tempPath(), QDir(tempDir->path()).canonicalPath());
    fixture = new TachoBench;
    QVERIFY(fixture->start());
}

void TestFaultsBench::cleanupTestCase()
{
    delete fixture;
    fixture = nullptr;
    delete tempDir;
    tempDir = nullptr;
}

void TestFaultsBench::init()
{
    if (!fixture->bench.isRunning())
        QVERIFY2(fixture->bench.restart(), qPrintable(fixture->bench.errorString()));
    plantEarlierOutputs();
}

void TestFaultsBench::cleanup()
{
    fixture->finish();
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::cardPulledMidCertificateKeepsEarlierFiles_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("removeAfter");
    // SELECT, SELECT, header, then chunks 0 to 3 of the 1024-byte file.
    QTest::newRow("save, at the header") << 0 << 2;
    QTest::newRow("save, at chunk 1") << 0 << 4;
    QTest::newRow("save, at the last chunk") << 0 << 6;
    QTest::newRow("print, at chunk 1") << 1 << 4;
    QTest::newRow("print, at the last chunk") << 1 << 6;
}

void TestFaultsBench::cardPulledMidCertificateKeepsEarlierFiles()
{
    QFETCH(int, mode);
    QFETCH(int, removeAfter);
    SimCard::Profile profile = profileWithCertificate();
    profile.removeAfter = removeAfter;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    A::cardType(w) = 1;

    const QString path = ZentavoTestAccess::readCertificate(w, mode);
    QCoreApplication::sendPostedEvents(); // the printer's lines are queued

    QVERIFY(path.isEmpty());
    QCOMPARE(fixture->operationLines().last(), certFailed);
    QCOMPARE(fixture->card->commands().size(), removeAfter);
    QVERIFY(earlierOutputsKept());
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::certificateShorterThanItsLengthFails_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("size");
    // The header states 1020 bytes after it; the file ends before.
    QTest::newRow("save, file ends inside a chunk") << 0 << 600;
    QTest::newRow("save, file ends at a chunk's start") << 0 << 512;
    QTest::newRow("print, file ends inside a chunk") << 1 << 600;
    QTest::newRow("print, file ends after the header") << 1 << 4;
}

void TestFaultsBench::certificateShorterThanItsLengthFails()
{
    QFETCH(int, mode);
    QFETCH(int, size);
    const QString path = tempDir->filePath(QStringLiteral("short-%1.der").arg(size));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray whole = readAll(profileWithCertificate().certificateFile);
        QCOMPARE(file.write(whole.left(size)), qint64(size));
    }
    SimCard::Profile profile;
    profile.certificateFile = path;
    profile.certificateFileSize = size;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    A::cardType(w) = 1;

    QVERIFY(ZentavoTestAccess::readCertificate(w, mode).isEmpty());
    QCoreApplication::sendPostedEvents();

    QCOMPARE(fixture->operationLines().last(), certFailed);
    QVERIFY(earlierOutputsKept());
}

void TestFaultsBench::silentCardFailsTheCertificateRead()
{
    // The card takes every command and never answers; the simulator pulls it
    // after a while, which ends the blocked exchange.
    SimCard::Profile profile = profileWithCertificate();
    profile.mute = true;
    profile.muteReleaseMs = 1500;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    A::cardType(w) = 1;
    ModalScript script;

    A::printCertificateClicked(w);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(fixture->operationLines(), QStringList({QStringLiteral("Чтение сертификата"), certFailed}));
    QVERIFY(earlierOutputsKept());
    QVERIFY(script.seen().isEmpty());
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::silentCardFailsThePinCheckWithABox()
{
    SimCard::Profile profile;
    profile.mute = true;
    profile.muteReleaseMs = 1500;
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    script.add(ModalScript::ok());

    A::onHyperLink(w, QStringLiteral("#verify"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).text, operationFailed);
    QCOMPARE(script.seen().at(1).icon, QMessageBox::Critical);
    QCOMPARE(fixture->operationLines().last(), operationFailed);
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::cardPulledDuringUnblockIsAFailureNotASuccess()
{
    SimCard::Profile profile;
    profile.pinTries = 0;    // blocked
    profile.removeAfter = 1; // answers SELECT, leaves during RESET RETRY COUNTER
    QVERIFY(fixture->startCard(profile));
    Zentavo& w = fixture->w();
    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("4321"), QStringLiteral("12345678")));
    script.add(ModalScript::ok());

    A::onHyperLink(w, QStringLiteral("#unblock"));

    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).text, operationFailed);
    QCOMPARE(script.seen().at(1).icon, QMessageBox::Critical);
    QCOMPARE(fixture->card->commands().size(), 1);
    QVERIFY(!fixture->log().contains(QStringLiteral("успешно")));
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::serviceRestartedWhileReleasedSelectsAtOnce()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    fixture->window.reset(new Zentavo);
    Zentavo& w = fixture->w();
    w.show();
    QCOMPARE(A::selectedReader(w), fixture->bench.readerName(0));
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);
    A::selectReaderToggle(w); // released

    QVERIFY2(fixture->bench.restart(), qPrintable(fixture->bench.errorString()));
    QVERIFY(fixture->bench.waitCardPresent(0, true));
    const int before = A::logLines(w).size();

    // The first selection after the restart watches the reader and reads the card.
    A::selectReaderToggle(w);

    QCOMPARE(A::selectedReader(w), fixture->bench.readerName(0));
    QVERIFY(!A::logLines(w).mid(before).contains(monitorFailed));
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);
    QCOMPARE(A::edSKZINumber(w)->text(), QStringLiteral("SKZI000000000001"));
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::serviceRestartedWhileWatchedThenEveryOperationWorks()
{
    QVERIFY(fixture->startCard(profileWithCertificate()));
    fixture->window.reset(new Zentavo);
    Zentavo& w = fixture->w();
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);

    QVERIFY2(fixture->bench.restart(), qPrintable(fixture->bench.errorString()));
    // The watch fails: the reader is released and the failure logged.
    QTRY_VERIFY_WITH_TIMEOUT(A::selectedReader(w).isEmpty(), 5000);
    QVERIFY(A::logLines(w).contains(monitorFailed));
    QVERIFY(A::edCardNumber(w)->text().isEmpty());
    QVERIFY(fixture->bench.waitCardPresent(0, true));

    // The user lists the readers again and selects: the card is read, then
    // printed, saved and its PIN checked, all on the service that came back.
    A::onHyperLink(w, QStringLiteral("#readers"));
    QVERIFY(A::bnSelectReader(w)->isEnabled());
    A::selectReaderToggle(w);
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);

    A::printCertificateClicked(w);
    QCoreApplication::sendPostedEvents();
    QVERIFY(readAll(outputPath("Certificate.htm")).startsWith("\xFF\xFE"));
    QCOMPARE(ZentavoTestAccess::readCertificate(w, 0), outputPath("Certificate.cer"));
    QCOMPARE(readAll(outputPath("Certificate.cer")).left(1024), readAll(profileWithCertificate().certificateFile));

    ModalScript script;
    script.add(ModalScript::pin(QStringLiteral("1234")));
    script.add(ModalScript::ok());
    A::onHyperLink(w, QStringLiteral("#verify"));
    QCOMPARE(script.kinds(), QStringList({QStringLiteral("pin"), QStringLiteral("message")}));
    QCOMPARE(script.seen().at(1).icon, QMessageBox::Information);
    QVERIFY(!QApplication::overrideCursor());
}

void TestFaultsBench::manyInsertionsAndRemovalsLeaveNoTrace()
{
    QVERIFY(fixture->startCard(SimCard::Profile()));
    fixture->window.reset(new Zentavo);
    Zentavo& w = fixture->w();
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);
    // Counted after the first cycle, which makes what Qt creates once.
    int objects = 0;
    int windows = 0;

    const int cycles = cycleCount() + 1;
    for (int i = 0; i < cycles; ++i) {
        if (i == 1) {
            objects = int(w.findChildren<QObject*>().size());
            windows = int(QApplication::topLevelWidgets().size());
        }
        QVERIFY2(fixture->card->remove(), qPrintable(fixture->card->errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(A::edCardNumber(w)->text().isEmpty() && !A::bnReadCard(w)->isEnabled(), 5000);
        QVERIFY2(fixture->card->insert(), qPrintable(fixture->card->errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);
        QVERIFY(A::waitIdle(w));
        QCOMPARE(A::edSKZINumber(w)->text(), QStringLiteral("SKZI000000000001"));
    }

    QCOMPARE(A::selectedReader(w), fixture->bench.readerName(0));
    QVERIFY(!QApplication::overrideCursor());
    // Each removal empties the log: what is left is the last insertion's reading.
    QVERIFY(A::logLines(w).size() < 40);
    QCOMPARE(A::logLines(w).count(cardSeen), 1);
    QCOMPARE(int(w.findChildren<QObject*>().size()), objects);
    QCOMPARE(int(QApplication::topLevelWidgets().size()), windows);
}

void TestFaultsBench::garbageSettingsFileStartsOnTheFirstReaderAndIsMended_data()
{
    QTest::addColumn<QByteArray>("contents");
    QByteArray binary;
    for (int i = 0; i < 512; ++i)
        binary.append(char((i * 37 + 11) & 0xFF));
    QTest::newRow("binary") << binary;
    QTest::newRow("broken section") << QByteArray("[General\nLastReader=1\n[[[\n=\xFF\xFE\n");
    QTest::newRow("huge number") << QByteArray("[General]\nLastReader=99999999999999999999\n");
    QTest::newRow("negative") << QByteArray("[General]\nLastReader=-2147483648\n");
    QTest::newRow("list") << QByteArray("[General]\nLastReader=1, 2, 3\n");
    QTest::newRow("byte array") << QByteArray("[General]\nLastReader=@ByteArray(\\0\\0)\n");
}

void TestFaultsBench::garbageSettingsFileStartsOnTheFirstReaderAndIsMended()
{
    QFETCH(QByteArray, contents);
    const QString path = QSettings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo")).fileName();
    QDir().mkpath(QFileInfo(path).path());
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(contents), qint64(contents.size()));
    }
    QVERIFY(fixture->startCard(SimCard::Profile()));
    fixture->window.reset(new Zentavo);
    Zentavo& w = fixture->w();

    w.show();

    QCOMPARE(A::currentIndex(w), 0);
    QCOMPARE(A::selectedReader(w), fixture->bench.readerName(0));
    QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(w)->text(), QStringLiteral("RUD0000000000001"), 5000);

    // The second reader is chosen; closing stores it for the next start.
    A::selectReaderToggle(w);
    A::cbReaders(w)->setCurrentIndex(1);
    fixture->window.reset();
    QSettings settings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"));
    QCOMPARE(settings.value(QStringLiteral("General/LastReader")).toInt(), 1);
}

QTEST_MAIN(TestFaultsBench)
#include "test_faults_bench.moc"
