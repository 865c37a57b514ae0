// Every refusal a card can give, fed to each card operation through the PC/SC
// fake: each listed status word, 61xx and 6Cxx, unlisted words and answers of
// the wrong length. Each must end in a clear failure that shows nothing from
// the card, writes no file and leaves earlier files as they were.

#include "card/cardhandle.h"
#include "fake/fakepcsc.h"
#include "support/zentavo_access.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

using A = ZentavoTestAccess;

namespace {

const QString operationFailed = QStringLiteral("Ошибка выполнения операции.");
const QString cardBusy = QStringLiteral("Карта занята другой программой. Закройте её или повторите позже.");
const QString cardWaiting = QStringLiteral("Карта занята другой программой. Ожидание…");
const QByteArray earlierFile = "an earlier file that must survive";

// Answers each modal box as it shows: the PIN dialog with PIN 1234 (and PUK
// 12345678), a message box with OK after noting its text.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer() { qApp->installEventFilter(this); }
    ~BoxAnswerer() override { qApp->removeEventFilter(this); }
    QStringList messages;
    // The PC/SC call made last when each message box came up.
    QStringList lastCallAtBox;
    int pinDialogs = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<QDialog*>(watched); dialog && dialog->isModal())
                QTimer::singleShot(0, this, [this, d = QPointer<QDialog>(dialog)] { answer(d); });
        }
        return false;
    }

private:
    void answer(QDialog* dialog)
    {
        if (!dialog || !dialog->isVisible())
            return;
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            messages << box->text().trimmed();
            lastCallAtBox << FakePcsc::lastCall();
            box->button(QMessageBox::Ok)->click();
        } else if (auto* pin = dialog->findChild<QLineEdit*>(QStringLiteral("edPin"))) {
            ++pinDialogs;
            pin->setText(QStringLiteral("1234"));
            if (auto* puk = dialog->findChild<QLineEdit*>(QStringLiteral("edPuk")))
                puk->setText(QStringLiteral("12345678"));
            dialog->findChild<QPushButton*>(QStringLiteral("btOk"))->click();
        } else {
            dialog->reject();
        }
    }
};

QByteArray sw(int word)
{
    QByteArray bytes;
    bytes.append(char(word >> 8)).append(char(word & 0xFF));
    return bytes;
}

QString outputPath(const char* name)
{
    return QDir(QDir::tempPath()).filePath(QString::fromLatin1(name));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Takes the place of the desktop's browser: notes the PC/SC call made last
// when a document is handed over.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QStringList lastCallAtOpen;
public slots:
    void open(const QUrl&) { lastCallAtOpen << FakePcsc::lastCall(); }
};

} // namespace

