// The certificate document: fields of real GOST and EC certificates, the
// filling of form templates, and the two output files in the temporary directory.
#include "certificate/printcertificate.h"
#include "support/testkit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <ctime>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <thread>
#include <windows.h>
#endif

using namespace testkit;

namespace {

const QString kPrintLine = QStringLiteral("Печать сертификата");
const QString kFailureLine = QStringLiteral("Ошибка чтения сертификата карты");

const char* const kPlaceholderOrder[] = {
    "%%CERTNUMBER%%",    "%%CURRENTDATE%%", "%%ISSUER%%",     "%%ISSUERINN%%",     "%%ISSUEROGRN%%",   "%%ISSUERCITY%%",
    "%%ISSUERADDRESS%%", "%%SUBJECTCN%%",   "%%SUBJECTL%%",   "%%SUBJECTSTREET%%", "%%SUBJECTSNILS%%", "%%SUBJECTINN%%",
    "%%SUBJECTOGRN%%",   "%%VALIDFROM%%",   "%%VALIDTO%%",    "%%PUBLICKEY0%%",    "%%PUBLICKEY1%%",   "%%PUBLICKEY2%%",
    "%%PUBLICKEY3%%",    "%%PUBLICKEY4%%",  "%%PUBLICKEY5%%", "%%PUBLICKEY6%%",    "%%PUBLICKEY7%%",   "%%PUBLICKEY8%%",
    "%%PUBLICKEY9%%",    "%%PUBLICKEY10%%",
};

QByteArray testData(const QString& name)
{
    QFile file(QStringLiteral(ZENTAVO_TESTDATA_DIR "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test data %s", qPrintable(name));
    return file.readAll();
}

QSslCertificate certificate(const QString& name)
{
    return QSslCertificate(testData(name), QSsl::Der);
}

QString ruDate(int y, int m, int d)
{
    return QDate(y, m, d).toString(QStringLiteral("dd.MM.yyyy"));
}

} // namespace

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class TestCertificate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // fields
    void fieldsOfIssuerAndSubject_data();
    void fieldsOfIssuerAndSubject();
    void codesOutsideTheTableGiveEmptyText();
    void serialNumberIsTheMagnitudeWithoutSignOctet_data();
    void serialNumberIsTheMagnitudeWithoutSignOctet();
    void publicKeyIsTheBitStringContent_data();
    void publicKeyIsTheBitStringContent();
    void validityDateIsTheUtcCalendarDay();
    void todayIsTheLocalDate();
    void junkAfterTheCertificateIsIgnored();
    void bytesThatDoNotParseGiveEmptyFields();
    void damagedCertificatesNeverCrash();

    // filling
    void fillPutsEachFieldAtItsPlaceholder();
    void keyWithoutFirstKeyPlaceholderIsDropped();
    void secondOccurrenceOfPlaceholderStaysLiteral();
    void valueHoldingPlaceholderTextIsInsertedLiterally();
    void valuesAreEscapedAsHtmlText();
    void placeholdersOutOfOrderAreAllReplaced();
    void overlappingPlaceholdersDoNotCutValues();

    // forms
    void formsHoldPlaceholdersOnceInTableOrder_data();
    void formsHoldPlaceholdersOnceInTableOrder();

    // printing
    void printWritesTheFormOfTheCardType_data();
    void printWritesTheFormOfTheCardType();
    void addressWithoutStreetEndsWithComma();
    void printOfCardFileMatchesPlainCertificate();
    void cardTypeWithoutFormFails_data();
    void cardTypeWithoutFormFails();
    void controlFormIsTakenFromBesideTheExecutable();
    void controlFormWithoutByteOrderMarkIsIgnored_data();
    void controlFormWithoutByteOrderMarkIsIgnored();
    void bundledFormWinsOverFileBesideTheExecutable();
    void windowsReadsNoFormOutsideTheProgramFolder();
    void bytesThatDoNotParseFailThePrint();
    void printingAgainReplacesTheDocument();
    void printedFormFitsOneA4Page_data();
    void printedFormFitsOneA4Page();

    // output files
    void saveWritesTheBytesUnchanged();
    void outputFailsInUnwritableDirectory_data();
    void outputFailsInUnwritableDirectory();
    void plantedSymlinkIsReplacedNotFollowed();
    void shortWriteIsReportedAndKeepsThePreviousFile();
    void fileHeldByAScannerIsReplacedOnceLetGo();

private:
    // The program hands out native paths (C:\\...\\Certificate.htm on Windows).
    QString tempFile(const char* name) const
    {
        return QDir::toNativeSeparators(tmp->filePath(QString::fromLatin1(name)));
    }
    QString besideExecutable(const char* name) const
    {
        return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(name));
    }
    QStringList traceLines() const;
    QString field(const char* file, int code) const { return printer.certificateField(certificate(file), code); }
    QString fill(const QString& form, const char* file) const
    {
        QString text = form;
        printer.fillTemplate(text, certificate(file));
        return text;
    }
    QString printedDocument() const { return fromUtf16le(readFile(tempFile("Certificate.htm"))); }

    CPrintCertificate printer;
    UrlCatcher catcher;
    QString baseTemp;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<QSignalSpy> trace;
};

