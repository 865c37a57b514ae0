// Form templates in the installed layout: the program in PREFIX/bin finds the
// forms the bundle lacks in PREFIX/share/zentavo, and the bundle still wins.
// The printer looks next to the running executable, so this test copies itself
// into a scratch tree laid out like an installation and prints from that copy.
#include "certificate/printcertificate.h"
#include "support/testkit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <cstdio>
#include <memory>

using namespace testkit;

namespace {

// Set in the copy's environment: print once and report on stdout.
const char kChildCardType[] = "ZENTAVO_LAYOUT_PRINT_TYPE";
const char kChildCertificate[] = "ZENTAVO_LAYOUT_PRINT_CERT";

const QString kPrintLine = QStringLiteral("Печать сертификата");
const QString kFailureLine = QStringLiteral("Ошибка чтения сертификата карты");

class UrlReporter : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { std::printf("open %s\n", url.toLocalFile().toUtf8().constData()); }
};

int runPrintChild(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    UrlReporter reporter;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &reporter, "open");
    CPrintCertificate printer;
    QObject::connect(&printer, &CPrintCertificate::signalTrace,
                     [](const QString& line) { std::printf("trace %s\n", line.toUtf8().constData()); });
    printer.printCertificate(readFile(qEnvironmentVariable(kChildCertificate)),
                             qEnvironmentVariableIntValue(kChildCardType));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    std::fflush(stdout);
    return 0;
}

struct PrintRun
{
    QStringList traceLines;
    QStringList opened;
    QString document; // "Certificate.htm", empty when none was written
};

} // namespace

class TestInstallLayout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void controlFormIsFoundInTheDataDirectory();
    void controlFormMissingEverywhereFails();
    void bundledFormWinsOverTheDataDirectory();
    void dataDirectoryIsReadAfterTheExecutableDirectory_data();
    void dataDirectoryIsReadAfterTheExecutableDirectory();

private:
    QString binDir() const { return root->filePath(QStringLiteral("usr/bin")); }
    QString dataDir() const { return root->filePath(QStringLiteral("usr/share/zentavo")); }
    PrintRun print(const char* certificateFile, int cardType) const;

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QTemporaryDir> tmp;
    QString program;
};

void TestInstallLayout::initTestCase()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    QVERIFY(QDir().mkpath(binDir()));
    QVERIFY(QDir().mkpath(dataDir()));
    program = QDir(binDir()).filePath(QStringLiteral("zentavo"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
}

void TestInstallLayout::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
}

void TestInstallLayout::cleanup()
{
    for (const QString& dir : {binDir(), dataDir()}) {
        QFile::remove(QDir(dir).filePath(QStringLiteral("tacCertK.htm")));
        QFile::remove(QDir(dir).filePath(QStringLiteral("tacCertD.htm")));
    }
    tmp.reset();
}

PrintRun TestInstallLayout::print(const char* certificateFile, int cardType) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kChildCardType), QString::number(cardType));
    environment.insert(QString::fromLatin1(kChildCertificate),
                       QStringLiteral(ZENTAVO_TESTDATA_DIR "/") + QString::fromLatin1(certificateFile));
    environment.insert(QStringLiteral("TMPDIR"), tmp->path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {});
    PrintRun run;
    if (!child.waitForFinished(60000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished();
        run.traceLines << QStringLiteral("child failed: ") + child.errorString();
        return run;
    }
    const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.startsWith(QStringLiteral("trace ")))
            run.traceLines << line.mid(6);
        else if (line.startsWith(QStringLiteral("open ")))
            run.opened << line.mid(5);
    }
    run.document = fromUtf16le(readFile(tmp->filePath(QStringLiteral("Certificate.htm"))));
    return run;
}

void TestInstallLayout::controlFormIsFoundInTheDataDirectory()
{
    QVERIFY(QFile::copy(QStringLiteral(ZENTAVO_SOURCE_DIR "/resources/tacCertK.htm"),
                        QDir(dataDir()).filePath(QStringLiteral("tacCertK.htm"))));
    const PrintRun run = print("company-gost.der", 3);
    QCOMPARE(run.traceLines, QStringList{kPrintLine});
    QVERIFY(run.document.contains(QStringLiteral("Открытый ключ карты контролера")));
    QVERIFY(run.document.contains(QStringLiteral("<th>ОГРН</th><td>1025400000555</td>")));
    QCOMPARE(run.opened, QStringList{tmp->filePath(QStringLiteral("Certificate.htm"))});
}

void TestInstallLayout::controlFormMissingEverywhereFails()
{
    const PrintRun run = print("company-gost.der", 3);
    QCOMPARE(run.traceLines, (QStringList{kPrintLine, kFailureLine}));
    QVERIFY(run.document.isNull());
    QVERIFY(run.opened.isEmpty());
}

void TestInstallLayout::bundledFormWinsOverTheDataDirectory()
{
    QVERIFY(writeFile(QDir(dataDir()).filePath(QStringLiteral("tacCertD.htm")),
                      utf16le(QStringLiteral("replaced %%SUBJECTCN%%"))));
    const PrintRun run = print("driver-gost.der", 1);
    QCOMPARE(run.traceLines, QStringList{kPrintLine});
    QVERIFY(run.document.contains(QStringLiteral("Открытый ключ карты водителя")));
    QVERIFY(!run.document.contains(QStringLiteral("replaced")));
}

void TestInstallLayout::dataDirectoryIsReadAfterTheExecutableDirectory_data()
{
    QTest::addColumn<QByteArray>("besideExecutable");
    QTest::addColumn<QByteArray>("inDataDirectory");
    QTest::addColumn<QString>("expected");

    const QByteArray bin = utf16le(QStringLiteral("bin:%%SUBJECTINN%%"));
    const QByteArray share = utf16le(QStringLiteral("share:%%SUBJECTINN%%"));
    QTest::newRow("both readable: the data directory's") << bin << share << QStringLiteral("share:5401000555");
    QTest::newRow("data directory's without mark: the other")
        << bin << QByteArray("share") << QStringLiteral("bin:5401000555");
    QTest::newRow("data directory's empty: the other") << bin << QByteArray() << QStringLiteral("bin:5401000555");
    QTest::newRow("only the data directory's")
        << QByteArray("\xFE\xFF", 2) << share << QStringLiteral("share:5401000555");
}

void TestInstallLayout::dataDirectoryIsReadAfterTheExecutableDirectory()
{
    QFETCH(QByteArray, besideExecutable);
    QFETCH(QByteArray, inDataDirectory);
    QFETCH(QString, expected);
    QVERIFY(writeFile(QDir(binDir()).filePath(QStringLiteral("tacCertK.htm")), besideExecutable));
    QVERIFY(writeFile(QDir(dataDir()).filePath(QStringLiteral("tacCertK.htm")), inDataDirectory));
    const PrintRun run = print("company-gost.der", 3);
    QCOMPARE(run.traceLines, QStringList{kPrintLine});
    QCOMPARE(run.document, expected);
}

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet(kChildCardType))
        return runPrintChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestInstallLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_install_layout.moc"