class TestOperationsFake : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    std::unique_ptr<Zentavo> window;

    Zentavo& w() { return *window; }
    QString log() { return A::edLog(w())->toPlainText(); }

    // Every answer the card gives is `answer`.
    static void cardAlwaysAnswers(const QByteArray& answer)
    {
        FakePcsc::script().responses.clear();
        for (int i = 0; i < 40; ++i)
            FakePcsc::script().responses << answer;
    }

    static void refusals()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("listed"); // the status word when the table lists it, else 0
        for (const StatusWordText* row = statusWordTable + 1; row->message; ++row)
            QTest::addRow("%04X", row->statusWord) << sw(row->statusWord) << row->statusWord;
        for (int word : {0x6110, 0x61FF, 0x6C12, 0x6CFF, 0x63C4, 0x6F01, 0x9001, 0x0000})
            QTest::addRow("unlisted %04X", word) << sw(word) << 0;
        QTest::newRow("no bytes") << QByteArray() << 0;
        QTest::newRow("one byte") << QByteArray(1, char(0x90)) << 0;
        QTest::newRow("data without status word") << QByteArray(20, 'A') << 0;
        QTest::newRow("data and 6A 82") << (QByteArray(18, 'A') + sw(0x6A82)) << 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        // Every window saves its reader when it goes: not into the user's settings.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, temp.path());
    }

    void init()
    {
        FakePcsc::reset();
        window.reset(new Zentavo);
        A::context(w()) = establishContext();
        A::readers(w()) = QStringList{QStringLiteral("Reader A")};
        A::currentIndex(w()) = 0;
        A::bnReadCard(w())->setEnabled(true);
        A::cardType(w()) = 1;
        QGuiApplication::clipboard()->setText(QStringLiteral("clipboard before"));
        for (const char* name : {"Certificate.cer", "Certificate.htm"}) {
            QFile file(outputPath(name));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(file.write(earlierFile), qint64(earlierFile.size()));
        }
    }

    void cleanup()
    {
        window.reset();
        QVERIFY(!QApplication::overrideCursor());
        // Every card access ended: one reset-disconnect per connect.
        QCOMPARE(FakePcsc::calls().filter(QStringLiteral("SCardConnect")).size(),
                 FakePcsc::calls().filter(QStringLiteral("SCardDisconnect 1")).size());
    }

    void refusedIdentificationShowsNothing_data() { refusals(); }
    void refusedIdentificationShowsNothing()
    {
        QFETCH(QByteArray, answer);
        cardAlwaysAnswers(answer);
        BoxAnswerer boxes;

        A::readCard(w());

        QCOMPARE(A::cardType(w()), 0);
        QVERIFY(A::cardNumber(w()).isEmpty());
        QVERIFY(A::edCardNumber(w())->text().isEmpty());
        QVERIFY(A::edSKZINumber(w())->text().isEmpty());
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        QVERIFY(A::lbShowCert(w())->isHidden());
        QVERIFY(log().contains(QStringLiteral("Ошибка чтения типа карты тахографа.")));
        QVERIFY(log().endsWith(QStringLiteral("Ошибка чтения номера СКЗИ.")));
        QVERIFY(boxes.messages.isEmpty());
    }

    void refusedCertificateReadKeepsEarlierFiles_data() { refusals(); }
    void refusedCertificateReadKeepsEarlierFiles()
    {
        QFETCH(QByteArray, answer);
        for (const int mode : {0, 1}) {
            cardAlwaysAnswers(answer);
            A::edLog(w())->clear();

            QVERIFY(A::readCertificate(w(), mode).isEmpty());
            QCoreApplication::sendPostedEvents();

            QVERIFY(log().endsWith(QStringLiteral("Ошибка чтения сертификата карты.")));
            QCOMPARE(readAll(outputPath("Certificate.cer")), earlierFile);
            QCOMPARE(readAll(outputPath("Certificate.htm")), earlierFile);
        }
    }

    // Nothing that waits on the user or another program may hold the card:
    // Windows resets a card whose transaction is idle for 5 s.
    void nothingWaitsWhileTheCardIsHeld()
    {
        BoxAnswerer boxes;
        A::onHyperLink(w(), QStringLiteral("#verify"));
        A::onHyperLink(w(), QStringLiteral("#unblock"));
        QCOMPARE(boxes.messages, (QStringList{QStringLiteral("Проверка ПИН-кода карты успешно завершена."),
                                              QStringLiteral("ПИН-код карты успешно разблокирован.")}));
        QCOMPARE(boxes.lastCallAtBox,
                 (QStringList{QStringLiteral("SCardDisconnect 1"), QStringLiteral("SCardDisconnect 1")}));

        // A certificate of the test data, served in one chunk.
        const QByteArray der = readAll(QStringLiteral(ZENTAVO_TESTDATA_DIR "/driver-gost.der"));
        QVERIFY(!der.isEmpty() && der.size() <= 1020);
        FakePcsc::script().responses = {sw(0x9000), sw(0x9000), der.left(4) + sw(0x9000), der + sw(0x9000)};
        UrlCatcher browser;
        A::readCertificate(w(), 1);
        QCOMPARE(browser.lastCallAtOpen, QStringList{QStringLiteral("SCardDisconnect 1")});
    }

    // A reader unplugged while others stay: the reader shown meanwhile only
    // stands in for it, so a refresh once it is back takes it again, and so
    // would the next start; a reader the user picks meanwhile is wanted instead.
    void readerThatWentIsWantedUntilItIsBack()
    {
        const auto refreshWith = [this](const QStringList& names) {
            FakePcsc::script().readers = names.join(QChar(0)).toUtf8() + QByteArray(2, '\0');
            A::onHyperLink(w(), QStringLiteral("#readers"));
            return A::readers(w()).value(A::currentIndex(w()));
        };
        const QString a = QStringLiteral("Reader A"), b = QStringLiteral("Reader B"), c = QStringLiteral("Reader C");
        QCOMPARE(refreshWith({a, b}), a);
        QCOMPARE(refreshWith({b}), b);
        QCOMPARE(refreshWith({a, b}), a);

        QCOMPARE(refreshWith({b, c}), b);
        A::cbReaders(w())->setCurrentIndex(1);
        QCOMPARE(refreshWith({a, b, c}), c);

        QCOMPARE(refreshWith({b}), b);
        window.reset();
        QCOMPARE(QSettings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"))
                     .value(QStringLiteral("General/LastReaderName")),
                 QVariant(c));
    }

    // A card held or reset by another program past the wait, or gone, did not
    // refuse GET DATA: the read ends there, without the file reads and their
    // PIN prompt, and says why when another program is the reason.
    void heldOrGoneCardEndsTheRead_data()
    {
        QTest::addColumn<QList<LONG>>("connects");
        QTest::addColumn<QList<LONG>>("transmits");
        QTest::addColumn<bool>("busy");
        // The read waits for the card until the user cancels the wait.
        QTest::addColumn<bool>("waits");
        const QList<LONG> none;
        QTest::newRow("held exclusively")
            << QList<LONG>(100000, LONG(SCARD_E_SHARING_VIOLATION)) << none << true << true;
        QTest::newRow("reset under every new connection")
            << none << QList<LONG>(100000, LONG(SCARD_E_PROTO_MISMATCH)) << true << true;
        QTest::newRow("reset after GET DATA reached the card")
            << none << QList<LONG>{SCARD_S_SUCCESS, LONG(SCARD_W_RESET_CARD)} << true << false;
        QTest::newRow("card removed") << none << QList<LONG>{LONG(SCARD_W_REMOVED_CARD)} << false << false;
        QTest::newRow("no card") << QList<LONG>{LONG(SCARD_E_NO_SMARTCARD)} << none << false << false;
    }
    void heldOrGoneCardEndsTheRead()
    {
        QFETCH(QList<LONG>, connects);
        QFETCH(QList<LONG>, transmits);
        QFETCH(bool, busy);
        QFETCH(bool, waits);
        A::cancelCardWaits(w());
        FakePcsc::script().connect = connects;
        FakePcsc::script().transmitAttempts = transmits;
        // A company card's type in the files: the fallback would ask for a PIN.
        FakePcsc::script().responses = {sw(0x9000), sw(0x9000), QByteArray::fromHex("049000")};
        BoxAnswerer boxes;
        // What an earlier read showed: not known to be this card's.
        A::cardNumber(w()) = QStringLiteral("RUD0000000000009");
        A::edCardNumber(w())->setText(A::cardNumber(w()));
        A::edSKZINumber(w())->setText(QStringLiteral("SKZI0000000009"));

        A::readCard(w());

        QStringList expected{QStringLiteral("Чтение типа карты тахографа")};
        if (waits)
            expected << cardWaiting;
        expected << QStringLiteral("Ошибка чтения типа карты тахографа.");
        if (busy)
            expected << cardBusy;
        const QStringList operationLines =
            log().split('\n').filter(QRegularExpression(QStringLiteral("^(?!Протокол|Команда|Результат)")));
        QCOMPARE(operationLines, expected);
        QCOMPARE(boxes.pinDialogs, 0);
        QVERIFY(boxes.messages.isEmpty());
        // One card access, the identification's, ended if it was made.
        if (!waits)
            QCOMPARE(FakePcsc::calls().filter(QStringLiteral("SCardDisconnect 1")).size(), connects.isEmpty() ? 1 : 0);
        QVERIFY(FakePcsc::calls().filter(QStringLiteral("00A4040C06FF54414348")).isEmpty());
        QCOMPARE(A::cardType(w()), 0);
        QVERIFY(A::cardNumber(w()).isEmpty());
        QVERIFY(A::edCardNumber(w())->text().isEmpty());
        QVERIFY(A::edSKZINumber(w())->text().isEmpty());
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        // Refused connects have nothing to end. A wait given up ends on the
        // card thread, which the window's end joins.
        if (waits)
            window.reset();
        FakePcsc::calls().clear();
    }

    // The certificate and the PIN give up the same way; the PIN's box carries
    // the reason, since the log may be hidden.
    void heldCardIsSaidForCertificateAndPin()
    {
        A::cancelCardWaits(w());
        FakePcsc::script().connect = QList<LONG>(100000, LONG(SCARD_E_SHARING_VIOLATION));
        QVERIFY(A::readCertificate(w(), 1).isEmpty());
        QVERIFY(log().endsWith(QStringLiteral("Ошибка чтения сертификата карты.\n") + cardBusy));
        QCOMPARE(readAll(outputPath("Certificate.htm")), earlierFile);

        // A new window: the old one's end joins its card thread, which may
        // still be giving up its wait.
        window.reset();
        init();
        A::cancelCardWaits(w());
        FakePcsc::script().connect = QList<LONG>(100000, LONG(SCARD_E_SHARING_VIOLATION));
        BoxAnswerer boxes;
        A::onHyperLink(w(), QStringLiteral("#verify"));
        QCOMPARE(boxes.messages, QStringList{operationFailed + QStringLiteral("\n\n") + cardBusy});
        QVERIFY(log().endsWith(operationFailed + QStringLiteral("\n") + cardBusy));
        window.reset();
        QVERIFY(FakePcsc::calls().filter(QStringLiteral("SCardTransmit")).isEmpty());
        QVERIFY(FakePcsc::calls().filter(QStringLiteral("SCardDisconnect")).isEmpty());
        FakePcsc::calls().clear();
    }

    // The monitor's news while a read waits for another program: an insertion
    // waits for the read to end; a removal ends it at once, and the reader
    // shows empty.
    void newsDuringAWaitForTheCard()
    {
        A::selectedReader(w()) = QStringLiteral("Reader A");
        FakePcsc::script().connect = QList<LONG>(100000, LONG(SCARD_E_SHARING_VIOLATION));
        A::bnReadCard(w())->click();
        QTRY_VERIFY(!A::widget<QWidget>(w(), "cardWaitBar")->isHidden());
        QVERIFY(!A::bnReadCard(w())->isEnabled());
        emit A::monitor(w()).statusChanged(SCARD_STATE_PRESENT);
        QTest::qWait(200);
        QVERIFY(w().operationRunning());
        emit A::monitor(w()).statusChanged(SCARD_STATE_EMPTY);
        QTRY_VERIFY(!w().operationRunning());
        QCOMPARE(log(), QStringLiteral("Вставьте карту тахографа"));
        QVERIFY(A::widget<QWidget>(w(), "cardWaitBar")->isHidden());
        window.reset();
        FakePcsc::calls().clear();
    }

    // Every card call of an operation is made on the card thread: the
    // window's thread never waits on the card service.
    void cardWorkStaysOffTheWindowsThread_data()
    {
        QTest::addColumn<QString>("action");
        for (const char* action : {"read", "#cert", "#verify", "#unblock"})
            QTest::newRow(action) << QString::fromLatin1(action);
    }
    void cardWorkStaysOffTheWindowsThread()
    {
        QFETCH(QString, action);
        BoxAnswerer boxes;
        UrlCatcher browser;
        FakePcsc::calls().clear();
        FakePcsc::callThreads().clear();
        if (action == QLatin1String("read"))
            A::readCard(w());
        else
            A::onHyperLink(w(), action);
        QVERIFY(!FakePcsc::calls().filter(QStringLiteral("SCardTransmit")).isEmpty());
        QCOMPARE(FakePcsc::callThreads().size(), FakePcsc::calls().size());
        QVERIFY(!FakePcsc::callThreads().contains(QThread::currentThreadId()));
    }

    void refusedPinCheckIsAnErrorBox_data() { refusals(); }
    void refusedPinCheckIsAnErrorBox()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, listed);
        for (const char* link : {"#verify", "#unblock"}) {
            // SELECT succeeds; the secret command is refused.
            FakePcsc::script().responses = {sw(0x9000), answer};
            BoxAnswerer boxes;

            A::onHyperLink(w(), QString::fromLatin1(link));

            QCOMPARE(boxes.pinDialogs, 1);
            QCOMPARE(boxes.messages.size(), 1);
            if (listed) {
                const QString expected = operationFailed + QString::asprintf("\n\n(0x%X)\n«", unsigned(listed));
                QVERIFY2(boxes.messages.first().startsWith(expected), qPrintable(boxes.messages.first()));
            } else {
                QCOMPARE(boxes.messages.first(), operationFailed);
                QVERIFY(log().endsWith(operationFailed));
            }
            QVERIFY(!log().contains(QStringLiteral("успешно")));
        }
    }
};

QTEST_MAIN(TestOperationsFake)
#include "test_operations_fake.moc"