// Where QDir::tempPath() looks: TMPDIR on Unix, TMP on Windows.
static void setTempDir(const QString& dir)
{
#ifdef Q_OS_WIN
    qputenv("TMP", QDir::toNativeSeparators(dir).toLocal8Bit());
#else
    qputenv("TMPDIR", QFile::encodeName(dir));
#endif
}

void TestCertificate::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    baseTemp = QDir::tempPath();
    // The tests assume the dd.MM.yyyy short format and a zone east of UTC.
    QCOMPARE(QLocale::system().toString(QDate(2013, 2, 1), QLocale::ShortFormat), QStringLiteral("01.02.2013"));
    QCOMPARE(QDateTime(QDate(2013, 2, 1), QTime(21, 0), Qt::UTC).toLocalTime().date(), QDate(2013, 2, 2));
}

void TestCertificate::init()
{
    tmp = std::make_unique<QTemporaryDir>(baseTemp + QStringLiteral("/certificate-XXXXXX"));
    QVERIFY(tmp->isValid());
    setTempDir(tmp->path());
    QCOMPARE(QDir::tempPath(), tmp->path());
    catcher.urls.clear();
    trace = std::make_unique<QSignalSpy>(&printer, &CPrintCertificate::signalTrace);
}

void TestCertificate::cleanup()
{
    QFile::remove(besideExecutable("tacCertK.htm"));
    QFile::remove(besideExecutable("tacCertD.htm"));
    trace.reset();
    tmp.reset();
}

void TestCertificate::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QStringList TestCertificate::traceLines() const
{
    QStringList lines;
    for (const QList<QVariant>& arguments : *trace)
        lines << arguments.at(0).toString();
    return lines;
}

// ---------------------------------------------------------------- fields

void TestCertificate::fieldsOfIssuerAndSubject_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    const QString driver = QStringLiteral("driver-gost.der");
    QTest::newRow("issuer O") << driver << 1 << "АО «Тестовый удостоверяющий центр»";
    QTest::newRow("issuer CN") << driver << 2 << "Тестовый УЦ карт тахографа";
    QTest::newRow("issuer L") << driver << 3 << "Москва";
    QTest::newRow("issuer OU") << driver << 4 << "Отдел карт тахографа";
    QTest::newRow("issuer C") << driver << 5 << "RU";
    QTest::newRow("issuer ST") << driver << 6 << "Москва";
    QTest::newRow("issuer street") << driver << 7 << "ул. Тверская, д. 1";
    QTest::newRow("issuer without SNILS") << driver << 8 << "";
    QTest::newRow("issuer INN") << driver << 9 << "7701000001";
    QTest::newRow("issuer OGRN") << driver << 10 << "1027700000001";
    QTest::newRow("subject without O") << driver << 50 << "";
    QTest::newRow("subject CN") << driver << 51 << "Иванов Иван Иванович";
    QTest::newRow("subject L") << driver << 52 << "Санкт-Петербург";
    QTest::newRow("subject without OU") << driver << 53 << "";
    QTest::newRow("subject C") << driver << 54 << "RU";
    QTest::newRow("subject ST") << driver << 55 << "Санкт-Петербург";
    QTest::newRow("subject street") << driver << 56 << "Невский пр., д. 10, кв. 5";
    QTest::newRow("subject SNILS") << driver << 57 << "11223344595";
    QTest::newRow("subject INN") << driver << 58 << "780123456789";
    QTest::newRow("subject without OGRN") << driver << 59 << "";
    QTest::newRow("version") << driver << 102 << "3";

    const QString workshop = QStringLiteral("workshop-ec.der");
    QTest::newRow("EC subject O") << workshop << 50 << "ООО «Мастерская»";
    QTest::newRow("EC subject without street") << workshop << 56 << "";
    QTest::newRow("EC subject INN") << workshop << 58 << "1655000123";
    QTest::newRow("EC subject OGRN") << workshop << 59 << "1021602800123";

    const QString twoInn = QStringLiteral("twoinn-gost.der");
    QTest::newRow("first of two INN") << twoInn << 58 << "690100000011";
    QTest::newRow("first of two OU") << twoInn << 53 << "Первый отдел";
    QTest::newRow("SNILS after two INN") << twoInn << 57 << "12345678964";

    const QString markup = QStringLiteral("markup-ec.der");
    QTest::newRow("INN of issuer only: issuer") << markup << 9 << "7701000001";
    QTest::newRow("INN of issuer only: subject") << markup << 58 << "";

    // Since 2021 an organisation's INN is INNLE, an entrepreneur's OGRN is OGRNIP.
    const QString innle = QStringLiteral("company-innle-gost.der");
    QTest::newRow("issuer INNLE as UTF8String") << innle << 9 << "7702000004";
    QTest::newRow("subject INNLE as NumericString") << innle << 58 << "5501000666";
    QTest::newRow("subject OGRNIP") << QStringLiteral("entrepreneur-gost.der") << 59 << "304550100000777";
    QTest::newRow("INN wins over INNLE stated first") << QStringLiteral("director-gost.der") << 58 << "550100000888";
}

void TestCertificate::fieldsOfIssuerAndSubject()
{
    QFETCH(QString, file);
    QFETCH(int, code);
    QFETCH(QString, expected);
    const QSslCertificate cert = certificate(file);
    QVERIFY(!cert.isNull());
    QCOMPARE(printer.certificateField(cert, code), expected);
}

void TestCertificate::codesOutsideTheTableGiveEmptyText()
{
    const QSslCertificate cert = certificate(QStringLiteral("driver-gost.der"));
    for (int code : {0, 11, 49, 60, 99, 106, -1, -50, 1000})
        QVERIFY2(printer.certificateField(cert, code).isEmpty(), qPrintable(QString::number(code)));
}

void TestCertificate::serialNumberIsTheMagnitudeWithoutSignOctet_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sign octet") << "driver-gost.der" << QByteArray::fromHex("020700C31F5A7E0142")
                                << "C3 1F 5A 7E 01 42 ";
    QTest::newRow("three bytes") << "twoinn-gost.der" << QByteArray::fromHex("020301A30F") << "01 A3 0F ";
    QTest::newRow("0A") << "workshop-ec.der" << QByteArray::fromHex("02010A") << "0A ";
    QTest::newRow("05") << "markup-ec.der" << QByteArray::fromHex("020105") << "05 ";
}

void TestCertificate::serialNumberIsTheMagnitudeWithoutSignOctet()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, encoded);
    QFETCH(QString, expected);
    QVERIFY(testData(file).contains(encoded));
    QCOMPARE(printer.certificateField(certificate(file), 103), expected);
}

void TestCertificate::publicKeyIsTheBitStringContent_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bitStringHeader");
    QTest::addColumn<int>("keyBytes");
    QTest::addColumn<QString>("start");
    QTest::newRow("GOST R 34.10-2012") << "driver-gost.der" << QByteArray::fromHex("034300") << 66 << "04 40 ";
    QTest::newRow("EC P-256") << "workshop-ec.der" << QByteArray::fromHex("034200") << 65 << "04 ";
}

void TestCertificate::publicKeyIsTheBitStringContent()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bitStringHeader);
    QFETCH(int, keyBytes);
    QFETCH(QString, start);
    const QString key = printer.certificateField(certificate(file), 104);
    QCOMPARE(key.size(), keyBytes * 3);
    QVERIFY(key.startsWith(start));
    QVERIFY(QRegularExpression(QStringLiteral("^([0-9A-F]{2} )+$")).match(key).hasMatch());
    // The bytes stand in the DER right after the BIT STRING header and its unused-bits octet.
    QVERIFY(testData(file).contains(bitStringHeader + QByteArray::fromHex(key.toLatin1())));
}

void TestCertificate::validityDateIsTheUtcCalendarDay()
{
    // notBefore 2013-02-01 21:00:00 UTC is already 2 February in Moscow.
    QCOMPARE(field("driver-gost.der", 100), ruDate(2013, 2, 1));
    QCOMPARE(field("driver-gost.der", 101), ruDate(2016, 2, 1));
    QCOMPARE(field("workshop-ec.der", 100), ruDate(2024, 1, 15));
}

void TestCertificate::todayIsTheLocalDate()
{
    const QString today = field("driver-gost.der", 105);
    QCOMPARE(QDate::fromString(today, QStringLiteral("dd.MM.yyyy")), QDate::currentDate());
    QCOMPARE(printer.certificateField(QSslCertificate(), 105), today);
}

void TestCertificate::junkAfterTheCertificateIsIgnored()
{
    const QSslCertificate plain = certificate(QStringLiteral("driver-gost.der"));
    const QSslCertificate card = certificate(QStringLiteral("driver-gost-card.bin"));
    QVERIFY(!card.isNull());
    for (int code : {2, 9, 51, 57, 100, 103, 104})
        QCOMPARE(printer.certificateField(card, code), printer.certificateField(plain, code));
}

void TestCertificate::bytesThatDoNotParseGiveEmptyFields()
{
    const QByteArray der = testData(QStringLiteral("driver-gost.der"));
    const QByteArray samples[] = {QByteArray(), QByteArray("\x30\x82\x03\x91", 4), der.left(der.size() / 2),
                                  QByteArray(300, '\xFF')};
    for (const QByteArray& bytes : samples) {
        const QSslCertificate cert(bytes, QSsl::Der);
        QVERIFY(cert.isNull());
        for (int code = -1; code <= 104; ++code)
            QVERIFY2(printer.certificateField(cert, code).isEmpty(), qPrintable(QString::number(code)));
    }
}

void TestCertificate::damagedCertificatesNeverCrash()
{
    const QByteArray der = testData(QStringLiteral("twoinn-gost.der"));
    QRandomGenerator random(7);
    int parsed = 0;
    for (int round = 0; round < 400; ++round) {
        QByteArray bytes = der;
        for (int flips = 1 + round % 4; flips > 0; --flips)
            bytes[random.bounded(bytes.size())] = char(random.bounded(256));
        const QSslCertificate cert(bytes, QSsl::Der);
        parsed += cert.isNull() ? 0 : 1;
        for (int code : {1, 2, 7, 8, 9, 10, 51, 56, 57, 58, 59, 100, 101, 102, 103, 104}) {
            const QString text = printer.certificateField(cert, code);
            if (cert.isNull())
                QVERIFY(text.isEmpty());
        }
    }
    QVERIFY(parsed > 0); // some damage must leave a certificate that still parses
}

// ---------------------------------------------------------------- filling

void TestCertificate::fillPutsEachFieldAtItsPlaceholder()
{
    QStringList names;
    for (const char* name : kPlaceholderOrder)
        names << QString::fromLatin1(name);
    const QStringList parts = fill(names.join(QLatin1Char('|')), "driver-gost.der").split(QLatin1Char('|'));
    QCOMPARE(parts.size(), 26);

    const int codes[] = {103, 105, 2, 9, 10, 3, 7, 51, 52, 56, 57, 58, 59, 100, 101};
    for (int i = 0; i < 15; ++i)
        QCOMPARE(parts[i], field("driver-gost.der", codes[i]));

    // A GOST key is 66 bytes, 198 characters: four full lines and 18 characters.
    const QString key = field("driver-gost.der", 104);
    QCOMPARE(key.size(), 198);
    for (int line = 0; line < 4; ++line) {
        QCOMPARE(parts[15 + line], key.mid(line * 45, 45));
        QVERIFY(parts[15 + line].endsWith(QLatin1Char(' ')));
    }
    QCOMPARE(parts[19], key.mid(180));
    QCOMPARE(parts[19].size(), 18);
    for (int i = 20; i < 26; ++i)
        QCOMPARE(parts[i], QString());
}

void TestCertificate::keyWithoutFirstKeyPlaceholderIsDropped()
{
    QCOMPARE(fill(QStringLiteral("a%%PUBLICKEY1%%b%%PUBLICKEY2%%c"), "driver-gost.der"), QStringLiteral("abc"));
}

void TestCertificate::secondOccurrenceOfPlaceholderStaysLiteral()
{
    QCOMPARE(fill(QStringLiteral("%%SUBJECTCN%% / %%SUBJECTCN%%"), "driver-gost.der"),
             QStringLiteral("Иванов Иван Иванович / %%SUBJECTCN%%"));
}

void TestCertificate::valueHoldingPlaceholderTextIsInsertedLiterally()
{
    // The subject's locality of this certificate is the text %%VALIDTO%%.
    QCOMPARE(fill(QStringLiteral("<%%SUBJECTL%%> <%%VALIDTO%%>"), "markup-ec.der"),
             QStringLiteral("<%%VALIDTO%%> <") + ruDate(2029, 1, 15) + QStringLiteral(">"));
}

void TestCertificate::valuesAreEscapedAsHtmlText()
{
    QCOMPARE(fill(QStringLiteral("<td>%%SUBJECTCN%%</td><td>%%SUBJECTSTREET%%</td>"), "markup-ec.der"),
             QStringLiteral("<td>Сидоров &lt;b&gt;&quot;Сид&quot;&lt;/b&gt; &amp; Co</td>"
                            "<td>ул. &lt;Новая&gt; &amp; д. 2</td>"));
}

void TestCertificate::placeholdersOutOfOrderAreAllReplaced()
{
    QCOMPARE(fill(QStringLiteral("%%VALIDTO%%; %%SUBJECTCN%%; %%CERTNUMBER%%"), "driver-gost.der"),
             ruDate(2016, 2, 1) + QStringLiteral("; Иванов Иван Иванович; C3 1F 5A 7E 01 42 "));
}

void TestCertificate::overlappingPlaceholdersDoNotCutValues()
{
    // "%%SUBJECTCN%%VALIDTO%%" also holds %%VALIDTO%% sharing the middle "%%".
    QCOMPARE(fill(QStringLiteral("%%SUBJECTCN%%VALIDTO%%"), "driver-gost.der"),
             QStringLiteral("Иванов Иван ИвановичVALIDTO%%"));
}

// ---------------------------------------------------------------- forms

void TestCertificate::formsHoldPlaceholdersOnceInTableOrder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<bool>("snils");
    QTest::newRow("driver") << ":/tacCertD.htm"
                            << "Открытый ключ карты водителя" << true;
    QTest::newRow("workshop") << ":/tacCertM.htm"
                              << "Открытый ключ карты мастерской" << false;
    QTest::newRow("company") << ":/tacCertP.htm"
                             << "Открытый ключ карты предприятия" << false;
    QTest::newRow("control") << ZENTAVO_SOURCE_DIR "/resources/tacCertK.htm"
                             << "Открытый ключ карты контролера" << false;
}

void TestCertificate::formsHoldPlaceholdersOnceInTableOrder()
{
    QFETCH(QString, path);
    QFETCH(QString, heading);
    QFETCH(bool, snils);
    const QString form = fromUtf16le(readFile(path));
    QVERIFY(!form.isEmpty());

    qsizetype last = -1;
    for (const char* name : kPlaceholderOrder) {
        const QString placeholder = QString::fromLatin1(name);
        const qsizetype at = form.indexOf(placeholder);
        QVERIFY2(form.count(placeholder) <= 1, name);
        if (at == -1)
            continue;
        QVERIFY2(at > last, name);
        last = at;
    }
    for (int i = 0; i <= 10; ++i)
        QCOMPARE(form.contains(QStringLiteral("%%PUBLICKEY%1%%").arg(i)), i <= 5);
    QCOMPARE(form.count(QStringLiteral("%%")), (snils ? 19 : 20) * 2);
    QCOMPARE(form.contains(QStringLiteral("%%SUBJECTSNILS%%")), snils);
    QCOMPARE(form.contains(QStringLiteral("%%SUBJECTINN%%")), !snils);
    QCOMPARE(form.contains(QStringLiteral("%%SUBJECTOGRN%%")), !snils);
    QVERIFY(form.contains(heading));
    QVERIFY(form.contains(QStringLiteral("size: A4")));
    QVERIFY(form.contains(QStringLiteral("Сертификат ключа электронной цифровой подписи")));
    QCOMPARE(form.count(QStringLiteral(">______________</td><td>/</td><td>_________________________</td><td>/<")), 2);
}

// ---------------------------------------------------------------- printing

void TestCertificate::printWritesTheFormOfTheCardType_data()
{
    QTest::addColumn<int>("cardType");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("driver") << 1 << "driver-gost.der"
                            << "Открытый ключ карты водителя"
                            << QStringList{"<th>СНИЛС</th><td>11223344595</td>",
                                           "<td>Санкт-Петербург, Невский пр., д. 10, кв. 5</td>"};
    QTest::newRow("workshop") << 2 << "workshop-ec.der"
                              << "Открытый ключ карты мастерской"
                              << QStringList{"<th>ИНН</th><td>1655000123</td>", "<th>ОГРН</th><td>1021602800123</td>"};
    QTest::newRow("company") << 4 << "company-gost.der"
                             << "Открытый ключ карты предприятия"
                             << QStringList{"<th>ИНН</th><td>5401000555</td>", "<th>ОГРН</th><td>1025400000555</td>"};
}

void TestCertificate::printWritesTheFormOfTheCardType()
{
    QFETCH(int, cardType);
    QFETCH(QString, file);
    QFETCH(QString, heading);
    QFETCH(QStringList, rows);
    printer.printCertificate(testData(file), cardType);
    QCOMPARE(traceLines(), QStringList{kPrintLine});

    const QString path = tempFile("Certificate.htm");
    const QString document = printedDocument();
    QVERIFY(document.startsWith(QStringLiteral("<!DOCTYPE html>")));
    QVERIFY(document.contains(heading));
    for (const QString& row : rows)
        QVERIFY2(document.contains(row), qPrintable(row));
    QVERIFY(document.contains(QStringLiteral("<p>ИНН 7701000001</p>")));
    QVERIFY(document.contains(QStringLiteral("<p>Москва, ул. Тверская, д. 1</p>")));
    QVERIFY(!document.contains(QStringLiteral("%%")));
    const QString key = printer.certificateField(certificate(file), 104);
    QVERIFY(document.contains(QStringLiteral("<p>") + key.left(45) + QStringLiteral("</p>")));

    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(QDir::toNativeSeparators(catcher.urls[0].toLocalFile()), path);
    // "file:///" and then the path: /tmp/... here, C:/Users/... on Windows.
    const QString slashed = QDir::fromNativeSeparators(path);
    QCOMPARE(catcher.urls[0].toString(),
             QStringLiteral("file://") + (slashed.startsWith(QLatin1Char('/')) ? slashed : QLatin1Char('/') + slashed));
}

void TestCertificate::addressWithoutStreetEndsWithComma()
{
    printer.printCertificate(testData(QStringLiteral("workshop-ec.der")), 2);
    QVERIFY(printedDocument().contains(QStringLiteral("<th>Адрес</th><td>Казань, </td>")));
}

void TestCertificate::printOfCardFileMatchesPlainCertificate()
{
    printer.printCertificate(testData(QStringLiteral("driver-gost.der")), 1);
    const QByteArray plain = readFile(tempFile("Certificate.htm"));
    printer.printCertificate(testData(QStringLiteral("driver-gost-card.bin")), 1);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kPrintLine}));
    QCOMPARE(readFile(tempFile("Certificate.htm")), plain);
}

void TestCertificate::cardTypeWithoutFormFails_data()
{
    QTest::addColumn<int>("cardType");
    QTest::newRow("unknown 0") << 0;
    QTest::newRow("control without form") << 3;
    QTest::newRow("5") << 5;
    QTest::newRow("negative") << -1;
}

void TestCertificate::cardTypeWithoutFormFails()
{
    QFETCH(int, cardType);
    const QByteArray der = testData(QStringLiteral("driver-gost.der"));
    printer.printCertificate(der, 1);
    const QByteArray earlier = readFile(tempFile("Certificate.htm"));
    QVERIFY(!earlier.isEmpty());
    trace->clear();
    catcher.urls.clear();

    printer.printCertificate(der, cardType);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    QVERIFY(catcher.urls.isEmpty());
    QCOMPARE(readFile(tempFile("Certificate.htm")), earlier);
}

void TestCertificate::controlFormIsTakenFromBesideTheExecutable()
{
    // Text after the first NUL is not part of the form.
    QVERIFY(writeFile(besideExecutable("tacCertK.htm"), utf16le(QStringLiteral("K:%%SUBJECTCN%%:%%SUBJECTINN%%")) +
                                                            QByteArray(2, '\0') +
                                                            utf16le(QStringLiteral("tail")).mid(2)));
    printer.printCertificate(testData(QStringLiteral("company-gost.der")), 3);
    QCOMPARE(traceLines(), QStringList{kPrintLine});
    QCOMPARE(readFile(tempFile("Certificate.htm")), utf16le(QStringLiteral("K:ООО «Перевозчик»:5401000555")));
    QCOMPARE(catcher.urls.size(), 1);

    // The form shipped with the program.
    QVERIFY(QFile::remove(besideExecutable("tacCertK.htm")));
    QVERIFY(
        QFile::copy(QStringLiteral(ZENTAVO_SOURCE_DIR "/resources/tacCertK.htm"), besideExecutable("tacCertK.htm")));
    printer.printCertificate(testData(QStringLiteral("company-gost.der")), 3);
    QVERIFY(printedDocument().contains(QStringLiteral("Открытый ключ карты контролера")));
    QVERIFY(printedDocument().contains(QStringLiteral("<th>ОГРН</th><td>1025400000555</td>")));
}

void TestCertificate::controlFormWithoutByteOrderMarkIsIgnored_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("UTF-8") << QByteArray("<p>%%SUBJECTCN%%</p>");
    QTest::newRow("UTF-16BE mark") << QByteArray("\xFE\xFF\0<", 4);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("\xFF");
    QTest::newRow("mark without text") << QByteArray("\xFF\xFE");
    QTest::newRow("mark, then NUL") << QByteArray("\xFF\xFE\0\0<\0", 6);
}

void TestCertificate::controlFormWithoutByteOrderMarkIsIgnored()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeFile(besideExecutable("tacCertK.htm"), bytes));
    printer.printCertificate(testData(QStringLiteral("company-gost.der")), 3);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    QVERIFY(!QFile::exists(tempFile("Certificate.htm")));
    QVERIFY(catcher.urls.isEmpty());
}

void TestCertificate::bundledFormWinsOverFileBesideTheExecutable()
{
    QVERIFY(writeFile(besideExecutable("tacCertD.htm"), utf16le(QStringLiteral("replaced %%SUBJECTCN%%"))));
    printer.printCertificate(testData(QStringLiteral("driver-gost.der")), 1);
    const QString document = printedDocument();
    QVERIFY(document.contains(QStringLiteral("Открытый ключ карты водителя")));
    QVERIFY(!document.contains(QStringLiteral("replaced")));
}

void TestCertificate::windowsReadsNoFormOutsideTheProgramFolder()
{
#ifndef Q_OS_WIN
    QSKIP("an installed program reads bin/../share on Unix (test_install_layout)");
#else
    // A zip unpacked to X:\Zentavo would read X:\share: anyone's on a shared drive.
    const QString share = QDir::cleanPath(besideExecutable("../share/zentavo"));
    QVERIFY(QDir().mkpath(share));
    const bool written = writeFile(share + QStringLiteral("/tacCertK.htm"), utf16le(QStringLiteral("K:%%SUBJECTCN%%")));
    printer.printCertificate(testData(QStringLiteral("company-gost.der")), 3);
    QDir(QDir::cleanPath(share + QStringLiteral("/.."))).removeRecursively();
    QVERIFY(written);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    QVERIFY(!QFile::exists(tempFile("Certificate.htm")));
#endif
}

void TestCertificate::bytesThatDoNotParseFailThePrint()
{
    const QByteArray der = testData(QStringLiteral("driver-gost.der"));
    for (const QByteArray& bytes : {QByteArray(), der.left(600), QByteArray(1024, '\0')}) {
        trace->clear();
        printer.printCertificate(bytes, 1);
        QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    }
    QVERIFY(!QFile::exists(tempFile("Certificate.htm")));
    QVERIFY(catcher.urls.isEmpty());
}

void TestCertificate::printingAgainReplacesTheDocument()
{
    printer.printCertificate(testData(QStringLiteral("company-gost.der")), 4);
    QVERIFY(printedDocument().contains(QStringLiteral("ООО «Перевозчик»")));
    printer.printCertificate(testData(QStringLiteral("driver-gost.der")), 1);
    const QString document = printedDocument();
    QVERIFY(document.contains(QStringLiteral("Иванов Иван Иванович")));
    QVERIFY(!document.contains(QStringLiteral("Перевозчик")));
    QVERIFY(document.endsWith(QStringLiteral("</html>\n")));
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files), QStringList{QStringLiteral("Certificate.htm")});
}

void TestCertificate::printedFormFitsOneA4Page_data()
{
    QTest::addColumn<int>("cardType");
    QTest::addColumn<QString>("file");
    QTest::newRow("driver, short values") << 1 << "driver-gost.der";
    QTest::newRow("company, short values") << 4 << "company-gost.der";
    QTest::newRow("company, long names and addresses") << 4 << "company-long-gost.der";
    QTest::newRow("driver, upper bounds, six key lines") << 1 << "driver-max-gost.der";
    QTest::newRow("company, upper bounds, six key lines") << 4 << "driver-max-gost.der";
}

// The form is one page that both parties sign: the browser's print to A4 must
// keep it on one page, signature block included, whatever the card holds. The
// browser's own header and footer (the date, the file's path with the user's
// name) must find no margin to print in: with them on, as browsers print by
// default, the page is the same as with them off, and the form keeps its margins.
void TestCertificate::printedFormFitsOneA4Page()
{
    QFETCH(int, cardType);
    QFETCH(QString, file);
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        QSKIP("chromium is not installed");
    const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
    if (pdftotext.isEmpty())
        QSKIP("pdftotext (poppler-utils) is not installed");
    printer.printCertificate(testData(file), cardType);
    QCOMPARE(traceLines(), QStringList{kPrintLine});
    QVERIFY(!printedDocument().contains(QStringLiteral("%%")));

    QStringList pages[2];
    for (const bool headerFooter : {true, false}) {
        const QString pdf = tempFile("form.pdf");
        QProcess browser;
        browser.setProcessChannelMode(QProcess::MergedChannels);
        QStringList args{QStringLiteral("--headless"),
                         QStringLiteral("--no-sandbox"),
                         QStringLiteral("--disable-gpu"),
                         QStringLiteral("--disable-quic"),
                         QStringLiteral("--no-first-run"),
                         QStringLiteral("--disable-background-networking"),
                         QStringLiteral("--disable-component-update"),
                         QStringLiteral("--disable-sync"),
                         QStringLiteral("--user-data-dir=") + tempFile("profile"),
                         QStringLiteral("--print-to-pdf=") + pdf};
        if (!headerFooter)
            args << QStringLiteral("--no-pdf-header-footer");
        browser.start(chromium, args << QUrl::fromLocalFile(tempFile("Certificate.htm")).toString());
        QVERIFY2(browser.waitForFinished(180000), "chromium did not finish");
        const QByteArray bytes = readFile(pdf);
        QVERIFY2(bytes.startsWith("%PDF"), browser.readAll().constData());
        // Page objects, not the page tree ("/Type /Pages").
        const qsizetype pageCount =
            QString::fromLatin1(bytes).count(QRegularExpression(QStringLiteral("/Type\\s*/Page(?![a-zA-Z])")));
        QCOMPARE(pageCount, qsizetype(1));
        // A4 and not the browser's default Letter: 595 x 842 points.
        QVERIFY2(bytes.contains("/MediaBox [0 0 594.95996 841.91998]") || bytes.contains("/MediaBox [0 0 595 842]"),
                 qPrintable(QString::fromLatin1(bytes.mid(bytes.indexOf("/MediaBox"), 40))));

        // Every word with its box, in points from the page's top left corner.
        QProcess text;
        text.start(pdftotext, {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
        QVERIFY(text.waitForFinished(30000));
        const QString boxes = QString::fromUtf8(text.readAllStandardOutput());
        const QRegularExpression word(QStringLiteral(
            "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">([^<]*)</word>"));
        constexpr double mm = 72 / 25.4;
        for (auto it = word.globalMatch(boxes); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            // The form's margins: 20 mm left, 12 mm right, 15 mm top, 14 mm bottom.
            QVERIFY2(m.captured(1).toDouble() >= 20 * mm && m.captured(3).toDouble() <= (210 - 12) * mm &&
                         m.captured(2).toDouble() >= 15 * mm && m.captured(4).toDouble() <= (297 - 14) * mm,
                     qPrintable(m.captured(0)));
            pages[headerFooter] << m.captured(0);
        }
        QVERIFY(!pages[headerFooter].isEmpty());
    }
    QCOMPARE(pages[true], pages[false]);
}

// ---------------------------------------------------------------- output files

void TestCertificate::saveWritesTheBytesUnchanged()
{
    const QByteArray card = testData(QStringLiteral("size-4k-card.bin"));
    const QString path = saveCertificate(card);
    QCOMPARE(path, tempFile("Certificate.cer"));
    QCOMPARE(readFile(path), card);

    const QByteArray shorter = testData(QStringLiteral("workshop-ec.der"));
    QCOMPARE(saveCertificate(shorter), path);
    QCOMPARE(readFile(path), shorter);
    QVERIFY(trace->isEmpty());
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files), QStringList{QStringLiteral("Certificate.cer")});
}

void TestCertificate::outputFailsInUnwritableDirectory_data()
{
    QTest::addColumn<QString>("directory");
    QTest::newRow("missing") << "missing/dir";
#ifdef Q_OS_UNIX
    QTest::newRow("proc") << "/proc"; // refuses new files even to root
#endif
    QTest::newRow("read-only") << "read-only";
}

void TestCertificate::outputFailsInUnwritableDirectory()
{
    QFETCH(QString, directory);
    if (directory == QLatin1String("read-only")) {
#ifdef Q_OS_UNIX
        if (geteuid() == 0)
            QSKIP("root writes into read-only directories");
#else
        QSKIP("a read-only attribute does not keep files out of a Windows directory");
#endif
        QVERIFY(QDir(tmp->path()).mkdir(directory));
        QVERIFY(QFile::setPermissions(tmp->filePath(directory), QFile::ReadOwner | QFile::ExeOwner));
    }
    const QString dir = QDir::isAbsolutePath(directory) ? directory : tmp->filePath(directory);
    setTempDir(dir);

    QCOMPARE(saveCertificate(testData(QStringLiteral("driver-gost.der"))), QString());
    printer.printCertificate(testData(QStringLiteral("driver-gost.der")), 1);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    QVERIFY(catcher.urls.isEmpty());
    QVERIFY(!QFile::exists(QDir(dir).filePath(QStringLiteral("Certificate.cer"))));
    QVERIFY(!QFile::exists(QStringLiteral("Certificate.cer"))); // nor in the current directory
    QVERIFY(!QFile::exists(QStringLiteral("Certificate.htm")));
}

void TestCertificate::plantedSymlinkIsReplacedNotFollowed()
{
#ifndef Q_OS_UNIX
    QSKIP("symbolic links need a privilege on Windows");
#endif
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    const QString absent = elsewhere.filePath(QStringLiteral("absent"));
    QVERIFY(writeFile(victim, "keep me"));
    QVERIFY(QFile::link(victim, tempFile("Certificate.cer")));
    QVERIFY(QFile::link(absent, tempFile("Certificate.htm")));

    const QByteArray der = testData(QStringLiteral("driver-gost.der"));
    QCOMPARE(saveCertificate(der), tempFile("Certificate.cer"));
    printer.printCertificate(der, 1);
    QCOMPARE(traceLines(), QStringList{kPrintLine});

    QCOMPARE(readFile(victim), QByteArray("keep me"));
    QVERIFY(!QFile::exists(absent));
    for (const char* name : {"Certificate.cer", "Certificate.htm"}) {
        const QFileInfo info(tempFile(name));
        QVERIFY2(!info.isSymLink() && info.isFile(), name);
    }
    QCOMPARE(readFile(tempFile("Certificate.cer")), der);
    QVERIFY(printedDocument().contains(QStringLiteral("Иванов Иван Иванович")));
}

void TestCertificate::shortWriteIsReportedAndKeepsThePreviousFile()
{
    const QByteArray small = testData(QStringLiteral("markup-ec.der"));
    QVERIFY(!saveCertificate(small).isEmpty());
    QVERIFY(writeFile(tempFile("Certificate.htm"), "earlier"));

#ifndef Q_OS_UNIX
    QSKIP("no file size limit to set on Windows");
#else
    // Files beyond 1 KB fail to grow, as on a full disk; root is bound by it too.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 1024;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const QString saved4k = saveCertificate(testData(QStringLiteral("size-4k.der")));
    printer.printCertificate(testData(QStringLiteral("driver-gost.der")), 1);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(saved4k, QString());
    QCOMPARE(readFile(tempFile("Certificate.cer")), small);
    QCOMPARE(traceLines(), (QStringList{kPrintLine, kFailureLine}));
    QCOMPARE(readFile(tempFile("Certificate.htm")), QByteArray("earlier"));
    QVERIFY(catcher.urls.isEmpty());
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files).size(), 2); // no leftover partial files
#endif
}

void TestCertificate::fileHeldByAScannerIsReplacedOnceLetGo()
{
#ifndef Q_OS_WIN
    QSKIP("Unix lets a file be renamed over while others hold it open");
#else
    const QString path = tempFile("Certificate.cer");
    QVERIFY(writeFile(path, "earlier"));
    // Open as a scanner opens it: others may read, nobody may replace it.
    const auto hold = [&] {
        return CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    };
    HANDLE held = hold();
    QVERIFY(held != INVALID_HANDLE_VALUE);
    std::thread scanner([held] {
        Sleep(300);
        CloseHandle(held);
    });
    const QByteArray der = testData(QStringLiteral("driver-gost.der"));
    const QString saved = saveCertificate(der);
    scanner.join();
    QCOMPARE(saved, path);
    QCOMPARE(readFile(path), der);

    // Held for good: the save gives up after a short while, as before.
    held = hold();
    QVERIFY(held != INVALID_HANDLE_VALUE);
    QElapsedTimer waited;
    waited.start();
    const QString refused = saveCertificate(testData(QStringLiteral("workshop-ec.der")));
    const qint64 elapsed = waited.elapsed();
    CloseHandle(held);
    QCOMPARE(refused, QString());
    QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    QCOMPARE(readFile(path), der);
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files), QStringList{QStringLiteral("Certificate.cer")});
#endif
}

int main(int argc, char** argv)
{
    // Russian short dates, and a zone where 21:00 UTC is the next day.
    qputenv("LC_ALL", "ru_RU.UTF-8");
#ifdef Q_OS_WIN
    qputenv("TZ", "MSK-3"); // the C runtime's own form
    _tzset();
#else
    qputenv("TZ", "Europe/Moscow");
    tzset();
#endif
    QGuiApplication app(argc, argv);
    TestCertificate test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_certificate.moc"
